// The conversion job's range-at-once path against its per-vertex path. A
// one-vertex range always takes the per-vertex path, so the same record run
// as one range and as ranges of one vertex must leave the same bytes, raise
// the same exception and make the same permission calls. Records are random:
// layouts, format bytes 0-255, strides (a negative stream 1 stride among
// them), offsets, streams that end inside an attribute, streams and
// descriptor arrays that overlap one another in one arena, restricted and
// short descriptor views, short size lists, refused and slow-path
// permissions, and every rounding mode.
#include <cfenv>
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "conversion/convert_range.h"
#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobSystem;
using host::SafetyCell;

constexpr int32_t ARENA_BYTES = 6144;
constexpr int ROUNDING_MODES[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};

// Everything one run needs, rebuilt identically from the seed for each run.
struct Scenario {
    std::vector<uint8_t> arena;  // 16-byte aligned by the allocator
    std::vector<uint32_t> sourceLayout, destinationLayout;
    bool layoutsInArena = false;
    int32_t sourceLayoutAt = 0, destinationLayoutAt = 0;
    ConvertVertexLayoutRecord record{};
    int32_t vertices = 0;
    int sourceCellState = 0, destinationCellState = 0;  // 0 fast, 1 slow path but allowed, 2 refused
    int roundingMode = FE_TONEAREST;

