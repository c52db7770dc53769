// Mesh files through the importer and exporter: reading a scene, stripping
// its meshes in place, seeing their attributes, writing it back out. Reading
// and writing go through the scene module (toolkit/modules.h), loaded on the
// first call that needs it; the rest works on the scene's structures alone.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/convert.h"
#include "toolkit/jobs.h"
#include "toolkit/output_files.h"

struct aiMesh;
struct aiScene;

namespace meshjobs::tool {

struct SceneDeleter {
    void operator()(aiScene* scene) const;
};
using ScenePtr = std::unique_ptr<aiScene, SceneDeleter>;

enum class ReadPurpose {
    AsIs,     // info and strip: the meshes as the file has them
    ForEngine // convert: polygons triangulated, one primitive kind per mesh
};

// Throws std::runtime_error with the system's reason when the file cannot be
// opened ("cannot read: Permission denied"), otherwise the importer's. A file
// with no mesh, or only empty ones, is refused. filesRead, if given, receives
// every file the importer opened (the file itself and side files such as
// buffers and material libraries), absolute and normalised.
ScenePtr ReadScene(const std::string& path, ReadPurpose purpose, std::vector<std::filesystem::path>* filesRead = nullptr);

// Whether a folder walk should pick this file up.
bool IsMeshFile(const std::string& path);
// Extensions IsMeshFile answers without asking the scene module: the answers
// the importer gives, for glTF and the images that sit beside it.
inline constexpr const char* KNOWN_MESH_EXTENSIONS[] = {".gltf", ".glb"};
inline constexpr const char* KNOWN_OTHER_EXTENSIONS[] = {".png", ".jpg", ".jpeg", ".ktx2", ".webp"};

MeshAttributes AttributesOf(const aiMesh& mesh);

struct MeshStrip {
    int32_t verticesBefore = 0;
    int32_t verticesAfter = 0;
    std::string skipped;  // why the mesh was left as it was; empty if stripped
};

// Removes the vertices no face uses, with every per-vertex array, morph
// target and bone weight kept in step. Meshes of more than 65,536 vertices
// are left alone with a reason.
MeshStrip StripMesh(Jobs& jobs, aiMesh& mesh, StripMethod method);

// Exporter id for a file extension (".glb") or for an exporter id or
// extension given without the dot ("obj", "glb"); empty if none writes it.
// Extensions pick exporters whose files read back: glTF 2.0 for ".gltf" and
// ".glb", ASCII FBX for ".fbx".
std::string ExporterFor(const std::string& extensionOrId);
std::string ExporterExtension(const std::string& id);
std::string ExporterList();

// What a file written by an exporter keeps, when read back.
struct ExportTraits {
    // The vertex count; false where it changes on the way (a vertex per face
    // corner re-created on reading, identical vertices joined on writing).
    bool keepsVertices = true;
    bool keepsMeshes = true;    // the mesh count
    bool readsBack = true;      // the importer reads the file at all
};
ExportTraits TraitsOf(const std::string& exporterId);

// Exports into output's staging folder as `relative`; side files the exporter
// writes (buffers, material libraries) are staged beside it, and all land on
// output.Commit. Throws std::runtime_error with the system's reason for a
// failed write ("cannot write a.glb: No space left on device"), otherwise
// with the exporter's.
void WriteScene(const aiScene& scene, StagedOutput& output, const std::filesystem::path& relative,
                const std::string& exporterId);

// The same, staged beside `path` and committed at once.
void WriteScene(const aiScene& scene, const std::string& path, const std::string& exporterId);

}  // namespace meshjobs::tool
