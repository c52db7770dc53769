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

struct Compaction {
    SafetyCell remapCell, destinationCell, sourceCell, countCell;
    std::vector<int32_t> remap;
    std::vector<uint32_t> destination, source;
    int32_t vertexCount = -1;
    int32_t stride, highestIndex;
    Compaction(std::vector<int32_t> flags, int32_t vertexStride, int32_t last)
        : remap(std::move(flags)), destination(remap.size() * vertexStride, 0xEEEEEEEE), source(remap.size() * vertexStride),
          stride(vertexStride), highestIndex(last) {
        std::iota(source.begin(), source.end(), 100u);
    }
    CompactVerticesRecord Record() {
        return {host::MakeView(remap.data(), int32_t(remap.size()), remapCell),
                host::MakeView(destination.data(), int32_t(destination.size()), destinationCell),
                host::MakeView(source.data(), int32_t(source.size()), sourceCell),
                host::MakeValueRef(&vertexCount, countCell), stride, highestIndex};
    }
};

TEST_F(SingleJobs, MarkingFlagsNamedVerticesAndKeepsTheOthers) {
    Marking marking({-2, -2, -2, -2, -2}, {3, 3, 0});
    auto record = marking.Record();
    jobs().Run(record);
    EXPECT_EQ(marking.used, (std::vector<int32_t>{1, -2, -2, 1, -2}));
    EXPECT_EQ(marking.highest, 3);
}

TEST_F(SingleJobs, MarkingAnEmptyBufferWritesZeroAndReadsNothing) {
    Marking marking({7, 7}, {});
    marking.indicesCell.SetReadable(false);
    marking.usedCell.SetWritable(false);
    auto record = marking.Record();
    jobs().Run(record);
    EXPECT_EQ(marking.highest, 0);
    EXPECT_EQ(marking.used, (std::vector<int32_t>{7, 7}));
    EXPECT_EQ(marking.indicesCell.readCheckCalls(), 0);
}

TEST_F(SingleJobs, MarkingAcceptsTheLargestIndexValueOnlyWhenItFits) {
    Marking fits(std::vector<int32_t>(65536, 0), {65535});
    auto record = fits.Record();
    jobs().Run(record);
    EXPECT_EQ(fits.used[65535], 1);
    EXPECT_EQ(fits.highest, 65535);

    Marking tooShort(std::vector<int32_t>(65535, 0), {65535});
    record = tooShort.Record();
    EXPECT_EQ(ExpectJobException([&] { jobs().Run(record); }).message(), LENGTH_MESSAGE);
}

TEST_F(SingleJobs, MarkingFailsAtPositionZeroWhenTheIndexRangeStartsAboveIt) {
    Marking marking({0, 0}, {1, 1});
    marking.indicesCell.SetReadable(false);
    auto record = marking.Record();
    record.indices.rangeMin = 1;
    const auto exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.message(), RESTRICTED_MESSAGE) << "the index test runs before the read test";
    EXPECT_EQ(marking.used, (std::vector<int32_t>{0, 0}));
}

TEST_F(SingleJobs, CompactionPacksUsedVerticesInOrder) {
    Compaction compaction({1, 0, 5, 0, 1}, 2, 4);
    auto record = compaction.Record();
    jobs().Run(record);
    EXPECT_EQ(compaction.remap, (std::vector<int32_t>{0, 0, 1, 0, 2}));
    EXPECT_EQ(compaction.vertexCount, 3);
    const std::vector<uint32_t> packed(compaction.destination.begin(), compaction.destination.begin() + 6);
    EXPECT_EQ(packed, (std::vector<uint32_t>{100, 101, 104, 105, 108, 109}));
    EXPECT_EQ(compaction.destination[6], 0xEEEEEEEEu) << "words past the packed vertices are untouched";
}

