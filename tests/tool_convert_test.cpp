// The tool's conversion through the real library: the record it builds, the
// bytes that come back, and the check that decodes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "test_support.h"
#include "toolkit/convert.h"

namespace meshjobs::tool {
namespace {

using meshjobs::testing::LibraryTest;

// Two vertices with every attribute the compact layout holds.
MeshAttributes TwoVertices() {
    MeshAttributes m;
    m.vertexCount = 2;
    m.positions = {1, 2, 3, -4, 5.5f, 6};
    m.normals = {0, 0, 1, 0, 1.2f, 1.6f};
    m.tangents = {1, 0, 0, 1, 0, 1, 0, -1};
    m.colors = {1, 0.5f, 0, 1, 0.25f, 0.75f, 2, -1};
    m.uvComponents[0] = 2;
    m.uvs[0] = {0.5f, 0.25f, 1, -2};
    m.indices = {0, 1, 1};
    return m;
}

const uint8_t* At(const ConvertedMesh& c, int slot, int vertex) {
    const Descriptor d = UnpackDescriptor(c.layout.destination[slot]);
    return c.streams[d.stream].data() + size_t(vertex) * c.layout.destinationStrides[d.stream] + d.offset;
}

template <typename T>
T Read(const uint8_t* at, int index) {
    T value;
    std::memcpy(&value, at + index * sizeof(T), sizeof(T));
    return value;
}

class ToolConvert : public LibraryTest {
protected:
    Jobs jobs{library(), 2};
};

TEST_F(ToolConvert, CompactLayoutStoresTheDocumentedBytes) {
    const ConvertedMesh c = ConvertMesh(jobs, TwoVertices(), CompactLayout(), host::IdentityMatrix());
    ASSERT_EQ(c.streams[0].size(), 2u * 20);
    ASSERT_EQ(c.streams[1].size(), 2u * 8);

    EXPECT_EQ(Read<float>(At(c, POSITION, 1), 0), -4.0f);
    EXPECT_EQ(Read<float>(At(c, POSITION, 1), 1), 5.5f);
    EXPECT_EQ(Read<uint32_t>(At(c, NORMAL, 0), 0), 0x007F0000u);  // (0, 0, 1) as 00 00 7F 00
    EXPECT_EQ(Read<uint32_t>(At(c, NORMAL, 1), 0), 0x00664C00u);  // renormalised (0, 0.6, 0.8)
    EXPECT_EQ(Read<uint32_t>(At(c, TANGENT, 1), 0), 0x81007F00u); // (0, 1, 0, -1)
    EXPECT_EQ(Read<uint32_t>(At(c, COLOR, 0), 0), 0xFF0080FFu);   // 0.5 rounds up to 0x80
    EXPECT_EQ(Read<uint32_t>(At(c, COLOR, 1), 0), 0x00FFBF40u);   // out-of-range channels clamp
    EXPECT_EQ(Read<uint16_t>(At(c, UV0, 0), 0), 0x3800);           // 0.5 as half
    EXPECT_EQ(Read<uint16_t>(At(c, UV0, 1), 1), 0xC000);           // -2 as half
}

TEST_F(ToolConvert, MatrixMovesPositionsTurnsTangentsAndKeepsNormalsPerpendicular) {
    MeshAttributes m;
    m.vertexCount = 1;
    m.positions = {1, 1, 1};
    const float s = std::sqrt(0.5f);
    m.normals = {s, s, 0};     // normal of the plane x + y = const
    m.tangents = {s, -s, 0, 1};  // lies in that plane
    // Stretch x by 2 and move by (10, 20, 30).
    const Float4x4 matrix = ParseMatrix("2 0 0 0, 0 1 0 0, 0 0 1 0, 10 20 30 1");
    const ConvertedMesh c = ConvertMesh(jobs, m, FullLayout(), matrix);

    EXPECT_EQ(Read<float>(At(c, POSITION, 0), 0), 12.0f);
    EXPECT_EQ(Read<float>(At(c, POSITION, 0), 1), 21.0f);
    EXPECT_EQ(Read<float>(At(c, POSITION, 0), 2), 31.0f);
    float n[3], t[3];
    for (int k = 0; k < 3; ++k) {
        n[k] = Read<float>(At(c, NORMAL, 0), k);
        t[k] = Read<float>(At(c, TANGENT, 0), k);
    }
    EXPECT_NEAR(n[0] * t[0] + n[1] * t[1] + n[2] * t[2], 0.0f, 1e-6f);
    EXPECT_NEAR(n[1] / n[0], 2.0f, 1e-6f);  // the stretched plane tilts its normal towards y
    EXPECT_EQ(Read<float>(At(c, TANGENT, 0), 3), 1.0f);

    for (const AttributeCheck& check : VerifyConversion(c, m, matrix))
        EXPECT_TRUE(check.within) << SlotName(check.slot) << " off by " << check.largestError;
}

TEST_F(ToolConvert, VerificationPassesAFaithfulConversionAndCatchesACorruptOne) {
    const MeshAttributes mesh = TwoVertices();
    ConvertedMesh c = ConvertMesh(jobs, mesh, CompactLayout(), host::IdentityMatrix());
    const auto checks = VerifyConversion(c, mesh, host::IdentityMatrix());
    ASSERT_EQ(checks.size(), 5u);
    for (const AttributeCheck& check : checks) {
        EXPECT_TRUE(check.within) << SlotName(check.slot);
        EXPECT_GT(check.compared, 0) << SlotName(check.slot);
    }

    // One quantisation step off in the second vertex's green channel.
    uint8_t* green = c.streams[1].data() + c.layout.destinationStrides[1] + UnpackDescriptor(c.layout.destination[COLOR]).offset + 1;
    *green += 1;
    for (const AttributeCheck& check : VerifyConversion(c, mesh, host::IdentityMatrix()))
        EXPECT_EQ(check.within, check.slot != COLOR) << SlotName(check.slot);
}

TEST_F(ToolConvert, DegenerateNormalsAreNotCompared) {
    MeshAttributes m;
    m.vertexCount = 2;
    m.positions = {0, 0, 0, 1, 1, 1};
    m.normals = {0, 0, 0, 1e-30f, 0, 0};  // no unit form in single precision
    const ConvertedMesh c = ConvertMesh(jobs, m, CompactLayout(), host::IdentityMatrix());
    const auto checks = VerifyConversion(c, m, host::IdentityMatrix());
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[1].slot, NORMAL);
    EXPECT_EQ(checks[1].skipped, 6);
    EXPECT_TRUE(checks[1].within);
}

TEST(ToolHalf, DecodesEveryKindOfHalf) {
    EXPECT_EQ(HalfToFloat(0x3C00), 1.0f);
    EXPECT_EQ(HalfToFloat(0xC000), -2.0f);
    EXPECT_EQ(HalfToFloat(0x7BFF), 65504.0f);
    EXPECT_EQ(HalfToFloat(0x0001), std::ldexp(1.0f, -24));
    EXPECT_EQ(HalfToFloat(0x03FF), std::ldexp(1023.0f, -24));
    EXPECT_TRUE(std::isinf(HalfToFloat(0xFC00)) && HalfToFloat(0xFC00) < 0);
    EXPECT_TRUE(std::isnan(HalfToFloat(0x7E00)));
    EXPECT_TRUE(std::signbit(HalfToFloat(0x8000)));
}

TEST_F(ToolConvert, WritesStreamsIndicesAndAManifestThatDescribesThem) {
    const MeshAttributes mesh = TwoVertices();
    const ConvertedMesh c = ConvertMesh(jobs, mesh, CompactLayout(), host::IdentityMatrix());
    const auto directory = std::filesystem::temp_directory_path() / ("meshjobs_convert_" + std::to_string(::getpid()));
    ManifestEntry entry;
    {
        StagedOutput staged(directory);
        entry = WriteConvertedMesh(staged, 3, mesh, c);
        EXPECT_FALSE(std::filesystem::exists(directory / "mesh3.stream0.bin")) << "written before Commit";
        staged.Commit({});
    }

    EXPECT_EQ(std::filesystem::file_size(directory / "mesh3.stream0.bin"), 40u);
    EXPECT_EQ(std::filesystem::file_size(directory / "mesh3.stream1.bin"), 16u);
    EXPECT_EQ(std::filesystem::file_size(directory / "mesh3.indices.bin"), 6u);  // UInt16
    std::ifstream stream0(directory / "mesh3.stream0.bin", std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream0)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, c.streams[0]);
    std::filesystem::remove_all(directory);

