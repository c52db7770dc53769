// Every parallel-for job, many times over, on more workers than cores with
// tiny batches: no lost increment, no torn store, aborts and refusals that
// surface once and leave the host ready for the next job.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobException;
using host::JobSystem;
using host::ParallelForOptions;
using host::SafetyCell;

constexpr int WORKERS = 8;
constexpr int ROUNDS = 40;

ParallelForOptions Batches(int32_t size) {
    ParallelForOptions options;
    options.batchSize = size;
    return options;
}

std::vector<int32_t> CountsOf(const std::vector<uint16_t>& indices, size_t counters) {
    std::vector<int32_t> counts(counters);
    for (uint16_t index : indices) ++counts.at(index);
    return counts;
}

class StressParallelJobs : public LibraryTest {};

// Four hot counters: every increment races with the other workers'.
TEST_F(StressParallelJobs, CountingOnFewCountersLosesNoIncrement) {
    std::mt19937 random(5);
    std::vector<uint16_t> indices(4099);
    for (auto& index : indices) index = uint16_t(random() % 4);
    const auto expected = CountsOf(indices, 4);
    CountingBuffers counting({}, indices);
    JobSystem jobs(library(), WORKERS);
    for (int round = 0; round < ROUNDS; ++round) {
        counting.counts.elements.assign(4, 0);
        jobs.Run(counting.Record(), int32_t(indices.size()), Batches(1 + round % 3));
        ASSERT_EQ(counting.counts.elements, expected) << "round " << round;
    }
}

// Neighbouring 16-bit indices are rewritten by different workers: a wider
// store that carried a neighbour's old value would show here.
TEST_F(StressParallelJobs, RemappingNeighboursOnDifferentWorkersTearsNothing) {
    std::mt19937 random(6);
    std::vector<uint16_t> original(2053);
    for (auto& index : original) index = uint16_t(random() % 512);
    std::vector<int32_t> map(512);
    for (auto& value : map) value = int32_t(random() % 65536);
    JobSystem jobs(library(), WORKERS);
    for (int round = 0; round < ROUNDS; ++round) {
        RemappingBuffers remapping(original, map);
        const std::vector<uint16_t>& indices = remapping.indices.elements;
        jobs.Run(remapping.Record(), int32_t(indices.size()), Batches(1 + round % 2));
        for (size_t i = 0; i < indices.size(); ++i)
            ASSERT_EQ(indices[i], uint16_t(map[original[i]])) << "round " << round << ", position " << i;
    }
}

// Destination vertices of 16 and 4 bytes: neighbours share cache lines. Any
// split must leave the bytes one range over all vertices leaves.
TEST_F(StressParallelJobs, ConversionOnAnySplitLeavesTheBytesOfOneRange) {
    constexpr int32_t VERTICES = 701;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(-2.0f, 2.0f);
    std::vector<uint8_t> source0(VERTICES * 32), source1(VERTICES * 8);
    for (size_t at = 0; at + 4 <= source0.size(); at += 4) {
        const float x = value(random);
        std::memcpy(&source0[at], &x, 4);
    }
    for (auto& byte : source1) byte = uint8_t(random());
    // Position, colour bytes from stream 1, a texture coordinate float2 to
    // half2 into stream 1.
    ConversionBuffers buffers;
    buffers.sourceStreams[0].elements = std::move(source0);
    buffers.sourceStreams[1].elements = std::move(source1);
    std::vector<uint32_t>& sourceLayout = buffers.sourceAttributes.elements;
    std::vector<uint32_t>& destinationLayout = buffers.destinationAttributes.elements;
    sourceLayout[0] = PackAttribute(3, 4, 0, 0), destinationLayout[0] = PackAttribute(3, 4, 0, 0);
    sourceLayout[3] = PackAttribute(4, 1, 0, 1), destinationLayout[3] = PackAttribute(4, 1, 12, 0);
    sourceLayout[4] = PackAttribute(2, 4, 16, 0), destinationLayout[4] = PackAttribute(2, 3, 0, 1);
    buffers.positionMatrix.columns[3][0] = 0.5f;
    buffers.texCoordScaleOffsetA = buffers.texCoordScaleOffsetB = {2, 2, 0.25f, 0};
    buffers.sourceStrides = {32, 8};
    buffers.destinationStrides = {16, 4};

    auto convert = [&](JobSystem& jobs, const ParallelForOptions& options, uint8_t fill = 0xEE) {
        std::vector<uint8_t>& destination0 = buffers.destinationStreams[0].elements;
        std::vector<uint8_t>& destination1 = buffers.destinationStreams[1].elements;
        destination0.assign(VERTICES * 16, fill), destination1.assign(VERTICES * 4, fill);
        jobs.Run(*buffers.Record(), VERTICES, options);
        std::vector<uint8_t> bytes = destination0;
        bytes.insert(bytes.end(), destination1.begin(), destination1.end());
        return bytes;
    };

    JobSystem one(library(), 1);
    const std::vector<uint8_t> expected = convert(one, Batches(VERTICES));
    ASSERT_EQ(convert(one, Batches(VERTICES), 0x11), expected) << "every destination byte is written";
    JobSystem jobs(library(), WORKERS);
    for (int round = 0; round < ROUNDS / 2; ++round)
        ASSERT_EQ(convert(jobs, Batches(1 + round % 3)), expected) << "round " << round;
}

