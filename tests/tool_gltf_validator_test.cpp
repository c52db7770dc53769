// The glTF validator that checks the tool's glTF output, run through the
// tests' helper: known-good models pass with their contents summarised, and a
// broken file fails, so a pass means something. (Named tool_ as it is built
// with the tool: the helper reads the verdict with the tool's JSON library.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "gltf_validator.h"

namespace meshjobs::testing {
namespace {

namespace fs = std::filesystem;

const fs::path GLTF2_MODELS = "/usr/share/assimp/models/glTF2";

struct KnownGood {
    const char* file;
    bool hasTextures, hasSkins, hasMorphTargets;
    int animationCount;
};

// External buffers and images, GLB, skins with an animation, morph targets.
const KnownGood KNOWN_GOOD[] = {
    {"BoxTextured-glTF/BoxTextured.gltf", true, false, false, 0},
    {"BoxTextured-glTF-Binary/BoxTextured.glb", true, false, false, 0},
    {"simple_skin/simple_skin.gltf", false, true, false, 1},
    {"glTF-Sample-Models/AnimatedMorphCube-glTF/AnimatedMorphCube.gltf", false, false, true, 1},
};

TEST(GltfValidator, KnownGoodModelsHaveNoErrorsAndTheirContentsSummarised) {
    REQUIRE_GLTF_VALIDATOR();
    for (const KnownGood& model : KNOWN_GOOD) {
        SCOPED_TRACE(model.file);
        const ValidatorVerdict verdict = Validate(GLTF2_MODELS / model.file);
        EXPECT_EQ(verdict.errors, 0) << (verdict.messages.empty() ? "" : verdict.messages[0].message);
        EXPECT_EQ(verdict.info.value("hasTextures", !model.hasTextures), model.hasTextures);
        EXPECT_EQ(verdict.info.value("hasSkins", !model.hasSkins), model.hasSkins);
        EXPECT_EQ(verdict.info.value("hasMorphTargets", !model.hasMorphTargets), model.hasMorphTargets);
        EXPECT_EQ(verdict.info.value("animationCount", -1), model.animationCount);
    }
}

TEST(GltfValidator, AnAccessorLongerThanItsBufferViewIsAnError) {
    REQUIRE_GLTF_VALIDATOR();
    const fs::path folder = fs::temp_directory_path() / ("meshjobs_validator_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::ofstream(folder / "point.bin", std::ios::binary) << std::string(12, '\0');  // one float3
    std::ofstream(folder / "broken.gltf") << R"({
        "asset": {"version": "2.0"},
        "buffers": [{"uri": "point.bin", "byteLength": 12}],
        "bufferViews": [{"buffer": 0, "byteLength": 12}],
        "accessors": [{"bufferView": 0, "componentType": 5126, "type": "VEC3", "count": 3,
                       "min": [0, 0, 0], "max": [0, 0, 0]}],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
        "nodes": [{"mesh": 0}], "scenes": [{"nodes": [0]}], "scene": 0})";

    const ValidatorVerdict verdict = Validate(folder / "broken.gltf");
    fs::remove_all(folder);
    EXPECT_EQ(verdict.errors, 1);
    ASSERT_EQ(verdict.messages.size(), 1u);
    EXPECT_EQ(verdict.messages[0].code, "ACCESSOR_TOO_LONG");
    EXPECT_EQ(verdict.messages[0].pointer, "/accessors/0");
}

}  // namespace
}  // namespace meshjobs::testing
