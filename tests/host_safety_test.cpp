// The host's permission cells: what its check functions decide, and that the
// library only asks when its own fast test fails.
#include <atomic>
#include <chrono>
#include <numeric>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::HostError;
using host::JobException;
using host::JobSystem;
using host::SafetyCell;

// Whether the host's check lets the access through.
bool Permits(void (*check)(AtomicSafetyHandle*), const SafetyCell& cell) {
    AtomicSafetyHandle copy = cell.Handle();
    try {
        check(&copy);
        return true;
    } catch (const JobException& exception) {
        EXPECT_EQ(exception.typeName(), host::INVALID_OPERATION_EXCEPTION);
        EXPECT_FALSE(exception.message().empty());
        return false;
    }
}

TEST(HostSafetyCell, ChecksFollowThePolicyAndRefuseBothOnceTheVersionMoves) {
    SafetyCell cell(16);
    auto permits = [&] {
        return std::pair{Permits(&SafetyCell::CheckRead, cell), Permits(&SafetyCell::CheckWrite, cell)};
    };
    EXPECT_EQ(permits(), std::pair(true, true));
    cell.SetReadable(false);
    EXPECT_EQ(cell.value(), 16 | 1);
    EXPECT_EQ(permits(), std::pair(false, true));
    cell.SetWritable(false);
    cell.SetReadable(true);
    EXPECT_EQ(cell.value(), 16 | 2);
    EXPECT_EQ(permits(), std::pair(true, false));
    cell.SetWritable(true);
    cell.SetValue(16 | 7);  // every slow path taken, nothing refused
    EXPECT_EQ(permits(), std::pair(true, true));
    cell.SetValue(24);  // the container is gone
    EXPECT_EQ(permits(), std::pair(false, false));
    EXPECT_EQ(cell.readCheckCalls(), 5);
    EXPECT_EQ(cell.writeCheckCalls(), 5);
    cell.ResetCallCounts();
    EXPECT_EQ(cell.readCheckCalls() + cell.writeCheckCalls(), 0);
    EXPECT_THROW(SafetyCell(12), HostError) << "the low three bits belong to the flags";
}

struct Marking : MarkingBuffers {
    Marking() : MarkingBuffers(std::vector<int32_t>(8, 0), {1, 5, 3}) {}
    int HostCalls() const {
        int calls = 0;
        for (const SafetyCell* cell : {&used.cell(), &indices.cell(), &highest.cell()})
            calls += cell->readCheckCalls() + cell->writeCheckCalls();
        return calls;
    }
};

class HostPermissions : public LibraryTest {};

TEST_F(HostPermissions, PermittedCellsNeverReachTheHost) {
    JobSystem jobs(library(), 1);
    Marking marking;
    auto record = marking.Record();
    jobs.Run(record);
    EXPECT_EQ(marking.highest.value, 5);
    EXPECT_EQ(marking.HostCalls(), 0);
}

TEST_F(HostPermissions, RefusedReadsAndWritesStopTheJobWithTheHostsException) {
    JobSystem jobs(library(), 1);
    for (bool refuseRead : {true, false}) {
        Marking marking;
        if (refuseRead)
            marking.indices.cell().SetReadable(false);
        else
            marking.used.cell().SetWritable(false);
        auto record = marking.Record();
        const JobException exception = ExpectJobException([&] { jobs.Run(record); });
        EXPECT_EQ(exception.typeName(), host::INVALID_OPERATION_EXCEPTION);
        EXPECT_EQ(marking.used.elements, std::vector<int32_t>(8, 0));
        EXPECT_EQ(marking.HostCalls(), 1);
    }
}

// The counters are raised from every worker at once: on the slow path every
// position asks the host, and one counter that every position names still
// ends exact. A lost increment shows only while both workers hold a core,
// which a busy machine may not give at once, so that case repeats for a
// quarter of a second.
TEST_F(HostPermissions, SlowPathCallsAreCountedExactlyAcrossWorkers) {
    struct Case {
        int32_t counters, positions;
        bool slowReads;  // else slow writes
    };
    JobSystem jobs(library(), 2);
    auto run = [&](const Case& c) {
        std::vector<uint16_t> indices(c.positions, 0);
        if (c.counters > 1) std::iota(indices.begin(), indices.end(), uint16_t{0});
        CountingBuffers counting(std::vector<int32_t>(c.counters, 0), std::move(indices));
        SafetyCell &countsCell = counting.counts.cell(), &indicesCell = counting.indices.cell();
        SafetyCell& slow = c.slowReads ? indicesCell : countsCell;
        slow.SetValue(slow.version() | (c.slowReads ? 1 : 2));
        const CountVertexReferencesRecord record = counting.Record();
        // A half each, started together at their patch.
        host::ParallelForOptions options;
        options.scriptedRanges = {{{0, c.positions / 2}}, {{c.positions / 2, c.positions}}};
        std::atomic<int> started{0};
        options.patchOverride = [&](void*, int32_t, int32_t) {
            started.fetch_add(1);
            while (started.load() < 2) {
            }
        };
        jobs.Run(record, c.positions, options);
        EXPECT_EQ(countsCell.writeCheckCalls(), c.slowReads ? 0 : c.positions) << c.counters;
        EXPECT_EQ(indicesCell.readCheckCalls(), c.slowReads ? c.positions : 0) << c.counters;
        EXPECT_EQ(countsCell.readCheckCalls() + indicesCell.writeCheckCalls(), 0);
        EXPECT_EQ(counting.counts.elements,
                  c.counters > 1 ? std::vector<int32_t>(c.counters, 1) : std::vector<int32_t>{c.positions});
    };
    run({20000, 20000, false});
    run({20000, 20000, true});
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    do run({1, 1000000, false});
    while (!HasFailure() && std::chrono::steady_clock::now() < until);
}

TEST_F(HostPermissions, ARefusalInAParallelJobComesBackFromEveryWorkerThatMetIt) {
    JobSystem jobs(library(), 2);
    CountingBuffers counting(std::vector<int32_t>(8, 0), {0, 1, 2, 3, 4, 5, 6, 7});
    counting.counts.cell().SetWritable(false);
    host::ParallelForOptions options;
    options.scriptedRanges = {{{0, 4}}, {{4, 8}}};
    const JobException exception = ExpectJobException([&] { jobs.Run(counting.Record(), 8, options); });
    EXPECT_EQ(exception.typeName(), host::INVALID_OPERATION_EXCEPTION);
    EXPECT_EQ(exception.worker(), 0);
    ASSERT_EQ(jobs.lastExceptions().size(), 2u);
    EXPECT_EQ(jobs.lastExceptions()[1].worker(), 1);
    EXPECT_EQ(counting.counts.elements, std::vector<int32_t>(8, 0));
}

}  // namespace
}  // namespace meshjobs::testing
