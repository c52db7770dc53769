// Marking and compaction on known inputs, their edge cases, and the strip of
// a random mesh checked against simple expectations.
#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobSystem;
using host::SafetyCell;

class SingleJobs : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        jobs_ = std::make_unique<JobSystem>(library(), 1);
    }
    JobSystem& jobs() { return *jobs_; }

private:
    std::unique_ptr<JobSystem> jobs_;
};

using Marking = MarkingBuffers;

// Vertex words count up from 100; destination words nobody wrote are 0xEEEEEEEE.
CompactionBuffers Compaction(std::vector<int32_t> flags, int32_t stride, int32_t highestIndex) {
    std::vector<uint32_t> destination(flags.size() * stride, 0xEEEEEEEE), source(destination.size());
    std::iota(source.begin(), source.end(), 100u);
    return CompactionBuffers(std::move(flags), std::move(destination), std::move(source), stride, highestIndex);
}

TEST_F(SingleJobs, MarkingFlagsNamedVerticesAndKeepsTheOthers) {
    Marking marking({-2, -2, -2, -2, -2}, {3, 3, 0});
    auto record = marking.Record();
    jobs().Run(record);
    EXPECT_EQ(marking.used.elements, (std::vector<int32_t>{1, -2, -2, 1, -2}));
    EXPECT_EQ(marking.highest.value, 3);
}

TEST_F(SingleJobs, MarkingAnEmptyBufferWritesZeroAndReadsNothing) {
    Marking marking({7, 7}, {});
    marking.indices.cell().SetReadable(false);
    marking.used.cell().SetWritable(false);
    auto record = marking.Record();
    jobs().Run(record);
    EXPECT_EQ(marking.highest.value, 0);
    EXPECT_EQ(marking.used.elements, (std::vector<int32_t>{7, 7}));
    EXPECT_EQ(marking.indices.cell().readCheckCalls(), 0);
}

TEST_F(SingleJobs, MarkingAcceptsTheLargestIndexValueOnlyWhenItFits) {
    Marking fits(std::vector<int32_t>(65536, 0), {65535});
    auto record = fits.Record();
    jobs().Run(record);
    EXPECT_EQ(fits.used.elements[65535], 1);
    EXPECT_EQ(fits.highest.value, 65535);

    Marking tooShort(std::vector<int32_t>(65535, 0), {65535});
    record = tooShort.Record();
    EXPECT_EQ(ExpectJobException([&] { jobs().Run(record); }).message(), LENGTH_MESSAGE);
}

// The loop walks the whole buffer; the index range only decides which
// positions pass. One that starts above 0 fails at position 0, before the
// read test; one that ends at position 30 fails at 31, the last position of
// the first block, with the flags of positions 0 to 30 set.
TEST_F(SingleJobs, MarkingFailsAtTheFirstPositionOutsideTheIndexRange) {
    struct Case {
        int32_t rangeMin, rangeMax;
        int32_t flagged;  // positions whose flags are set before the failure
    };
    for (const Case& c : {Case{1, 63, 0}, Case{0, 30, 31}}) {
        std::vector<uint16_t> indices(64);
        for (int32_t i = 0; i < 64; ++i) indices[i] = uint16_t(i);
        Marking marking(std::vector<int32_t>(64, 0), indices);
        if (c.flagged == 0) marking.indices.cell().SetReadable(false);
        auto record = marking.Record();
        record.indices.rangeMin = c.rangeMin;
        record.indices.rangeMax = c.rangeMax;
        EXPECT_EQ(ExpectJobException([&] { jobs().Run(record); }).message(), RESTRICTED_MESSAGE) << c.rangeMin;
        for (int32_t i = 0; i < 64; ++i) EXPECT_EQ(marking.used.elements[i], i < c.flagged ? 1 : 0) << "position " << i;
    }
}

// Flags that lie on the index buffer change indices still to be read: the
// highest index is the highest value read, after the stores before it.
TEST_F(SingleJobs, MarkingFlagsOverItsOwnIndicesReportTheValuesRead) {
    std::vector<int32_t> memory(64, 0);
    auto* indices = reinterpret_cast<uint16_t*>(memory.data() + 32);
    for (int32_t i = 0; i < 32; ++i) indices[i] = uint16_t(i % 8);
    indices[0] = 40;   // its flag is positions 16 and 17: 1 and 0
    indices[16] = 63;  // never read
    SafetyCell usedCell, indicesCell, highestCell;
    int32_t highest = -1;
    MarkUsedVerticesRecord record{host::MakeView(memory.data(), 64, usedCell), host::MakeView(indices, 32, indicesCell),
                                  host::MakeValueRef(&highest, highestCell)};
    jobs().Run(record);
    EXPECT_EQ(highest, 40);
    EXPECT_EQ(memory[63], 0);
}

