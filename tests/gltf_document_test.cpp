// glTF documents: accessors decoded from every layout, compressed data
// decoded, files read and refused, documents written back with everything
// they hold.
#include <draco/compression/encode.h>
#include <draco/mesh/mesh.h>
#include <gtest/gtest.h>
#include <meshoptimizer.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>

#include "tool_run.h"
#include "toolkit/gltf_accessors.h"
#include "toolkit/gltf_document.h"
#include "toolkit/gltf_draco.h"
#include "toolkit/gltf_meshopt.h"

namespace meshjobs::tool {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing::MessageOf;
using testing::Slurp;

Bytes Floats(std::vector<float> values) {
    Bytes bytes(values.size() * 4);
    std::memcpy(bytes.data(), values.data(), bytes.size());  // the machines we build for are little-endian
    return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

GltfDocument InMemory(GltfJson json, std::vector<Bytes> buffers) {
    GltfDocument document;
    document.json = std::move(json);
    document.json["asset"] = {{"version", "2.0"}};
    for (const Bytes& buffer : buffers) document.json["buffers"].push_back({{"byteLength", buffer.size()}});
    document.buffers = std::move(buffers);
    return document;
}

struct DecodeCase {
    const char* name;
    Bytes bytes;
    const char* views;     // JSON array over buffer 0
    const char* accessor;  // JSON object
    std::vector<float> expected;
};

TEST(GltfAccessors, DecodeEveryComponentTypeLayoutAndSparseStorage) {
    const DecodeCase cases[] = {
        {"normalized unsigned byte", {0, 255, 51}, R"([{"buffer":0,"byteLength":3}])",
         R"({"bufferView":0,"componentType":5121,"normalized":true,"count":3,"type":"SCALAR"})", {0, 1, 0.2f}},
        {"normalized byte clamps -128", {0x80, 0x81, 0x7F, 0}, R"([{"buffer":0,"byteLength":4}])",
         R"({"bufferView":0,"componentType":5120,"normalized":true,"count":4,"type":"SCALAR"})", {-1, -1, 1, 0}},
        {"normalized short", {0x00, 0x80, 0xFF, 0x7F, 0x00, 0x40}, R"([{"buffer":0,"byteLength":6}])",
         R"({"bufferView":0,"componentType":5122,"normalized":true,"count":3,"type":"SCALAR"})",
         {-1, 1, 16384 / 32767.0f}},
        {"normalized unsigned short", {0xFF, 0xFF, 0, 0}, R"([{"buffer":0,"byteLength":4}])",
         R"({"bufferView":0,"componentType":5123,"normalized":true,"count":2,"type":"SCALAR"})", {1, 0}},
        {"plain byte and unsigned int", {0xFF, 5, 0, 0, 0x00, 0x28, 0x6B, 0xEE},
         R"([{"buffer":0,"byteLength":2},{"buffer":0,"byteOffset":4,"byteLength":4}])",
         R"({"bufferView":0,"componentType":5120,"count":2,"type":"SCALAR"})", {-1, 5}},
        {"strided floats past both offsets", Floats({-1, -1, 1, 2, -1, 3, 4, -1}),
         R"([{"buffer":0,"byteOffset":4,"byteLength":28,"byteStride":12}])",
         R"({"bufferView":0,"byteOffset":4,"componentType":5126,"count":2,"type":"VEC2"})", {1, 2, 3, 4}},
        {"byte matrix columns padded", {1, 2, 9, 9, 3, 4, 9, 9, 5, 6, 9, 9, 7, 8, 9, 9},
         R"([{"buffer":0,"byteLength":16}])", R"({"bufferView":0,"componentType":5121,"count":2,"type":"MAT2"})",
         {1, 2, 3, 4, 5, 6, 7, 8}},
        {"no buffer view is zeros", {}, "[]", R"({"componentType":5126,"count":2,"type":"VEC2"})", {0, 0, 0, 0}},
        {"sparse over a base", Floats({1, 2, 3, 4}) + Bytes{1, 3, 0, 0} + Floats({9, 8}),
         R"([{"buffer":0,"byteLength":16},{"buffer":0,"byteOffset":16,"byteLength":2},
             {"buffer":0,"byteOffset":20,"byteLength":8}])",
         R"({"bufferView":0,"componentType":5126,"count":4,"type":"SCALAR","sparse":{"count":2,
             "indices":{"bufferView":1,"componentType":5121},"values":{"bufferView":2}}})",
         {1, 9, 3, 8}},
        {"sparse over zeros", Bytes{0, 0, 2, 0} + Floats({7}),
         R"([{"buffer":0,"byteLength":4},{"buffer":0,"byteOffset":4,"byteLength":4}])",
         R"({"componentType":5126,"count":3,"type":"SCALAR","sparse":{"count":1,
             "indices":{"bufferView":0,"byteOffset":2,"componentType":5123},"values":{"bufferView":1}}})",
         {0, 0, 7}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        GltfDocument document = InMemory({{"bufferViews", GltfJson::parse(c.views)}}, {c.bytes});
        document.json["accessors"] = GltfJson::array({GltfJson::parse(c.accessor)});
        EXPECT_EQ(AccessorFloats(document, 0), c.expected);
    }
}