// One bad index among thousands: its worker stops, the others take the rest
// of the work, the caller sees one exception, and the next job runs clean.
TEST_F(StressParallelJobs, AnAbortInOneWorkerLeavesTheOthersCountingEverythingElse) {
    std::mt19937 random(8);
    CountingBuffers counting;
    std::vector<uint16_t>& indices = counting.indices.elements;
    std::vector<int32_t>& counts = counting.counts.elements;
    indices.resize(3001);
    for (auto& index : indices) index = uint16_t(random() % 16);
    JobSystem jobs(library(), WORKERS);
    for (int round = 0; round < ROUNDS / 2; ++round) {
        const size_t bad = random() % indices.size();
        std::vector<uint16_t> good = indices;
        good.erase(good.begin() + ptrdiff_t(bad));
        const uint16_t saved = indices[bad];
        indices[bad] = 16;  // one past the last counter
        counts.assign(16, 0);

        const JobException exception =
            ExpectJobException([&] { jobs.Run(counting.Record(), int32_t(indices.size()), Batches(1)); });
        EXPECT_EQ(exception.typeName(), INDEX_EXCEPTION);
        EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
        ASSERT_EQ(jobs.lastExceptions().size(), 1u) << "round " << round;
        EXPECT_EQ(jobs.lastExceptions()[0].worker(), exception.worker());
        ASSERT_EQ(counts, CountsOf(good, 16)) << "round " << round << ", bad position " << bad;

        indices[bad] = saved;
        counts.assign(16, 0);
        jobs.Run(counting.Record(), int32_t(indices.size()), Batches(3));
        ASSERT_EQ(counts, CountsOf(indices, 16)) << "the run after the abort";
    }
}

// Write permission taken away while the workers run: each worker stops at
// its first refused store, every store before it is whole, the caller sees
// the host's refusal once, and the job runs fully once permission is back.
TEST_F(StressParallelJobs, APermissionRefusedMidJobStopsEveryWorkerCleanly) {
    std::mt19937 random(9);
    std::vector<uint16_t> original(4001);
    for (auto& index : original) index = uint16_t(random() % 256);
    std::vector<int32_t> map(256);
    for (int32_t k = 0; k < 256; ++k) map[k] = 0x8000 | k;  // never a value of the original
    JobSystem jobs(library(), WORKERS);
    for (int round = 0; round < ROUNDS / 2; ++round) {
        RemappingBuffers remapping(original, map);
        std::vector<uint16_t>& indices = remapping.indices.elements;
        SafetyCell& indicesCell = remapping.indices.cell();
        const RemapIndicesRecord record = remapping.Record();
        std::atomic<int> patches{0};
        const int refuseAt = 20 + round * 10;
        ParallelForOptions options = Batches(2);
        options.patchOverride = [&](void*, int32_t, int32_t) {
            if (patches.fetch_add(1) == refuseAt) indicesCell.SetWritable(false);
        };
        const JobException exception = ExpectJobException([&] { jobs.Run(record, int32_t(indices.size()), options); });
        EXPECT_EQ(exception.typeName(), host::INVALID_OPERATION_EXCEPTION);
        const auto& all = jobs.lastExceptions();
        ASSERT_FALSE(all.empty());
        ASSERT_LE(all.size(), size_t(WORKERS));
        std::vector<int> workers;
        for (const JobException& each : all) {
            EXPECT_EQ(each.typeName(), exception.typeName());
            EXPECT_EQ(each.message(), exception.message());
            workers.push_back(each.worker());
        }
        std::sort(workers.begin(), workers.end());
        EXPECT_EQ(std::adjacent_find(workers.begin(), workers.end()), workers.end()) << "one exception per worker";
        size_t rewritten = 0;
        for (size_t i = 0; i < indices.size(); ++i) {
            const bool kept = indices[i] == original[i], mapped = indices[i] == uint16_t(map[original[i]]);
            ASSERT_TRUE(kept || mapped) << "round " << round << ", position " << i << " holds " << indices[i];
            rewritten += mapped;
        }
        EXPECT_LT(rewritten, indices.size());

        indicesCell.SetWritable(true);
        indices = original;
        jobs.Run(record, int32_t(indices.size()), Batches(5));
        for (size_t i = 0; i < indices.size(); ++i)
            ASSERT_EQ(indices[i], uint16_t(map[original[i]])) << "the run after the refusal, position " << i;
    }
}

// A host that breaks its range promise (ranges reaching past a view's length)
// gets the Length abort, never an access past the view: each buffer here runs
// on past its view with values nobody may touch. Found by the fuzz targets.
class BrokenRangePromise : public LibraryTest {};

constexpr int32_t PAST = 40;  // buffer elements beyond each view's length

