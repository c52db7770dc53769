// The host's job system: work stealing, scripted ranges, per-worker patching
// and how exceptions of several workers come back.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobException;
using host::JobSystem;
using host::ParallelForOptions;
using host::Range;
using host::RangeEvent;
using host::RunReport;

// Index position i names vertex i, so every position handed out exactly once
// leaves every counter at exactly 1.
struct Counting : CountingBuffers {
    explicit Counting(int32_t length)
        : CountingBuffers(std::vector<int32_t>(length, 0), std::vector<uint16_t>(length)) {
        std::iota(indices.elements.begin(), indices.elements.end(), uint16_t{0});
    }
};

ParallelForOptions Scripted(std::vector<std::vector<Range>> ranges) {
    ParallelForOptions options;
    options.scriptedRanges = std::move(ranges);
    options.recordEvents = true;
    return options;
}

// One worker's events, in its order, as text.
std::string EventsOf(const RunReport& report, int worker) {
    std::ostringstream text;
    for (const RangeEvent& event : report.events) {
        if (event.worker != worker) continue;
        if (event.kind == RangeEvent::Patch)
            text << "patch " << event.begin << " " << event.count << "; ";
        else if (event.count)
            text << "range " << event.begin << "; ";
        else
            text << "none; ";
    }
    return text.str();
}

// Gives up after a few seconds so a broken host fails the test, not hangs it.
bool AwaitAtLeast(const std::atomic<int>& value, int target) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (value.load() < target)
        if (std::chrono::steady_clock::now() > deadline) return false;
        else std::this_thread::yield();
    return true;
}

int32_t RangeMinAt(const void* record, size_t viewOffset) {
    int32_t value;
    std::memcpy(&value, static_cast<const char*>(record) + viewOffset + offsetof(ArrayView<uint8_t>, rangeMin), 4);
    return value;
}
int32_t RangeMaxAt(const void* record, size_t viewOffset) {
    int32_t value;
    std::memcpy(&value, static_cast<const char*>(record) + viewOffset + offsetof(ArrayView<uint8_t>, rangeMax), 4);
    return value;
}

constexpr size_t COUNTS_VIEW = offsetof(CountVertexReferencesRecord, referenceCounts);
constexpr size_t COUNTED_INDICES_VIEW = offsetof(CountVertexReferencesRecord, indices);

class HostJobSystem : public LibraryTest {};

// Skewed runs slow down every worker but the calling one, so most of the
// index space is taken by stealing rather than from the owner's own slice.
TEST_F(HostJobSystem, StealingHandsOutEveryIndexExactlyOnce) {
    const auto callingThread = std::this_thread::get_id();
    for (int workers : {1, 2, 3, 8}) {
        JobSystem jobs(library(), workers);
        for (bool skewed : {false, true}) {
            for (int32_t length : {0, 1, 2, 5, 63, 64, 65, 1000, 40000}) {
                for (int32_t batch : {1, 7, 64, std::numeric_limits<int32_t>::max()}) {
                    Counting counting(length);
                    ParallelForOptions options;
                    options.batchSize = batch;
                    if (skewed)
                        options.patchOverride = [&](void*, int32_t, int32_t) {
                            if (std::this_thread::get_id() != callingThread)
                                std::this_thread::sleep_for(std::chrono::microseconds(20));
                        };
                    const RunReport report = jobs.Run(counting.Record(), length, options);
                    const auto trace = ::testing::Message() << workers << " workers, length " << length
                                                            << ", batch " << batch << (skewed ? ", skewed" : "");
                    ASSERT_EQ(report.indicesPerWorker.size(), size_t(workers)) << trace;
                    EXPECT_EQ(std::accumulate(report.indicesPerWorker.begin(), report.indicesPerWorker.end(),
                                              int64_t{0}),
                              length)
                        << trace;
                    const std::vector<int32_t>& counts = counting.counts.elements;
                    const auto wrong =
                        std::find_if(counts.begin(), counts.end(), [](int32_t count) { return count != 1; });
                    ASSERT_EQ(wrong, counts.end()) << trace << ": position " << (wrong - counts.begin()) << " ran "
                                                   << *wrong << " times";
                }
            }
        }
    }
}

