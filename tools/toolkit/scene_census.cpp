#include "toolkit/scene_census.h"

#include <assimp/material.h>
#include <assimp/scene.h>

#include <algorithm>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace meshjobs::tool {

namespace {

void CountPlacements(const aiNode* node, const aiScene& scene, std::vector<int64_t>& placements, int depth) {
    if (!node || depth > 1000) return;  // a node tree that loops is not walked forever
    for (unsigned k = 0; k < node->mNumMeshes; ++k)
        if (node->mMeshes[k] < scene.mNumMeshes) ++placements[node->mMeshes[k]];
    for (unsigned c = 0; c < node->mNumChildren; ++c)
        CountPlacements(node->mChildren[c], scene, placements, depth + 1);
}

// The importers add a material when a file has none: named so by most, left
// unnamed by the PLY importer.
bool IsStandIn(const aiMaterial& material) {
    aiString name;
    if (material.Get(AI_MATKEY_NAME, name) != aiReturn_SUCCESS) return true;
    const std::string text = name.C_Str();
    return text.empty() || text == AI_DEFAULT_MATERIAL_NAME;
}

std::string Counted(int64_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

SceneCensus CensusOf(const aiScene& scene) {
    SceneCensus c;
    std::vector<int64_t> placements(scene.mNumMeshes, 0);
    CountPlacements(scene.mRootNode, scene, placements, 0);
    std::set<unsigned> usedMaterials;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        if (mesh.mNumVertices == 0 && mesh.mNumFaces == 0) continue;
        const int64_t times = std::max<int64_t>(placements[m], 1);
        int64_t triangles = 0, lines = 0, points = 0;
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const unsigned corners = mesh.mFaces[f].mNumIndices;
            if (corners >= 3) triangles += corners - 2;
            if (corners == 2) ++lines;
            if (corners == 1) ++points;
        }
        c.meshes += times;
        c.vertices += times * mesh.mNumVertices;
        c.triangles += times * triangles;
        c.lines += times * lines;
        c.points += times * points;

        c.normals += mesh.mNormals != nullptr;
        c.tangents += mesh.mTangents != nullptr;
        c.colorSets += mesh.GetNumColorChannels();
        c.uvSets += mesh.GetNumUVChannels();
        c.mostColorSets = std::max<int64_t>(c.mostColorSets, mesh.GetNumColorChannels());
        c.mostUvSets = std::max<int64_t>(c.mostUvSets, mesh.GetNumUVChannels());
        c.morphTargets += mesh.mNumAnimMeshes;
        c.skinnedMeshes += mesh.mNumBones > 0;
        c.bones += mesh.mNumBones;
        if (scene.mMaterials && mesh.mMaterialIndex < scene.mNumMaterials) usedMaterials.insert(mesh.mMaterialIndex);
    }
    c.animations = scene.mNumAnimations;
    c.cameras = scene.mNumCameras;
    c.lights = scene.mNumLights;
    c.embeddedTextures = scene.mNumTextures;

    std::set<std::string> textures;
    for (unsigned index : usedMaterials) {
        const aiMaterial& material = *scene.mMaterials[index];
        if (IsStandIn(material)) continue;
        ++c.materials;
        for (int type = aiTextureType_NONE; type <= aiTextureType_UNKNOWN; ++type)
            for (unsigned k = 0; k < material.GetTextureCount(static_cast<aiTextureType>(type)); ++k) {
                aiString path;
                if (material.GetTexture(static_cast<aiTextureType>(type), k, &path) != aiReturn_SUCCESS) continue;
                const std::string file = path.C_Str();
                // "*N" and names of textures the file carries are not files.
                if (file.empty() || file[0] == '*' || scene.GetEmbeddedTexture(file.c_str())) continue;
                textures.insert(file);
            }
    }
    c.textureFiles.assign(textures.begin(), textures.end());
    return c;
}

std::vector<std::string> CountMismatches(const SceneCensus& written, const SceneCensus& readBack,
                                         const ExportTraits& traits) {
    std::vector<std::string> mismatches;
    auto compare = [&](int64_t before, int64_t after, const std::string& one, const std::string& many) {
        if (before != after) mismatches.push_back(Counted(before, one, many) + " written, " + std::to_string(after) + " read back");
    };
    if (traits.keepsMeshes) compare(written.meshes, readBack.meshes, "mesh", "meshes");
    if (traits.keepsVertices) compare(written.vertices, readBack.vertices, "vertex", "vertices");
    compare(written.triangles, readBack.triangles, "triangle", "triangles");
    return mismatches;
}

std::vector<std::string> Losses(const SceneCensus& read, const SceneCensus& readBack, const fs::path& inputFolder,
                                const fs::path& outputFolder) {
    std::vector<std::string> losses;
    // "name (had)" when none is left, "name (has of had)" when some are.
    auto lost = [&](const std::string& name, int64_t had, int64_t has) {
        if (has >= had) return;
        losses.push_back(name + " (" + (has ? std::to_string(has) + " of " : std::string()) + std::to_string(had) + ")");
    };
    // Meshes merged or split by a format change how many have an attribute,
    // so only its loss from every mesh is certain.
    auto gone = [&](const std::string& name, int64_t had, int64_t has) {
        if (had > 0 && has == 0) losses.push_back(name);
    };
    lost("lines", read.lines, readBack.lines);
    lost("points", read.points, readBack.points);
    gone("normals", read.normals, readBack.normals);
    gone("tangents", read.tangents, readBack.tangents);
    if (read.colorSets > 0 && readBack.colorSets == 0)
        losses.push_back("vertex colors");
    else
        lost("color sets", read.mostColorSets, readBack.mostColorSets);
    lost("uv sets", read.mostUvSets, readBack.mostUvSets);
    lost("morph targets", read.morphTargets, readBack.morphTargets);
    lost("skins", read.skinnedMeshes, readBack.skinnedMeshes);
    lost("animations", read.animations, readBack.animations);
    lost("cameras", read.cameras, readBack.cameras);
    lost("lights", read.lights, readBack.lights);
    lost("materials", read.materials, readBack.materials);
    lost("embedded textures", read.embeddedTextures, readBack.embeddedTextures);

    std::vector<std::string> dropped, notCopied;
    for (const std::string& file : read.textureFiles) {
        if (!std::binary_search(readBack.textureFiles.begin(), readBack.textureFiles.end(), file)) {
            dropped.push_back(file);
            continue;
        }
        const fs::path path(file);
        if (path.is_absolute()) continue;  // the same file from either folder
        std::error_code error;
        if (fs::exists(inputFolder / path, error) && !fs::exists(outputFolder / path, error)) notCopied.push_back(file);
    }
    lost("texture references", static_cast<int64_t>(read.textureFiles.size()),
         static_cast<int64_t>(read.textureFiles.size() - dropped.size()));
    if (!notCopied.empty()) {
        std::string list;
        for (const std::string& file : notCopied) list += (list.empty() ? "" : ", ") + file;
        losses.push_back("texture files (" + std::to_string(notCopied.size()) + ", not copied: " + list + ")");
    }
    return losses;
}

}  // namespace meshjobs::tool
