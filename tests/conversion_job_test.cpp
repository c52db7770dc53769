// The vertex layout conversion job through the host emulator: the stored forms
// of each converter, the descriptor tests of the vertex loop, the aborts and
// what is already written when they fire, the bounds the job keeps, and the
// same bytes from many workers as from one.
#include <algorithm>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "test_support.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace meshjobs::testing {
namespace {

using host::JobSystem;
using host::SafetyCell;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t FILL = 0xEE;  // destination bytes nobody wrote
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr uint32_t CANONICAL_NAN = 0x7FC00000u;

constexpr uint32_t Attr(uint32_t dimension, uint32_t format, uint32_t offset = 0, uint32_t stream = 0) {
    return PackAttribute(dimension, format, offset, stream);
}

void PutFloats(Bytes& stream, size_t at, std::initializer_list<float> values) {
    (void)stream.at(at + 4 * values.size() - 1);
    for (float value : values) std::memcpy(&stream[at], &value, 4), at += 4;
}
Bytes At(const Bytes& stream, size_t at, size_t count) {
    (void)stream.at(at + count - 1);
    return Bytes(stream.begin() + at, stream.begin() + at + count);
}
uint32_t WordAt(const Bytes& stream, size_t at) {
    uint32_t word;
    std::memcpy(&word, At(stream, at, 4).data(), 4);
    return word;
}
Bytes Floats(std::initializer_list<float> values) {
    Bytes bytes(4 * values.size());
    PutFloats(bytes, 0, values);
    return bytes;
}
Bytes Filled(size_t count) { return Bytes(count, FILL); }
Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// The bytes written, then unwritten ones up to the window's size.
Bytes Then(Bytes written, size_t window = 16) {
    written.resize(window, FILL);
    return written;
}

// One conversion record with its buffers: 64 bytes per vertex in every stream,
// destinations filled with FILL. The position (slot 0) is always converted,
// so other attributes sit at byte 16 and up.
class Conversion : public LibraryTest {
protected:
    ConversionBuffers buffers;
    Bytes& source0 = buffers.sourceStreams[0].elements;
    Bytes& source1 = buffers.sourceStreams[1].elements;
    Bytes& destination0 = buffers.destinationStreams[0].elements;
    Bytes& destination1 = buffers.destinationStreams[1].elements;
    std::vector<uint32_t>& sourceLayout = buffers.sourceAttributes.elements;
    std::vector<uint32_t>& destinationLayout = buffers.destinationAttributes.elements;
    std::vector<int32_t>& componentSizes = buffers.componentSizes;
    SafetyCell& sourceLayoutCell = buffers.sourceAttributes.cell();
    SafetyCell& destinationLayoutCell = buffers.destinationAttributes.cell();

    void SetUp() override {
        LibraryTest::SetUp();
        source0 = source1 = Bytes(64);
        destination0 = destination1 = Filled(64);
        buffers.sourceStrides = buffers.destinationStrides = {64, 64};
        sourceLayout[0] = destinationLayout[0] = Attr(3, 4);
    }

    ConvertVertexLayoutRecord Record() { return *buffers.Record(); }

    void Run(int32_t vertices = 1, int workers = 1, const host::ParallelForOptions& options = {}) {
        JobSystem(library(), workers).Run(Record(), vertices, options);
    }
    host::JobException RunFailing(int32_t vertices = 1) {
        return ExpectJobException([&] { Run(vertices); });
    }
    void ResetDestinations() {
        destination0.assign(destination0.size(), FILL);
        destination1.assign(destination1.size(), FILL);
    }

