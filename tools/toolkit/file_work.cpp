#include "toolkit/file_work.h"

#include <assimp/scene.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "toolkit/convert.h"
#include "toolkit/gltf_accessors.h"
#include "toolkit/gltf_convert.h"
#include "toolkit/gltf_strip.h"
#include "toolkit/output_files.h"
#include "toolkit/scene.h"
#include "toolkit/scene_census.h"
#include "toolkit/text.h"
#include "toolkit/worker_channel.h"

namespace meshjobs::tool {

namespace fs = std::filesystem;

namespace {

std::string Quoted(const std::string& name) { return name.empty() ? "(unnamed)" : "'" + name + "'"; }

std::string MeshLabel(unsigned index, const aiMesh& mesh) {
    return "mesh " + std::to_string(index) + " " + Quoted(mesh.mName.C_Str());
}

std::string Meshes(int64_t count) { return std::to_string(count) + (count == 1 ? " mesh" : " meshes"); }

// What an engine would call the mesh's primitives.
std::string Primitives(const aiMesh& mesh) {
    std::map<unsigned, int64_t> bySize;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) ++bySize[std::min(mesh.mFaces[f].mNumIndices, 4u)];
    static const char* const names[] = {"empty face", "point", "line", "triangle", "polygon"};
    std::string text;
    for (const auto& [size, count] : bySize) {
        if (!text.empty()) text += ", ";
        text += Grouped(count);
        text += ' ';
        text += names[size];
        if (count != 1) text += 's';
    }
    return text.empty() ? "no faces" : text;
}

std::string AttributeList(const aiMesh& mesh) {
    std::string text = "position";
    if (mesh.mNormals) text += " normal";
    if (mesh.mTangents) text += " tangent";
    const unsigned colorSets = mesh.GetNumColorChannels();
    if (colorSets) text += colorSets == 1 ? " color" : " color(" + std::to_string(colorSets) + " sets)";
    for (unsigned k = 0; k < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++k)
        if (mesh.mTextureCoords[k]) text += " uv" + std::to_string(k) + "x" + std::to_string(mesh.mNumUVComponents[k]);
    if (mesh.mNumBones) text += " bones(" + std::to_string(mesh.mNumBones) + ")";
    if (mesh.mNumAnimMeshes) text += " morph-targets(" + std::to_string(mesh.mNumAnimMeshes) + ")";
    return text;
}

MeshCounts CountsOf(const SceneCensus& census) { return {census.meshes, census.vertices, census.triangles}; }

int64_t BytesOf(const std::vector<fs::path>& files) {
    int64_t bytes = 0;
    std::error_code error;
    for (const fs::path& file : files) {
        const auto size = fs::file_size(file, error);
        if (!error) bytes += static_cast<int64_t>(size);
    }
    return bytes;
}

// Reads the input, remembering every file the importer opened: none of them
// may be written.
struct Input {
    ScenePtr scene;
    std::vector<fs::path> filesRead;
    std::vector<fs::path> protectedFiles;
    SceneCensus census;
};

Input ReadInput(const FileTask& task, ReadPurpose purpose, const WorkSettings& settings) {
    ReportPhase(WorkerPhase::Reading);
    Input input;
    input.scene = ReadScene(task.input, purpose, &input.filesRead);
    input.census = CensusOf(*input.scene);
    input.protectedFiles = settings.inputs;
    input.protectedFiles.insert(input.protectedFiles.end(), input.filesRead.begin(), input.filesRead.end());
    return input;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

// A loss is a warning, or with --strict the file's failure.
void ApplyLosses(const std::vector<std::string>& losses, const WorkSettings& settings, FileOutcome& outcome) {
    if (losses.empty()) return;
    const std::string line = "the output lacks: " + Joined(losses);
    if (settings.strict) throw std::runtime_error(line + " (--strict)");
    outcome.warnings.push_back(line);
}

// The staged manifest read back: every file it names must hold exactly what
// its counts and strides say.
void CheckManifest(const StagedOutput& staged, int64_t meshes) {
    std::ifstream in(staged.StagedPath("manifest.json"));
    const nlohmann::json manifest = nlohmann::json::parse(in, nullptr, false);
    if (!manifest.is_object() || !manifest["meshes"].is_array() ||
        static_cast<int64_t>(manifest["meshes"].size()) != meshes)
        throw std::runtime_error("the written manifest does not read back");
    auto expect = [&](const nlohmann::json& file, int64_t bytes) {
        std::error_code error;
        const auto size = fs::file_size(staged.StagedPath(file.get<std::string>()), error);
        if (error || static_cast<int64_t>(size) != bytes)
            throw std::runtime_error("the written " + file.get<std::string>() + " does not read back: " +
                                     (error ? error.message() : std::to_string(size) + " bytes, " +
                                                                    std::to_string(bytes) + " expected"));
    };
    for (const nlohmann::json& mesh : manifest["meshes"]) {
        const int64_t vertices = mesh.at("vertexCount").get<int64_t>();
        for (const nlohmann::json& stream : mesh.at("streams"))
            expect(stream.at("file"), vertices * stream.at("stride").get<int64_t>());
        if (mesh.contains("indices"))
            expect(mesh["indices"].at("file"),
                   mesh["indices"].at("count").get<int64_t>() * (mesh["indices"].at("format") == "UInt16" ? 2 : 4));
    }
}

// The streams hold the layout's attributes of each mesh and its indices:
// whatever else the file had is left behind.
std::vector<std::string> ConversionLosses(const aiScene& scene, const Layout& layout) {
    std::map<std::string, int64_t> lost;  // what, in how many meshes
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        if (mesh.mNormals && !layout.slots[NORMAL]) ++lost["normals"];
        if (mesh.mTangents && !layout.slots[TANGENT]) ++lost["tangents"];
        if (mesh.mColors[0] && !layout.slots[COLOR]) ++lost["vertex colors"];
        if (mesh.GetNumColorChannels() > 1) ++lost["color sets after the first"];
        for (unsigned k = 0; k < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++k)
            if (mesh.mTextureCoords[k] && (k >= UV_SET_COUNT || !layout.slots[UV0 + k]))
                ++lost["uv" + std::to_string(k)];
        if (mesh.mNumAnimMeshes) lost["morph targets"] += mesh.mNumAnimMeshes;
        if (mesh.mNumBones) ++lost["skins"];
    }
    std::vector<std::string> losses;
    for (const auto& [what, count] : lost) losses.push_back(what + " (" + std::to_string(count) + ")");
    if (scene.mNumAnimations) losses.push_back("animations (" + std::to_string(scene.mNumAnimations) + ")");
    if (scene.mNumCameras) losses.push_back("cameras (" + std::to_string(scene.mNumCameras) + ")");
    if (scene.mNumLights) losses.push_back("lights (" + std::to_string(scene.mNumLights) + ")");
    return losses;
}

// What a glTF document holds, counted as the tool counts any scene: every
// primitive's vertices, and the triangles of its triangle lists.
MeshCounts CountsOf(const GltfDocument& document) {
    MeshCounts counts;
    const auto meshes = document.json.find("meshes");
    if (meshes == document.json.end() || !meshes->is_array()) return counts;
    counts.meshes = static_cast<int64_t>(meshes->size());
    for (const auto& mesh : *meshes)
        for (const auto& primitive : mesh.at("primitives")) {
            const auto& attributes = primitive.at("attributes");
            if (!attributes.contains("POSITION")) continue;
            const int64_t vertices = document.json["accessors"][attributes["POSITION"].get<size_t>()]["count"];
            counts.vertices += vertices;
            if (primitive.value("mode", int64_t{4}) != 4) continue;
            counts.triangles += (primitive.contains("indices")
                                     ? document.json["accessors"][primitive["indices"].get<size_t>()]["count"].get<int64_t>()
                                     : vertices) /
                                3;
        }
    return counts;
}

bool IsGltfPath(const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    return extension == ".gltf" || extension == ".glb";
}

// The input document when the input is glTF 2.0 (else nothing: the importer
// reads it); its reasons without the file name, which the line reporting the
// file already starts with.
std::optional<GltfDocument> ReadInputGltf(const std::string& input) {
    if (!IsGltfPath(input)) return std::nullopt;
    ReportPhase(WorkerPhase::Reading);
    try {
        return ReadGltfIfVersion2(input);
    } catch (const std::runtime_error& e) {
        std::string reason = e.what();
        if (reason.rfind(input + ": ", 0) == 0) reason.erase(0, input.size() + 2);
        throw std::runtime_error(reason);
    }
}

// Stages the document beside its destination and reads the staged file back,
// as every glTF output is checked before it lands. The document's buffers go
// once written, so that reading back can reuse their memory rather than take
// as much again.
GltfDocument StageAndReadBack(GltfDocument& document, StagedOutput& staged, const fs::path& name,
                              WrittenGltf& written) {
    ReportStaging(staged.staging().string());
    ReportPhase(WorkerPhase::Writing);
    written = WriteGltf(document, staged, name);
    document.buffers = {};
    ReportPhase(WorkerPhase::ReadingBack);
    try {
        return ReadGltf(staged.StagedPath(written.main));
    } catch (const std::exception& e) {
        throw std::runtime_error("the written file does not read back (" + std::string(e.what()) + ")");
    }
}

// glTF 2.0 in and out: the document is edited, not rebuilt, so everything
// the jobs do not touch is written back as it was read.
FileOutcome StripGltfFile(const FileTask& task, GltfDocument document, Jobs& jobs, const WorkSettings& settings) {
    std::vector<fs::path> protectedFiles = settings.inputs;
    protectedFiles.insert(protectedFiles.end(), document.filesRead.begin(), document.filesRead.end());
    const MeshCounts before = CountsOf(document);
    const auto triangles = TriangleDigests(document);

    ReportPhase(WorkerPhase::Processing);
    const GltfStrip strip = StripGltf(document, jobs, settings.method);

    const fs::path target = fs::absolute(task.output);
    StagedOutput staged(target.parent_path());
    WrittenGltf written;
    const GltfDocument back = StageAndReadBack(document, staged, target.filename(), written);
    if (TriangleDigests(back) != triangles)
        throw std::runtime_error("the written file does not read back the same: its triangles differ");

    const auto committed = staged.Commit(protectedFiles, written.main);
    FileOutcome outcome;
    outcome.output = task.output;
    outcome.before = before;
    outcome.after = CountsOf(back);
    outcome.bytesBefore = BytesOf(document.filesRead);
    outcome.bytesAfter = BytesOf(committed);
    std::ostringstream report;
    report << task.input << " -> " << task.output << ": " << Meshes(before.meshes) << ", "
           << Grouped(strip.verticesBefore) << " -> " << Grouped(strip.verticesAfter) << " vertices ("
           << Grouped(strip.verticesBefore - strip.verticesAfter) << " removed)\n";
    for (const std::string& note : document.decoded) report << "  " << note << "\n";
    for (const std::string& note : strip.notes) report << "  " << note << "\n";
    outcome.report = report.str();
    return outcome;
}

// One --verify line per converted mesh; attributes beyond their bound are
// the outcome's verification errors.
void ReportChecks(const std::string& label, const std::vector<AttributeCheck>& checks, std::ostream& lines,
                  FileOutcome& outcome) {
    lines << "  " << label << ":";
    for (const AttributeCheck& c : checks) {
        lines << " " << SlotName(c.slot);
        if (c.compared == 0)
            lines << " (nothing finite to compare)";
        else
            lines << " " << Number(c.largestError) << (c.within ? " (bound " : " (BEYOND ") << Number(c.bound) << ")";
        if (c.skipped) lines << " [" << Grouped(c.skipped) << " not comparable]";
        if (!c.within)
            outcome.verifyErrors.push_back(label + " " + SlotName(c.slot) + ": largest error " + Number(c.largestError) +
                                           " beyond its " + FormatName(c.format) + " bound " + Number(c.bound));
    }
    lines << "\n";
}

}  // namespace

