// What a scene holds, so a written file read back can be checked against what
// was written, and what it lacks against what was read can be reported.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "toolkit/scene.h"

namespace meshjobs::tool {

struct SceneCensus {
    // Geometry as the scene draws it: a mesh counts once for each node that
    // places it (and once if none does), since some formats write instances
    // out as copies. Meshes with neither vertices nor faces are not counted.
    int64_t meshes = 0, vertices = 0;
    int64_t triangles = 0;  // sum over faces of max(0, corners - 2)
    int64_t lines = 0, points = 0;
    // Per distinct mesh: meshes having normals, tangents; colour and uv sets
    // summed over meshes, and the most any one mesh has.
    int64_t normals = 0, tangents = 0, colorSets = 0, uvSets = 0;
    int64_t mostColorSets = 0, mostUvSets = 0;
    int64_t morphTargets = 0, skinnedMeshes = 0, bones = 0;
    // Named materials the meshes use; the importers' stand-in for files
    // without any is not counted.
    int64_t animations = 0, cameras = 0, lights = 0, materials = 0, embeddedTextures = 0;
    // External texture paths the materials reference, as written in the file,
    // sorted, each once.
    std::vector<std::string> textureFiles;
};

// Counted by the scene module (materials are read through the importer).
SceneCensus CensusOf(const aiScene& scene);

// Counts that must survive a write, as "3 meshes written, 2 read back"; empty
// when they hold. Triangles are always compared; vertices and meshes only
// where the format keeps them.
std::vector<std::string> CountMismatches(const SceneCensus& written, const SceneCensus& readBack,
                                         const ExportTraits& traits);

// What the written file lacks compared with what was read, a short phrase
// each: "tangents", "morph targets (2)", "materials (3 of 4)", "texture files
// (2, not copied: a.png, b.png)". A texture file the input's folder has and
// the output's folder lacks was not copied.
std::vector<std::string> Losses(const SceneCensus& read, const SceneCensus& readBack,
                                const std::filesystem::path& inputFolder, const std::filesystem::path& outputFolder);

}  // namespace meshjobs::tool
