// `convert` into glTF 2.0 through the built program: what comes out is valid,
// quantised where the layout says so, and keeps what it does not convert.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "gltf_validator.h"
#include "tool_run.h"
#include "toolkit/gltf_accessors.h"
#include "toolkit/gltf_document.h"

namespace meshjobs::testing {
namespace {

using tool::GltfJson;

std::string FirstError(const ValidatorVerdict& verdict) {
    return verdict.messages.empty() ? "" : verdict.messages[0].pointer + " " + verdict.messages[0].message;
}

// A skinned quad with a morph target: two triangles facing +z over 16-bit
// indices, normals leaning every way, colors, joints and weights.
fs::path WriteSkinnedQuad(const fs::path& path) {
    std::vector<uint8_t> bin;
    GltfJson views = GltfJson::array(), accessors = GltfJson::array();
    auto add = [&](const auto& values, int componentType, const char* type, GltfJson extra = GltfJson::object()) {
        const size_t bytes = values.size() * sizeof(values[0]);
        views.push_back({{"buffer", 0}, {"byteOffset", bin.size()}, {"byteLength", bytes}});
        const auto* raw = reinterpret_cast<const uint8_t*>(values.data());
        bin.insert(bin.end(), raw, raw + bytes);
        bin.resize((bin.size() + 3) / 4 * 4);
        extra.update({{"bufferView", views.size() - 1},
                      {"componentType", componentType},
                      {"count", values.size() / tool::ComponentCount(type)},
                      {"type", type}});
        accessors.push_back(extra);
        return accessors.size() - 1;
    };
    const auto position = add(std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0}, 5126, "VEC3",
                              {{"min", {0, 0, 0}}, {"max", {1, 1, 0}}});
    const auto normal = add(std::vector<float>{0, 0, 1, .6f, 0, .8f, 0, -.6f, .8f, .48f, .6f, .64f}, 5126, "VEC3");
    const auto color = add(std::vector<float>{1, 0, 0, 1, 0, 1, 0, .5f, 0, 0, 1, 1, .2f, .4f, .6f, .8f}, 5126, "VEC4");
    const auto joints = add(std::vector<uint8_t>{0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 5121, "VEC4");
    const auto weights = add(std::vector<float>{.5f, .5f, 0, 0, .5f, .5f, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 5126, "VEC4");
    const auto morph = add(std::vector<float>{0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 5126, "VEC3",
                           {{"min", {0, 0, 0}}, {"max", {0, 0, 2}}});
    const auto indices = add(std::vector<uint16_t>{0, 1, 2, 2, 1, 3}, 5123, "SCALAR");
    std::vector<float> identities(32, 0.0f);
    for (int k = 0; k < 4; ++k) identities[5 * k] = identities[16 + 5 * k] = 1;  // two identity matrices
    const auto bindMatrices = add(identities, 5126, "MAT4");
    const GltfJson primitive = {
        {"attributes",
         {{"POSITION", position}, {"NORMAL", normal}, {"COLOR_0", color}, {"JOINTS_0", joints}, {"WEIGHTS_0", weights}}},
        {"indices", indices},
        {"targets", {{{"POSITION", morph}}}}};
    const GltfJson json = {{"asset", {{"version", "2.0"}}},
                           {"scene", 0},
                           {"scenes", {{{"nodes", {0, 1}}}}},
                           {"nodes", {{{"mesh", 0}, {"skin", 0}}, {{"children", {2}}}, {{"translation", {1, 0, 0}}}}},
                           {"skins", {{{"joints", {1, 2}}, {"inverseBindMatrices", bindMatrices}}}},
                           {"meshes", {{{"primitives", {primitive}}, {"weights", {0.25}}}}},
                           {"accessors", accessors},
                           {"bufferViews", views},
                           {"buffers", {{{"byteLength", bin.size()}, {"uri", path.stem().string() + ".bin"}}}}};
    fs::create_directories(path.parent_path());
    std::ofstream(path) << json.dump(1);
    std::ofstream(path.parent_path() / (path.stem().string() + ".bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
    return path;
}

using GltfConvertTool = ToolTest;

TEST_F(GltfConvertTool, QuantisesTheSlotsAndKeepsSkinMorphTargetsAndIndices) {
    const fs::path input = WriteSkinnedQuad(dir_ / "in/quad.gltf"), output = dir_ / "out/quad.glb";
    const ToolRun run = Tool({"convert", input.string(), output.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const tool::GltfDocument in = tool::ReadGltf(input), out = tool::ReadGltf(output);
    for (const char* list : {"extensionsUsed", "extensionsRequired"})
        EXPECT_EQ(out.json[list], GltfJson({"KHR_mesh_quantization"})) << list;

    const GltfJson &before = in.json["meshes"][0]["primitives"][0], &after = out.json["meshes"][0]["primitives"][0];
    auto accessor = [](const tool::GltfDocument& d, const GltfJson& index) { return d.json["accessors"][index.get<size_t>()]; };
    for (const char* carried : {"JOINTS_0", "WEIGHTS_0"})
        EXPECT_EQ(tool::AccessorBytes(out, after["attributes"][carried]), tool::AccessorBytes(in, before["attributes"][carried]))
            << carried;
    EXPECT_EQ(tool::AccessorBytes(out, after["targets"][0]["POSITION"]), tool::AccessorBytes(in, before["targets"][0]["POSITION"]));
    EXPECT_EQ(tool::AccessorFloats(out, out.json["skins"][0]["inverseBindMatrices"]),
              tool::AccessorFloats(in, in.json["skins"][0]["inverseBindMatrices"]));
    EXPECT_EQ(out.json["skins"][0]["joints"], in.json["skins"][0]["joints"]);
    EXPECT_EQ(out.json["meshes"][0]["weights"], in.json["meshes"][0]["weights"]);
    EXPECT_EQ(tool::AccessorUints(out, after["indices"]), tool::AccessorUints(in, before["indices"]));
    EXPECT_EQ(accessor(out, after["indices"])["componentType"], 5123);
    EXPECT_EQ(tool::AccessorFloats(out, after["attributes"]["POSITION"]), tool::AccessorFloats(in, before["attributes"]["POSITION"]));

    const GltfJson normal = accessor(out, after["attributes"]["NORMAL"]);
    EXPECT_EQ(normal["componentType"], 5120);
    EXPECT_EQ(normal["type"], "VEC3");
    const auto normalsIn = tool::AccessorFloats(in, before["attributes"]["NORMAL"]);
    const auto normalsOut = tool::AccessorFloats(out, after["attributes"]["NORMAL"]);
    ASSERT_EQ(normalsOut.size(), normalsIn.size());
    for (size_t i = 0; i < normalsIn.size(); ++i) EXPECT_NEAR(normalsOut[i], normalsIn[i], 0.5 / 127 + 1e-6) << i;
    EXPECT_EQ(accessor(out, after["attributes"]["COLOR_0"])["componentType"], 5121);

    if (GltfValidatorInstalled()) {
        const ValidatorVerdict verdict = Validate(output);
        EXPECT_EQ(verdict.errors, 0) << FirstError(verdict);
        EXPECT_EQ(verdict.info.value("hasSkins", false), true);
        EXPECT_EQ(verdict.info.value("hasMorphTargets", false), true);
    }
}

using Vec3 = std::array<double, 3>;
Vec3 Cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Every triangle's winding must agree with the normals at its corners, the
// matrix mirroring or not.
TEST_F(GltfConvertTool, TrianglesFaceTheirNormalsUnderAnyMatrix) {
    const fs::path input = WriteSkinnedQuad(dir_ / "in/quad.gltf");
    const std::pair<const char*, const char*> matrices[] = {
        {"identity", "1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1"},
        {"mirror x", "-1 0 0 0  0 1 0 0  0 0 1 0  0 0 0 1"},
        {"turn about x", "1 0 0 0  0 0 1 0  0 -1 0 0  0 0 0 1"},
        {"mirror y and z, then scale", "2 0 0 0  0 -2 0 0  0 0 -2 0  0 0 0 1"},
    };
    for (const auto& [name, matrix] : matrices) {
        SCOPED_TRACE(name);
        const fs::path output = dir_ / "out" / (std::string(name) + ".glb");
        const ToolRun run = Tool({"convert", input.string(), output.string(), "--matrix", matrix});
        ASSERT_EQ(run.status, 0) << run.err;
        const tool::GltfDocument out = tool::ReadGltf(output);
        const GltfJson& primitive = out.json["meshes"][0]["primitives"][0];
        const auto positions = tool::AccessorFloats(out, primitive["attributes"]["POSITION"]);
        const auto normals = tool::AccessorFloats(out, primitive["attributes"]["NORMAL"]);
        const auto indices = tool::AccessorUints(out, primitive["indices"]);
        for (size_t t = 0; t < indices.size(); t += 3) {
            Vec3 corner[3], facing{0, 0, 0};
            for (int k = 0; k < 3; ++k)
                for (int c = 0; c < 3; ++c) {
                    corner[k][c] = positions[indices[t + k] * 3 + c];
                    facing[c] += normals[indices[t + k] * 3 + c];
                }
            const Vec3 face = Cross({corner[1][0] - corner[0][0], corner[1][1] - corner[0][1], corner[1][2] - corner[0][2]},
                                    {corner[2][0] - corner[0][0], corner[2][1] - corner[0][1], corner[2][2] - corner[0][2]});
            EXPECT_GT(face[0] * facing[0] + face[1] * facing[1] + face[2] * facing[2], 0) << "triangle " << t / 3;
        }
    }
}

TEST_F(GltfConvertTool, RefusesWhatGltfCannotHoldBeforeWritingAnything) {
    const std::string input = WriteSkinnedQuad(dir_ / "in/quad.gltf").string(), other = WritePly(dir_ / "in/b.ply").string();
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{input, "out/q.glb", "--layout", "compact"}, "--layout gltf"},
        {{input, "out/q.gltf", "--layout", "position:f32x3,normal:f16x4"}, "--layout gltf"},
        {{input, "out/q.glb", "--layout", "full", "--format", "gltf"}, "--format"},
        {{input, other, "out/q.glb"}, "--format glb or gltf"},
        {{input, "out", "--format", "obj"}, "--format glb or gltf"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "convert");
        const ToolRun run = Tool(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

// Formats the importer reads become fresh documents, one per input in the
// output folder.
TEST_F(GltfConvertTool, ImportedFilesBecomeValidDocuments) {
    REQUIRE_GLTF_VALIDATOR();
    const fs::path models = "/usr/share/assimp/models/OBJ";
    if (!fs::exists(models / "spider.obj")) GTEST_SKIP() << "no test models at " << models;
    const ToolRun run = Tool({"convert", (models / "spider.obj").string(), (models / "cube_with_vertexcolors.obj").string(),
                              (dir_ / "out").string(), "--format", "glb"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* name : {"spider.glb", "cube_with_vertexcolors.glb"}) {
        const ValidatorVerdict verdict = Validate(dir_ / "out" / name);
        EXPECT_EQ(verdict.errors, 0) << name << ": " << FirstError(verdict);
        EXPECT_GT(verdict.info.value("totalTriangleCount", 0), 0) << name;
    }
}

// Every glTF 2.0 model Debian ships that the validator accepts comes out
// accepted, with its triangles and exactly its positions (as decoded, when
// they were compressed).
TEST_F(GltfConvertTool, EveryValidSystemModelConvertsValid) {
    REQUIRE_GLTF_VALIDATOR();
    if (!fs::exists(SYSTEM_GLTF_MODELS)) GTEST_SKIP() << "no test models at " << SYSTEM_GLTF_MODELS;
    int converted = 0, decoded = 0;
    for (const auto& [input, before] : ValidSystemModels()) {
        SCOPED_TRACE(input.string());
        const fs::path output = dir_ / std::to_string(converted) / (input.stem().string() + ".glb");
        const ToolRun run = Tool({"convert", input.string(), output.string(), "--layout", "gltf"});
        ASSERT_EQ(run.status, 0) << run.err;
        ++converted;
        if (run.out.find("decoded, written uncompressed") != std::string::npos) ++decoded;
        const ValidatorVerdict after = Validate(output);
        EXPECT_EQ(after.errors, 0) << FirstError(after);
        EXPECT_EQ(after.info.value("totalTriangleCount", -1), before.info.value("totalTriangleCount", -1));
        const tool::GltfDocument in = tool::ReadGltf(input), out = tool::ReadGltf(output);
        const GltfJson meshes = in.json.value("meshes", GltfJson::array());
        for (size_t m = 0; m < meshes.size(); ++m)
            for (size_t p = 0; p < meshes[m]["primitives"].size(); ++p) {
                const GltfJson& was = meshes[m]["primitives"][p]["attributes"];
                const GltfJson& is = out.json["meshes"][m]["primitives"][p]["attributes"];
                EXPECT_EQ(tool::AccessorFloats(out, is["POSITION"]), tool::AccessorFloats(in, was["POSITION"]))
                    << "mesh " << m << " primitive " << p;
            }
    }
    EXPECT_GE(converted, 20);
    EXPECT_GE(decoded, 1);
}

}  // namespace
}  // namespace meshjobs::testing
