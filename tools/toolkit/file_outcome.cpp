#include "toolkit/file_outcome.h"

namespace meshjobs::tool {

namespace {

nlohmann::json CountsJson(const MeshCounts& c) {
    return {{"meshes", c.meshes}, {"vertices", c.vertices}, {"triangles", c.triangles}};
}

MeshCounts CountsFrom(const nlohmann::json& j) {
    MeshCounts c;
    if (!j.is_object()) return c;
    c.meshes = j.value("meshes", int64_t(0));
    c.vertices = j.value("vertices", int64_t(0));
    c.triangles = j.value("triangles", int64_t(0));
    return c;
}

}  // namespace

nlohmann::json ToJson(const FileOutcome& o) {
    return {{"ok", o.ok},
            {"report", o.report},
            {"error", o.error},
            {"warnings", o.warnings},
            {"output", o.output},
            {"before", CountsJson(o.before)},
            {"after", CountsJson(o.after)},
            {"bytesBefore", o.bytesBefore},
            {"bytesAfter", o.bytesAfter},
            {"verifyErrors", o.verifyErrors}};
}

FileOutcome OutcomeFromJson(const nlohmann::json& j) {
    FileOutcome o;
    o.ok = j.value("ok", false);
    o.report = j.value("report", std::string());
    o.error = j.value("error", std::string());
    o.warnings = j.value("warnings", std::vector<std::string>());
    o.output = j.value("output", std::string());
    o.before = CountsFrom(j.value("before", nlohmann::json()));
    o.after = CountsFrom(j.value("after", nlohmann::json()));
    o.bytesBefore = j.value("bytesBefore", int64_t(0));
    o.bytesAfter = j.value("bytesAfter", int64_t(0));
    o.verifyErrors = j.value("verifyErrors", std::vector<std::string>());
    return o;
}

}  // namespace meshjobs::tool