    // One slot of one vertex: its descriptors and the 16 bytes at destination 0 + 16.
    struct SlotCase {
        uint32_t source, destination;
        Bytes stored;
    };
    void ExpectSlot(int slot, const SlotCase& c) {
        sourceLayout[slot] = c.source;
        destinationLayout[slot] = c.destination;
        ResetDestinations();
        Run();
        EXPECT_EQ(At(destination0, 16, 16), Then(c.stored))
            << "slot " << slot << std::hex << ": 0x" << c.source << " into 0x" << c.destination;
    }
};

// ---- Position and normal ----

TEST_F(Conversion, PositionIsAPointThroughTheMatrixFromAnyFormatAndAlwaysAtTheVertexStart) {
    auto& m = buffers.positionMatrix.columns;
    for (int c = 0; c < 4; ++c) m[c][3] = NaN;  // row 3 plays no part
    m[3][0] = 10, m[3][1] = 20, m[3][2] = 30;
    destinationLayout[0] = Attr(1, 9, 40, 1);  // the slot 0 descriptors only give the source format
    struct Case {
        uint32_t format;
        Bytes source;
        Bytes stored;
    };
    for (const Case& c : {Case{4, Floats({1, 2, 3, NaN}), Floats({11, 22, 33})},
                          Case{3, {0x00, 0x3C, 0x00, 0x40, 0x00, 0x42, 0x00, 0x7E}, Floats({11, 22, 33})},
                          Case{1, {255, 0, 255, 7}, Floats({11, 20, 31})}}) {
        sourceLayout[0] = Attr(3, c.format, 12, 1);
        std::copy(c.source.begin(), c.source.end(), source0.begin());
        ResetDestinations();
        Run();
        EXPECT_EQ(At(destination0, 0, 16), Then(c.stored)) << "format " << c.format;
        EXPECT_EQ(destination1, Filled(64));
    }
}

TEST_F(Conversion, PositionSizeFromEntry4WithItsFallbackAndItsAbort) {
    PutFloats(source0, 0, {1, 2, 3});
    componentSizes[4] = 2;  // 6 bytes: three integer ones instead
    Run();
    EXPECT_EQ(At(destination0, 0, 16), Then({1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
    componentSizes[4] = 0x55555558;  // 3 × this wraps to 8 as an int32 product
    ResetDestinations();
    Run();
    EXPECT_EQ(At(destination0, 0, 16), Then(Floats({1, 2})));
    componentSizes.resize(4);
    ResetDestinations();
    const auto exception = RunFailing();
    EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
    EXPECT_EQ(exception.message(), CONTAINER_MESSAGE);
    EXPECT_EQ(destination0, Filled(64));
}

TEST_F(Conversion, NormalStoredFormsAndRenormalisationOnlyForFormatByte2) {
    const uint32_t normal = Attr(3, 4, 16);
    PutFloats(source0, 16, {0, 0, 1, 5});  // the fourth lane is stored as 0 all the same
    for (const SlotCase& c : std::initializer_list<SlotCase>{
             {normal, Attr(4, 2, 16), {0x00, 0x00, 0x7F, 0x00}},
             {normal, Attr(4, 3, 16), {0x00, 0x00, 0x00, 0x00, 0x00, 0x3C, 0x00, 0x00}},
             {normal, Attr(2, 3, 16), {0x00, 0x00, 0x00, 0x00}},
             {normal, Attr(3, 4, 16), Floats({0, 0, 1})},
             {normal, Attr(2, 4, 16), Floats({0, 0})},
             {normal, Attr(1, 4, 16), Floats({0})},
             {normal, Attr(4, 4, 16), Bytes(8, 0xFF)},  // the marker; bytes 8 to 15 kept
             {normal, Attr(5, 3, 16), Bytes(8, 0xFF)},  // 10 bytes
             {normal, Attr(3, 3, 16), {}},              // 6 bytes: below 8 and not 4
             {normal, Attr(3, 2, 16), {}},
             {normal, Attr(0, 4, 16), {}},
             {Attr(0, 4, 16), Attr(3, 4, 16), {}},
         })
        ExpectSlot(1, c);

    PutFloats(source0, 16, {0, 1.2f, 1.6f});
    ExpectSlot(1, {normal, Attr(4, 2, 16), {0x00, 0x4C, 0x66, 0x00}});
    ExpectSlot(1, {normal, Attr(4, 1, 16), {0x00, 0x7F, 0x7F, 0x00}});
    ExpectSlot(1, {normal, Attr(4, 0, 16), {0x00, 0x7F, 0x7F, 0x00}});
    ExpectSlot(1, {normal, Attr(3, 4, 16), Floats({0, 1.2f, 1.6f})});
    PutFloats(source0, 16, {0, 0, 0});  // 0 × 1/0 is NaN, which encodes as 1
    ExpectSlot(1, {normal, Attr(4, 2, 16), {0x7F, 0x7F, 0x7F, 0x00}});
    ExpectSlot(1, {normal, Attr(4, 1, 16), {0x00, 0x00, 0x00, 0x00}});

    // About one normal in 250,000 stores another byte when the scale is
    // sqrt(1/x) rather than 1/sqrt(x); worked by hand, y here is -111, not
    // -110. One vertex, then a block of four and sixteen slot by slot.
    PutFloats(source0, 16, {0x1.3d01fp-2f, -0x1.4a8a8ap-1f, -0x1.8ed478p-3f});
    const Bytes renormalised{0x35, 0x91, 0xDF, 0x00};
    ExpectSlot(1, {normal, Attr(4, 2, 16), renormalised});
    buffers.sourceStrides[0] = 0;
    for (int32_t vertices : {4, 16}) {
        destination0 = Filled(64 * vertices);
        Run(vertices);
        for (int32_t i = 0; i < vertices; ++i)
            EXPECT_EQ(At(destination0, 64 * i + 16, 4), renormalised) << vertices << " vertices, vertex " << i;
    }
}

// Each component is the dot product with a column; column 3 and row 3 are never read.
TEST_F(Conversion, NormalGoesThroughTheTransposeAndComesFromTheStreamItsDescriptorNames) {
    const float columns[4][4] = {{1, 2, 3, NaN}, {4, 5, 6, NaN}, {7, 8, 9, NaN}, {NaN, NaN, NaN, NaN}};
    std::memcpy(buffers.normalMatrix.columns, columns, sizeof columns);
    sourceLayout[1] = Attr(3, 4, 8, 2);
    destinationLayout[1] = Attr(3, 4, 8, 1);
    PutFloats(source0, 8, {9, 9, 9});
    PutFloats(source1, 8, {1, 10, 100});
    Run();
    EXPECT_EQ(At(destination1, 8, 12), Floats({321, 654, 987}));
}

// ---- Tangent ----

TEST_F(Conversion, TangentTurnsWithoutTranslationAndIsRenormalisedForEverySignedByteDestination) {
    auto& m = buffers.positionMatrix.columns;
    m[0][0] = m[1][1] = m[2][2] = 2;
    m[3][0] = m[3][1] = m[3][2] = 5;
    componentSizes[0] = componentSizes[1] = 9;  // codes 0 and 1 size by entry 2
    const uint32_t tangent = Attr(4, 4, 16);
    PutFloats(source0, 16, {1, 0, 0, 2});
    for (const SlotCase& c : std::initializer_list<SlotCase>{
             {tangent, Attr(4, 4, 16), Floats({2, 0, 0, 2})},
             {tangent, Attr(1, 9, 16), Floats({2, 0, 0, 2})},  // the destination dimension is not read
             {tangent, Attr(4, 3, 16), {0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40}},
             {tangent, Attr(4, 2, 16), {0x7F, 0x00, 0x00, 0x7F}},
             {tangent, Attr(4, 1, 16), {0x7F, 0x00, 0x00, 0x7F}},
             {tangent, Attr(4, 0, 16), {0x7F, 0x00, 0x00, 0x7F}},
             {tangent, Attr(0, 4, 16), {}},
             {Attr(0, 4, 16), Attr(4, 4, 16), {}},
         })
        ExpectSlot(2, c);
    PutFloats(source0, 16, {0.25f, 0, 0, 2});  // turned to length 0.5: renormalised, every code stores 0x7F
    for (uint32_t format : {0u, 1u, 2u}) ExpectSlot(2, {tangent, Attr(4, format, 16), {0x7F, 0x00, 0x00, 0x7F}});
    componentSizes[3] = 3;  // a Float16 tangent of 12 bytes is not written
    ExpectSlot(2, {tangent, Attr(4, 3, 16), {}});
    PutFloats(source0, 16, {0, 0, 0, 2});  // zero length: NaN lanes encode as 1
    ExpectSlot(2, {tangent, Attr(4, 2, 16), {0x7F, 0x7F, 0x7F, 0x7F}});
}

TEST_F(Conversion, TangentHandednessFollowsTheSignOfSourceStride1) {
    // Vertex i's tangent lies at |stride| × i in source stream 1.
    source1.assign(128, 0);
    destination0 = Filled(4 * 64);
    sourceLayout[2] = Attr(4, 4, 0, 1);
    destinationLayout[2] = Attr(4, 4, 16);
    const uint32_t w[4] = {0x3F800000u, 0x00000000u, 0xC0000000u, 0x7FC12345u};  // 1, +0, -2, NaN
    for (int i = 0; i < 4; ++i) std::memcpy(&source1[32 * i + 12], &w[i], 4);
    for (int32_t stride : {-32, 32}) {
        buffers.sourceStrides[1] = stride;
        Run(4);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(WordAt(destination0, 64 * i + 28), stride < 0 ? w[i] ^ 0x80000000u : w[i])
                << "stride " << stride << " vertex " << i;
    }
}

// ---- Color ----

TEST_F(Conversion, ColorStoredFormsOpaqueWhiteAndPresenceByTheDestination) {
    componentSizes[0] = 2;
    const uint32_t none = Attr(0, 4, 16), color = Attr(4, 4, 16);
    PutFloats(source0, 16, {0.5f, -1, 2, NaN});
    for (const SlotCase& c : std::initializer_list<SlotCase>{
             {none, Attr(4, 1, 16), {0xFF, 0xFF, 0xFF, 0xFF}},
             {none, Attr(4, 2, 16), {0x7F, 0x7F, 0x7F, 0x7F}},
             {none, Attr(4, 3, 16), {0x00, 0x3C, 0x00, 0x3C, 0x00, 0x3C, 0x00, 0x3C}},
             {none, Attr(4, 4, 16), Floats({1, 1, 1, 1})},
             {color, Attr(0, 200, 16), {}},  // nothing, and the format byte raises nothing
             {color, Attr(16, 200, 16), {}},
             {color, Attr(4, 1, 16), {0x80, 0x00, 0xFF, 0xFF}},
             {color, Attr(3, 4, 16), Floats({0.5f, -1, 2})},  // 12 bytes: three words
             {color, Attr(2, 3, 16), {0x00, 0x38, 0x00, 0xBC}},
             {color, Attr(3, 3, 16), {}},
             {color, Attr(3, 1, 16), {}},
             {color, Attr(1, 3, 16), {}},
             {color, Attr(4, 0, 16), {0x80, 0x00, 0xFF, 0xFF, 0, 0, 0, 0}},  // code 0 sizes by entry 0
         })
        ExpectSlot(3, c);
    // UNorm8 into singles: the product with the rounded 1/255. An offset of
    // 18 loads from the word at 16 but stores at 18 exactly.
    const Bytes bytes{0x00, 0x80, 0xFF, 0x40};
    std::copy(bytes.begin(), bytes.end(), source0.begin() + 16);
    const Bytes expected = Concat(Floats({0}), Bytes{0x81, 0x80, 0x00, 0x3F, 0, 0, 0x80, 0x3F, 0x81, 0x80, 0x80, 0x3E});
    ExpectSlot(3, {Attr(4, 1, 16), Attr(4, 4, 16), expected});
    ExpectSlot(3, {Attr(4, 1, 18), Attr(4, 1, 18), {FILL, FILL, 0x00, 0x80, 0xFF, 0x40}});

    // Three singles carry a fourth: the word after them, or 0 past the last whole word.
    source0.assign(33, 0);
    PutFloats(source0, 16, {0.25f, 0.5f, 0.75f, 0.125f});
    ExpectSlot(3, {Attr(3, 4, 16), Attr(4, 4, 16), Floats({0.25f, 0.5f, 0.75f, 0.125f})});
    source0.resize(31);
    ExpectSlot(3, {Attr(3, 4, 16), Attr(4, 4, 16), Floats({0.25f, 0.5f, 0.75f, 0})});
}

// ---- Texture coordinates ----

TEST_F(Conversion, OnlySlot5IsScaledAndOffsetByAThenB) {
    buffers.texCoordScaleOffsetA = {0.5f, 0.5f, 0.25f, 0};
    PutFloats(source0, 16, {1, 1, 7, 9});
    struct Case {
        Float4 b;
        float u, v;
    };
    for (const Case& c : {Case{{1, 1, 0, 0}, 0.75f, 0.5f}, Case{{2, 4, 1, -1}, 2.5f, 1}}) {
        buffers.texCoordScaleOffsetB = c.b;
        for (int slot = 4; slot < 12; ++slot) {
            const bool scaled = slot == 5;
            ExpectSlot(slot, {Attr(4, 4, 16), Attr(4, 4, 16), Floats({scaled ? c.u : 1, scaled ? c.v : 1, 7, 9})});
            sourceLayout[slot] = 0;
        }
    }
    // The transform comes before encoding, so 8-bit clamps apply to it.
    buffers.texCoordScaleOffsetA = {1, 1, 0.5f, 0};
    buffers.texCoordScaleOffsetB = {1, 1, 0, 0};
    PutFloats(source0, 16, {1, 0.5f, 0, 1});
    ExpectSlot(5, {Attr(4, 4, 16), Attr(4, 1, 16), {0xFF, 0x80, 0x00, 0xFF}});
}

TEST_F(Conversion, TexCoordStoresTheSmallerComponentCountOfTheEncodedFormat) {
    componentSizes[0] = 0;
    PutFloats(source0, 16, {0.25f, 0.5f, 0.75f, 1});
    for (const SlotCase& c : std::initializer_list<SlotCase>{
             {Attr(2, 4, 16), Attr(2, 3, 16), {0x00, 0x34, 0x00, 0x38}},
             {Attr(3, 4, 16), Attr(3, 3, 16), {}},  // 6 bytes
             {Attr(2, 4, 16), Attr(2, 1, 16), {}},  // 2 bytes
             {Attr(4, 4, 16), Attr(4, 1, 16), {0x40, 0x80, 0xBF, 0xFF}},
             {Attr(3, 4, 16), Attr(3, 4, 16), Floats({0.25f, 0.5f, 0.75f})},
             {Attr(2, 4, 16), Attr(4, 4, 16), Floats({0.25f, 0.5f})},  // the other two keep their bytes
             {Attr(4, 4, 16), Attr(2, 4, 16), Floats({0.25f, 0.5f})},  // no spill past the set
             {Attr(4, 4, 16), Attr(0, 9, 16), {}},  // no destination set: no size-list test either
             {Attr(4, 4, 16), Attr(4, 0, 16), {}},  // code 0 sizes by entry 0, here 0
             {Attr(0, 4, 16), Attr(4, 4, 16), {}},
         })
        ExpectSlot(4, c);
}

// ---- The vertex loop and its aborts ----

TEST_F(Conversion, BasesPlaceEachVertexByStrideAndDestinationOffset) {
    buffers.sourceStrides[0] = 16, buffers.destinationStrides[0] = 32, buffers.destinationOffsets[0] = 1024;
    buffers.sourceStrides[1] = -8, buffers.destinationStrides[1] = 12, buffers.destinationOffsets[1] = 4;
    source0.assign(48, 0), source1.assign(24, 0);
    destination0 = Filled(1024 + 96), destination1 = Filled(40);
    sourceLayout[4] = destinationLayout[4] = Attr(1, 4, 0, 1);
    for (int i = 0; i < 3; ++i) PutFloats(source0, 16 * i, {float(i)}), PutFloats(source1, 8 * i, {10.0f + i});
    Run(3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(At(destination0, 1024 + 32 * i, 4), Floats({float(i)}));
        EXPECT_EQ(At(destination1, 4 + 12 * i, 4), Floats({10.0f + i}));
    }
    EXPECT_EQ(At(destination0, 0, 1024), Filled(1024));
}

TEST_F(Conversion, DescriptorViewsAreTestedSourceFirstForEverySlotOfEveryVertex) {
    source0.assign(3 * 64, 0), destination0 = Filled(3 * 64);
    PutFloats(source0, 0, {1, 2, 3});
    sourceLayout[3] = Attr(0, 4), destinationLayout[3] = Attr(4, 1, 16);  // white: slot 3 ran
    sourceLayout[4] = Attr(4, 4), destinationLayout[4] = Attr(4, 1, 20);  // slot 4 would show here
    const auto expectStopsAtSlot4 = [&](const ConvertVertexLayoutRecord& record, const char* message) {
        ResetDestinations();
        JobSystem jobs(library(), 1);
        const auto exception = ExpectJobException([&] { jobs.Run(record, 2); });
        EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
        EXPECT_EQ(exception.message(), message);
        EXPECT_EQ(At(destination0, 0, 24), Then(Concat(Floats({1, 2, 3}), Bytes{FILL, FILL, FILL, FILL, 0xFF, 0xFF,
                                                                                0xFF, 0xFF}), 24));
        EXPECT_EQ(At(destination0, 64, 16), Filled(16));  // vertex 1 never starts
    };
    const ConvertVertexLayoutRecord record = Record();
    auto shortSource = record, shortDestination = record, restricted = record;
    shortSource.sourceAttributes.length = 4, shortSource.sourceAttributes.rangeMax = 3;
    shortDestination.destinationAttributes.length = 4, shortDestination.destinationAttributes.rangeMax = 3;
    restricted.destinationAttributes.rangeMax = 3;
    expectStopsAtSlot4(shortSource, LENGTH_MESSAGE);
    expectStopsAtSlot4(shortDestination, LENGTH_MESSAGE);
    expectStopsAtSlot4(restricted, RESTRICTED_MESSAGE);
    // Both fail at slot 4: the message tells which was tested first.
    shortSource.destinationAttributes.rangeMax = 3;
    expectStopsAtSlot4(shortSource, LENGTH_MESSAGE);
    restricted.sourceAttributes.rangeMax = 3;
    restricted.destinationAttributes = shortDestination.destinationAttributes;
    expectStopsAtSlot4(restricted, RESTRICTED_MESSAGE);

    // Every slot of every vertex reads both views afresh behind a read test.
    sourceLayoutCell.SetValue(sourceLayoutCell.version() | 1);
    destinationLayoutCell.SetValue(destinationLayoutCell.version() | 1);
    Run(3);
    EXPECT_EQ(sourceLayoutCell.readCheckCalls(), 36);
    EXPECT_EQ(destinationLayoutCell.readCheckCalls(), 36);
    destinationLayoutCell.SetReadable(false);
    ResetDestinations();
    EXPECT_EQ(RunFailing().typeName(), host::INVALID_OPERATION_EXCEPTION);
    EXPECT_EQ(destination0, Filled(3 * 64));
}

TEST_F(Conversion, ContainerAbortsFireAfterEarlierSlotsAreWritten) {
    sourceLayout[1] = destinationLayout[1] = Attr(3, 4, 16);
    PutFloats(source0, 16, {0, 1, 0});
    destinationLayout[3] = Attr(4, 7, 32);  // encodes as Float32, but there is no entry 7
    EXPECT_EQ(RunFailing().message(), CONTAINER_MESSAGE);
    EXPECT_EQ(At(destination0, 0, 48), Then(Concat(Then(Floats({0, 0, 0})), Floats({0, 1, 0})), 48));

    destinationLayout[3] = 0;
    sourceLayout[4] = Attr(2, 4, 16), destinationLayout[4] = Attr(2, 4, 32);
    sourceLayout[6] = Attr(2, 4, 16), destinationLayout[6] = Attr(2, 9, 48);
    ResetDestinations();
    EXPECT_EQ(RunFailing().message(), CONTAINER_MESSAGE);
    EXPECT_EQ(At(destination0, 32, 32), Then(Floats({0, 1}), 32));
}

// ---- Bounds the job keeps beyond what the record promises ----

TEST_F(Conversion, StoresOutsideTheDestinationStreamAbortBeforeAnyByteOfTheAttribute) {
    buffers.sourceStrides[0] = 0, buffers.destinationStrides[0] = 16;
    destination0 = Filled(40);  // vertex 2's position would need bytes 32 to 43
    PutFloats(source0, 0, {7, 8, 9});
    auto exception = RunFailing(3);
    EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(At(destination0, 16, 24), Then(Floats({7, 8, 9}), 24));

    destination0 = Filled(64);
    buffers.destinationOffsets[0] = -4;
    EXPECT_EQ(RunFailing().message(), LENGTH_MESSAGE);
    EXPECT_EQ(destination0, Filled(64));

    // A normal past the end of stream 1, after the position went out.
    buffers.destinationOffsets[0] = 0;
    sourceLayout[1] = Attr(3, 4, 16), destinationLayout[1] = Attr(3, 4, 56, 1);
    EXPECT_EQ(RunFailing().message(), LENGTH_MESSAGE);
    EXPECT_EQ(At(destination0, 0, 12), Floats({7, 8, 9}));
    EXPECT_EQ(destination1, Filled(64));

    // What writes nothing tests nothing.
    destinationLayout[1] = Attr(0, 4, 255, 1);
    sourceLayout[4] = Attr(2, 4), destinationLayout[4] = Attr(2, 1, 255, 1);
    destinationLayout[3] = Attr(16, 4, 255, 1);
    Run();
    EXPECT_EQ(destination1, Filled(64));
}

TEST_F(Conversion, BasesAreSixtyFourBitAndNegativeOrMissingSourceBytesHaveNoData) {
    PutFloats(source0, 0, {1, 2, 3, 4, 5, 6});
    buffers.destinationStrides[0] = 16;
    destination0 = Filled(5 * 16);
    buffers.sourceStrides[0] = 0x40000001;  // × 4 wraps to 4 in 32 bits; in 64 it is past the stream
    Run(5);
    EXPECT_EQ(WordAt(destination0, 64), 1u);
    EXPECT_EQ(WordAt(destination0, 68), 2u);

    buffers.sourceStrides[0] = -16;  // vertex 1 starts before the stream
    Run(2);
    EXPECT_EQ(WordAt(destination0, 16), 1u);

    buffers.sourceStrides[0] = 0;
    ConvertVertexLayoutRecord record = Record();
    record.sourceStream0.length = -16;
    JobSystem(library(), 1).Run(record, 1);
    EXPECT_EQ(WordAt(destination0, 0), 1u);

    buffers.destinationStrides[0] = 0x40000000;  // × 4 wraps to 0 in 32 bits
    ResetDestinations();
    host::ParallelForOptions vertex4;
    vertex4.scriptedRanges = {{{4, 5}}};
    EXPECT_EQ(ExpectJobException([&] { Run(5, 1, vertex4); }).message(), LENGTH_MESSAGE);
    EXPECT_EQ(destination0, Filled(80));
}

// A source stream that ends where an unreadable page begins: the range loops'
// wider loads (whole 16-byte attributes, whole 64-byte rows) stop at its end,
// and still reach every word a slot reads, the last of a tangent that starts
// 52 bytes into the vertex among them.
TEST_F(Conversion, LoadsOfARangeStopAtTheSourceStreamsEndAndReachEveryWordRead) {
#if defined(__linux__)
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    constexpr int32_t VERTICES = 64;
    const size_t readable = (VERTICES * 68 + page - 1) / page * page;
    void* const pages = mmap(nullptr, readable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<uint8_t*>(pages) + readable, page, PROT_NONE), 0);
    // Stride 48: every attribute's 16 bytes lie in the vertex, its 64 do not.
    // Stride 68: the tangent's w is the vertex's 17th word.
    for (const int32_t stride : {48, 68}) {
        uint8_t* const stream = static_cast<uint8_t*>(pages) + readable - VERTICES * stride;
        for (int32_t v = 0; v < VERTICES; ++v) {
            float values[17] = {float(v), 1, 2, 0, 0, 1, 0, 0, 0.5f, 0.25f};
            if (stride == 68) values[13] = 1, values[16] = -1;  // tangent (1, 0, 0, -1)
            std::memcpy(stream + v * stride, values, stride);
        }
        sourceLayout[1] = Attr(3, 4, 12);
        sourceLayout[2] = stride == 68 ? Attr(4, 4, 52) : 0;
        sourceLayout[4] = Attr(2, 4, 32);
        destinationLayout[1] = Attr(4, 2, 12);
        destinationLayout[2] = Attr(4, 2, 16);
        destinationLayout[4] = Attr(2, 3, 20);
        buffers.sourceStrides[0] = stride;
        buffers.destinationStrides[0] = 24;
        destination0 = Filled(VERTICES * 24);
        ConvertVertexLayoutRecord record = Record();
        record.sourceStream0.data = stream;
        record.sourceStream0.length = VERTICES * stride;
        JobSystem(library(), 1).Run(record, VERTICES);
        for (int32_t v = 0; v < VERTICES; ++v) {
            EXPECT_EQ(WordAt(destination0, 24 * v), std::bit_cast<uint32_t>(float(v))) << stride << " " << v;
            if (stride == 68) EXPECT_EQ(WordAt(destination0, 24 * v + 16), 0x8100007Fu) << v;
            EXPECT_EQ(WordAt(destination0, 24 * v + 20), 0x34003800u) << stride << " " << v;  // 0.5, 0.25
        }
    }
    munmap(pages, readable + page);
#else
    GTEST_SKIP() << "needs an unreadable page";
#endif
}

// ---- Rounding mode and workers ----

TEST_F(Conversion, RoundsInTheCallingThreadsMode) {
    const float tie = 1.0f + std::ldexp(1.0f, -11);  // halfway between two halves
    sourceLayout[4] = Attr(2, 4, 16), destinationLayout[4] = Attr(2, 3, 16);
    sourceLayout[3] = Attr(4, 4, 24), destinationLayout[3] = Attr(4, 1, 32);
    PutFloats(source0, 16, {tie, -tie, 0.5f, 0.5f, 0.5f, 0.5f});
    struct Case {
        int mode;
        uint32_t halves;
        uint8_t unorm;  // of 0.5: 127.5
    };
    for (const Case& c : {Case{FE_TONEAREST, 0xBC003C00u, 0x80}, Case{FE_UPWARD, 0xBC003C01u, 0x80},
                          Case{FE_DOWNWARD, 0xBC013C00u, 0x7F}, Case{FE_TOWARDZERO, 0xBC003C00u, 0x7F}}) {
        std::fesetround(c.mode);
        Run();  // worker 0 is this thread
        std::fesetround(FE_TONEAREST);
        EXPECT_EQ(WordAt(destination0, 16), c.halves) << c.mode;
        EXPECT_EQ(destination0[32], c.unorm) << c.mode;
    }
}

// Halves worked by hand, in every rounding mode and on every path: one vertex
// at a time, blocks of four, and eight slot by slot. Overflow rounds to the
// largest half or the infinity as the mode says, from 65,536 up too;
// signalling NaNs come out quiet either way.
TEST_F(Conversion, HalvesAreTheHandWorkedOnesInEveryModeOnEveryPath) {
    struct ToHalf {
        uint32_t single;
        uint16_t half[4];  // to nearest, upward, downward, toward zero
    };
    const ToHalf toHalf[8] = {
        {0x47800000u, {0x7C00, 0x7C00, 0x7BFF, 0x7BFF}},  // 65536
        {0xC7800000u, {0xFC00, 0xFBFF, 0xFC00, 0xFBFF}},  // -65536
        {0x477FEF00u, {0x7BFF, 0x7C00, 0x7BFF, 0x7BFF}},  // 65519
        {0x38400000u, {0x0300, 0x0300, 0x0300, 0x0300}},  // 1.5 · 2^-15, subnormal
        {0x33000000u, {0x0000, 0x0001, 0x0000, 0x0000}},  // 2^-25, halfway to the least subnormal
        {0xB3000000u, {0x8000, 0x8000, 0x8001, 0x8000}},  // -2^-25
        {0x7F800001u, {0x7E00, 0x7E00, 0x7E00, 0x7E00}},  // signalling NaN
        {0xFF812345u, {0xFE09, 0xFE09, 0xFE09, 0xFE09}},
    };
    const std::pair<uint16_t, uint32_t> toSingle[8] = {
        {0x7C01, 0x7FC02000u}, {0xFD00, 0xFFE00000u}, {0x7E00, 0x7FC00000u}, {0x0001, 0x33800000u},
        {0x03FF, 0x387FC000u}, {0x0400, 0x38800000u}, {0x7BFF, 0x477FE000u}, {0x8000, 0x80000000u},
    };
    source0 = Bytes(8 * 64);
    for (int v = 0; v < 8; ++v) {
        std::memcpy(&source0[64 * v + 16], &toHalf[v].single, 4);
        std::memcpy(&source0[64 * v + 32], &toSingle[v].first, 2);
    }
    sourceLayout[4] = Attr(2, 4, 16), destinationLayout[4] = Attr(2, 3, 16);
    sourceLayout[6] = Attr(2, 3, 32), destinationLayout[6] = Attr(2, 4, 32);
    const std::vector<std::vector<host::Range>> splits{
        {{0, 8}}, {{0, 4}, {4, 8}}, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}}};
    const int modes[4] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
    for (int m = 0; m < 4; ++m) {
        for (const auto& split : splits) {
            destination0 = Filled(8 * 64);
            host::ParallelForOptions options;
            options.scriptedRanges = {split};
            std::fesetround(modes[m]);
            Run(8, 1, options);
            std::fesetround(FE_TONEAREST);
            for (int v = 0; v < 8; ++v) {
                EXPECT_EQ(WordAt(destination0, 64 * v + 16), toHalf[v].half[m])
                    << std::hex << "0x" << toHalf[v].single << " in mode " << m << ", ranges of " << split[0].end;
                EXPECT_EQ(WordAt(destination0, 64 * v + 32), toSingle[v].second)
                    << std::hex << "0x" << toSingle[v].first << ", ranges of " << split[0].end;
            }
        }
    }
}

// A range must leave what ranges of one vertex leave, and raise what they
// raise, where its reads or stores reach an edge: a source stream that ends
// inside its last vertices (no whole 16-byte load there, or no whole word), a
// destination over the last word of a later vertex's 16-byte load (which the
// per-vertex order writes before it reads), a position one byte past or four
// bytes before destination stream 0, a source descriptor view of 11 slots.
TEST_F(Conversion, OneRangeLeavesWhatOneVertexRangesLeaveAtTheEdges) {
    using Adjust = void (*)(ConvertVertexLayoutRecord&);
    struct Edge {
        const char* what;
        uint32_t source, destination;  // slot 3
        int32_t sourceStride, sourceLength, vertices;
        int32_t destinationAt;  // into source stream 1 at this byte; -1: apart
        Adjust adjust;
    };
    const Adjust none = [](ConvertVertexLayoutRecord&) {};
    for (const Edge& e : {
             Edge{"Float32x4, three words of the last", Attr(4, 4, 0, 1), Attr(4, 4, 16), 28, 266, 10, -1, none},
             Edge{"Float32x4, eight vertices", Attr(4, 4, 0, 1), Attr(4, 4, 16), 28, 210, 8, -1, none},
             Edge{"UNorm8 to singles, no word of the last", Attr(4, 1, 0, 1), Attr(4, 4, 16), 28, 254, 10, -1, none},
             Edge{"store over the last word of the last load", Attr(4, 4, 0, 1), Attr(4, 4, 0, 1), 16, 64, 4, 60, none},
             Edge{"position one byte past stream 0", 0, 0, 16, 320, 4, -1,
                  [](ConvertVertexLayoutRecord& r) { r.destinationStream0.length = r.destinationStream0.rangeMax = 203; }},
             Edge{"position before stream 0", 0, 0, 16, 320, 4, -1,
                  [](ConvertVertexLayoutRecord& r) {
                      r.destinationStream0.data += 16, r.destinationStream0.length -= 16;
                      r.destinationOffset0 = -4;
                  }},
             Edge{"eleven source descriptors", 0, 0, 16, 320, 4, -1,
                  [](ConvertVertexLayoutRecord& r) { r.sourceAttributes.length = 11; }},
         }) {
        std::mt19937 random(5);
        source0 = Bytes(64 * e.vertices), destination0 = Filled(64 * e.vertices);
        source1 = Bytes(320);
        for (auto& b : source1) b = uint8_t(1 + random() % 255);  // the bytes past the view too
        sourceLayout[3] = e.source, destinationLayout[3] = e.destination;
        buffers.sourceStrides[1] = e.sourceStride, buffers.destinationStrides[1] = 16;
        ConvertVertexLayoutRecord record = Record();
        record.sourceStream1.length = e.sourceLength, record.sourceStream1.rangeMax = e.sourceLength - 1;
        if (e.destinationAt >= 0)
            record.destinationStream1 =
                host::MakeView(source1.data() + e.destinationAt, 16 * e.vertices, buffers.sourceStreams[1].cell());
        e.adjust(record);
        auto convert = [&](bool oneByOne) {
            const auto before = std::tuple{source0, source1, destination0, destination1};
            host::ParallelForOptions options;
            options.scriptedRanges.resize(1);
            for (int32_t i = 0; i < e.vertices; i = oneByOne ? i + 1 : e.vertices)
                options.scriptedRanges[0].push_back({i, oneByOne ? i + 1 : e.vertices});
            std::string raised;
            try {
                JobSystem(library(), 1).Run(record, e.vertices, options);
            } catch (const host::JobException& exception) {
                raised = exception.message();
            }
            const auto after = std::tuple{source0, source1, destination0, destination1, raised};
            std::tie(source0, source1, destination0, destination1) = before;
            return after;
        };
        EXPECT_TRUE(convert(false) == convert(true)) << e.what;
    }
}

// Which of two NaN operands an operation passes on differs between processors
// and between scalar and vector code; what the job stores must not, so every
// NaN that arithmetic yields is stored as one quiet NaN, while NaNs that pass
// through unchanged keep their bits. Sixteen vertices reach the range path.
TEST_F(Conversion, ArithmeticNaNsAreStoredAsOneQuietNaN) {
    const float payloadA = std::bit_cast<float>(0xFFC12345u), payloadB = std::bit_cast<float>(0x7FD54321u);
    source0 = Bytes(64 * 16);
    destination0 = Filled(64 * 16);
    for (int vertex = 0; vertex < 16; ++vertex) {
        PutFloats(source0, 64 * vertex, {payloadA, payloadB, 1.0f});
        PutFloats(source0, 64 * vertex + 16, {payloadA, payloadB, payloadA, payloadB});
    }
    buffers.positionMatrix.columns[1][0] = payloadB;  // x·NaN + y·NaN
    buffers.texCoordScaleOffsetA = {payloadB, 1, payloadA, 0};
    sourceLayout[2] = Attr(4, 4, 16);  // tangent: w passes through
    destinationLayout[2] = Attr(4, 4, 16);
    sourceLayout[5] = Attr(2, 4, 32);  // texture coordinates 1, scaled and offset
    destinationLayout[5] = Attr(2, 4, 32);
    Run(16, 2);
    for (int vertex = 0; vertex < 16; ++vertex) {
        const size_t base = 64 * vertex;
        EXPECT_EQ(WordAt(destination0, base), CANONICAL_NAN) << "position x of vertex " << vertex;
        EXPECT_EQ(WordAt(destination0, base + 16), CANONICAL_NAN) << "tangent x of vertex " << vertex;
        EXPECT_EQ(WordAt(destination0, base + 28), 0x7FD54321u) << "tangent w of vertex " << vertex;
        EXPECT_EQ(WordAt(destination0, base + 32), CANONICAL_NAN) << "u of vertex " << vertex;
    }
}

TEST_F(Conversion, ManyWorkersWriteTheSameBytesAsOne) {
    constexpr int32_t VERTICES = 30000;
    std::mt19937 random(7);
    auto randomBytes = [&](size_t count) {
        Bytes bytes(count);
        for (auto& b : bytes) b = uint8_t(random());
        return bytes;
    };
    buffers.sourceStrides[0] = 48, buffers.sourceStrides[1] = -24;
    buffers.destinationStrides[0] = 40, buffers.destinationStrides[1] = 24, buffers.destinationOffsets[1] = 8;
    source0 = randomBytes(size_t(VERTICES) * 48), source1 = randomBytes(size_t(VERTICES) * 24);
    auto any = [&] { return float(int(random() % 200) - 100) / 37.0f; };
    for (Float4x4* matrix : {&buffers.positionMatrix, &buffers.normalMatrix})
        for (auto& column : matrix->columns)
            for (float& f : column) f = any();
    buffers.texCoordScaleOffsetA = {any(), any(), any(), any()};
    buffers.texCoordScaleOffsetB = {any(), any(), any(), any()};
    sourceLayout = {Attr(3, 4), Attr(4, 2, 12), Attr(4, 3, 16), Attr(4, 1, 0, 1), Attr(2, 4, 28),
                    Attr(2, 4, 36), Attr(4, 1, 44), Attr(2, 3, 4, 1), Attr(1, 4, 8, 1), Attr(4, 2, 12, 1),
                    Attr(0, 4), Attr(2, 4, 16, 1)};
    destinationLayout = {Attr(3, 4), Attr(4, 2, 12), Attr(4, 3, 16), Attr(4, 1, 0, 1), Attr(2, 3, 24),
                         Attr(2, 4, 28), Attr(4, 1, 36), Attr(2, 3, 4, 1), Attr(1, 4, 8, 1), Attr(4, 2, 12, 1),
                         Attr(1, 4, 16, 1), Attr(2, 3, 20, 1)};
    auto convert = [&](int workers) {
        destination0 = Filled(size_t(VERTICES) * 40), destination1 = Filled(size_t(VERTICES) * 24 + 8);
        host::ParallelForOptions options;
        options.batchSize = 13;
        Run(VERTICES, workers, options);
        return std::pair{destination0, destination1};
    };
    const auto one = convert(1);
    const auto many = convert(4);
    EXPECT_TRUE(one == many);
    // Every vertex was converted: its position and its stream 1 color are there.
    int untouched = 0;
    for (size_t i = 0; i < size_t(VERTICES); ++i)
        untouched += At(one.first, 40 * i, 4) == Filled(4) || At(one.second, 8 + 24 * i, 4) == Filled(4);
    EXPECT_EQ(untouched, 0);
}

}  // namespace
}  // namespace meshjobs::testing
