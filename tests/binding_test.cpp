// The binding protocol: what the initializers resolve, in which order, and how
// the jobs behave when the host's functions do unusual things.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobSystem;
using host::SafetyCell;

std::vector<std::string> g_resolvedNames;
void* RecordingResolve(const char* name) {
    g_resolvedNames.emplace_back(name);
    return host::Resolve(name);
}

void* NullResolve(const char*) { return nullptr; }

std::vector<std::pair<std::string, std::string>> g_returnedAborts;
void ReturningAbort(const char* typeName, const char* message) { g_returnedAborts.emplace_back(typeName, message); }
void* ResolveWithReturningAbort(const char* name) {
    if (std::strcmp(name, "burst_abort") == 0) return reinterpret_cast<void*>(&ReturningAbort);
    return host::Resolve(name);
}

std::vector<std::pair<int32_t, int32_t>> g_firstRangeArguments;
bool SingleRangeSource(void*, int32_t, int32_t* begin, int32_t* end) {
    g_firstRangeArguments.emplace_back(*begin, *end);
    if (g_firstRangeArguments.size() > 1) return false;
    *begin = 0;
    *end = 2;
    return true;
}
void IgnorePatch(void*, void*, int32_t, int32_t) {}
void* ResolveWithSingleRange(const char* name) {
    const std::string text = name;
    if (text.ends_with("::GetWorkStealingRange")) return reinterpret_cast<void*>(&SingleRangeSource);
    if (text.ends_with("::PatchBufferMinMaxRanges")) return reinterpret_cast<void*>(&IgnorePatch);
    return host::Resolve(name);
}

// Four counters, vertex 1 named three times and vertex 2 once.
CountingBuffers FourCounters() { return CountingBuffers(std::vector<int32_t>(4, 0), {1, 1, 2, 1}); }

class Binding : public LibraryTest {};

TEST_F(Binding, LibraryInitializerResolvesTheFiveNamesFiveTimesInOrder) {
    g_resolvedNames.clear();
    library().LibraryInitializer()(&RecordingResolve);
    ASSERT_EQ(g_resolvedNames.size(), 25u);
    for (size_t call = 0; call < g_resolvedNames.size(); ++call)
        EXPECT_EQ(g_resolvedNames[call], HOST_FUNCTION_NAMES[call % HOST_FUNCTION_COUNT]) << "call " << call;
}

TEST_F(Binding, EveryJobAndExternalsInitializerBindsAllJobs) {
    for (int job = 0; job < JOB_COUNT; ++job) {
        for (bool externals : {false, true}) {
            library().LibraryInitializer()(&NullResolve);
            g_resolvedNames.clear();
            const auto initialize = externals ? library().ExternalsInitializer(JobId(job)) : library().JobInitializer(JobId(job));
            initialize(&RecordingResolve);
            EXPECT_EQ(g_resolvedNames.size(), 5u);

            auto fixture = FourCounters();
            JobSystem jobs(library(), 2);
            jobs.Run(fixture.Record(), 4);
            EXPECT_EQ(fixture.counts.elements, (std::vector<int32_t>{0, 3, 1, 0}))
                << "job " << job << " externals " << externals;
        }
    }
}

TEST_F(Binding, StaticsInitializersChangeNothing) {
    library().LibraryInitializer()(&ResolveWithReturningAbort);
    for (int job = 0; job < JOB_COUNT; ++job) library().StaticsInitializer(JobId(job))();

    // The returning abort is still bound: a failed index test reaches it.
    g_returnedAborts.clear();
    MarkingBuffers marking({0, 0}, {5});
    auto record = marking.Record();
    library().Entry(JobId::MarkUsedVertices)(&record, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(g_returnedAborts.size(), 1u);
}

TEST_F(Binding, SingleJobsIgnoreTheirOtherArguments) {
    for (void* junk : {static_cast<void*>(nullptr), reinterpret_cast<void*>(uintptr_t(0xdeadbeef0))}) {
        MarkingBuffers marking(std::vector<int32_t>(4, 0), {3, 3, 0});
        auto record = marking.Record();
        library().Entry(JobId::MarkUsedVertices)(&record, junk, junk, junk, 77);
        EXPECT_EQ(marking.used.elements, (std::vector<int32_t>{1, 0, 0, 1}));
        EXPECT_EQ(marking.highest.value, 3);
    }
}

TEST_F(Binding, BothRangeVariablesStartAtZero) {
    library().LibraryInitializer()(&ResolveWithSingleRange);
    g_firstRangeArguments.clear();
    auto fixture = FourCounters();
    auto record = fixture.Record();
    library().Entry(JobId::CountVertexReferences)(&record, nullptr, nullptr, nullptr, 0);
    ASSERT_EQ(g_firstRangeArguments.size(), 2u);
    EXPECT_EQ(g_firstRangeArguments[0], std::make_pair(0, 0));
    EXPECT_EQ(fixture.counts.elements, (std::vector<int32_t>{0, 2, 0, 0}));
}

// A host whose abort returns must still never see the job go on.
TEST_F(Binding, AJobStopsWhenTheHostsAbortReturns) {
    library().LibraryInitializer()(&ResolveWithReturningAbort);

    {   // Single job: nothing after the failed test is read or written.
        g_returnedAborts.clear();
        MarkingBuffers marking(std::vector<int32_t>(4, 0), {1, 7, 2});
        auto record = marking.Record();
        library().Entry(JobId::MarkUsedVertices)(&record, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(g_returnedAborts, (std::vector<std::pair<std::string, std::string>>{{INDEX_EXCEPTION, LENGTH_MESSAGE}}));
        EXPECT_EQ(marking.used.elements, (std::vector<int32_t>{0, 1, 0, 0}));
        EXPECT_EQ(marking.highest.value, -1);
    }
    {   // Compaction: the null destination stops the job after the first used vertex's entry.
        g_returnedAborts.clear();
        SafetyCell remapCell, vertexCountCell, unused;
        std::vector<int32_t> remap{1, 1, 1};
        std::vector<uint32_t> source(6, 9);
        int32_t vertexCount = -1;
        CompactVerticesRecord record{host::MakeView(remap.data(), 3, remapCell),
                                     host::MakeView<uint32_t>(nullptr, 6, unused),
                                     host::MakeView(source.data(), 6, unused),
                                     host::MakeValueRef(&vertexCount, vertexCountCell), 2, 2};
        library().Entry(JobId::CompactVertices)(&record, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(g_returnedAborts, (std::vector<std::pair<std::string, std::string>>{{NULL_EXCEPTION, "destination"}}));
        EXPECT_EQ(remap, (std::vector<int32_t>{0, 1, 1}));
        EXPECT_EQ(vertexCount, -1);
    }
    {   // Parallel-for: the worker asks for no further range.
        g_returnedAborts.clear();
        RemappingBuffers remapping({0, 1, 9, 1, 0, 0}, {10, 11});
        host::ParallelForOptions options;
        options.scriptedRanges = {{{0, 4}, {4, 6}}};
        options.recordEvents = true;
        JobSystem jobs(library(), 1);
        const auto report = jobs.Run(remapping.Record(), 6, options);
        EXPECT_EQ(g_returnedAborts.size(), 1u);
        EXPECT_EQ(remapping.indices.elements, (std::vector<uint16_t>{10, 11, 9, 1, 0, 0}));
        int requests = 0;
        for (const auto& event : report.events) requests += event.kind == host::RangeEvent::Request;
        EXPECT_EQ(requests, 1);
    }
}

}  // namespace
}  // namespace meshjobs::testing