TEST_F(SingleJobs, CompactionStopsAtTheHighestIndex) {
    Compaction shorter({1, 0, 5, 0, 1}, 2, 2);
    auto record = shorter.Record();
    jobs().Run(record);
    EXPECT_EQ(shorter.remap, (std::vector<int32_t>{0, 0, 1, 0, 1}));
    EXPECT_EQ(shorter.vertexCount, 2);

    Compaction none({1, 1}, 2, -1);
    none.countCell.SetWritable(false);
    record = none.Record();
    EXPECT_EQ(ExpectJobException([&] { jobs().Run(record); }).typeName(), host::INVALID_OPERATION_EXCEPTION)
        << "the count's write test runs even when nothing is visited";
    none.countCell.SetWritable(true);
    jobs().Run(record);
    EXPECT_EQ(none.vertexCount, 0);
    EXPECT_EQ(none.remap, (std::vector<int32_t>{1, 1}));
}

TEST_F(SingleJobs, CompactionWithStrideZeroRenumbersWithoutTouchingVertices) {
    Compaction compaction({0, 3, 3}, 0, 2);
    auto record = compaction.Record();
    record.destinationVertices.data = nullptr;
    record.sourceVertices.data = nullptr;
    jobs().Run(record);
    EXPECT_EQ(compaction.remap, (std::vector<int32_t>{0, 0, 1}));
    EXPECT_EQ(compaction.vertexCount, 2);
}

TEST_F(SingleJobs, CompactionInPlaceMatchesTwoBuffers) {
    std::mt19937 random(7);
    std::vector<int32_t> flags(200);
    for (auto& flag : flags) flag = int32_t(random() % 3) - 1;
    Compaction separate(flags, 9, 199), inPlace(flags, 9, 199);
    auto record = separate.Record();
    jobs().Run(record);
    record = inPlace.Record();
    record.destinationVertices = record.sourceVertices;
    jobs().Run(record);
    EXPECT_EQ(separate.remap, inPlace.remap);
    const size_t words = size_t(separate.vertexCount) * 9;
    EXPECT_TRUE(std::equal(separate.destination.begin(), separate.destination.begin() + words, inPlace.source.begin()));
}

TEST_F(SingleJobs, CompactionNullAddressesRaiseAfterTheEntryIsRewritten) {
    Compaction noDestination({0, 1, 1}, 2, 2);
    auto record = noDestination.Record();
    record.destinationVertices.data = nullptr;
    auto exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.typeName(), NULL_EXCEPTION);
    EXPECT_EQ(exception.message(), "destination");
    EXPECT_EQ(noDestination.remap, (std::vector<int32_t>{0, 0, 1}));
    EXPECT_EQ(noDestination.vertexCount, -1);

    Compaction noSource({1, 1}, 2, 1);
    record = noSource.Record();
    record.sourceVertices.data = nullptr;
    exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.message(), "source");
    EXPECT_EQ(noSource.remap, (std::vector<int32_t>{0, 1}));
}

// The vertex views are bounded by their lengths: a short buffer is an error
// raised before the copy, after the entry was rewritten.
TEST_F(SingleJobs, CompactionRefusesCopiesOutsideEitherVertexBuffer) {
    Compaction shortDestination({1, 1, 1}, 2, 2);
    auto record = shortDestination.Record();
    record.destinationVertices.length = 5;
    auto exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(shortDestination.remap, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(shortDestination.destination[3], 103u);
    EXPECT_EQ(shortDestination.destination[4], 0xEEEEEEEEu);

    Compaction shortSource({1, 0, 1}, 2, 2);
    record = shortSource.Record();
    record.sourceVertices.length = 5;
    exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(shortSource.remap, (std::vector<int32_t>{0, 0, 1}));
}

TEST_F(SingleJobs, CompactionPastTheRemapRangeProcessesUpToItThenRaises) {
    Compaction compaction({1, 1, 1, 1, 1}, 1, 4);
    auto record = compaction.Record();
    record.remap.rangeMax = 2;
    const auto exception = ExpectJobException([&] { jobs().Run(record); });
    EXPECT_EQ(exception.message(), RESTRICTED_MESSAGE);
    EXPECT_EQ(compaction.remap, (std::vector<int32_t>{0, 1, 2, 1, 1}));
    EXPECT_EQ(compaction.vertexCount, -1);
}

}  // namespace
}  // namespace meshjobs::testing