TEST(GltfAccessors, UnsignedIntegersDecodeExactlyAndOthersAreRefused) {
    GltfDocument document = InMemory({}, {});
    AddIndexAccessor(document, {0, 65535, 7}, GLTF_UNSIGNED_SHORT);
    AddIndexAccessor(document, {4000000001u}, GLTF_UNSIGNED_INT);
    AddFloatAccessor(document, {1}, "SCALAR", std::nullopt, false);
    EXPECT_EQ(AccessorUints(document, 0), (std::vector<uint32_t>{0, 65535, 7}));
    EXPECT_EQ(AccessorUints(document, 1), (std::vector<uint32_t>{4000000001u}));
    EXPECT_NE(MessageOf([&] { AccessorUints(document, 2); }).find("unsigned"), std::string::npos);
    EXPECT_THROW(AddIndexAccessor(document, {256}, GLTF_UNSIGNED_BYTE), std::invalid_argument);
}

TEST(GltfAccessors, ElementsCopyAsStoredWithBoundsWorkedOutAfresh) {
    GltfDocument document = InMemory({}, {});
    AddNormalizedAccessor(document, {1, -1, 0, 0.5f, 0.5f, 0.5f}, "VEC3", GLTF_BYTE);
    document.json["accessors"][0]["min"] = {-127, -127, 0};
    document.json["accessors"][0]["max"] = {127, 127, 127};
    const Bytes stored = AccessorBytes(document, 0);
    ASSERT_EQ(stored, (Bytes{127, 129, 0, 64, 64, 64}));  // tightly packed, though stored with a stride of 4
    const int copy = AddAccessorLike(document, 0, Bytes(stored.begin() + 3, stored.end()), GLTF_ARRAY_BUFFER);
    EXPECT_EQ(AccessorFloats(document, copy), (std::vector<float>{64 / 127.0f, 64 / 127.0f, 64 / 127.0f}));
    EXPECT_EQ(document.json["accessors"][copy]["min"], GltfJson::parse("[64,64,64]"));
    EXPECT_EQ(document.json["bufferViews"][document.json["accessors"][copy]["bufferView"].get<int>()]["byteStride"], 4);
}

TEST(GltfAccessors, UnusedOnesGoAndEveryReferenceIsRenumbered) {
    // Accessors 0, 2 and 4 are unused; the compressed-mesh extension's
    // attribute numbers are not accessors, so nothing at or below them goes.
    const char* mesh = R"({"primitives":[{"attributes":{"POSITION":3},"indices":1,"targets":[{"POSITION":5}]}]})";
    for (const bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "with an extension's numbers" : "core references only");
        GltfDocument document = InMemory({{"meshes", {GltfJson::parse(mesh)}}}, {});
        if (compressed)
            document.json["meshes"][0]["primitives"][0]["extensions"]["EXT_packed"] = {{"attributes", {{"POSITION", 1}}}};
        for (int a = 0; a < 6; ++a) document.json["accessors"].push_back({{"count", a}});
        EXPECT_EQ(RemoveUnusedAccessors(document), compressed ? 2 : 3);
        const GltfJson& primitive = document.json["meshes"][0]["primitives"][0];
        const int shift = compressed ? 0 : 1;
        EXPECT_EQ(document.json["accessors"][primitive["indices"].get<int>()]["count"], 1);
        EXPECT_EQ(primitive["indices"], 1 - shift);
        EXPECT_EQ(primitive["attributes"]["POSITION"], 2 - shift);
        EXPECT_EQ(primitive["targets"][0]["POSITION"], 3 - shift);
        if (compressed) EXPECT_EQ(primitive["extensions"]["EXT_packed"]["attributes"]["POSITION"], 1);
    }
}

