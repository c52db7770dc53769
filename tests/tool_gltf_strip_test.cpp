// `strip` on glTF 2.0 through the built program: the document is edited, not
// rebuilt, and what the validator and an engine see stays as it was but for
// the vertices no triangle uses.
#include <gtest/gtest.h>
#include <meshoptimizer.h>

#include <cstring>
#include <set>

#include "gltf_validator.h"
#include "tool_run.h"
#include "toolkit/gltf_accessors.h"
#include "toolkit/gltf_document.h"
#include "toolkit/gltf_strip.h"

namespace meshjobs::testing {
namespace {

using tool::GltfJson;

// A buffer assembled view by view, each 4-byte aligned.
struct BufferBuilder {
    std::vector<uint8_t> bytes;
    GltfJson views = GltfJson::array();

    template <typename T>
    int View(const std::vector<T>& values, int stride = 0) {
        bytes.resize((bytes.size() + 3) / 4 * 4);
        GltfJson view = {{"buffer", 0}, {"byteOffset", bytes.size()}, {"byteLength", values.size() * sizeof(T)}};
        if (stride) view["byteStride"] = stride;
        const auto* raw = reinterpret_cast<const uint8_t*>(values.data());
        bytes.insert(bytes.end(), raw, raw + values.size() * sizeof(T));
        views.push_back(view);
        return static_cast<int>(views.size()) - 1;
    }
};

GltfJson Accessor(int view, int componentType, int64_t count, const char* type) {
    return {{"bufferView", view}, {"componentType", componentType}, {"count", count}, {"type", type}};
}

// Six vertices; the first primitive uses 0 to 3 through 8-bit indices, the
// second shares its attributes but uses 2 to 5 through 32-bit ones. Then a
// point list, a triangle list without indices, and one of 70,000 vertices:
// all three pass through.
struct TestModel {
    GltfJson json;
    std::vector<uint8_t> bin;
};

TestModel MakeModel() {
    BufferBuilder b;
    GltfJson accessors = GltfJson::array();
    auto add = [&](GltfJson accessor) {
        accessors.push_back(std::move(accessor));
        return static_cast<int>(accessors.size()) - 1;
    };
    const std::vector<float> positions{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 2, 0, 0, 2, 1, 0};
    GltfJson position = Accessor(b.View(positions), 5126, 6, "VEC3");
    position["min"] = {0, 0, 0};
    position["max"] = {2, 1, 0};
    const int p = add(position);
    // Normalized 8-bit colors: three bytes an element, in a 4-byte stride.
    const std::vector<uint8_t> colors{10, 11, 12, 0, 20, 21, 22, 0, 30, 31, 32, 0, 40, 41, 42, 0, 50, 51, 52, 0, 60, 61, 62, 0};
    GltfJson color = Accessor(b.View(colors, 4), 5121, 6, "VEC3");
    color["normalized"] = true;
    const int c = add(color);
    GltfJson uv = Accessor(b.View(std::vector<float>{0, 0, 1, 0, 0, 1, 1, 1, .5f, .5f, .25f, .25f}), 5126, 6, "VEC2");
    uv["extensions"] = {{"EXT_unknown_accessor_thing", {{"keep", true}}}};
    uv["name"] = "uv";
    const int t = add(uv);
    // A morph target of zeros but for one sparse value, at vertex 3.
    GltfJson target = {{"componentType", 5126}, {"count", 6}, {"type", "VEC3"}, {"min", {0, 0, 0}}, {"max", {0, 0, 5}}};
    target["sparse"] = {{"count", 1},
                        {"indices", {{"bufferView", b.View(std::vector<uint16_t>{3, 0})}, {"componentType", 5123}}},
                        {"values", {{"bufferView", b.View(std::vector<float>{0, 0, 5})}}}};
    const int m = add(target);
    const int i8 = add(Accessor(b.View(std::vector<uint8_t>{0, 1, 2, 2, 1, 3}), 5121, 6, "SCALAR"));
    const int i32 = add(Accessor(b.View(std::vector<uint32_t>{2, 3, 4, 4, 3, 5, 5, 3, 2}), 5125, 9, "SCALAR"));
    std::vector<float> many(70000 * 3, 0.0f);
    many[3] = 1, many[7] = 1;
    GltfJson large = Accessor(b.View(many), 5126, 70000, "VEC3");
    large["min"] = {0, 0, 0};
    large["max"] = {1, 1, 0};
    const int big = add(large);
    const int bigIndices = add(Accessor(b.View(std::vector<uint16_t>{0, 1, 2}), 5123, 3, "SCALAR"));
    GltfJson bigTarget = target;
    bigTarget["count"] = 70000;
    const int bm = add(bigTarget);

    GltfJson primitives = GltfJson::array();
    primitives.push_back({{"attributes", {{"POSITION", p}, {"COLOR_0", c}, {"TEXCOORD_0", t}}},
                          {"indices", i8},
                          {"targets", {{{"POSITION", m}}}},
                          {"extras", {{"first", 1}}}});
    // Every primitive of a mesh has as many morph targets as the mesh has weights.
    const GltfJson targets = {{{"POSITION", m}}};
    primitives.push_back({{"attributes", {{"POSITION", p}, {"COLOR_0", c}, {"TEXCOORD_0", t}}},
                          {"indices", i32},
                          {"targets", targets}});
    primitives.push_back({{"attributes", {{"POSITION", p}}}, {"mode", 0}, {"targets", targets}});
    primitives.push_back({{"attributes", {{"POSITION", p}}}, {"targets", targets}});
    primitives.push_back({{"attributes", {{"POSITION", big}}}, {"indices", bigIndices}, {"targets", {{{"POSITION", bm}}}}});

    TestModel model;
    model.json = {{"asset", {{"version", "2.0"}, {"generator", "by hand"}}},
                  {"extensionsUsed", {"EXT_unknown_accessor_thing", "EXT_unknown_root"}},
                  {"extensions", {{"EXT_unknown_root", {{"answer", 42}}}}},
                  {"scene", 0},
                  {"scenes", {{{"nodes", {0}}}}},
                  {"nodes", {{{"mesh", 0}, {"name", "shape"}}}},
                  {"meshes", {{{"primitives", primitives}, {"weights", {0.5}}}}},
                  {"accessors", accessors},
                  {"bufferViews", b.views},
                  {"buffers", {{{"uri", "model.bin"}, {"byteLength", b.bytes.size()}}}}};
    model.bin = b.bytes;
    return model;
}

class GltfStripTool : public ToolTest {
protected:
    fs::path WriteModel(const TestModel& model) {
        fs::create_directories(dir_ / "in");
        std::ofstream(dir_ / "in/model.gltf") << model.json.dump(1);
        std::ofstream(dir_ / "in/model.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(model.bin.data()), static_cast<std::streamsize>(model.bin.size()));
        return dir_ / "in/model.gltf";
    }
};

TEST_F(GltfStripTool, UnusedVerticesGoFromEveryAttributeAndTheRestStaysAsItWas) {
    const TestModel model = MakeModel();
    const fs::path input = WriteModel(model);
    const auto inputs = Snapshot(dir_ / "in");
    for (const char* name : {"out.glb", "out.gltf"}) {
        SCOPED_TRACE(name);
        const ToolRun run = Tool({"strip", input.string(), (dir_ / "out" / name).string()});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("point"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("not indexed"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("70000 vertices"), std::string::npos) << run.out;
        EXPECT_EQ(Snapshot(dir_ / "in"), inputs);

        const tool::GltfDocument in = tool::ReadGltf(input), out = tool::ReadGltf(dir_ / "out" / name);
        const GltfJson& prims = out.json["meshes"][0]["primitives"];
        // The first primitive: four vertices, every attribute compacted alike,
        // 8-bit indices kept, the sparse morph value at its vertex.
        const auto& first = prims[0]["attributes"];
        EXPECT_EQ(tool::AccessorUints(out, prims[0]["indices"]), (std::vector<uint32_t>{0, 1, 2, 2, 1, 3}));
        EXPECT_EQ(out.json["accessors"][prims[0]["indices"].get<int>()]["componentType"], 5121);
        EXPECT_EQ(tool::AccessorBytes(out, first["COLOR_0"]),
                  (std::vector<uint8_t>{10, 11, 12, 20, 21, 22, 30, 31, 32, 40, 41, 42}));
        EXPECT_EQ(tool::AccessorFloats(out, prims[0]["targets"][0]["POSITION"]),
                  (std::vector<float>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}));
        const GltfJson& uv = out.json["accessors"][first["TEXCOORD_0"].get<int>()];
        EXPECT_EQ(uv["extensions"], model.json["accessors"][2]["extensions"]);
        EXPECT_EQ(uv["name"], "uv");
        EXPECT_EQ(out.json["accessors"][first["POSITION"].get<int>()]["max"], GltfJson({1, 1, 0}));
        // The second: its own copies of the shared accessors, over 2 to 5,
        // its 32-bit indices narrowed to 16 bits.
        EXPECT_NE(prims[1]["attributes"]["POSITION"], first["POSITION"]);
        EXPECT_EQ(tool::AccessorFloats(out, prims[1]["attributes"]["POSITION"]),
                  (std::vector<float>{0, 1, 0, 1, 1, 0, 2, 0, 0, 2, 1, 0}));
        EXPECT_EQ(out.json["accessors"][prims[1]["indices"].get<int>()]["componentType"], 5123);
        // Passed through: the same elements as before.
        for (int k : {2, 3, 4})
            EXPECT_EQ(tool::AccessorBytes(out, prims[k]["attributes"]["POSITION"]),
                      tool::AccessorBytes(in, in.json["meshes"][0]["primitives"][k]["attributes"]["POSITION"]));
        EXPECT_EQ(tool::TrianglePositions(out), tool::TrianglePositions(in));
        // The digests the tool checks a written file by: alike here, unlike
        // once one position bit, or the order of two corners, is not.
        const std::vector<uint64_t> digests = tool::TriangleDigests(in);
        EXPECT_EQ(tool::TriangleDigests(out), digests);
        for (const char* changed : {"POSITION", "indices"}) {
            tool::GltfDocument other = out;
            const bool indices = std::string(changed) == "indices";
            const GltfJson& accessor = other.json["accessors"][(indices ? prims[0]["indices"] : first["POSITION"]).get<int>()];
            const GltfJson& view = other.json["bufferViews"][accessor["bufferView"].get<int>()];
            uint8_t* element = other.buffers[view["buffer"].get<int>()].data() + view.value("byteOffset", 0) +
                               accessor.value("byteOffset", 0);
            if (indices) std::swap(element[0], element[1]);
            else element[0] ^= 1;
            const std::vector<uint64_t> after = tool::TriangleDigests(other);
            ASSERT_EQ(after.size(), digests.size());
            EXPECT_NE(after[0], digests[0]) << changed;
            EXPECT_TRUE(std::equal(after.begin() + 1, after.end(), digests.begin() + 1)) << changed;
        }
        for (const char* kept : {"extensions", "extensionsUsed", "nodes", "scenes", "asset"})
            EXPECT_EQ(out.json[kept], in.json[kept]) << kept;
        EXPECT_EQ(prims[0]["extras"], in.json["meshes"][0]["primitives"][0]["extras"]);
        EXPECT_EQ(out.json["meshes"][0]["weights"], in.json["meshes"][0]["weights"]);

        if (GltfValidatorInstalled()) {
            for (const fs::path& file : {input, dir_ / "out" / name}) {
                const ValidatorVerdict verdict = Validate(file);
                EXPECT_EQ(verdict.errors, 0) << file << ": "
                                             << (verdict.messages.empty() ? "" : verdict.messages[0].pointer + " " +
                                                                                     verdict.messages[0].message);
            }
        }
    }
    const auto size = [&](const char* name) { return fs::file_size(dir_ / "out" / name); };
    EXPECT_LT(size("out.glb"), fs::file_size(input) + fs::file_size(dir_ / "in/model.bin"));
}

// Six vertices of which the two triangles use 0 to 3, positions and indices
// compressed; the views' own buffer, the first, is a fallback that holds no
// data.
TestModel MakeMeshoptModel(bool corrupt) {
    const std::vector<float> positions{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 7, 7, 7, 8, 8, 8};
    const std::vector<unsigned> indices{0, 1, 2, 2, 1, 3};
    std::vector<uint8_t> vertices(meshopt_encodeVertexBufferBound(6, 12)), triangles(meshopt_encodeIndexBufferBound(6, 6));
    vertices.resize(meshopt_encodeVertexBuffer(vertices.data(), vertices.size(), positions.data(), 6, 12) - (corrupt ? 8 : 0));
    triangles.resize(meshopt_encodeIndexBuffer(triangles.data(), triangles.size(), indices.data(), 6));
    TestModel model;
    model.bin = vertices;
    model.bin.resize((model.bin.size() + 3) / 4 * 4);
    const auto compressed = [&](size_t offset, size_t bytes, const char* mode, int stride) {
        return GltfJson{{"EXT_meshopt_compression", {{"buffer", 1}, {"byteOffset", offset}, {"byteLength", bytes},
                                                     {"byteStride", stride}, {"count", 6}, {"mode", mode}}}};
    };
    const GltfJson views = {
        {{"buffer", 0}, {"byteLength", 72}, {"byteStride", 12}, {"extensions", compressed(0, vertices.size(), "ATTRIBUTES", 12)}},
        {{"buffer", 0}, {"byteOffset", 72}, {"byteLength", 12},
         {"extensions", compressed(model.bin.size(), triangles.size(), "TRIANGLES", 2)}}};
    model.bin.insert(model.bin.end(), triangles.begin(), triangles.end());
    model.json = {{"asset", {{"version", "2.0"}}},
                  {"extensionsUsed", {"EXT_meshopt_compression"}},
                  {"extensionsRequired", {"EXT_meshopt_compression"}},
                  {"meshes", {{{"primitives", {{{"attributes", {{"POSITION", 0}}}, {"indices", 1}}}}}}},
                  {"accessors",
                   {{{"bufferView", 0}, {"componentType", 5126}, {"count", 6}, {"type", "VEC3"}, {"min", {0, 0, 0}},
                     {"max", {8, 8, 8}}},
                    {{"bufferView", 1}, {"componentType", 5123}, {"count", 6}, {"type", "SCALAR"}}}},
                  {"bufferViews", views},
                  {"buffers",
                   {{{"byteLength", 84}, {"extensions", {{"EXT_meshopt_compression", {{"fallback", true}}}}}},
                    {{"uri", "model.bin"}, {"byteLength", model.bin.size()}}}}};
    return model;
}

// strip and convert both decode the views and write them plain: the
// extension and the fallback buffer gone, the triangles as they were. Data
// that does not decode fails the file, naming the extension and the view.
TEST_F(GltfStripTool, MeshoptCompressedViewsAreDecodedAndWrittenPlain) {
    const fs::path input = WriteModel(MakeMeshoptModel(false));
    const std::vector<std::vector<float>> triangles = {{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0}};
    const std::vector<std::vector<std::string>> commands = {{"strip"}, {"convert", "--layout", "gltf"}};
    for (const auto& command : commands) {
        SCOPED_TRACE(command[0]);
        const fs::path output = dir_ / command[0] / "out.glb";
        std::vector<std::string> arguments = command;
        arguments.insert(arguments.begin() + 1, {input.string(), output.string()});
        const ToolRun run = Tool(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("EXT_meshopt_compression: 2 buffer views decoded, written uncompressed"), std::string::npos)
            << run.out;
        const tool::GltfDocument out = tool::ReadGltf(output);
        EXPECT_FALSE(out.json.contains("extensionsUsed") || out.json.contains("extensionsRequired"));
        EXPECT_EQ(out.json["buffers"], GltfJson::parse(R"([{"byteLength":)" + std::to_string(out.buffers[0].size()) + "}]"));
        EXPECT_EQ(out.json["bufferViews"].dump().find("meshopt"), std::string::npos);
        EXPECT_EQ(tool::TrianglePositions(out), triangles);
        const GltfJson& attributes = out.json["meshes"][0]["primitives"][0]["attributes"];
        EXPECT_EQ(out.json["accessors"][attributes["POSITION"].get<int>()]["count"], command[0] == "strip" ? 4 : 6);
        if (GltfValidatorInstalled()) {
            const ValidatorVerdict verdict = Validate(output);
            EXPECT_EQ(verdict.errors, 0) << (verdict.messages.empty() ? "" : verdict.messages[0].pointer + " " +
                                                                                 verdict.messages[0].message);
        }
    }

    fs::remove_all(dir_ / "in");
    const fs::path corrupt = WriteModel(MakeMeshoptModel(true));
    const auto inputs = Snapshot(dir_ / "in");
    const ToolRun run = Tool({"strip", corrupt.string(), (dir_ / "corrupt/out.glb").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("EXT_meshopt_compression: buffer view 0: its data does not decode"), std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir_ / "corrupt/out.glb"));
    EXPECT_EQ(Snapshot(dir_ / "in"), inputs);
}

// The libraries of the importer and of the Draco decoder are loaded only for
// the files that need them, in every process of a run: glTF 2.0 strips and
// converts map neither, a PLY maps the scene module, a Draco-compressed glTF
// the Draco module alone.
TEST_F(GltfStripTool, ModulesAreLoadedOnlyForTheFilesThatNeedThem) {
    const fs::path gltf = WriteModel(MakeModel());
    const fs::path ply = WritePly(dir_ / "in/model.ply");
    const fs::path draco = SYSTEM_GLTF_MODELS / "draco/2CylinderEngine.gltf";
    auto loaded = [&](const std::vector<std::string>& arguments) {
        fs::remove_all(dir_ / "ld");
        fs::create_directories(dir_ / "ld");
        const ToolRun run = Tool(arguments, {.environment = {"LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + (dir_ / "ld/trace").string()}});
        EXPECT_EQ(run.status, 0) << run.err;
        std::set<std::string> libraries;
        for (const auto& trace : fs::directory_iterator(dir_ / "ld"))
            for (const std::string& line : Lines(Slurp(trace.path())))
                for (const char* library : {"libassimp", "libdraco", "libmeshjobs_scene", "libmeshjobs_draco"})
                    if (line.find("file=") != std::string::npos && line.find(library) != std::string::npos)
                        libraries.insert(library);
        return libraries;
    };
    using Set = std::set<std::string>;
    EXPECT_EQ(loaded({"strip", gltf.string(), (dir_ / "out/a.glb").string()}), Set{});
    EXPECT_EQ(loaded({"convert", gltf.string(), (dir_ / "out/b.gltf").string()}), Set{});
    const Set forPly = loaded({"strip", ply.string(), (dir_ / "out/c.glb").string()});
    EXPECT_TRUE(forPly.count("libmeshjobs_scene") && forPly.count("libassimp"));
    EXPECT_FALSE(forPly.count("libmeshjobs_draco"));
    if (fs::exists(draco))
        EXPECT_EQ(loaded({"strip", draco.string(), (dir_ / "out/d.glb").string()}), (Set{"libdraco", "libmeshjobs_draco"}));

    // A tool without its modules: the files that need one fail, saying which
    // and why, and the others complete.
    fs::create_directories(dir_ / "bare");
    fs::copy_file(MESHJOBS_TOOL_FILE, dir_ / "bare/meshjobs");
    const ToolRun run = Tool({"strip", gltf.string(), ply.string(), (dir_ / "bare-out").string() + "/"},
                             {.program = dir_ / "bare/meshjobs"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(fs::exists(dir_ / "bare-out/model.gltf")) << run.err;
    EXPECT_NE(LineAbout(run.err, "model.ply").find(": cannot load libmeshjobs_scene.so, which reads and writes every "
                                                   "format but glTF 2.0: " + (dir_ / "bare/libmeshjobs_scene.so").string() +
                                                   ": cannot open shared object file: No such file or directory"),
              std::string::npos)
        << run.err;
}

// Every glTF 2.0 model Debian ships that the validator accepts comes out
// accepted, with what the validator reports about it unchanged, and no larger
// than it went in but for padding (its images are copied, not counted)
// unless it was compressed.
TEST_F(GltfStripTool, EveryValidSystemModelStaysValidAndWhole) {
    REQUIRE_GLTF_VALIDATOR();
    if (!fs::exists(SYSTEM_GLTF_MODELS)) GTEST_SKIP() << "no test models at " << SYSTEM_GLTF_MODELS;
    int checked = 0, decoded = 0;
    for (const auto& [input, before] : ValidSystemModels()) {
        SCOPED_TRACE(input.string());
        const fs::path output = dir_ / std::to_string(checked++) / (input.stem().string() + ".glb");
        const ToolRun run = Tool({"strip", input.string(), output.string()});
        ASSERT_EQ(run.status, 0) << run.err;
        const ValidatorVerdict after = Validate(output);
        EXPECT_EQ(after.errors, 0) << (after.messages.empty() ? "" : after.messages[0].pointer + " " + after.messages[0].message);
        for (const char* kept : {"animationCount", "materialCount", "hasMorphTargets", "hasSkins", "hasTextures",
                                 "drawCallCount", "totalTriangleCount"})
            EXPECT_EQ(after.info.value(kept, nlohmann::json()), before.info.value(kept, nlohmann::json())) << kept;
        const tool::GltfDocument in = tool::ReadGltf(input), out = tool::ReadGltf(output);
        for (const char* kept : {"nodes", "meshes", "skins", "cameras", "images", "extensionsUsed"})
            EXPECT_EQ(out.json.value(kept, GltfJson::array()).size(), in.json.value(kept, GltfJson::array()).size()) << kept;
        int64_t inputBytes = 0;
        for (const fs::path& file : in.filesRead)
            if (file.extension() == ".gltf" || file.extension() == ".glb" || file.extension() == ".bin")
                inputBytes += static_cast<int64_t>(fs::file_size(file));
        if (run.out.find("decoded, written uncompressed") != std::string::npos)
            ++decoded;
        else if (run.out.find(" (0 removed)") != std::string::npos)
            EXPECT_LE(static_cast<int64_t>(fs::file_size(output)), inputBytes + 1024);
        else
            EXPECT_LT(static_cast<int64_t>(fs::file_size(output)), inputBytes);
    }
    EXPECT_GE(checked, 20);
    EXPECT_GE(decoded, 1);
}

}  // namespace
}  // namespace meshjobs::testing
