// Mesh files through the importer and exporter: reading a scene, stripping
// its meshes in place, seeing their attributes, writing it back out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "toolkit/convert.h"
#include "toolkit/jobs.h"

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

// Throws std::runtime_error with the importer's reason.
ScenePtr ReadScene(const std::string& path, ReadPurpose purpose);

// Whether a folder walk should pick this file up.
bool IsMeshFile(const std::string& path);

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

// Exporter id for a file extension ("obj", ".glb") or an exporter id given
// as such; empty if none writes it.
std::string ExporterFor(const std::string& extensionOrId);
std::string ExporterExtension(const std::string& id);
std::string ExporterList();

// Throws std::runtime_error with the exporter's reason.
void WriteScene(const aiScene& scene, const std::string& path, const std::string& exporterId);

}  // namespace meshjobs::tool
