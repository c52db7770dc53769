#include "toolkit/scene.h"

#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <utility>

#include "toolkit/modules.h"
#include "toolkit/output_files.h"
#include "toolkit/text.h"

namespace fs = std::filesystem;

namespace meshjobs::tool {

// Scenes come from the scene module, which frees them too.
void SceneDeleter::operator()(aiScene* scene) const { SceneModule().release(scene); }

ScenePtr ReadScene(const std::string& path, ReadPurpose purpose, std::vector<fs::path>* filesRead) {
    return ScenePtr(SceneModule().read(path, purpose, filesRead));
}

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

bool IsMeshFile(const std::string& path) {
    const std::string extension = Lower(std::filesystem::path(path).extension().string());
    if (extension.size() < 2) return false;
    // Side files of other formats that the importer also claims.
    if (extension == ".bin" || extension == ".mtl" || extension == ".xml" || extension == ".txt" || extension == ".json")
        return false;
    // Answered without the scene module, so that a walk of glTF folders never
    // loads it: glTF itself, and the images beside it, which no importer claims.
    for (const char* mesh : KNOWN_MESH_EXTENSIONS)
        if (extension == mesh) return true;
    for (const char* other : KNOWN_OTHER_EXTENSIONS)
        if (extension == other) return false;
    return SceneModule().readsExtension(extension);
}

MeshAttributes AttributesOf(const aiMesh& mesh) {
    MeshAttributes a;
    a.name = mesh.mName.C_Str();
    a.vertexCount = static_cast<int32_t>(mesh.mNumVertices);
    const size_t n = mesh.mNumVertices;
    a.positions.resize(n * 3);
    for (size_t v = 0; v < n; ++v)
        for (int c = 0; c < 3; ++c) a.positions[v * 3 + c] = mesh.mVertices[v][c];
    if (mesh.mNormals) {
        a.normals.resize(n * 3);
        for (size_t v = 0; v < n; ++v)
            for (int c = 0; c < 3; ++c) a.normals[v * 3 + c] = mesh.mNormals[v][c];
    }
    if (mesh.mTangents) {
        a.tangents.resize(n * 4);
        for (size_t v = 0; v < n; ++v) {
            const aiVector3D& t = mesh.mTangents[v];
            float w = 1.0f;
            // Handedness: whether the bitangent agrees with normal x tangent.
            if (mesh.mNormals && mesh.mBitangents && ((mesh.mNormals[v] ^ t) * mesh.mBitangents[v]) < 0) w = -1.0f;
            a.tangents[v * 4 + 0] = t.x;
            a.tangents[v * 4 + 1] = t.y;
            a.tangents[v * 4 + 2] = t.z;
            a.tangents[v * 4 + 3] = w;
        }
    }
    if (mesh.mColors[0]) {
        a.colors.resize(n * 4);
        for (size_t v = 0; v < n; ++v) {
            const aiColor4D& c = mesh.mColors[0][v];
            a.colors[v * 4 + 0] = c.r;
            a.colors[v * 4 + 1] = c.g;
            a.colors[v * 4 + 2] = c.b;
            a.colors[v * 4 + 3] = c.a;
        }
    }
    for (int k = 0; k < UV_SET_COUNT; ++k) {
        if (!mesh.mTextureCoords[k]) continue;
        const int components = std::clamp<int>(mesh.mNumUVComponents[k] ? mesh.mNumUVComponents[k] : 2, 1, 3);
        a.uvComponents[k] = components;
        a.uvs[k].resize(n * components);
        for (size_t v = 0; v < n; ++v)
            for (int c = 0; c < components; ++c) a.uvs[k][v * components + c] = mesh.mTextureCoords[k][v][c];
    }
    a.primitiveSize = mesh.mNumFaces ? static_cast<int>(mesh.mFaces[0].mNumIndices) : 3;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        if (static_cast<int>(face.mNumIndices) != a.primitiveSize) a.primitiveSize = 0;
        a.indices.insert(a.indices.end(), face.mIndices, face.mIndices + face.mNumIndices);
    }
    return a;
}