// Worker 1 takes one batch and then holds on until worker 0 has done all the
// rest, which worker 0 can only do by taking batches off the back of worker
// 1's slice.
TEST_F(HostJobSystem, AnIdleWorkerStealsFromTheBackOfABusyWorkersSlice) {
    JobSystem jobs(library(), 2);
    Counting counting(100);
    const auto callingThread = std::this_thread::get_id();
    std::atomic<int> workerOnePatches{0}, workerZeroIndices{0};
    std::atomic<bool> timedOut{false};
    ParallelForOptions options;
    options.batchSize = 10;
    options.recordEvents = true;
    options.patchOverride = [&](void*, int32_t, int32_t count) {
        if (std::this_thread::get_id() == callingThread) {
            if (!AwaitAtLeast(workerOnePatches, 1)) timedOut = true;
            workerZeroIndices += count;
        } else {
            ++workerOnePatches;
            if (!AwaitAtLeast(workerZeroIndices, 90)) timedOut = true;
        }
    };
    const RunReport report = jobs.Run(counting.Record(), 100, options);
    ASSERT_FALSE(timedOut);
    EXPECT_EQ(report.indicesPerWorker, (std::vector<int64_t>{90, 10}));
    EXPECT_EQ(EventsOf(report, 1), "range 50; patch 50 10; none; ");
    EXPECT_EQ(EventsOf(report, 0),
              "range 0; patch 0 10; range 10; patch 10 10; range 20; patch 20 10; range 30; patch 30 10; "
              "range 40; patch 40 10; range 90; patch 90 10; range 80; patch 80 10; range 70; patch 70 10; "
              "range 60; patch 60 10; none; ");
    EXPECT_EQ(counting.counts.elements, std::vector<int32_t>(100, 1));
}

// Both workers hold their first range until the other has one too, so each
// took its whole own slice in one batch, however large the batch.
TEST_F(HostJobSystem, BusyWorkersTakeTheirOwnSlicesFromTheFront) {
    JobSystem jobs(library(), 2);
    Counting counting(100);
    std::atomic<int> patched{0};
    std::atomic<bool> timedOut{false};
    ParallelForOptions options;
    options.batchSize = std::numeric_limits<int32_t>::max();
    options.recordEvents = true;
    options.patchOverride = [&](void*, int32_t, int32_t) {
        ++patched;
        if (!AwaitAtLeast(patched, 2)) timedOut = true;
    };
    const RunReport report = jobs.Run(counting.Record(), 100, options);
    ASSERT_FALSE(timedOut);
    EXPECT_EQ(EventsOf(report, 0), "range 0; patch 0 50; none; ");
    EXPECT_EQ(EventsOf(report, 1), "range 50; patch 50 50; none; ");
    EXPECT_EQ(counting.counts.elements, std::vector<int32_t>(100, 1));
}

TEST_F(HostJobSystem, ScriptedRangesArriveInOrderWithTheirPatchesThenFalse) {
    JobSystem jobs(library(), 3);
    std::vector<uint16_t> indices(16);
    std::iota(indices.begin(), indices.end(), uint16_t{0});
    std::vector<int32_t> remap(16);
    std::iota(remap.begin(), remap.end(), 100);
    RemappingBuffers remapping(indices, remap);

    const RunReport report = jobs.Run(remapping.Record(), 16, Scripted({{{0, 4}, {10, 12}}, {{5, 5}}}));

    EXPECT_EQ(EventsOf(report, 0), "range 0; patch 0 4; range 10; patch 10 2; none; ");
    EXPECT_EQ(EventsOf(report, 1), "range 5; patch 5 0; none; ");
    EXPECT_EQ(EventsOf(report, 2), "none; ");
    EXPECT_EQ(report.indicesPerWorker, (std::vector<int64_t>{6, 0, 0}));
    EXPECT_EQ(remapping.indices.elements,
              (std::vector<uint16_t>{100, 101, 102, 103, 4, 5, 6, 7, 8, 9, 110, 111, 12, 13, 14, 15}));
}

TEST_F(HostJobSystem, PatchesRestrictOnlyTheDescribedViewsOfTheWorkersCopy) {
    JobSystem jobs(library(), 1);
    Counting counting(12);
    const CountVertexReferencesRecord record = counting.Record();
    std::vector<std::vector<int32_t>> seen;
    const void* firstCopy = nullptr;
    ParallelForOptions options = Scripted({{{0, 4}, {6, 8}, {9, 9}}});
    options.patchOverride = [&](void* copy, int32_t, int32_t) {
        if (!firstCopy) firstCopy = copy;
        seen.push_back({RangeMinAt(copy, COUNTED_INDICES_VIEW), RangeMaxAt(copy, COUNTED_INDICES_VIEW),
                        RangeMinAt(copy, COUNTS_VIEW), RangeMaxAt(copy, COUNTS_VIEW)});
    };
    jobs.Run(record, 12, options);

    EXPECT_EQ(seen, (std::vector<std::vector<int32_t>>{{0, 3, 0, 11}, {6, 7, 0, 11}, {9, 8, 0, 11}}));
    EXPECT_NE(firstCopy, &record);
    EXPECT_EQ(RangeMinAt(&record, COUNTED_INDICES_VIEW), 0) << "the caller's record is never patched";
    EXPECT_EQ(RangeMaxAt(&record, COUNTED_INDICES_VIEW), 11);
}