// Compressed buffer views, made with the codec's own encoder and filters.
struct MeshoptView {
    Bytes compressed;
    GltfJson extension;  // EXT_meshopt_compression of view 0, over buffer 0
};

MeshoptView Meshopt(const std::string& mode, const std::string& filter, const Bytes& raw, size_t stride) {
    const size_t count = raw.size() / stride;
    Bytes out;
    if (mode == "ATTRIBUTES") {
        out.resize(meshopt_encodeVertexBufferBound(count, stride));
        out.resize(meshopt_encodeVertexBuffer(out.data(), out.size(), raw.data(), count, stride));
    } else {
        std::vector<unsigned> indices(count);
        for (size_t i = 0; i < count; ++i)
            std::memcpy(&indices[i], raw.data() + i * stride, stride);  // little-endian
        if (mode == "TRIANGLES") {
            out.resize(meshopt_encodeIndexBufferBound(count, 1 << 17));
            out.resize(meshopt_encodeIndexBuffer(out.data(), out.size(), indices.data(), count));
        } else {
            out.resize(meshopt_encodeIndexSequenceBound(count, 1 << 17));
            out.resize(meshopt_encodeIndexSequence(out.data(), out.size(), indices.data(), count));
        }
    }
    return {out, {{"buffer", 0}, {"byteLength", out.size()}, {"byteStride", stride}, {"count", count},
                  {"mode", mode}, {"filter", filter}}};
}

// A document of one compressed view (the view's own buffer the compressed
// data's, as if it were a fallback) and one accessor over it.
GltfDocument MeshoptDocument(const MeshoptView& m, const char* accessor, bool strided) {
    GltfJson view = {{"buffer", 0}, {"byteLength", m.extension["count"].get<size_t>() * m.extension["byteStride"].get<size_t>()}};
    if (strided) view["byteStride"] = m.extension["byteStride"];
    view["extensions"] = {{"EXT_meshopt_compression", m.extension}};
    GltfDocument document = InMemory({{"extensionsUsed", {"EXT_meshopt_compression"}},
                                      {"extensionsRequired", {"EXT_meshopt_compression"}},
                                      {"bufferViews", GltfJson::array({view})}},
                                     {m.compressed});
    document.json["accessors"] = GltfJson::array({GltfJson::parse(accessor)});
    return document;
}