    explicit Scenario(uint32_t seed) {
        std::mt19937 random(seed);
        auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
        auto chance = [&](uint32_t percent) { return below(100) < percent; };

        arena.resize(ARENA_BYTES);
        for (int32_t at = 0; at < ARENA_BYTES; at += 4) {
            uint32_t word = random();
            if (chance(60)) {
                float value = std::uniform_real_distribution<float>(-2.0f, 2.0f)(random);
                std::memcpy(&word, &value, 4);
            } else if (chance(30)) {
                word = (random() & 0x83FF83FFu) | 0x38003800u;  // two plausible halves
            }
            std::memcpy(&arena[at], &word, 4);
        }

        auto descriptor = [&]() -> uint32_t {
            const uint32_t dimension = chance(10) ? below(256) : below(5);
            // Codes 5 to 7 encode as singles but size by list entries past the first five.
            const uint32_t format = chance(15) ? below(256) : below(8);
            const uint32_t offset = chance(10) ? below(256) : below(48);
            const uint32_t stream = chance(50) ? 0 : (chance(80) ? 1 : below(256));
            return PackAttribute(dimension, format, offset, stream);
        };
        for (int k = 0; k < ATTRIBUTE_SLOT_COUNT; ++k) {
            sourceLayout.push_back(descriptor());
            destinationLayout.push_back(descriptor());
        }
        layoutsInArena = chance(15);
        sourceLayoutAt = static_cast<int32_t>(below(ARENA_BYTES / 4 - 12)) * 4;
        destinationLayoutAt = static_cast<int32_t>(below(ARENA_BYTES / 4 - 12)) * 4;

        vertices = 1 + static_cast<int32_t>(below(chance(20) ? 70 : 12));
        auto stream = [&](bool destination) {
            ArrayView<uint8_t> view{};
            const int32_t start = static_cast<int32_t>(below(ARENA_BYTES / 2));
            const int32_t room = ARENA_BYTES - start;
            // Sources often end early; destinations sometimes too short.
            const bool shortOne = chance(destination ? 10 : 30);
            view.data = arena.data() + start;
            view.length = shortOne ? static_cast<int32_t>(below(static_cast<uint32_t>(room))) : room;
            view.rangeMin = 0;
            view.rangeMax = view.length - 1;
            return view;
        };
        record.sourceStream0 = stream(false);
        record.sourceStream1 = chance(20) ? record.sourceStream0 : stream(false);
        record.destinationStream0 = stream(true);
        record.destinationStream1 = chance(20) ? record.destinationStream0 : stream(true);
        // Apart from the arena most of the time: the usual case of separate buffers.
        if (!chance(40)) {
            const int32_t half = ARENA_BYTES / 2;
            for (ArrayView<uint8_t>* view : {&record.sourceStream0, &record.sourceStream1})
                view->length = std::min<int32_t>(view->length, static_cast<int32_t>(arena.data() + half - view->data));
            for (ArrayView<uint8_t>* view : {&record.destinationStream0, &record.destinationStream1}) {
                const int32_t start = half + static_cast<int32_t>(below(half / 4));
                const int32_t wanted = view->length;
                view->data = arena.data() + start;
                view->length = std::min(wanted, ARENA_BYTES - start);
                view->rangeMax = view->length - 1;
            }
        }

        auto stride = [&]() { return static_cast<int32_t>(chance(10) ? below(8) : 8 + below(64)); };
        record.sourceStride0 = chance(10) ? -stride() : stride();
        record.sourceStride1 = chance(25) ? -stride() : stride();
        record.destinationStride0 = stride();
        record.destinationStride1 = stride();
        record.destinationOffset0 = static_cast<int32_t>(below(64));
        record.destinationOffset1 = static_cast<int32_t>(below(64));

        auto number = [&]() {
            if (chance(3)) return std::numeric_limits<float>::quiet_NaN();
            if (chance(3)) return 0.0f;
            return std::uniform_real_distribution<float>(-3.0f, 3.0f)(random);
        };
        for (auto* matrix : {&record.positionMatrix, &record.normalMatrix})
            for (auto& column : matrix->columns)
                for (float& value : column) value = number();
        record.texCoordScaleOffsetA = {number(), number(), number(), number()};
        record.texCoordScaleOffsetB = {number(), number(), number(), number()};

        const int32_t sizes[] = {1, 1, 1, 2, 4, 4, 4, 4};
        record.componentSizes.count = static_cast<uint16_t>(chance(10) ? below(9) : 5 + below(4));
        for (int k = 0; k < 8; ++k) {
            static constexpr int32_t ODD[] = {0, 3, 8, -1};
            record.componentSizes.elements[k] = chance(10) ? ODD[below(4)] : sizes[k];
        }

        sourceCellState = chance(90) ? 0 : static_cast<int>(1 + below(2));
        destinationCellState = chance(90) ? 0 : static_cast<int>(1 + below(2));
        roundingMode = ROUNDING_MODES[below(4)];

        // The descriptor views' shape: mostly whole, sometimes short or restricted.
        record.sourceAttributes.length = record.destinationAttributes.length = ATTRIBUTE_SLOT_COUNT;
        record.sourceAttributes.rangeMax = record.destinationAttributes.rangeMax = ATTRIBUTE_SLOT_COUNT - 1;
        if (chance(5)) record.sourceAttributes.length = static_cast<int32_t>(4 + below(8));
        if (chance(5)) record.destinationAttributes.rangeMax = static_cast<int32_t>(3 + below(8));

        // A quarter run the benchmark layouts on separate, long enough streams,
        // so that every block kernel runs, in every rounding mode.
        if (chance(25)) {
            auto attribute = [](uint32_t dimension, uint32_t format, uint32_t offset) {
                return PackAttribute(dimension, format, offset);
            };
            const std::vector<uint32_t> full{attribute(3, 4, 0),  attribute(3, 4, 12), attribute(4, 4, 24),
                                             attribute(4, 1, 40), attribute(2, 4, 44), attribute(2, 4, 52),
                                             0, 0, 0, 0, 0, 0};
            const std::vector<uint32_t> compact{attribute(3, 4, 0),  attribute(4, 2, 12), attribute(4, 2, 16),
                                                attribute(4, 1, 20), attribute(2, 3, 24), attribute(2, 3, 28),
                                                0, 0, 0, 0, 0, 0};
            // Singles throughout: the slots that copy words run too.
            const std::vector<uint32_t> floats{attribute(3, 4, 0),  attribute(3, 4, 12), attribute(4, 4, 24),
                                               attribute(4, 4, 40), attribute(2, 4, 56), attribute(4, 4, 64),
                                               0, 0, 0, 0, 0, 0};
            const uint32_t pick = below(4);
            sourceLayout = pick == 3 ? floats : pick == 1 ? compact : full;
            destinationLayout = pick == 3 ? floats : pick == 0 ? compact : full;
            layoutsInArena = false;
            vertices = 2 + static_cast<int32_t>(below(pick == 3 ? 36 : 48));  // up to half the arena
            const int32_t half = ARENA_BYTES / 2;
            record.sourceStream0 = record.sourceStream1 = {};
            record.sourceStream0.data = arena.data();
            record.sourceStream0.length = record.sourceStream0.rangeMax = half;
            record.sourceStream0.rangeMax = half - 1;
            record.destinationStream0 = record.sourceStream0;
            record.destinationStream0.data = arena.data() + half;
            record.sourceStream1 = record.sourceStream0;
            record.destinationStream1 = record.destinationStream0;
            record.sourceStride0 = record.sourceStride1 = pick == 3 ? 80 : pick == 1 ? 32 : 60;
            record.destinationStride0 = record.destinationStride1 = pick == 3 ? 80 : pick == 0 ? 32 : 60;
            record.destinationOffset0 = record.destinationOffset1 = 0;
            record.componentSizes.count = 5;
            for (int k = 0; k < 8; ++k) record.componentSizes.elements[k] = sizes[k];
            record.sourceAttributes.length = record.destinationAttributes.length = ATTRIBUTE_SLOT_COUNT;
            record.sourceAttributes.rangeMax = record.destinationAttributes.rangeMax = ATTRIBUTE_SLOT_COUNT - 1;
            // Now and then whole groups of sixteen whose source ends inside
            // the last vertex's last two words.
            if (chance(30)) {
                vertices = 16 * static_cast<int32_t>(1 + below(pick == 3 ? 2 : 3));
                record.sourceStream0.length = vertices * record.sourceStride0 - 1 - static_cast<int32_t>(below(8));
                record.sourceStream0.rangeMax = record.sourceStream0.length - 1;
                record.sourceStream1 = record.sourceStream0;
            }
            // As the meshjobs tool lays them out: color and texture
            // coordinates in a stream 1 of their own, and now and then no
            // tangent, which leaves stream 0 the position and the directions.
            if (chance(40)) {
                // Stream 1 packed from its start, the color in singles on the
                // full side, the texture coordinates sometimes kept in singles
                // on the compact side (the tool's glTF layout).
                const bool gltf = chance(50);
                auto toStream1 = [&](std::vector<uint32_t>& layout) {
                    if (layout == full)
                        layout = {layout[0], layout[1], layout[2], attribute(4, 4, 0), attribute(2, 4, 16),
                                  attribute(2, 4, 24), 0, 0, 0, 0, 0, 0};
                    if (layout == compact && gltf)
                        layout = {layout[0], layout[1], layout[2], attribute(4, 1, 0), attribute(2, 4, 4),
                                  attribute(2, 4, 12), 0, 0, 0, 0, 0, 0};
                    const uint32_t start = layout[COLOR_SLOT] & 0xFF0000u;
                    for (int k = COLOR_SLOT; k < 6; ++k) layout[k] = (layout[k] - start) | 1u << 24;
                };
                toStream1(sourceLayout);
                toStream1(destinationLayout);
                if (chance(40)) sourceLayout[TANGENT_SLOT] = destinationLayout[TANGENT_SLOT] = 0;
                if (chance(30)) sourceLayout[5] = destinationLayout[5] = 0;
                if (chance(30)) {
                    sourceLayout[COLOR_SLOT] = destinationLayout[COLOR_SLOT] = 0;
                    for (auto* layout : {&sourceLayout, &destinationLayout}) {
                        const uint32_t start = (*layout)[4] & 0xFF0000u;
                        for (int k = 4; k < 6; ++k)
                            if ((*layout)[k] != 0) (*layout)[k] -= start;
                    }
                }
                // Mostly packed as the tool packs stream 1: each vertex's
                // attributes and nothing else, down to a single word.
                if (chance(70)) {
                    auto packedStride = [](const std::vector<uint32_t>& layout) {
                        static constexpr uint32_t SIZES[] = {0, 1, 1, 2, 4};
                        uint32_t end = 4;
                        for (int k = COLOR_SLOT; k < 6; ++k)
                            if (layout[k] != 0)
                                end = std::max(end, (layout[k] >> 16 & 0xFFu) +
                                                        (((layout[k] & 0xFFu) * SIZES[layout[k] >> 8 & 0xFFu] + 3) & ~3u));
                        return static_cast<int32_t>(end);
                    };
                    record.sourceStride1 = packedStride(sourceLayout);
                    record.destinationStride1 = packedStride(destinationLayout);
                }
                const int32_t quarter = ARENA_BYTES / 4;
                vertices = std::min(vertices, quarter / std::max(record.sourceStride0, record.destinationStride0));
                ArrayView<uint8_t>* const streams[] = {&record.sourceStream0, &record.sourceStream1,
                                                       &record.destinationStream0, &record.destinationStream1};
                for (int s = 0; s < 4; ++s) {
                    streams[s]->data = arena.data() + s * quarter;
                    streams[s]->length = quarter;
                    streams[s]->rangeMax = quarter - 1;
                }
                // Now and then stream 1 ends inside its last vertex.
                if (chance(30)) {
                    record.sourceStream1.length = (vertices - 1) * record.sourceStride1 + 4 + below(28);
                    record.sourceStream1.rangeMax = record.sourceStream1.length - 1;
                }
            }
        } else if (chance(25)) {
            // Packed layouts of random plain formats on separate streams, long
            // enough for every per-slot kernel and its table, with the
            // special values the kernels must carry through as the
            // per-vertex path does.
            auto packed = [&](int32_t& stride) {
                std::vector<uint32_t> layout(ATTRIBUTE_SLOT_COUNT, 0);
                static constexpr uint32_t SIZES[] = {0, 1, 1, 2, 4};
                uint32_t offset = 0;
                const int slots = 1 + static_cast<int>(below(ATTRIBUTE_SLOT_COUNT));
                for (int k = 0; k < slots; ++k) {
                    const uint32_t dimension = k == 0 ? 3 : 1 + below(4), format = 1 + below(4);
                    if (k > 0 && chance(20)) continue;
                    layout[k] = PackAttribute(dimension, format, offset);
                    offset += (dimension * SIZES[format] + 3) & ~3u;
                }
                stride = static_cast<int32_t>(std::max<uint32_t>(offset, 4));
                return layout;
            };
            int32_t sourceStride = 0, destinationStride = 0;
            sourceLayout = packed(sourceStride);
            destinationLayout = packed(destinationStride);
            layoutsInArena = false;
            const int32_t widest = std::max(sourceStride, destinationStride);
            // Now and then long enough that one range is worked through in
            // several pieces, the last one ending where the loads stop being whole.
            const bool longRange = chance(30);
            if (longRange) {
                const size_t grown = static_cast<size_t>(2 * widest) * (2 * APART_PIECE_VERTICES + below(APART_PIECE_VERTICES));
                const size_t old = arena.size();
                arena.resize(std::max(grown, old));
                for (size_t at = old; at + 4 <= arena.size(); at += 4) {
                    const float value = std::uniform_real_distribution<float>(-2.0f, 2.0f)(random);
                    std::memcpy(&arena[at], &value, 4);
                }
            }
            const int32_t half = static_cast<int32_t>(arena.size() / 2);
            vertices = longRange ? half / widest
                                 : 2 + static_cast<int32_t>(below(static_cast<uint32_t>(half / widest - 1)));
            static constexpr uint32_t SPECIAL[] = {0x7F800000u, 0xFF800000u, 0x7FC00001u, 0xFF812345u, 0x80000000u,
                                                   0x00000001u, 0x477FF000u, 0x47800000u, 0x33000001u, 0x3F800000u,
                                                   0xBF800000u, 0x7E007C01u, 0xFC00FE01u, 0x807F0180u};
            for (int32_t at = 0; at < half; at += 4)
                if (chance(8)) std::memcpy(&arena[at], &SPECIAL[below(std::size(SPECIAL))], 4);
            record.sourceStream0 = {};
            record.sourceStream0.data = arena.data();
            record.sourceStream0.length = half;
            record.sourceStream0.rangeMax = half - 1;
            record.destinationStream0 = record.sourceStream0;
            record.destinationStream0.data = arena.data() + half;
            record.sourceStream1 = record.sourceStream0;
            record.destinationStream1 = record.destinationStream0;
            record.sourceStride0 = record.sourceStride1 = sourceStride;
            record.destinationStride0 = record.destinationStride1 = destinationStride;
            record.destinationOffset0 = record.destinationOffset1 = 0;
            record.componentSizes.count = 5;
            for (int k = 0; k < 8; ++k) record.componentSizes.elements[k] = sizes[k];
            record.sourceAttributes.length = record.destinationAttributes.length = ATTRIBUTE_SLOT_COUNT;
            record.sourceAttributes.rangeMax = record.destinationAttributes.rangeMax = ATTRIBUTE_SLOT_COUNT - 1;
        }
    }
};