// Both workers hold their patched copies at the same time; had they shared
// one, the later patch would show in the earlier worker's view.
TEST_F(HostJobSystem, EachWorkerPatchesOnlyItsOwnCopy) {
    JobSystem jobs(library(), 2);
    Counting counting(8);
    std::atomic<int> patched{0};
    std::atomic<int> mismatches{0};
    std::atomic<bool> timedOut{false};
    ParallelForOptions options = Scripted({{{0, 4}}, {{4, 8}}});
    options.patchOverride = [&](void* copy, int32_t begin, int32_t count) {
        ++patched;
        if (!AwaitAtLeast(patched, 2)) timedOut = true;
        if (RangeMinAt(copy, COUNTED_INDICES_VIEW) != begin ||
            RangeMaxAt(copy, COUNTED_INDICES_VIEW) != begin + count - 1)
            ++mismatches;
    };
    jobs.Run(counting.Record(), 8, options);
    ASSERT_FALSE(timedOut);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(counting.counts.elements, std::vector<int32_t>(8, 1));
}

// With the map described as per-index, a position whose index points
// outside its own range is refused by the library's restricted-range check.
TEST_F(HostJobSystem, TheLibraryEnforcesWhateverTheDescriptionRestricts) {
    JobSystem jobs(library(), 1);
    const std::vector<uint16_t> original{8, 9, 10, 11};
    RemappingBuffers remapping(original, std::vector<int32_t>(16, 1));
    const RemapIndicesRecord record = remapping.Record();
    ParallelForOptions restrictMap;
    restrictMap.useDefaultDescription = false;
    restrictMap.description.perIndexViewOffsets = {offsetof(RemapIndicesRecord, remap)};

    const JobException exception = ExpectJobException([&] { jobs.Run(record, 4, restrictMap); });
    EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
    EXPECT_EQ(exception.message(), RESTRICTED_MESSAGE);
    EXPECT_EQ(remapping.indices.elements, original);

    jobs.Run(record, 4);
    EXPECT_EQ(remapping.indices.elements, (std::vector<uint16_t>{1, 1, 1, 1}));
}

TEST_F(HostJobSystem, AnAbortInOneWorkerSurfacesOnceWithItsWorkerAndTheOthersFinish) {
    JobSystem jobs(library(), 3);
    Counting counting(16);
    const JobException exception =
        ExpectJobException([&] { jobs.Run(counting.Record(), 16, Scripted({{{0, 4}}, {{100, 101}}, {{4, 8}}})); });
    EXPECT_EQ(exception.worker(), 1);
    EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
    ASSERT_EQ(jobs.lastExceptions().size(), 1u);
    EXPECT_EQ(jobs.lastExceptions()[0].worker(), 1);
    EXPECT_EQ(std::count(counting.counts.elements.begin(), counting.counts.elements.begin() + 8, 1), 8);

    Counting next(5000);
    ParallelForOptions smallBatches;
    smallBatches.batchSize = 3;
    jobs.Run(next.Record(), 5000, smallBatches);
    EXPECT_EQ(next.counts.elements, std::vector<int32_t>(5000, 1));
    EXPECT_TRUE(jobs.lastExceptions().empty());
}

TEST_F(HostJobSystem, EveryFailingWorkerIsKeptAndTheLowestIsRethrown) {
    JobSystem jobs(library(), 3);
    Counting counting(16);
    const JobException exception = ExpectJobException(
        [&] { jobs.Run(counting.Record(), 16, Scripted({{{16, 17}}, {{0, 4}}, {{200, 201}, {8, 12}}})); });
    EXPECT_EQ(exception.worker(), 0);
    ASSERT_EQ(jobs.lastExceptions().size(), 2u);
    EXPECT_EQ(jobs.lastExceptions()[0].worker(), 0);
    EXPECT_EQ(jobs.lastExceptions()[1].worker(), 2);
    EXPECT_EQ(counting.counts.elements, (std::vector<int32_t>{1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}))
        << "a failed worker asks for nothing more";
}

TEST_F(HostJobSystem, OtherExceptionsInAWorkerComeBackAsJobExceptions) {
    JobSystem jobs(library(), 2);
    Counting counting(4);
    ParallelForOptions options = Scripted({{}, {{0, 4}}});
    options.patchOverride = [](void*, int32_t, int32_t) { throw std::runtime_error("override failed"); };
    const JobException exception = ExpectJobException([&] { jobs.Run(counting.Record(), 4, options); });
    EXPECT_EQ(exception.worker(), 1);
    EXPECT_EQ(exception.message(), "override failed");
}

}  // namespace
}  // namespace meshjobs::testing