FileOutcome InfoFile(const FileTask& task, Jobs& jobs, const WorkSettings& settings) {
    const Input input = ReadInput(task, ReadPurpose::AsIs, settings);
    const aiScene& scene = *input.scene;
    ReportPhase(WorkerPhase::Processing);
    std::ostringstream lines;
    int64_t vertices = 0, indices = 0;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        vertices += mesh.mNumVertices;
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) indices += mesh.mFaces[f].mNumIndices;
    }
    lines << task.input << ": " << Meshes(scene.mNumMeshes) << ", " << Grouped(vertices) << " vertices, "
          << Grouped(indices) << " indices\n";
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        const MeshAttributes attributes = AttributesOf(mesh);
        lines << "  " << MeshLabel(m, mesh) << ": " << Grouped(mesh.mNumVertices) << " vertices, "
              << Grouped(static_cast<int64_t>(attributes.indices.size())) << " indices (" << Primitives(mesh) << "), ";
        if (mesh.mNumVertices > MAX_STRIP_VERTICES) {
            lines << "unused not counted (over 65,536 vertices)";
        } else {
            const std::vector<uint16_t> narrow(attributes.indices.begin(), attributes.indices.end());
            const auto counts = CountVertexReferences(jobs, narrow, attributes.vertexCount);
            lines << Grouped(std::count(counts.begin(), counts.end(), 0)) << " unused";
        }
        lines << "; " << AttributeList(mesh) << "\n";
    }
    FileOutcome outcome;
    outcome.report = lines.str();
    outcome.before = outcome.after = CountsOf(input.census);
    outcome.bytesBefore = outcome.bytesAfter = BytesOf(input.filesRead);
    return outcome;
}

