#include "toolkit/scene.h"

#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "toolkit/text.h"

namespace meshjobs::tool {

void SceneDeleter::operator()(aiScene* scene) const { delete scene; }

namespace {

// What the tool relies on before touching a mesh. The importer's own
// validation would also refuse point clouds, which convert well.
void CheckScene(const aiScene& scene) {
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh* mesh = scene.mMeshes ? scene.mMeshes[m] : nullptr;
        const std::string label = "mesh " + std::to_string(m);
        if (!mesh) throw std::runtime_error(label + " is missing");
        const size_t n = mesh->mNumVertices;
        if (n > 0 && !mesh->mVertices) throw std::runtime_error(label + " has no positions");
        if (mesh->mNumFaces > 0 && !mesh->mFaces) throw std::runtime_error(label + " has no faces array");
        for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
            const aiFace& face = mesh->mFaces[f];
            if (face.mNumIndices > 0 && !face.mIndices)
                throw std::runtime_error(label + " face " + std::to_string(f) + " has no indices");
            for (unsigned i = 0; i < face.mNumIndices; ++i)
                if (face.mIndices[i] >= n)
                    throw std::runtime_error(label + " face " + std::to_string(f) + " names vertex " +
                                             std::to_string(face.mIndices[i]) + " of " + std::to_string(n));
        }
        for (unsigned a = 0; a < mesh->mNumAnimMeshes; ++a)
            if (!mesh->mAnimMeshes || !mesh->mAnimMeshes[a])
                throw std::runtime_error(label + " morph target " + std::to_string(a) + " is missing");
        for (unsigned b = 0; b < mesh->mNumBones; ++b)
            if (!mesh->mBones || !mesh->mBones[b] || (mesh->mBones[b]->mNumWeights && !mesh->mBones[b]->mWeights))
                throw std::runtime_error(label + " bone " + std::to_string(b) + " is missing");
    }
}

}  // namespace

ScenePtr ReadScene(const std::string& path, ReadPurpose purpose) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw std::runtime_error(std::filesystem::exists(path, error) ? "not a regular file" : "no such file");
    }
    unsigned flags = 0;
    if (purpose == ReadPurpose::ForEngine) flags |= aiProcess_Triangulate | aiProcess_SortByPType;
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(path, flags);
    if (!scene) {
        std::string reason = importer.GetErrorString();
        while (!reason.empty() && std::isspace(static_cast<unsigned char>(reason.back()))) reason.pop_back();
        std::replace(reason.begin(), reason.end(), '\n', ' ');
        throw std::runtime_error("cannot read: " + (reason.empty() ? std::string("unknown format") : reason));
    }
    if (scene->mNumMeshes == 0) throw std::runtime_error("no mesh in the file");
    CheckScene(*scene);
    return ScenePtr(importer.GetOrphanedScene());
}

bool IsMeshFile(const std::string& path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    if (extension.size() < 2) return false;
    static const Assimp::Importer importer;
    std::string lowered = extension;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return std::tolower(c); });
    // Side files of other formats that the importer also claims.
    if (lowered == ".bin" || lowered == ".mtl" || lowered == ".xml" || lowered == ".txt" || lowered == ".json")
        return false;
    return importer.IsExtensionSupported(lowered.c_str());
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

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

std::string ExporterFor(const std::string& extensionOrId) {
    std::string wanted = Lower(extensionOrId);
    if (!wanted.empty() && wanted[0] == '.') wanted.erase(0, 1);
    if (wanted.empty()) return {};
    Assimp::Exporter exporter;
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i)
        if (Lower(exporter.GetExportFormatDescription(i)->id) == wanted) return exporter.GetExportFormatDescription(i)->id;
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i)
        if (Lower(exporter.GetExportFormatDescription(i)->fileExtension) == wanted)
            return exporter.GetExportFormatDescription(i)->id;
    return {};
}

std::string ExporterExtension(const std::string& id) {
    Assimp::Exporter exporter;
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i)
        if (id == exporter.GetExportFormatDescription(i)->id) return exporter.GetExportFormatDescription(i)->fileExtension;
    return {};
}

std::string ExporterList() {
    Assimp::Exporter exporter;
    std::string list;
    for (size_t i = 0; i < exporter.GetExportFormatCount(); ++i) {
        if (!list.empty()) list += ", ";
        list += exporter.GetExportFormatDescription(i)->id;
    }
    return list;
}

void WriteScene(const aiScene& scene, const std::string& path, const std::string& exporterId) {
    Assimp::Exporter exporter;
    aiReturn status = aiReturn_FAILURE;
    try {
        status = exporter.Export(&scene, exporterId, path);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot write: ") + e.what());
    }
    if (status != aiReturn_SUCCESS) {
        std::string reason = exporter.GetErrorString();
        std::replace(reason.begin(), reason.end(), '\n', ' ');
        throw std::runtime_error("cannot write " + exporterId + ": " + (reason.empty() ? "exporter failed" : reason));
    }
}

}  // namespace meshjobs::tool