    const Float4x4 matrix = ParseMatrix("0.1 0 0 0, 0 1 0 0, 0 0 1 0, 10 20 30 1");
    const auto json = nlohmann::json::parse(ManifestJson("in \"x\".obj", CompactLayout(), matrix, {entry}));
    EXPECT_EQ(json["source"], "in \"x\".obj");
    EXPECT_EQ(json["layout"], "compact");
    EXPECT_EQ(json["positionMatrix"].size(), 16u);
    EXPECT_EQ(json["positionMatrix"][0].get<float>(), 0.1f);  // the same single-precision value
    EXPECT_EQ(json["positionMatrix"][12], 10);
    const auto& m = json["meshes"].at(0);
    EXPECT_EQ(m["vertexCount"], 2);
    EXPECT_EQ(m["streams"], nlohmann::json::parse(R"([{"stream": 0, "file": "mesh3.stream0.bin", "stride": 20},
                                                      {"stream": 1, "file": "mesh3.stream1.bin", "stride": 8}])"));
    const auto normal = std::find_if(m["attributes"].begin(), m["attributes"].end(),
                                     [](const auto& a) { return a["attribute"] == "normal"; });
    ASSERT_NE(normal, m["attributes"].end());
    EXPECT_EQ(*normal, nlohmann::json::parse(R"({"slot": 1, "attribute": "normal", "format": "SNorm8", "formatCode": 2,
        "dimension": 4, "offset": 12, "stream": 0, "stride": 20, "descriptor": )" +
                                             std::to_string(c.layout.destination[NORMAL]) + "}"));
    EXPECT_EQ(m["indices"], nlohmann::json::parse(R"({"file": "mesh3.indices.bin", "format": "UInt16", "count": 3,
                                                      "primitiveSize": 3})"));
}

}  // namespace
}  // namespace meshjobs::tool