FileOutcome StripFile(const FileTask& task, Jobs& jobs, const WorkSettings& settings) {
    if (task.exporter == "gltf2" || task.exporter == "glb2")
        if (std::optional<GltfDocument> document = ReadInputGltf(task.input))
            return StripGltfFile(task, std::move(*document), jobs, settings);
    Input input = ReadInput(task, ReadPurpose::AsIs, settings);
    aiScene& scene = *input.scene;
    ReportPhase(WorkerPhase::Processing);
    std::ostringstream notes;
    int64_t before = 0, after = 0;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        aiMesh& mesh = *scene.mMeshes[m];
        MeshStrip strip;
        try {
            strip = StripMesh(jobs, mesh, settings.method);
        } catch (const host::JobException& e) {
            throw std::runtime_error(MeshLabel(m, mesh) + ": job failed: " + e.typeName() + ": " + e.message());
        } catch (const std::exception& e) {
            throw std::runtime_error(MeshLabel(m, mesh) + ": " + e.what());
        }
        before += strip.verticesBefore;
        after += strip.verticesAfter;
        if (!strip.skipped.empty()) notes << "  " << MeshLabel(m, mesh) << ": " << strip.skipped << "\n";
    }
    const SceneCensus written = CensusOf(scene);

    const fs::path target = fs::absolute(task.output);
    StagedOutput staged(target.parent_path());
    ReportStaging(staged.staging().string());
    ReportPhase(WorkerPhase::Writing);
    WriteScene(scene, staged, target.filename(), task.exporter);

    ReportPhase(WorkerPhase::ReadingBack);
    ScenePtr back;
    try {
        back = ReadScene(staged.StagedPath(target.filename()).string(), ReadPurpose::AsIs);
    } catch (const std::exception& e) {
        throw std::runtime_error("the written file does not read back (" + std::string(e.what()) + ")");
    }
    const SceneCensus reread = CensusOf(*back);
    if (const auto wrong = CountMismatches(written, reread, TraitsOf(task.exporter)); !wrong.empty())
        throw std::runtime_error("the written file does not read back the same: " + Joined(wrong));

    FileOutcome outcome;
    ApplyLosses(Losses(input.census, reread, fs::absolute(task.input).parent_path(), target.parent_path()), settings,
                outcome);
    const auto committed = staged.Commit(input.protectedFiles, target.filename());
    outcome.output = task.output;
    outcome.before = CountsOf(input.census);
    outcome.after = CountsOf(reread);
    outcome.after.vertices = written.vertices;  // some formats re-create vertices on reading
    outcome.bytesBefore = BytesOf(input.filesRead);
    outcome.bytesAfter = BytesOf(committed);
    std::ostringstream report;
    report << task.input << " -> " << task.output << ": " << Meshes(scene.mNumMeshes) << ", " << Grouped(before)
           << " -> " << Grouped(after) << " vertices (" << Grouped(before - after) << " removed)\n"
           << notes.str();
    outcome.report = report.str();
    return outcome;
}