namespace {

// One per-vertex array of a mesh or of one of its morph targets.
struct Column {
    void* data;        // where the mesh keeps it
    int floats;        // per vertex
    bool isColor;      // aiColor4D rather than aiVector3D
    void** owner;      // the mesh field to replace
};

void AddVectors(std::vector<Column>& columns, aiVector3D*& field) {
    if (field) columns.push_back({field, 3, false, reinterpret_cast<void**>(&field)});
}

void AddColors(std::vector<Column>& columns, aiColor4D*& field) {
    if (field) columns.push_back({field, 4, true, reinterpret_cast<void**>(&field)});
}

template <typename M>
void AddColumns(std::vector<Column>& columns, M& mesh) {
    AddVectors(columns, mesh.mVertices);
    AddVectors(columns, mesh.mNormals);
    AddVectors(columns, mesh.mTangents);
    AddVectors(columns, mesh.mBitangents);
    for (auto& colors : mesh.mColors) AddColors(columns, colors);
    for (auto& uvs : mesh.mTextureCoords) AddVectors(columns, uvs);
}

}  // namespace

MeshStrip StripMesh(Jobs& jobs, aiMesh& mesh, StripMethod method) {
    MeshStrip result;
    const size_t n = mesh.mNumVertices;
    result.verticesBefore = result.verticesAfter = static_cast<int32_t>(n);
    if (n > static_cast<size_t>(MAX_STRIP_VERTICES)) {
        result.skipped = Grouped(static_cast<int64_t>(n)) + " vertices; 16-bit indices reach 65,536, so not stripped";
        return result;
    }
    if (n == 0) return result;
    if (mesh.mNumFaces == 0) {
        result.skipped = "no faces (a point cloud?), left as it is";
        return result;
    }
    std::vector<Column> columns;
    AddColumns(columns, mesh);
    for (unsigned a = 0; a < mesh.mNumAnimMeshes; ++a) {
        if (mesh.mAnimMeshes[a]->mNumVertices != n) {
            result.skipped = "a morph target has a different vertex count; left as it is";
            return result;
        }
        AddColumns(columns, *mesh.mAnimMeshes[a]);
    }
    int32_t stride = 0;
    for (const Column& c : columns) stride += c.floats;

    std::vector<uint32_t> words(n * stride);
    for (size_t v = 0, at = 0; v < n; ++v)
        for (const Column& c : columns) {
            std::memcpy(&words[at], static_cast<const float*>(c.data) + v * c.floats, 4 * c.floats);
            at += c.floats;
        }
    std::vector<uint16_t> indices;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f)
        for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i) {
            const unsigned index = mesh.mFaces[f].mIndices[i];
            if (index >= n) throw std::runtime_error("face " + std::to_string(f) + " names vertex " +
                                                     std::to_string(index) + " of " + std::to_string(n));
            indices.push_back(static_cast<uint16_t>(index));
        }

    const StripResult stripped = StripVertices(jobs, method, indices, words, stride);
    const size_t kept = stripped.verticesAfter;
    result.verticesAfter = stripped.verticesAfter;
    if (kept == n) return result;

    int32_t at = 0;
    for (const Column& c : columns) {
        float* fresh = c.isColor ? reinterpret_cast<float*>(new aiColor4D[kept])
                                 : reinterpret_cast<float*>(new aiVector3D[kept]);
        for (size_t v = 0; v < kept; ++v) std::memcpy(fresh + v * c.floats, &words[v * stride + at], 4 * c.floats);
        at += c.floats;
        if (c.isColor) {
            delete[] static_cast<aiColor4D*>(c.data);
            *reinterpret_cast<aiColor4D**>(c.owner) = reinterpret_cast<aiColor4D*>(fresh);
        } else {
            delete[] static_cast<aiVector3D*>(c.data);
            *reinterpret_cast<aiVector3D**>(c.owner) = reinterpret_cast<aiVector3D*>(fresh);
        }
    }
    mesh.mNumVertices = static_cast<unsigned>(kept);
    for (unsigned a = 0; a < mesh.mNumAnimMeshes; ++a) mesh.mAnimMeshes[a]->mNumVertices = static_cast<unsigned>(kept);

    size_t next = 0;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f)
        for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i) mesh.mFaces[f].mIndices[i] = indices[next++];

    for (unsigned b = 0; b < mesh.mNumBones; ++b) {
        aiBone& bone = *mesh.mBones[b];
        std::vector<aiVertexWeight> weights;
        for (unsigned w = 0; w < bone.mNumWeights; ++w) {
            const unsigned id = bone.mWeights[w].mVertexId;
            if (id < n && stripped.used[id])
                weights.emplace_back(static_cast<unsigned>(stripped.newIndex[id]), bone.mWeights[w].mWeight);
        }
        delete[] bone.mWeights;
        bone.mWeights = nullptr;
        bone.mNumWeights = static_cast<unsigned>(weights.size());
        if (!weights.empty()) {
            bone.mWeights = new aiVertexWeight[weights.size()];
            std::copy(weights.begin(), weights.end(), bone.mWeights);
        }
    }
    return result;
}