// The block loop orders indices by signed 16-bit compares on biased values:
// a lost bias lets indices of 32,768 and up past a short view, or misreads
// the highest index.
TEST_F(SingleJobs, MarkingBlocksOrderIndicesAsUnsigned) {
    struct Case {
        int32_t flagCount;
        uint16_t first, step;
        int32_t indexCount;
        int32_t highest;  // -1: the first index fails its test
    };
    for (const Case& c : {Case{65536, 0, 1, 40, 39}, Case{101, 32768, 1, 32, -1}, Case{10, 0, 0, 64, 0}}) {
        std::vector<uint16_t> indices(c.indexCount);
        for (int32_t i = 0; i < c.indexCount; ++i) indices[i] = uint16_t(c.first + i * c.step);
        Marking marking(std::vector<int32_t>(65536, 0), indices);
        auto record = marking.Record();
        record.used.length = c.flagCount;
        record.used.rangeMax = c.flagCount - 1;
        if (c.highest < 0) {
            EXPECT_EQ(ExpectJobException([&] { jobs().Run(record); }).message(), LENGTH_MESSAGE) << c.first;
            EXPECT_EQ(std::count(marking.used.elements.begin(), marking.used.elements.end(), 1), 0) << c.first;
            continue;
        }
        jobs().Run(record);
        EXPECT_EQ(marking.highest.value, c.highest) << c.first;
        for (uint16_t index : indices) EXPECT_EQ(marking.used.elements[index], 1) << index;
    }
}

TEST_F(SingleJobs, CompactionPacksUsedVerticesInOrder) {
    auto compaction = Compaction({1, 0, 5, 0, 1}, 2, 4);
    auto record = compaction.Record();
    jobs().Run(record);
    EXPECT_EQ(compaction.remap.elements, (std::vector<int32_t>{0, 0, 1, 0, 2}));
    EXPECT_EQ(compaction.vertexCount.value, 3);
    const std::vector<uint32_t>& words = compaction.destination.elements;
    EXPECT_EQ(std::vector<uint32_t>(words.begin(), words.begin() + 6),
              (std::vector<uint32_t>{100, 101, 104, 105, 108, 109}));
    EXPECT_EQ(words[6], 0xEEEEEEEEu) << "words past the packed vertices are untouched";
}

TEST_F(SingleJobs, CompactionStopsAtTheHighestIndex) {
    auto shorter = Compaction({1, 0, 5, 0, 1}, 2, 2);
    auto record = shorter.Record();
    jobs().Run(record);
    EXPECT_EQ(shorter.remap.elements, (std::vector<int32_t>{0, 0, 1, 0, 1}));
    EXPECT_EQ(shorter.vertexCount.value, 2);

    auto none = Compaction({1, 1}, 2, -1);
    none.vertexCount.cell().SetWritable(false);
    record = none.Record();
    EXPECT_EQ(ExpectJobException([&] { jobs().Run(record); }).typeName(), host::INVALID_OPERATION_EXCEPTION)
        << "the count's write test runs even when nothing is visited";
    none.vertexCount.cell().SetWritable(true);
    jobs().Run(record);
    EXPECT_EQ(none.vertexCount.value, 0);
    EXPECT_EQ(none.remap.elements, (std::vector<int32_t>{1, 1}));
}

TEST_F(SingleJobs, CompactionWithStrideZeroRenumbersWithoutTouchingVertices) {
    auto compaction = Compaction({0, 3, 3}, 0, 2);
    auto record = compaction.Record();
    record.destinationVertices.data = nullptr;
    record.sourceVertices.data = nullptr;
    jobs().Run(record);
    EXPECT_EQ(compaction.remap.elements, (std::vector<int32_t>{0, 0, 1}));
    EXPECT_EQ(compaction.vertexCount.value, 2);
}

TEST_F(SingleJobs, CompactionInPlaceMatchesTwoBuffers) {
    std::mt19937 random(7);
    std::vector<int32_t> flags(200);
    for (auto& flag : flags) flag = int32_t(random() % 3) - 1;
    auto separate = Compaction(flags, 9, 199), inPlace = Compaction(flags, 9, 199);
    auto record = separate.Record();
    jobs().Run(record);
    record = inPlace.Record();
    record.destinationVertices = record.sourceVertices;
    jobs().Run(record);
    EXPECT_EQ(separate.remap.elements, inPlace.remap.elements);
    const size_t words = size_t(separate.vertexCount.value) * 9;
    const std::vector<uint32_t>& packed = separate.destination.elements;
    EXPECT_TRUE(std::equal(packed.begin(), packed.begin() + words, inPlace.source.elements.begin()));
}