namespace {

// glTF out: a glTF 2.0 input is edited in place, anything else read through
// the importer becomes a fresh document. Every converted attribute is checked
// against its input, and the written file must read back exactly so.
FileOutcome ConvertGltfFile(const FileTask& task, Jobs& jobs, const WorkSettings& settings) {
    GltfDocument document;
    GltfConversion conversion;
    std::vector<fs::path> filesRead;
    std::vector<std::string> losses;
    MeshCounts before;
    if (std::optional<GltfDocument> gltf = ReadInputGltf(task.input)) {
        document = std::move(*gltf);
        filesRead = document.filesRead;
        before = CountsOf(document);
        ReportPhase(WorkerPhase::Processing);
        conversion = ConvertGltf(document, jobs, settings.layout, settings.matrix);
    } else {
        const Input input = ReadInput(task, ReadPurpose::ForEngine, settings);
        filesRead = input.filesRead;
        before = CountsOf(input.census);
        ReportPhase(WorkerPhase::Processing);
        std::vector<MeshAttributes> meshes;
        for (unsigned m = 0; m < input.scene->mNumMeshes; ++m) meshes.push_back(AttributesOf(*input.scene->mMeshes[m]));
        document.file = task.input;
        document.folder = fs::absolute(task.input).parent_path();
        conversion = BuildGltf(document, meshes, jobs, settings.layout, settings.matrix);
        losses = ConversionLosses(*input.scene, settings.layout);
    }

    FileOutcome outcome;
    std::ostringstream checks;
    for (const auto& set : conversion.sets) ReportChecks(set->label, set->checks, checks, outcome);
    if (!outcome.verifyErrors.empty()) {
        outcome.ok = false;
        outcome.error = "verification failed: " + outcome.verifyErrors.front() + "; nothing written";
        outcome.report = settings.verify ? checks.str() : "";
        return outcome;
    }

    const fs::path target = fs::absolute(task.output);
    StagedOutput staged(target.parent_path());
    WrittenGltf written;
    const GltfDocument back = StageAndReadBack(document, staged, target.filename(), written);
    CheckWrittenGltf(back, conversion);
    const MeshCounts after = CountsOf(back);
    if (after.triangles != before.triangles)
        throw std::runtime_error("the written file does not read back the same: " + Grouped(after.triangles) +
                                 " triangles, not " + Grouped(before.triangles));
    ApplyLosses(losses, settings, outcome);
    std::vector<fs::path> protectedFiles = settings.inputs;
    protectedFiles.insert(protectedFiles.end(), filesRead.begin(), filesRead.end());
    const auto committed = staged.Commit(protectedFiles, written.main);

    outcome.output = task.output;
    outcome.before = before;
    outcome.after = after;
    outcome.bytesBefore = BytesOf(filesRead);
    outcome.bytesAfter = BytesOf(committed);
    std::ostringstream report;
    report << task.input << " -> " << task.output << ": " << Meshes(after.meshes) << ", " << Grouped(conversion.vertices)
           << " vertices converted, " << Grouped(conversion.streamBytes) << " bytes of vertex streams\n";
    for (const std::string& note : document.decoded) report << "  " << note << "\n";
    for (const std::string& note : conversion.notes) report << "  " << note << "\n";
    if (settings.verify) report << checks.str();
    outcome.report = report.str();
    return outcome;
}

}  // namespace