template <typename T>
Bytes Raw(const std::vector<T>& values) {
    Bytes bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

template <typename T>
Bytes Filtered(void (*encode)(void*, size_t, size_t, int, const float*), size_t stride, int bits,
               const std::vector<float>& values, size_t components) {
    std::vector<T> out(values.size() / components * stride / sizeof(T));
    encode(out.data(), values.size() / components, stride, bits, values.data());
    return Raw(out);
}

TEST(GltfCompression, MeshoptViewsDecodeInEveryModeAndFilter) {
    const std::vector<float> positions{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0.5f};
    const std::vector<float> normals{0, 0, 1, 0, .6f, 0, .8f, 0, -.48f, .6f, -.64f, 0};  // 4 a vertex, as the filter takes them
    const std::vector<float> turns{0, 0, 0, 1, .6f, 0, 0, .8f, 0, .28f, .96f, 0};
    const std::vector<float> scales{1e-3f, 250.5f, -7.25f, 3, 4, 5e4f};
    struct Case {
        const char* name;
        MeshoptView view;
        bool strided;
        const char* accessor;
        std::vector<float> expected;
        float tolerance;
    };
    const Case cases[] = {
        {"attributes", Meshopt("ATTRIBUTES", "NONE", Raw(positions), 12), true,
         R"({"bufferView":0,"componentType":5126,"count":4,"type":"VEC3"})", positions, 0},
        {"triangles", Meshopt("TRIANGLES", "NONE", Raw(std::vector<uint16_t>{0, 1, 2, 2, 1, 3}), 2), false,
         R"({"bufferView":0,"componentType":5123,"count":6,"type":"SCALAR"})", {0, 1, 2, 2, 1, 3}, 0},
        {"indices", Meshopt("INDICES", "NONE", Raw(std::vector<uint32_t>{7, 0, 70000, 3}), 4), false,
         R"({"bufferView":0,"componentType":5125,"count":4,"type":"SCALAR"})", {7, 0, 70000, 3}, 0},
        {"octahedral", Meshopt("ATTRIBUTES", "OCTAHEDRAL", Filtered<int8_t>(meshopt_encodeFilterOct, 4, 8, normals, 4), 4),
         true, R"({"bufferView":0,"componentType":5120,"normalized":true,"count":3,"type":"VEC3"})",
         {0, 0, 1, .6f, 0, .8f, -.48f, .6f, -.64f}, 0.02f},
        {"quaternion", Meshopt("ATTRIBUTES", "QUATERNION", Filtered<int16_t>(meshopt_encodeFilterQuat, 8, 12, turns, 4), 8),
         true, R"({"bufferView":0,"componentType":5122,"normalized":true,"count":3,"type":"VEC4"})", turns, 0.002f},
        {"exponential", Meshopt("ATTRIBUTES", "EXPONENTIAL", Filtered<uint32_t>(meshopt_encodeFilterExp, 12, 20, scales, 3), 12),
         true, R"({"bufferView":0,"componentType":5126,"count":2,"type":"VEC3"})", scales, 0.05f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GltfDocument document = MeshoptDocument(c.view, c.accessor, c.strided);
        DecodeMeshoptViews(document);
        CheckAccessor(document, 0);
        const std::vector<float> values = AccessorFloats(document, 0);
        ASSERT_EQ(values.size(), c.expected.size());
        for (size_t i = 0; i < values.size(); ++i)
            EXPECT_NEAR(values[i], c.expected[i], c.tolerance * std::max(1.0f, std::abs(c.expected[i]))) << i;
        EXPECT_FALSE(document.json.contains("extensionsUsed") || document.json.contains("extensionsRequired"));
        EXPECT_FALSE(document.json["bufferViews"][0].contains("extensions"));
        EXPECT_EQ(document.decoded, std::vector<std::string>{"EXT_meshopt_compression: 1 buffer view decoded, written uncompressed"});
    }
}

TEST(GltfCompression, MeshoptDataThatDoesNotDecodeIsRefusedWithWhy) {
    const std::vector<float> positions{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0.5f};
    struct Case {
        const char* name;
        std::function<void(MeshoptView&)> spoil;
        const char* says;
    };
    const Case cases[] = {
        {"unknown version", [](MeshoptView& m) { m.compressed[0] |= 0x0F; }, "unknown encoding version"},
        // The decoder asserts what it is given: a stride it cannot take never reaches it.
        {"odd stride", [](MeshoptView& m) { m.extension["byteStride"] = 6; }, "not a multiple of 4"},
        {"unknown filter", [](MeshoptView& m) { m.extension["filter"] = "COLOR"; }, "filter 'COLOR'"},
        {"past its buffer", [](MeshoptView& m) { m.extension["byteOffset"] = 4; }, "reaches past the end of buffer 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MeshoptView view = Meshopt("ATTRIBUTES", "NONE", Raw(positions), 12);
        GltfDocument document = MeshoptDocument(view, R"({"componentType":5126,"count":4,"type":"VEC3"})", true);
        c.spoil(view);
        document.buffers[0] = view.compressed;
        document.json["bufferViews"][0]["extensions"]["EXT_meshopt_compression"] = view.extension;
        const std::string message = MessageOf([&] { DecodeMeshoptViews(document); });
        EXPECT_EQ(message.rfind("EXT_meshopt_compression: buffer view 0", 0), 0u) << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
}

// A quad over points 0 to 3 (point 4 is in no triangle: the encoder drops
// it), compressed with the codec's own encoder, and the document describing
// it: POSITION as floats, TEXCOORD_0 (floats when compressed) as normalized
// unsigned shorts, COLOR_0 (normalized bytes when compressed) as normalized
// unsigned bytes.
struct DracoQuad {
    std::vector<float> positions{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 2, 5, 5, 5};
    std::vector<float> uvs{0, 0, 1, 0, 0, 1, .75f, 1, .5f, .5f};
    std::vector<uint8_t> colors{255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 128, 9, 9, 9, 9, 1, 2, 3, 4};
    std::vector<uint32_t> indices{0, 1, 2, 2, 1, 3};

    GltfDocument Document() const {
        draco::Mesh mesh;
        mesh.set_num_points(5);
        auto add = [&](draco::GeometryAttribute::Type type, int components, draco::DataType data, bool normalized,
                       const void* values, int size) {
            draco::GeometryAttribute attribute;
            attribute.Init(type, nullptr, static_cast<int8_t>(components), data, normalized, components * size, 0);
            const int id = mesh.AddAttribute(attribute, true, 5);
            for (int v = 0; v < 5; ++v)
                mesh.attribute(id)->SetAttributeValue(draco::AttributeValueIndex(v),
                                                      static_cast<const uint8_t*>(values) + v * components * size);
            return mesh.attribute(id)->unique_id();
        };
        const uint32_t position = add(draco::GeometryAttribute::POSITION, 3, draco::DT_FLOAT32, false, positions.data(), 4);
        const uint32_t uv = add(draco::GeometryAttribute::TEX_COORD, 2, draco::DT_FLOAT32, false, uvs.data(), 4);
        const uint32_t color = add(draco::GeometryAttribute::COLOR, 4, draco::DT_UINT8, true, colors.data(), 1);
        for (size_t t = 0; t < indices.size(); t += 3)
            mesh.AddFace({draco::PointIndex(indices[t]), draco::PointIndex(indices[t + 1]), draco::PointIndex(indices[t + 2])});
        draco::Encoder encoder;
        draco::EncoderBuffer encoded;
        EXPECT_TRUE(encoder.EncodeMeshToBuffer(mesh, &encoded).ok());
        const Bytes bytes(encoded.data(), encoded.data() + encoded.size());
        GltfDocument document = InMemory(
            {{"extensionsUsed", {"KHR_draco_mesh_compression"}},
             {"extensionsRequired", {"KHR_draco_mesh_compression"}},
             {"bufferViews", GltfJson::array({{{"buffer", 0}, {"byteLength", bytes.size()}}})},
             {"accessors", GltfJson::parse(R"([{"componentType":5126,"count":5,"type":"VEC3","min":[0,0,0],"max":[5,5,5]},
                 {"componentType":5123,"normalized":true,"count":5,"type":"VEC2"},
                 {"componentType":5121,"normalized":true,"count":5,"type":"VEC4","name":"paint"},
                 {"componentType":5121,"count":6,"type":"SCALAR"}])")},
             {"meshes", GltfJson::array({{{"primitives", GltfJson::array({{
                 {"attributes", {{"POSITION", 0}, {"TEXCOORD_0", 1}, {"COLOR_0", 2}}}, {"indices", 3},
                 {"extensions", {{"KHR_draco_mesh_compression",
                                  {{"bufferView", 0}, {"attributes", {{"POSITION", position}, {"TEXCOORD_0", uv},
                                                                      {"COLOR_0", color}}}}}}}}})}}})}},
            {bytes});
        return document;
    }
};

// The decoder may renumber the vertices and reorder the triangles: each
// triangle must come back with the same position, texture coordinates and
// color at each corner, in the same winding.
std::vector<std::vector<float>> Triangles(const std::vector<uint32_t>& indices,
                                          const std::vector<std::vector<float>>& corners) {
    std::vector<std::vector<float>> triangles;
    for (size_t t = 0; t + 2 < indices.size(); t += 3) {
        std::vector<std::vector<float>> rotations;
        for (size_t r = 0; r < 3; ++r) {
            std::vector<float> triangle;
            for (size_t k = 0; k < 3; ++k) {
                const auto& corner = corners.at(indices[t + (r + k) % 3]);
                triangle.insert(triangle.end(), corner.begin(), corner.end());
            }
            rotations.push_back(std::move(triangle));
        }
        triangles.push_back(*std::min_element(rotations.begin(), rotations.end()));
    }
    std::sort(triangles.begin(), triangles.end());
    return triangles;
}

TEST(GltfCompression, DracoPrimitivesDecodeIntoTheirDeclaredTypes) {
    const DracoQuad quad;
    GltfDocument document = quad.Document();
    DecodeDracoPrimitives(document);
    const GltfJson& primitive = document.json["meshes"][0]["primitives"][0];
    EXPECT_FALSE(primitive.contains("extensions"));
    EXPECT_FALSE(document.json.contains("extensionsUsed") || document.json.contains("extensionsRequired"));
    EXPECT_EQ(document.decoded, std::vector<std::string>{"KHR_draco_mesh_compression: 1 primitive decoded, written uncompressed"});
    const GltfJson& attributes = primitive["attributes"];
    EXPECT_EQ(document.json["accessors"][attributes["COLOR_0"].get<int>()]["name"], "paint");
    // Texture coordinates stored as normalized 16-bit values, colors as the bytes they were.
    auto cornersOf = [](const std::vector<float>& positions, const std::vector<float>& uvs, const Bytes& colors) {
        std::vector<std::vector<float>> corners;
        for (size_t v = 0; v < positions.size() / 3; ++v)
            corners.push_back({positions[3 * v], positions[3 * v + 1], positions[3 * v + 2], uvs[2 * v], uvs[2 * v + 1],
                               float(colors[4 * v]), float(colors[4 * v + 1]), float(colors[4 * v + 2]),
                               float(colors[4 * v + 3])});
        return corners;
    };
    std::vector<float> uvs;
    for (float uv : quad.uvs) uvs.push_back(std::lround(uv * 65535) / 65535.0f);
    EXPECT_EQ(Triangles(AccessorUints(document, primitive["indices"]),
                        cornersOf(AccessorFloats(document, attributes["POSITION"]),
                                  AccessorFloats(document, attributes["TEXCOORD_0"]),
                                  AccessorBytes(document, attributes["COLOR_0"]))),
              Triangles(quad.indices, cornersOf(quad.positions, uvs, quad.colors)));
    // Bounds worked out afresh from the decoded values; the old accessors gone.
    EXPECT_EQ(document.json["accessors"][attributes["POSITION"].get<int>()]["max"], GltfJson::parse("[1,1,2]"));
    EXPECT_EQ(document.json["accessors"].size(), 4u);
}

TEST(GltfCompression, DracoDataThatDoesNotDecodeIsRefusedWithWhy) {
    struct Case {
        const char* name;
        std::function<void(GltfDocument&)> spoil;
        const char* says;
    };
    const Case cases[] = {
        {"garbled", [](GltfDocument& d) { std::fill(d.buffers[0].begin() + 8, d.buffers[0].end(), 0xA5); },
         "buffer view 0 does not decode"},
        {"unknown attribute id",
         [](GltfDocument& d) { d.json["meshes"][0]["primitives"][0]["extensions"]["KHR_draco_mesh_compression"]["attributes"]["POSITION"] = 9; },
         "POSITION: no decoded attribute has id 9"},
        {"fractions into integers",
         [](GltfDocument& d) {
             d.json["accessors"][1]["componentType"] = 5121;
             d.json["accessors"][1].erase("normalized");
         },
         "TEXCOORD_0: decoded value 0.75 does not fit"},
        {"beyond a normalized range",
         [](GltfDocument& d) {
             d.json["accessors"][0]["componentType"] = 5123;
             d.json["accessors"][0]["normalized"] = true;
         },
         "POSITION: decoded value 2 is outside the range"},
        {"strips", [](GltfDocument& d) { d.json["meshes"][0]["primitives"][0]["mode"] = 5; },
         "compressed triangle strip, which this tool cannot decode"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GltfDocument document = DracoQuad().Document();
        c.spoil(document);
        const std::string message = MessageOf([&] { DecodeDracoPrimitives(document); });
        EXPECT_EQ(message.rfind("KHR_draco_mesh_compression: mesh 0 primitive 0", 0), 0u) << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
}

class GltfFiles : public testing::ToolTest {
protected:
    void Put(const fs::path& file, const std::string& text) { std::ofstream(dir_ / file, std::ios::binary) << text; }

    // Writes the document as `relative` in `folder` and reads it back.
    GltfDocument RoundTrip(const GltfDocument& document, const fs::path& folder, const fs::path& relative,
                           WrittenGltf* written = nullptr) {
        StagedOutput output(folder);
        WrittenGltf files = WriteGltf(document, output, relative);
        output.Commit(document.filesRead, files.main);
        if (written) *written = files;
        return ReadGltf(folder / relative);
    }
};

// Every accessor decodes to the same numbers in both documents, and the JSON
// is the same but for where the bytes lie.
void ExpectSameContent(const GltfDocument& before, const GltfDocument& after) {
    auto placeless = [](GltfJson json) {
        json.erase("buffers");
        json.erase("bufferViews");
        for (GltfJson& accessor : json["accessors"]) accessor.erase("bufferView"), accessor.erase("byteOffset");
        json["asset"]["version"] = "2.0";
        return json;
    };
    EXPECT_EQ(placeless(before.json), placeless(after.json));
    for (size_t a = 0; a < before.json.value("accessors", GltfJson::array()).size(); ++a)
        EXPECT_EQ(AccessorFloats(before, static_cast<int>(a)), AccessorFloats(after, static_cast<int>(a))) << a;
}

TEST_F(GltfFiles, GlbRoundTripKeepsExtensionsValuesAndAlignment) {
    GltfDocument document = InMemory(GltfJson::parse(R"({
        "extensionsUsed":["EXT_kept"],
        "bufferViews":[{"buffer":0,"byteLength":36},{"buffer":0,"byteOffset":36,"byteLength":3},
                       {"buffer":1,"byteOffset":1,"byteLength":6,"extensions":{"EXT_kept":{"view":true}}}],
        "accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[1,1,0],
                      "extensions":{"EXT_kept":{"accessor":[1,2]}},"extras":{"note":"x"}},
                     {"bufferView":2,"componentType":5123,"count":3,"type":"SCALAR"}],
        "meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}]})"),
                                     {Floats({0, 0, 0, 1, 0, 0, 0, 1, 0}) + Bytes{1, 2, 3}, {9, 0, 0, 1, 0, 2, 0}});
    auto& attributes = document.json["meshes"][0]["primitives"][0]["attributes"];
    attributes["COLOR_0"] = AddNormalizedAccessor(document, {1, 0, 0.5f, 0, 1, 0, 0, 0, 1}, "VEC3", GLTF_UNSIGNED_BYTE);
    attributes["TEXCOORD_0"] = AddFloatAccessor(document, {0, 0, 1, 0, 0, 1}, "VEC2", GLTF_ARRAY_BUFFER, true);

    const GltfDocument back = RoundTrip(document, dir_, "out.glb");
    ExpectSameContent(document, back);
    ASSERT_EQ(back.json["bufferViews"].size(), 4u);  // the unused one is gone
    EXPECT_EQ(back.json["buffers"].size(), 1u);
    EXPECT_EQ(back.json["bufferViews"][1]["extensions"]["EXT_kept"]["view"], true);
    for (const GltfJson& view : back.json["bufferViews"]) EXPECT_EQ(view.value("byteOffset", 0) % 4, 0);
    EXPECT_EQ(back.json["bufferViews"][2]["byteStride"], 4);  // three bytes padded to four
    EXPECT_EQ(back.json["accessors"][3]["min"], GltfJson::parse("[0.0,0.0]"));
}

TEST_F(GltfFiles, GltfBesideItsInputNeverOverwritesWhatItRead) {
    // Text buffer: the percent-encoded file; the image stays where it is.
    Put("copy.bin", std::string(reinterpret_cast<const char*>(Floats({1, 2, 3}).data()), 12));
    Put("tex a.png", "png");
    Put("in.gltf", R"({"asset":{"version":"2.0","generator":"hand"},"buffers":[{"uri":"copy%2Ebin","byteLength":12}],
        "bufferViews":[{"buffer":0,"byteLength":12}],"images":[{"uri":"tex%20a.png"}],
        "accessors":[{"bufferView":0,"componentType":5126,"count":1,"type":"VEC3"}]})");
    const GltfDocument document = ReadGltf(dir_ / "in.gltf");
    EXPECT_EQ(document.filesRead.size(), 3u);

    WrittenGltf written;
    ExpectSameContent(document, RoundTrip(document, dir_, "copy.gltf", &written));
    EXPECT_EQ(written.files, (std::vector<fs::path>{"copy-1.bin", "copy.gltf"}));
    EXPECT_EQ(Slurp(dir_ / "copy.bin").size(), 12u);

    fs::create_directories(dir_ / "elsewhere/sub");
    Put("elsewhere/sub/copy.bin", "someone else's");
    RoundTrip(document, dir_ / "elsewhere", "sub/copy.gltf", &written);
    EXPECT_EQ(written.files, (std::vector<fs::path>{"sub/copy-1.bin", "sub/copy.gltf", "sub/tex a.png"}));
    EXPECT_EQ(Slurp(dir_ / "elsewhere/sub/tex a.png"), "png");
}

TEST_F(GltfFiles, DataUriBuffersAreRead) {
    // base64 of the little-endian floats 1.0 and -2.0
    Put("m.gltf", R"({"asset":{"version":"2.1"},"buffers":[{"byteLength":8,
        "uri":"data:application/octet-stream;base64,AACAPwAAAMA="}],"bufferViews":[{"buffer":0,"byteLength":8}],
        "accessors":[{"bufferView":0,"componentType":5126,"count":2,"type":"SCALAR"}]})");
    EXPECT_EQ(AccessorFloats(ReadGltf(dir_ / "m.gltf"), 0), (std::vector<float>{1, -2}));
    EXPECT_EQ(GltfMajorVersion(dir_ / "m.gltf"), 2);
}

