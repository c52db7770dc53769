// The parts of the tool that need a large library of their own live in
// modules loaded on first use, so a run that never needs them never maps
// them: libmeshjobs_scene.so holds the general importer and exporter (every
// format but glTF 2.0, which the tool reads and writes itself), and
// libmeshjobs_draco.so the decoder of KHR_draco_mesh_compression. They sit
// beside the tool, or in ../lib when installed, as the job library does.
//
// Each module exports one C function handing back a table of its functions.
// The table starts with the tool version it was built for, and the tool
// takes only its own. Module and tool are built together from these
// declarations: plain C++ types cross between them, and exceptions with
// standard types.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

struct aiScene;

namespace meshjobs::tool {

struct SceneCensus;
enum class ReadPurpose;

// What went wrong while the exporter wrote; nothing when both are empty.
struct SceneWriteFailure {
    int errorNumber = 0;          // the first failed write, open, sync or close
    std::filesystem::path file;   // ...of this file, relative to the staging folder where inside it
    std::string reason;           // the exporter's own, when it failed by itself
};

struct SceneFunctions {
    const char* version;
    // ReadScene as scene.h describes it; the scene is the caller's until release.
    aiScene* (*read)(const std::string& path, ReadPurpose purpose, std::vector<std::filesystem::path>* filesRead);
    void (*release)(aiScene* scene);
    void (*census)(const aiScene& scene, SceneCensus& census);
    // Whether an importer claims files of this extension, lower case with its dot.
    bool (*readsExtension)(const std::string& extension);
    // Every exporter as (id, file extension), in the exporter's order.
    std::vector<std::pair<std::string, std::string>> (*exporters)();
    // Exports to `path` inside `staging`; every file opened for writing is
    // checked, synced and closed before this returns.
    SceneWriteFailure (*write)(const aiScene& scene, const std::filesystem::path& path,
                               const std::filesystem::path& staging, const std::string& exporterId);
};

// One decoded attribute, its values as numbers whatever type they were
// decoded in.
struct DracoAttribute {
    uint32_t id = 0;  // its unique id, as the extension names it
    int components = 0;
    bool isFloat = false;
    bool knownType = true;       // an integer or floating-point type
    double normalizedScale = 0;  // a normalized integer stands for value / this; 0: not normalized
    std::vector<double> values;  // components per point, points in order
    int64_t firstMissing = -1;   // the first point without a value (values stop there); -1: none
};

struct DracoGeometry {
    enum Status { Decoded, NotDecodable, NotTriangles };
    Status status = NotDecodable;
    std::string failure;            // the decoder's reason, when NotDecodable
    uint32_t points = 0;
    std::vector<uint32_t> corners;  // three per triangle; empty for a point cloud
    std::vector<DracoAttribute> attributes;
};

struct DracoFunctions {
    const char* version;
    // Decodes one compressed buffer view, as a triangle mesh or a point cloud.
    void (*decode)(const uint8_t* data, size_t size, bool triangles, DracoGeometry& geometry);
};

// The entry points the modules export.
#define MESHJOBS_SCENE_MODULE_ENTRY "meshjobs_scene_functions"
#define MESHJOBS_DRACO_MODULE_ENTRY "meshjobs_draco_functions"
inline constexpr char SCENE_MODULE_FILE[] = "libmeshjobs_scene.so";
inline constexpr char DRACO_MODULE_FILE[] = "libmeshjobs_draco.so";

// Tool side: the module's table, loaded on first use and kept. Throws
// std::runtime_error naming the module, what it is for and the loader's
// reason when it cannot be loaded.
const SceneFunctions& SceneModule();
const DracoFunctions& DracoModule();

// Where a module is looked for: beside the running program, else in ../lib
// (programs in PREFIX/bin, modules in PREFIX/lib).
std::filesystem::path ModulePath(const std::string& file);

}  // namespace meshjobs::tool