std::string ExporterFor(const std::string& extensionOrId) {
    std::string wanted = Lower(extensionOrId);
    const bool extension = !wanted.empty() && wanted[0] == '.';
    if (extension) wanted.erase(0, 1);
    if (wanted.empty()) return {};
    // A file extension gets the exporter whose files read back whole: glTF
    // 2.0 rather than 1.0, and ASCII FBX, since the importer cannot read the
    // binary FBX exporter's files.
    // The same for the names as words, since `--format glb` means a .glb
    // file; the glTF 1.0 exporters stay reachable as gltf1 and glb1.
    if (wanted == "gltf") return "gltf2";
    if (wanted == "glb") return "glb2";
    if (wanted == "fbx") return "fbxa";
    if (!extension && wanted == "gltf1") return "gltf";
    if (!extension && wanted == "glb1") return "glb";
    const auto exporters = SceneModule().exporters();
    if (!extension)
        for (const auto& [id, fileExtension] : exporters)
            if (Lower(id) == wanted) return id;
    for (const auto& [id, fileExtension] : exporters)
        if (Lower(fileExtension) == wanted) return id;
    return {};
}

ExportTraits TraitsOf(const std::string& exporterId) {
    // Found by writing every test model that loads with each exporter and
    // reading it back. Reading re-creates a vertex per face corner for OBJ,
    // STL, 3DS, Collada, X and FBX; the glTF 2.0 exporters join identical
    // vertices (and split a mesh of mixed primitives); OBJ merges meshes of
    // one node, PLY and STL files hold one mesh, 3DS and 3MF drop some.
    static const std::pair<const char*, ExportTraits> known[] = {
        {"assbin", {true, true, true}},   {"x3d", {true, true, true}},
        {"ply", {true, false, true}},     {"plyb", {true, false, true}},
        {"obj", {false, false, true}},    {"objnomtl", {false, false, true}},
        {"gltf2", {false, true, true}},   {"glb2", {false, true, true}},
        {"collada", {false, true, true}}, {"x", {false, true, true}},
        {"fbxa", {false, true, true}},    {"stl", {false, false, true}},
        {"stlb", {false, false, true}},   {"3ds", {false, false, true}},
        {"3mf", {false, false, true}},
        // The importer cannot read these back, or (glTF 1.0 binary) aborts
        // on half of them.
        {"fbx", {false, false, false}},   {"gltf", {false, false, false}},
        {"glb", {false, false, false}},   {"assxml", {false, false, false}},
        {"assjson", {false, false, false}}, {"stp", {false, false, false}},
        {"pbrt", {false, false, false}},
    };
    for (const auto& [id, traits] : known)
        if (exporterId == id) return traits;
    return {false, false, true};  // unknown: compare only what every format keeps
}

std::string ExporterExtension(const std::string& id) {
    if (id == "gltf2") return "gltf";
    if (id == "glb2") return "glb";
    for (const auto& [exporter, extension] : SceneModule().exporters())
        if (id == exporter) return extension;
    return {};
}

std::string ExporterList() {
    std::string list;
    for (const auto& [id, extension] : SceneModule().exporters()) {
        if (!list.empty()) list += ", ";
        list += id;
    }
    return list;
}

void WriteScene(const aiScene& scene, StagedOutput& output, const fs::path& relative, const std::string& exporterId) {
    const fs::path path = output.StagedPath(relative);
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error) throw std::runtime_error("cannot create folder " + path.parent_path().string() + ": " + error.message());
    const SceneWriteFailure failure = SceneModule().write(scene, path, output.staging(), exporterId);
    if (failure.errorNumber) throw std::runtime_error(SystemMessage("cannot write", failure.file, failure.errorNumber));
    if (!failure.reason.empty()) throw std::runtime_error("cannot write " + exporterId + ": " + failure.reason);
}

void WriteScene(const aiScene& scene, const std::string& path, const std::string& exporterId) {
    const fs::path target(path);
    StagedOutput output(target.parent_path());
    WriteScene(scene, output, target.filename(), exporterId);
    output.Commit({}, target.filename());
}

}  // namespace meshjobs::tool