TEST_F(GltfFiles, MalformedFilesAreRefusedWithTheirReason) {
    const std::string data8 = R"("uri":"data:;base64,AAAAAAAAAAA=")";  // eight zero bytes
    auto gltf = [](const std::string& buffers, const std::string& rest) {
        return R"({"asset":{"version":"2.0"},"buffers":[)" + buffers + "]" + rest + "}";
    };
    const std::string floatView = R"(,"bufferViews":[{"buffer":0,"byteLength":8}],"accessors":[)";
    Put("good.gltf", gltf("{" + data8 + R"(,"byteLength":8})", ""));
    RoundTrip(ReadGltf(dir_ / "good.gltf"), dir_, "good.glb");
    const std::string glb = Slurp(dir_ / "good.glb");

    const std::pair<std::string, std::string> cases[] = {
        {gltf("{" + data8 + R"(,"byteLength":8})",
              floatView + R"({"bufferView":0,"componentType":5126,"count":1,"type":"VEC3"}])"),
         "accessor 0 reaches past the end of buffer view 0"},
        {gltf(R"({"uri":"data:;base64,BQAAAAAAAAA=","byteLength":8})",  // bytes 5, 0, 0...
              floatView + R"({"bufferView":0,"componentType":5126,"count":2,"type":"SCALAR","sparse":{"count":1,
              "indices":{"bufferView":0,"componentType":5121},"values":{"bufferView":0,"byteOffset":4}}}])"),
         "index 5 is past the last element"},
        {gltf("{" + data8 + R"(,"byteLength":8})", R"(,"bufferViews":[{"buffer":0,"byteLength":8,"byteStride":4}],
              "accessors":[{"bufferView":0,"componentType":5126,"count":1,"type":"VEC2"}])"),
         "byteStride 4 is shorter than an element"},
        {gltf("{" + data8 + R"(,"byteLength":9})", ""), "fewer than its byteLength"},
        {gltf(R"({"uri":"../up.bin","byteLength":1})", ""), "outside the model's folder"},
        {gltf(R"({"uri":"/etc/hostname","byteLength":1})", ""), "outside the model's folder"},
        {gltf(R"({"uri":"gone.bin","byteLength":1})", ""), "No such file or directory"},
        {gltf("{" + data8 + R"(,"byteLength":8})", R"(,"bufferViews":[{"buffer":0,"byteOffset":4,"byteLength":5}])"),
         "buffer view 0 reaches past the end of buffer 0"},
        {R"({"asset":{"version":"1.0"}})", "glTF 1.0, not 2.x"},
        {"solid cube", "not a glTF file"},
        {glb.substr(0, glb.size() - 4), "truncated GLB"},
        {glb.substr(0, 10), "truncated GLB"},
    };
    for (const auto& [text, reason] : cases) {
        SCOPED_TRACE(text.substr(0, 120));
        Put("bad.gltf", text);
        const std::string message = MessageOf([&] { ReadGltf(dir_ / "bad.gltf"); });
        EXPECT_NE(message.find((dir_ / "bad.gltf").string() + ": "), std::string::npos) << message;
        EXPECT_NE(message.find(reason), std::string::npos) << message;
    }
}