struct Outcome {
    std::vector<uint8_t> arena;
    std::optional<std::pair<std::string, std::string>> failure;
    int sourceReadChecks = 0, destinationReadChecks = 0;
};

// One run of the scenario's record, in the scenario's rounding mode, split
// into the given ranges (all on the calling thread).
// With rewriteAt, the host rewrites the destination descriptors and one size
// entry when it patches the range that starts there, which a plan made for
// the earlier vertices must notice.
Outcome RunScenario(uint32_t seed, bool oneVertexRanges, int32_t rewriteAt = 0) {
    Scenario scenario(seed);
    SafetyCell streamCell, sourceCell, destinationCell;
    auto& record = scenario.record;
    for (ArrayView<uint8_t>* view :
         {&record.sourceStream0, &record.sourceStream1, &record.destinationStream0, &record.destinationStream1})
        view->safety = streamCell.Handle();

    const int32_t sourceLength = record.sourceAttributes.length, destinationRangeMax = record.destinationAttributes.rangeMax;
    uint32_t* sourceLayout = scenario.sourceLayout.data();
    uint32_t* destinationLayout = scenario.destinationLayout.data();
    if (scenario.layoutsInArena) {
        sourceLayout = reinterpret_cast<uint32_t*>(scenario.arena.data() + scenario.sourceLayoutAt);
        destinationLayout = reinterpret_cast<uint32_t*>(scenario.arena.data() + scenario.destinationLayoutAt);
        std::memcpy(sourceLayout, scenario.sourceLayout.data(), 4 * ATTRIBUTE_SLOT_COUNT);
        std::memcpy(destinationLayout, scenario.destinationLayout.data(), 4 * ATTRIBUTE_SLOT_COUNT);
    }
    record.sourceAttributes = host::MakeView(sourceLayout, sourceLength, sourceCell);
    record.destinationAttributes = host::MakeView(destinationLayout, ATTRIBUTE_SLOT_COUNT, destinationCell);
    record.destinationAttributes.rangeMax = destinationRangeMax;

    auto apply = [](SafetyCell& cell, int state) {
        if (state == 1) cell.SetValue(cell.version() | 1);
        if (state == 2) cell.SetReadable(false);
    };
    apply(sourceCell, scenario.sourceCellState);
    apply(destinationCell, scenario.destinationCellState);

    host::ParallelForOptions options;
    options.scriptedRanges.resize(1);
    if (oneVertexRanges) {
        for (int32_t i = 0; i < scenario.vertices; ++i) options.scriptedRanges[0].push_back({i, i + 1});
    } else if (rewriteAt > 0 && rewriteAt < scenario.vertices) {
        options.scriptedRanges[0] = {{0, rewriteAt}, {rewriteAt, scenario.vertices}};
    } else {
        options.scriptedRanges[0].push_back({0, scenario.vertices});
    }
    if (rewriteAt > 0) {
        options.patchOverride = [seed, destinationLayout, rewriteAt](void* copy, int32_t begin, int32_t) {
            if (begin != rewriteAt) return;
            // Odd seeds change the size list alone (one of its first five
            // entries, or every one past them), even ones the descriptors
            // alone: another format byte, or every offset 0, so that stores
            // apart before the rewrite overlap after it.
            if (seed % 2) {
                int32_t* sizes = static_cast<ConvertVertexLayoutRecord*>(copy)->componentSizes.elements;
                if (seed % 4 == 1) sizes[2] = 4;
                for (int k = 5; seed % 4 == 3 && k < 8; ++k) sizes[k] = sizes[k] == 4 ? 1 : 4;
                return;
            }
            for (int k = 0; k < ATTRIBUTE_SLOT_COUNT; ++k) {
                uint32_t descriptor;
                std::memcpy(&descriptor, destinationLayout + k, 4);
                descriptor = seed % 4 == 2 ? descriptor & ~PackAttribute(0, 0, 0xFF)
                                           : descriptor ^ PackAttribute(0, 1 + k % 4);
                std::memcpy(destinationLayout + k, &descriptor, 4);
            }
        };
    }

    Outcome outcome;
    const int previousMode = std::fegetround();
    std::fesetround(scenario.roundingMode);
    try {
        JobSystem(TestLibrary(), 1).Run(record, scenario.vertices, options);
    } catch (const host::JobException& exception) {
        outcome.failure = {exception.typeName(), exception.message()};
    }
    std::fesetround(previousMode);
    outcome.arena = scenario.arena;
    outcome.sourceReadChecks = sourceCell.readCheckCalls();
    outcome.destinationReadChecks = destinationCell.readCheckCalls();
    return outcome;
}