// Vertex copies that land on map entries still to be read: each entry is
// read after every copy before it, so the copy of vertex 2 is the only one.
TEST_F(SingleJobs, CompactionOverItsOwnMapReadsEachEntryAfterTheCopiesBeforeIt) {
    auto compaction = Compaction({-1, 0, 1}, 8, 2);
    std::vector<int32_t> memory(32, 0);
    std::copy(compaction.remap.elements.begin(), compaction.remap.elements.end(), memory.begin());
    auto record = compaction.Record();
    record.remap = host::MakeView(memory.data(), 3, compaction.remap.cell());
    record.destinationVertices =
        host::MakeView(reinterpret_cast<uint32_t*>(memory.data()) + 1, 24, compaction.destination.cell());
    jobs().Run(record);
    EXPECT_EQ(compaction.vertexCount.value, 1);
    EXPECT_EQ(std::vector<int32_t>(memory.begin(), memory.begin() + 3), (std::vector<int32_t>{-1, 116, 117}));
}

// A destination one word after its source: each copy reads words it has just
// written, as a forward byte loop does, whether the map's permissions hold
// (block loop) or take the host's slow path (per-vertex loop).
TEST_F(SingleJobs, CompactionOneWordAfterItsSourceCopiesLikeAForwardByteLoop) {
    for (bool slowPath : {false, true}) {
        auto compaction = Compaction({1, 0, 1}, 8, 2);
        if (slowPath) compaction.remap.cell().SetValue(compaction.remap.cell().version() | 3);
        std::vector<uint32_t>& source = compaction.source.elements;
        auto record = compaction.Record();
        record.destinationVertices = host::MakeView(source.data() + 1, 23, compaction.destination.cell());
        std::vector<uint32_t> expected = source;
        for (int32_t vertex : {0, 2}) {
            auto* to = reinterpret_cast<uint8_t*>(expected.data() + 1 + (vertex == 0 ? 0 : 8));
            const auto* from = reinterpret_cast<const uint8_t*>(expected.data() + vertex * 8);
            for (int b = 0; b < 32; ++b) to[b] = from[b];
        }
        jobs().Run(record);
        EXPECT_EQ(source, expected) << (slowPath ? "slow path" : "fast path");
        EXPECT_EQ(compaction.vertexCount.value, 2);
    }
}

TEST_F(SingleJobs, CompactionNullAddressesRaiseAfterTheEntryIsRewritten) {
    auto noDestination = Compaction({0, 1, 1}, 2, 2);
    auto record = noDestination.Record();
    record.destinationVertices.data = nullptr;
    auto exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.typeName(), NULL_EXCEPTION);
    EXPECT_EQ(exception.message(), "destination");
    EXPECT_EQ(noDestination.remap.elements, (std::vector<int32_t>{0, 0, 1}));
    EXPECT_EQ(noDestination.vertexCount.value, -1);

    auto noSource = Compaction({1, 1}, 2, 1);
    record = noSource.Record();
    record.sourceVertices.data = nullptr;
    exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.message(), "source");
    EXPECT_EQ(noSource.remap.elements, (std::vector<int32_t>{0, 1}));

    auto neither = Compaction({1}, 2, 0);
    record = neither.Record();
    record.destinationVertices.data = record.sourceVertices.data = nullptr;
    EXPECT_EQ(ExpectJobException([&] { jobs().Run(record); }).message(), "destination");
}

// The vertex views are bounded by their lengths: a short buffer is an error
// raised before the copy, after the entry was rewritten.
TEST_F(SingleJobs, CompactionRefusesCopiesOutsideEitherVertexBuffer) {
    auto shortDestination = Compaction({1, 1, 1}, 2, 2);
    auto record = shortDestination.Record();
    record.destinationVertices.length = 5;
    auto exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(shortDestination.remap.elements, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(shortDestination.destination.elements[3], 103u);
    EXPECT_EQ(shortDestination.destination.elements[4], 0xEEEEEEEEu);

    auto shortSource = Compaction({1, 0, 1}, 2, 2);
    record = shortSource.Record();
    record.sourceVertices.length = 5;
    exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(shortSource.remap.elements, (std::vector<int32_t>{0, 0, 1}));
}

// Outside the map's range the job raises, after the vertices before it.
TEST_F(SingleJobs, CompactionOutsideTheRemapRangeProcessesUpToItThenRaises) {
    struct Case {
        int32_t rangeMin, rangeMax;
        std::vector<int32_t> remap;
    };
    for (const Case& c : {Case{0, 2, {0, 1, 2, 1, 1}}, Case{1, 4, {1, 1, 1, 1, 1}}}) {
        auto compaction = Compaction({1, 1, 1, 1, 1}, 1, 4);
        auto record = compaction.Record();
        record.remap.rangeMin = c.rangeMin;
        record.remap.rangeMax = c.rangeMax;
        const auto exception = ExpectJobException([&] { jobs().Run(record); });
        EXPECT_EQ(exception.message(), RESTRICTED_MESSAGE);
        EXPECT_EQ(compaction.remap.elements, c.remap) << "range [" << c.rangeMin << ", " << c.rangeMax << "]";
        EXPECT_EQ(compaction.vertexCount.value, -1);
    }
}

}  // namespace
}  // namespace meshjobs::testing
