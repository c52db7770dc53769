// Remapping, counting and the range loop they share, with scripted ranges and
// with real work stealing over many workers and small batches.
#include <numeric>
#include <random>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobSystem;
using host::ParallelForOptions;
using host::RangeEvent;

ParallelForOptions Scripted(std::vector<std::vector<host::Range>> ranges) {
    ParallelForOptions options;
    options.scriptedRanges = std::move(ranges);
    options.recordEvents = true;
    return options;
}

class ParallelJobs : public LibraryTest {};

TEST_F(ParallelJobs, RemappingRewritesEveryPositionThroughTheMap) {
    RemappingBuffers remapping({0, 2, 4, 2}, {0, 0, 1, 0, 2});
    JobSystem jobs(library(), 2);
    jobs.Run(remapping.Record(), 4);
    EXPECT_EQ(remapping.indices.elements, (std::vector<uint16_t>{0, 1, 2, 1}));
}

TEST_F(ParallelJobs, RemappingKeepsTheLow16BitsOfTheMap) {
    RemappingBuffers remapping({0, 1}, {65536, -1});
    JobSystem jobs(library(), 1);
    jobs.Run(remapping.Record(), 2);
    EXPECT_EQ(remapping.indices.elements, (std::vector<uint16_t>{0, 65535}));
}

TEST_F(ParallelJobs, RemappingFailsOnAnIndexPastTheMapAndKeepsEarlierPositions) {
    RemappingBuffers remapping({1, 0, 3, 1}, {5, 6, 7});
    JobSystem jobs(library(), 1);
    const auto exception = ExpectJobException([&] { jobs.Run(remapping.Record(), 4); });
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(remapping.indices.elements, (std::vector<uint16_t>{6, 5, 3, 1}));
}

// The host restricts the index buffer to [8, 15] but hands out [8, 17).
TEST_F(ParallelJobs, RemappingOutsideThePatchedRangeGivesTheRestrictedMessage) {
    RemappingBuffers remapping(std::vector<uint16_t>(20, 1), {0, 9});
    auto options = Scripted({{{8, 17}}});
    options.patchOverride = [](void* record, int32_t, int32_t) {
        auto& view = static_cast<RemapIndicesRecord*>(record)->indices;
        view.rangeMin = 8;
        view.rangeMax = 15;
    };
    JobSystem jobs(library(), 1);
    const auto exception = ExpectJobException([&] { jobs.Run(remapping.Record(), 20, options); });
    EXPECT_EQ(exception.message(), RESTRICTED_MESSAGE);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(remapping.indices.elements[i], (i >= 8 && i < 16) ? 9 : 1) << "position " << i;
}