class DifferentialConversion : public LibraryTest {};

TEST_F(DifferentialConversion, OneRangeLeavesWhatOneVertexRangesLeave) {
    static_assert(FAST_RANGE_MIN_VERTICES >= 2, "one-vertex ranges must take the per-vertex path");
    int failures = 0, aborted = 0;
    for (uint32_t seed = 1; seed <= 3000 && failures < 5; ++seed) {
        const Outcome whole = RunScenario(seed, false);
        const Outcome single = RunScenario(seed, true);
        aborted += whole.failure.has_value();
        bool same = whole.arena == single.arena && whole.failure == single.failure &&
                    whole.sourceReadChecks == single.sourceReadChecks &&
                    whole.destinationReadChecks == single.destinationReadChecks;
        if (!same) {
            ++failures;
            size_t first = 0;
            while (first < whole.arena.size() && whole.arena[first] == single.arena[first]) ++first;
            ADD_FAILURE() << "seed " << seed << ": first differing arena byte " << first << ", failures "
                          << (whole.failure ? whole.failure->second : "none") << " / "
                          << (single.failure ? single.failure->second : "none") << ", read checks "
                          << whole.sourceReadChecks << "/" << single.sourceReadChecks << " and "
                          << whole.destinationReadChecks << "/" << single.destinationReadChecks;
        }
    }
    // The generator must reach both outcomes, or the comparison proves little.
    EXPECT_GT(aborted, 100);
    EXPECT_LT(aborted, 2500);
}

TEST_F(DifferentialConversion, DescriptorsRewrittenBetweenRangesAreFollowed) {
    int failures = 0, rewritten = 0;
    for (uint32_t seed = 1; seed <= 1000 && failures < 5; ++seed) {
        const int32_t vertices = Scenario(seed).vertices;
        if (vertices < 4) continue;
        ++rewritten;
        const Outcome whole = RunScenario(seed, false, vertices / 2);
        const Outcome single = RunScenario(seed, true, vertices / 2);
        if (whole.arena != single.arena || whole.failure != single.failure) {
            ++failures;
            ADD_FAILURE() << "seed " << seed;
        }
    }
    EXPECT_GT(rewritten, 300);
}

}  // namespace
}  // namespace meshjobs::testing
