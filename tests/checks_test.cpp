// Index, permission and null tests, seen through the marking and compaction
// jobs: which message, which host call, and what is already written.
#include <cstring>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobException;
using host::JobSystem;

struct Marking : MarkingBuffers {
    Marking(int32_t vertexCount, std::vector<uint16_t> indexValues)
        : MarkingBuffers(std::vector<int32_t>(vertexCount, 0), std::move(indexValues)) {}
};

class Checks : public LibraryTest {
protected:
    JobException MarkExpectingFailure(MarkUsedVerticesRecord record) {
        JobSystem jobs(library(), 1);
        return ExpectJobException([&] { jobs.Run(record); });
    }
};

TEST_F(Checks, IndexPastTheEndOfAnUnrestrictedViewGivesTheLengthMessage) {
    Marking marking(100, {4, 100, 5});
    const auto exception = MarkExpectingFailure(marking.Record());
    EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(marking.used.elements[4], 1) << "writes before the failed test stay";
    EXPECT_EQ(marking.used.elements[5], 0) << "nothing after it runs";
    EXPECT_EQ(marking.highest.value, -1);
}

// The length is taken as unsigned: -1 holds every index its range lets
// through, and a range of [0, length - 1] counts as unrestricted.
TEST_F(Checks, IndexTestsFollowTheRangeAndTheUnsignedLength) {
    struct Case {
        int32_t length, rangeMin, rangeMax;
        uint16_t index;
        const char* message;  // null: the index passes
    };
    for (const Case& c : {Case{100, 0, 9, 50, RESTRICTED_MESSAGE}, Case{100, 0, 9, 100, LENGTH_MESSAGE},
                          Case{100, 5, 9, 2, RESTRICTED_MESSAGE}, Case{100, 0, 99, 100, LENGTH_MESSAGE},
                          Case{-1, 0, 3, 2, nullptr}, Case{-1, 0, 3, 5, RESTRICTED_MESSAGE},
                          Case{-1, 0, -2, 5, LENGTH_MESSAGE}}) {
        Marking marking(100, {c.index});
        auto record = marking.Record();
        record.used.length = c.length;
        record.used.rangeMin = c.rangeMin;
        record.used.rangeMax = c.rangeMax;
        const auto where = ::testing::Message() << "length " << c.length << " range [" << c.rangeMin << ", "
                                                << c.rangeMax << "] index " << c.index;
        if (c.message == nullptr) {
            JobSystem(library(), 1).Run(record);
            EXPECT_EQ(marking.used.elements[c.index], 1) << where;
            continue;
        }
        EXPECT_EQ(MarkExpectingFailure(record).message(), c.message) << where;
    }
}

// A host that promises a range reaching past the array gets an error, not a
// write past the end.
TEST_F(Checks, ARangeBeyondTheLengthStillStopsAtTheLength) {
    Marking marking(10, {6});
    auto record = marking.Record();
    record.used.length = 4;
    record.used.rangeMax = 9;
    const auto exception = MarkExpectingFailure(record);
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(marking.used.elements[6], 0);
}

TEST_F(Checks, ReadFastTestCallsTheHostOnlyWhenItFails) {
    for (int32_t cellValue : {8, 9, 10, 12, 14}) {
        Marking marking(4, {1, 2});
        marking.indices.cell().SetValue(cellValue);
        JobSystem jobs(library(), 1);
        auto record = marking.Record();
        jobs.Run(record);
        const int expectedCalls = cellValue == 9 ? 2 : 0;
        EXPECT_EQ(marking.indices.cell().readCheckCalls(), expectedCalls) << "cell " << cellValue;
        EXPECT_EQ(marking.used.elements, (std::vector<int32_t>{0, 1, 1, 0}));
    }
}

TEST_F(Checks, WriteFastTestCallsTheHostOnlyWhenItFails) {
    for (int32_t cellValue : {8, 9, 10, 12, 13}) {
        Marking marking(4, {1, 2});
        marking.used.cell().SetValue(cellValue);
        JobSystem jobs(library(), 1);
        auto record = marking.Record();
        jobs.Run(record);
        const int expectedCalls = cellValue == 10 ? 2 : 0;
        EXPECT_EQ(marking.used.cell().writeCheckCalls(), expectedCalls) << "cell " << cellValue;
        EXPECT_EQ(marking.used.cell().readCheckCalls(), 0);
    }
}

TEST_F(Checks, ARefusedPermissionIsTheHostsExceptionAndNothingIsWritten) {
    Marking marking(4, {1, 2});
    marking.used.cell().SetWritable(false);
    const auto exception = MarkExpectingFailure(marking.Record());
    EXPECT_EQ(exception.typeName(), host::INVALID_OPERATION_EXCEPTION);
    EXPECT_EQ(marking.used.elements, (std::vector<int32_t>(4, 0)));
    EXPECT_EQ(marking.highest.value, -1);
}

// Read-then-write on one element loads the cell once. A host that changes
// the cell during the read check must not cause a second, write-check call.
int g_writeChecks = 0;
void ReadCheckThatRevokesWrites(AtomicSafetyHandle* handle) { *handle->versionCell = handle->version | 2; }
void CountingWriteCheck(AtomicSafetyHandle*) { ++g_writeChecks; }
void* ResolveWithMutatingChecks(const char* name) {
    const std::string text = name;
    if (text.ends_with("::CheckReadAndThrowNoEarlyOut_Injected")) return reinterpret_cast<void*>(&ReadCheckThatRevokesWrites);
    if (text.ends_with("::CheckWriteAndThrowNoEarlyOut_Injected")) return reinterpret_cast<void*>(&CountingWriteCheck);
    return host::Resolve(name);
}

TEST_F(Checks, ReadThenWriteSharesOneCellLoad) {
    library().LibraryInitializer()(&ResolveWithMutatingChecks);
    CompactionBuffers compaction({1}, {0}, {42}, 1, 0);
    compaction.remap.cell().SetValue(8 | 1);  // read fast test fails, write fast test passes
    auto record = compaction.Record();
    g_writeChecks = 0;
    library().Entry(JobId::CompactVertices)(&record, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(g_writeChecks, 0);
    EXPECT_EQ(compaction.destination.elements[0], 42u);
    EXPECT_EQ(compaction.vertexCount.value, 1);
}

}  // namespace
}  // namespace meshjobs::testing