TEST_F(ParallelJobs, RangeLoopPatchesEveryRangeBeforeItsBodies) {
    CountingBuffers counting(std::vector<int32_t>(4, 0), std::vector<uint16_t>(12, 1));
    JobSystem jobs(library(), 1);
    const auto report = jobs.Run(counting.Record(), 12, Scripted({{{0, 4}, {5, 5}, {10, 12}}}));
    const std::vector<std::tuple<int, int32_t, int32_t>> expected{
        {RangeEvent::Request, 0, 1}, {RangeEvent::Patch, 0, 4}, {RangeEvent::Request, 5, 1},
        {RangeEvent::Patch, 5, 0},   {RangeEvent::Request, 10, 1}, {RangeEvent::Patch, 10, 2},
        {RangeEvent::Request, 0, 0}};
    std::vector<std::tuple<int, int32_t, int32_t>> seen;
    for (const auto& event : report.events) {
        const bool request = event.kind == RangeEvent::Request;
        seen.emplace_back(event.kind, request && event.count == 0 ? 0 : event.begin, event.count);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(counting.counts.elements[1], 6) << "bodies ran for [0, 4) and [10, 12) only";
}

TEST_F(ParallelJobs, NoRangeMeansNoPatchAndNoBody) {
    CountingBuffers counting(std::vector<int32_t>(2, 0), std::vector<uint16_t>(4, 1));
    JobSystem jobs(library(), 1);
    const auto report = jobs.Run(counting.Record(), 4, Scripted({{}}));
    ASSERT_EQ(report.events.size(), 1u);
    EXPECT_EQ(report.events[0].kind, RangeEvent::Request);
    EXPECT_EQ(counting.counts.elements, (std::vector<int32_t>{0, 0}));
}

TEST_F(ParallelJobs, CountingAddsToWhatTheCountersHeldWhateverTheSplit) {
    for (const auto& ranges : std::vector<std::vector<std::vector<host::Range>>>{
             {{{0, 4}}}, {{{0, 1}}, {{1, 2}}, {{2, 3}}, {{3, 4}}}, {{{3, 4}, {0, 2}}, {{2, 3}}}}) {
        CountingBuffers counting({5, 5, 5}, {1, 1, 2, 1});
        JobSystem jobs(library(), int(ranges.size()));
        jobs.Run(counting.Record(), 4, Scripted(ranges));
        EXPECT_EQ(counting.counts.elements, (std::vector<int32_t>{5, 8, 6})) << ranges.size() << " workers";
    }
}

TEST_F(ParallelJobs, CountingTestsWritePermissionBeforeThePosition) {
    CountingBuffers counting({0, 0}, {1, 1});
    counting.counts.cell().SetWritable(false);
    ParallelForOptions options;
    options.patchOverride = [](void* record, int32_t, int32_t) {
        static_cast<CountVertexReferencesRecord*>(record)->indices.rangeMax = -1;
    };
    JobSystem jobs(library(), 1);
    const auto exception = ExpectJobException([&] { jobs.Run(counting.Record(), 2, options); });
    EXPECT_EQ(exception.typeName(), host::INVALID_OPERATION_EXCEPTION);
}

// A patch may restrict the index buffer inside the range handed out, and a
// host may hand out positions past the buffer: counting stops at the first
// position whose test fails, with every position before it counted.
TEST_F(ParallelJobs, CountingStopsWhereThePatchedRangeOrTheLengthEnds) {
    struct Case {
        int32_t raiseMin, lowerMax, end;
        int32_t counted;
        const char* message;
    };
    for (const Case& c : {Case{1, 0, 40, 0, RESTRICTED_MESSAGE}, Case{0, 5, 40, 35, RESTRICTED_MESSAGE},
                          Case{0, 0, 41, 40, LENGTH_MESSAGE}}) {
        // The buffer runs past the view, so a read past its length would count.
        CountingBuffers counting({0}, std::vector<uint16_t>(48, 0));
        auto record = counting.Record();
        record.indices.length = 40;
        auto options = Scripted({{{0, c.end}}});
        options.patchOverride = [&](void* copy, int32_t, int32_t) {
            auto& view = static_cast<CountVertexReferencesRecord*>(copy)->indices;
            view.rangeMin += c.raiseMin;
            view.rangeMax -= c.lowerMax;
        };
        JobSystem jobs(library(), 1);
        EXPECT_EQ(ExpectJobException([&] { jobs.Run(record, 40, options); }).message(), c.message) << c.end;
        EXPECT_EQ(counting.counts.elements[0], c.counted)
            << "range [" << c.raiseMin << ", " << c.end - 1 - c.lowerMax << "]";
    }
}

TEST_F(ParallelJobs, CountingRefusesAnIndexWithoutACounter) {
    CountingBuffers counting({0, 0}, {1, 0, 2, 1});
    JobSystem jobs(library(), 1);
    const auto exception = ExpectJobException([&] { jobs.Run(counting.Record(), 4, Scripted({{{0, 4}}})); });
    EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(counting.counts.elements, (std::vector<int32_t>{1, 1}));
}

// Many workers, tiny batches: every position is counted exactly once and
// every position is remapped exactly once.
TEST_F(ParallelJobs, ManyWorkersAndSmallBatchesLoseNothing) {
    std::mt19937 random(11);
    const int vertexCount = 1000;
    std::vector<uint16_t> indices(30011);
    for (auto& index : indices) index = uint16_t(random() % vertexCount);
    std::vector<int32_t> expectedCounts(vertexCount, 0);
    for (auto index : indices) ++expectedCounts[index];
    std::vector<int32_t> map(vertexCount);
    for (auto& value : map) value = int32_t(random() % 65536);

    for (int workers : {2, 3, 8}) {
        for (int32_t batch : {1, 7, 64}) {
            ParallelForOptions options;
            options.batchSize = batch;
            JobSystem jobs(library(), workers);
            CountingBuffers counting(std::vector<int32_t>(vertexCount, 0), indices);
            jobs.Run(counting.Record(), int32_t(indices.size()), options);
            EXPECT_EQ(counting.counts.elements, expectedCounts) << workers << " workers, batch " << batch;

            RemappingBuffers remapping(indices, map);
            jobs.Run(remapping.Record(), int32_t(indices.size()), options);
            for (size_t i = 0; i < indices.size(); ++i)
                ASSERT_EQ(remapping.indices.elements[i], uint16_t(map[indices[i]])) << "position " << i;
        }
    }
}

}  // namespace
}  // namespace meshjobs::testing
