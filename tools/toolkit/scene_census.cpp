#include "toolkit/scene_census.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "toolkit/modules.h"

namespace fs = std::filesystem;

namespace meshjobs::tool {

namespace {

std::string Counted(int64_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

SceneCensus CensusOf(const aiScene& scene) {
    SceneCensus census;
    SceneModule().census(scene, census);
    return census;
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