TEST_F(BrokenRangePromise, RemappingStopsAtTheIndexViewsLength) {
    for (int workers : {1, WORKERS}) {
        constexpr int32_t LENGTH = 3 * 32 + 5;
        std::vector<uint16_t> indices(LENGTH + PAST, 7);
        std::vector<int32_t> map(8, 1234);
        SafetyCell indicesCell, mapCell;
        const RemapIndicesRecord record{host::MakeView(indices.data(), LENGTH, indicesCell),
                                        host::MakeView(map.data(), 8, mapCell)};
        ParallelForOptions options = Batches(workers == 1 ? LENGTH + PAST : 7);
        options.patchOverride = [](void* copy, int32_t begin, int32_t count) {
            auto& view = static_cast<RemapIndicesRecord*>(copy)->indices;
            view.rangeMin = begin;
            view.rangeMax = begin + count - 1 + PAST;
        };
        JobSystem jobs(library(), workers);
        const JobException exception = ExpectJobException([&] { jobs.Run(record, LENGTH + PAST, options); });
        EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
        EXPECT_EQ(std::count(indices.begin(), indices.begin() + LENGTH, 1234), LENGTH) << workers << " workers";
        EXPECT_EQ(std::count(indices.begin() + LENGTH, indices.end(), 7), PAST) << workers << " workers";
    }
}

TEST_F(BrokenRangePromise, RemappingReadsNoMapEntryPastItsLength) {
    std::vector<uint16_t> indices(64, 5);  // entry 5 exists in memory, not in the view
    std::vector<int32_t> map(8, 1234);
    SafetyCell indicesCell, mapCell;
    RemapIndicesRecord record{host::MakeView(indices.data(), 64, indicesCell), host::MakeView(map.data(), 4, mapCell)};
    record.remap.rangeMax = 7;
    JobSystem jobs(library(), 1);
    const JobException exception = ExpectJobException([&] { jobs.Run(record, 64, Batches(64)); });
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(std::count(indices.begin(), indices.end(), 5), 64) << "nothing is rewritten";
}

TEST_F(BrokenRangePromise, MarkingSetsNoFlagPastTheFlagViewsLength) {
    std::vector<int32_t> used(8 + PAST, -7);
    std::vector<uint16_t> indices(64);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint16_t(i % 8);
    indices[40] = 12;  // inside the broken range, past the length
    SafetyCell usedCell, indicesCell, highestCell;
    int32_t highest = -1;
    MarkUsedVerticesRecord record{host::MakeView(used.data(), 8, usedCell),
                                  host::MakeView(indices.data(), 64, indicesCell),
                                  host::MakeValueRef(&highest, highestCell)};
    record.used.rangeMax = 8 + PAST - 1;
    JobSystem jobs(library(), 1);
    const JobException exception = ExpectJobException([&] { jobs.Run(record); });
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(std::count(used.begin() + 8, used.end(), -7), PAST);
}

TEST_F(BrokenRangePromise, CompactionCopiesNoVertexPastTheRemapViewsLength) {
    std::vector<int32_t> remap(4 + PAST, 1);
    std::vector<uint32_t> destination((4 + PAST) * 2, 0xEEEEEEEE), source((4 + PAST) * 2, 9);
    SafetyCell remapCell, destinationCell, sourceCell, countCell;
    int32_t vertexCount = -1;
    CompactVerticesRecord record{host::MakeView(remap.data(), 4, remapCell),
                                 host::MakeView(destination.data(), int32_t(destination.size()), destinationCell),
                                 host::MakeView(source.data(), int32_t(source.size()), sourceCell),
                                 host::MakeValueRef(&vertexCount, countCell), 2, 4 + PAST - 1};
    record.remap.rangeMax = 4 + PAST - 1;
    JobSystem jobs(library(), 1);
    const JobException exception = ExpectJobException([&] { jobs.Run(record); });
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(std::count(remap.begin() + 4, remap.end(), 1), PAST);
    EXPECT_EQ(std::count(destination.begin() + 8, destination.end(), 0xEEEEEEEE), 2 * PAST);
}

// A negative stride whose byte count wraps to a positive one: the bounds are
// those of the bytes copied, so the short source refuses the copy. Found by
// the compaction fuzz target.
TEST_F(BrokenRangePromise, CompactionBoundsTheBytesItCopiesWhateverTheStridesSign) {
    std::vector<int32_t> remap{1};
    std::vector<uint32_t> destination(8, 0xEEEEEEEE), source(16, 9);
    SafetyCell remapCell, destinationCell, sourceCell, countCell;
    int32_t vertexCount = -1;
    const int32_t stride = int32_t(0xC0000008u);  // times 4 is 32 bytes in 32 bits
    CompactVerticesRecord record{host::MakeView(remap.data(), 1, remapCell),
                                 host::MakeView(destination.data(), 8, destinationCell),
                                 host::MakeView(source.data(), 7, sourceCell), host::MakeValueRef(&vertexCount, countCell),
                                 stride, 0};
    JobSystem jobs(library(), 1);
    const JobException exception = ExpectJobException([&] { jobs.Run(record); });
    EXPECT_EQ(exception.message(), LENGTH_MESSAGE);
    EXPECT_EQ(destination, std::vector<uint32_t>(8, 0xEEEEEEEE));
}

}  // namespace
}  // namespace meshjobs::testing
