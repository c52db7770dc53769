// The counting job gathers increments per worker before adding them to the
// shared counters, several counters per atomic operation where the array's
// alignment allows. Against a plain count: random index buffers over counter
// arrays of every alignment and of lengths that end inside an atomic group
// or reach past the largest index, counters that wrap, a vertex named
// hundreds of times, one worker or two, indices that walk through
// neighbouring vertices (and on from 65,535 to 0), and an index without a
// counter, which must leave exactly the positions before it counted. The
// words around the array must never change.
#include <random>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobSystem;
using host::SafetyCell;

constexpr int32_t GUARD = 8;  // counters' worth of untouchable words on each side
constexpr int32_t GUARD_VALUE = 0x5A5A5A5A;

struct CountCase {
    int32_t length;
    int32_t skew;  // counters start this many ints past a 16-byte boundary
    std::vector<uint16_t> indices;
    std::vector<int32_t> initial;
    int32_t badPosition = -1;  // an index value without a counter here
};

CountCase MakeCase(uint32_t seed) {
    std::mt19937 random(seed);
    auto below = [&](uint32_t n) { return static_cast<int32_t>(random() % n); };
    static constexpr int32_t LENGTHS[] = {1, 3, 5, 63, 64, 65, 1001, 4099, 65535, 65536, 70001};
    CountCase c;
    c.length = LENGTHS[below(11)];
    c.skew = below(4);
    c.initial.resize(c.length);
    for (int32_t& value : c.initial) {
        const int32_t pick = below(4);
        value = pick == 0 ? -1 : pick == 1 ? 0x7FFFFFFF : pick == 2 ? 0 : static_cast<int32_t>(random());
    }
    const int32_t count = below(4) == 0 ? below(64) : below(200000);
    const int32_t favourite = below(c.length);
    // Half the cases walk through the vertices the way an optimised mesh
    // does: neighbours, now and then the previous rows, a jump here and
    // there, seldom one index back to a row far behind (a seam), and
    // sometimes a stretch all over the array.
    const bool walk = below(2) == 0;
    // Counters past the largest index: walks start below it and wrap to 0.
    int32_t position = c.length > 65536 ? 65536 - below(4096) : below(c.length);
    for (int32_t i = 0; i < count; ++i) {
        int32_t vertex;
        if (!walk) {
            vertex = below(3) == 0 ? favourite : below(c.length);
        } else {
            const int32_t pick = below(100000);
            if (pick < 5) position = below(c.length);                                // a jump
            const bool scattered = seed % 3 == 0 && (i / 5000) % 7 == 6;             // a stretch all over
            const int32_t back = pick < 20000 ? below(512) : pick >= 99990 ? 10000 + below(20000) : 0;
            vertex = scattered ? below(c.length) : position - back + below(8);
            if (i % 6 == 5) ++position;
            vertex = ((vertex % c.length) + c.length) % c.length;
        }
        c.indices.push_back(static_cast<uint16_t>(vertex));
    }
    if (count > 0 && c.length < 65536 && below(4) == 0) {
        c.badPosition = below(count);
        c.indices[c.badPosition] = static_cast<uint16_t>(c.length + below(65536 - c.length));
    }
    return c;
}

class DifferentialCounting : public LibraryTest {};

TEST_F(DifferentialCounting, CountsMatchAPlainCountAndNothingAroundTheArrayChanges) {
    for (uint32_t seed = 1; seed <= 240; ++seed) {
        const CountCase c = MakeCase(seed);
        const int workers = c.badPosition < 0 && seed % 2 == 0 ? 2 : 1;

        std::vector<int32_t> storage(c.length + 2 * GUARD + 4, GUARD_VALUE);
        // vector storage is 16-byte aligned on the platforms built here.
        int32_t* counters = storage.data() + GUARD + c.skew;
        std::copy(c.initial.begin(), c.initial.end(), counters);
        std::vector<uint16_t> indices = c.indices;
        SafetyCell countCell, indexCell;
        const CountVertexReferencesRecord record{host::MakeView(counters, c.length, countCell),
                                                 host::MakeView(indices.data(), int32_t(indices.size()), indexCell)};

        std::vector<uint32_t> expected(c.initial.begin(), c.initial.end());
        const size_t counted = c.badPosition < 0 ? indices.size() : static_cast<size_t>(c.badPosition);
        for (size_t i = 0; i < counted; ++i) ++expected[indices[i]];

        host::ParallelForOptions options;
        options.batchSize = 1 + static_cast<int32_t>(seed * 37 % 3000);
        if (c.badPosition >= 0) options.scriptedRanges = {{{0, int32_t(indices.size())}}};
        bool raised = false;
        try {
            JobSystem(library(), workers).Run(record, int32_t(indices.size()), options);
        } catch (const host::JobException& exception) {
            raised = true;
            EXPECT_EQ(exception.message(), LENGTH_MESSAGE) << "seed " << seed;
        }
        EXPECT_EQ(raised, c.badPosition >= 0) << "seed " << seed;

        std::vector<uint32_t> actual(counters, counters + c.length);
        EXPECT_EQ(actual, expected) << "seed " << seed << ", length " << c.length << ", skew " << c.skew;
        for (int32_t* guard = storage.data(); guard < counters; ++guard) EXPECT_EQ(*guard, GUARD_VALUE) << "seed " << seed;
        for (int32_t* guard = counters + c.length; guard < storage.data() + storage.size(); ++guard)
            EXPECT_EQ(*guard, GUARD_VALUE) << "seed " << seed;
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace meshjobs::testing