FileOutcome ConvertFile(const FileTask& task, Jobs& jobs, const WorkSettings& settings) {
    if (!task.exporter.empty()) return ConvertGltfFile(task, jobs, settings);
    const Input input = ReadInput(task, ReadPurpose::ForEngine, settings);
    const aiScene& scene = *input.scene;
    ReportPhase(WorkerPhase::Processing);
    StagedOutput staged(fs::absolute(task.output));
    ReportStaging(staged.staging().string());

    std::ostringstream report, checks;
    FileOutcome outcome;
    std::vector<ManifestEntry> entries;
    int64_t vertices = 0, bytes = 0;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        const MeshAttributes attributes = AttributesOf(mesh);
        ConvertedMesh converted;
        try {
            converted = ConvertMesh(jobs, attributes, settings.layout, settings.matrix);
        } catch (const host::JobException& e) {
            throw std::runtime_error(MeshLabel(m, mesh) + ": job failed: " + e.typeName() + ": " + e.message());
        } catch (const std::exception& e) {
            throw std::runtime_error(MeshLabel(m, mesh) + ": " + e.what());
        }
        ReportPhase(WorkerPhase::Writing);
        entries.push_back(WriteConvertedMesh(staged, static_cast<int>(m), attributes, converted));
        ReportPhase(WorkerPhase::Processing);
        vertices += converted.vertexCount;
        bytes += static_cast<int64_t>(converted.streams[0].size() + converted.streams[1].size());
        if (!settings.verify) continue;
        ReportChecks(MeshLabel(m, mesh), VerifyConversion(converted, attributes, settings.matrix), checks, outcome);
    }
    ReportPhase(WorkerPhase::Writing);
    const std::string manifest = ManifestJson(task.input, settings.layout, settings.matrix, entries);
    staged.WriteFile("manifest.json", manifest.data(), manifest.size());
    if (!outcome.verifyErrors.empty()) {
        outcome.ok = false;
        outcome.error = "verification failed: " + outcome.verifyErrors.front() + "; nothing written";
        outcome.report = checks.str();
        return outcome;
    }
    ReportPhase(WorkerPhase::ReadingBack);
    CheckManifest(staged, scene.mNumMeshes);
    ApplyLosses(ConversionLosses(scene, settings.layout), settings, outcome);
    const auto committed = staged.Commit(input.protectedFiles, "manifest.json");

    const fs::path manifestPath = fs::path(task.output) / "manifest.json";
    outcome.output = manifestPath.string();
    outcome.before = CountsOf(input.census);
    outcome.after = {static_cast<int64_t>(entries.size()), vertices, input.census.triangles};
    outcome.bytesBefore = BytesOf(input.filesRead);
    outcome.bytesAfter = BytesOf(committed);
    report << task.input << " -> " << manifestPath.string() << ": " << Meshes(scene.mNumMeshes) << ", "
           << Grouped(vertices) << " vertices, " << Grouped(bytes) << " bytes of vertex streams\n"
           << checks.str();
    outcome.report = report.str();
    return outcome;
}

}  // namespace meshjobs::tool