// Every glTF 2.0 test model shipped with the system's importer, written back
// as .glb: the same values and the same JSON but for where the bytes lie.
TEST_F(GltfFiles, SystemTestModelsSurviveAGlbRoundTrip) {
    const fs::path models = "/usr/share/assimp/models/glTF2";
    if (!fs::is_directory(models)) GTEST_SKIP() << models << " is missing";
    const std::map<std::string, std::string> refused = {
        // Their .bin files are not shipped.
        {"MissingBin/BoxTextured.gltf", "No such file or directory"},
        {"SchemaFailures/sceneWrongType.gltf", "No such file or directory"},
        // A 514-byte buffer with a view from byte 504 to 936.
        {"IncorrectVertexArrays/Cube.gltf", "buffer view 2 reaches past the end of buffer 0"},
    };
    int read = 0;
    for (const auto& entry : fs::recursive_directory_iterator(models)) {
        const std::string extension = entry.path().extension().string();
        if ((extension != ".gltf" && extension != ".glb") || GltfMajorVersion(entry.path()) != 2) continue;
        const std::string name = entry.path().lexically_relative(models).string();
        SCOPED_TRACE(name);
        GltfDocument document;
        const std::string message = MessageOf([&] { document = ReadGltf(entry.path()); });
        if (refused.count(name)) {
            EXPECT_NE(message.find(refused.at(name)), std::string::npos) << message;
            continue;
        }
        ASSERT_EQ(message, "(no error)");
        ExpectSameContent(document, RoundTrip(document, dir_ / std::to_string(read), "model.glb"));
        ++read;
    }
    EXPECT_GT(read, 30);
}

}  // namespace
}  // namespace meshjobs::tool
