// The conversion's range loop for stores that are apart, on sixteen lanes:
// sixteen vertices at a time in stream order, each stream's slots in groups
// of their own. Each vertex's first 64 source bytes in the stream come in
// with one masked load, a transpose turns the sixteen rows into
// one vector per word, every slot whose words lie among those sixteen is
// converted in registers by a kernel fixed to its kind and formats, and the
// transposed results go out with one masked store per vertex. Slots that do
// not fit, and the vertices past the last whole group, run as the eight-lane
// loops run them.
#include "conversion/convert_range.h"
#include "conversion/lane_math.h"
#include "conversion/range_loops.h"
#include "conversion/slot_kernel_choice.h"

#if MESHJOBS_AVX512_KERNELS_BUILT

namespace meshjobs {
namespace {

using namespace lanes;

#define MESHJOBS_AVX512 __attribute__((target(MESHJOBS_AVX512_TARGET)))
#define MESHJOBS_AVX512_INLINE inline __attribute__((always_inline, target(MESHJOBS_AVX512_TARGET)))

constexpr int GROUP = 16;      // vertices a group converts, one per lane
constexpr int ROW_WORDS = 16;  // words of a vertex one load reaches

// How many of its four loaded words a slot's stored bytes depend on. Colors
// and texture coordinates convert component by component, so only the
// stored components count; the directions and the position mix theirs.
int WordsRead(const SlotPlan& slot) {
    int components = 4;
    switch (slot.kind) {
        case SlotKind::Position:
        case SlotKind::Normal:
            components = 3;
            break;
        case SlotKind::Color:
        case SlotKind::TexCoord: {
            const int size = slot.encodeFormat == FORMAT_FLOAT32 ? 4 : slot.encodeFormat == FORMAT_FLOAT16 ? 2 : 1;
            components = slot.byteCount / size < 4 ? slot.byteCount / size : 4;
            break;
        }
        default:
            break;
    }
    switch (ClampFormat(slot.sourceFormat, FORMAT_UNORM8)) {
        case FORMAT_FLOAT32:
            return components;
        case FORMAT_FLOAT16:
            return (components + 1) / 2;
        default:
            return 1;
    }
}

// Words of a vertex one group row keeps: the sixteen a load reaches, and
// four spare ones so that a slot's kernel can take four words even where it
// reads fewer near the row's end.
constexpr int COLUMN_WORDS = ROW_WORDS + 4;

// One slot over `groups` groups of sixteen vertices: its four source words of
// each group in (`in` steps by COLUMN_WORDS), its stored words out (`out`
// steps by ROW_WORDS).
typedef void (*SlotKernel)(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, const U16* in, U16* out,
                           int words, int groups);

// WORDS: the stored words, when known; 0 takes `words` at run time. With one
// word the compiler drops the conversions whose results are not stored.
template <SlotKind KIND, uint32_t FROM, uint32_t TO, int WORDS>
MESHJOBS_AVX512_INLINE void ConvertSlotGroups(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                              const U16* in, U16* out, int words, int groups) {
    if constexpr (WORDS != 0) words = WORDS;
    for (int g = 0; g < groups; ++g, in += COLUMN_WORDS, out += ROW_WORDS) {
        const WordLanes<GROUP> loaded{{in[0], in[1], in[2], in[3]}};
        const WordLanes<GROUP> stored =
            ConvertKind<KIND, GROUP, KernelSet::Avx512>(record, slot, loaded, FROM, TO);
        switch (words) {
            case 1:
                out[0] = stored.w[0];
                break;
            case 2:
                out[0] = stored.w[0], out[1] = stored.w[1];
                break;
            case 3:
                out[0] = stored.w[0], out[1] = stored.w[1], out[2] = stored.w[2];
                break;
            default:
                out[0] = stored.w[0], out[1] = stored.w[1], out[2] = stored.w[2], out[3] = stored.w[3];
                break;
        }
    }
}

template <SlotKind KIND, uint32_t FROM, uint32_t TO>
MESHJOBS_AVX512 __attribute__((noinline)) void ConvertSlot16(const ConvertVertexLayoutRecord& record,
                                                             const SlotPlan& slot, const U16* in, U16* out, int words,
                                                             int groups) {
    if (words == 1) return ConvertSlotGroups<KIND, FROM, TO, 1>(record, slot, in, out, words, groups);
    ConvertSlotGroups<KIND, FROM, TO, 0>(record, slot, in, out, words, groups);
}

SlotKernel KernelFor(const SlotPlan& slot) {
    return ForSlotFormats(slot, []<SlotKind KIND, uint32_t FROM, uint32_t TO>() -> SlotKernel {
        return ConvertSlot16<KIND, FROM, TO>;
    });
}

struct GroupSlot {
    SlotKernel kernel;
    const SlotPlan* slot;
    int sourceWord, targetWord, words;
};

struct GroupPlan;

// A whole range of groups, from loads to stores.
typedef void (*GroupsKernel)(const ConvertVertexLayoutRecord& record, const GroupPlan& groups, const uint8_t* from,
                             int64_t in, int64_t wholeRows, uint8_t* to, int64_t out, int32_t count);

// The slots a group converts, and the words of a vertex it loads and stores.
struct GroupPlan {
    GroupSlot slots[ATTRIBUTE_SLOT_COUNT];
    GroupsKernel shapeKernel = nullptr;  // the slots make one of the known shapes
    int count = 0;
    uint32_t slotBits = 0;  // bit k for slot k
    uint16_t loadMask = 0, storeMask = 0;
};

MESHJOBS_AVX512 void CopySlot16(const ConvertVertexLayoutRecord&, const SlotPlan&, const U16* in, U16* out, int,
                                int groups) {
    for (int g = 0; g < groups; ++g, in += COLUMN_WORDS, out += ROW_WORDS) out[0] = in[0];
}

GroupsKernel ShapeKernelFor(const GroupPlan& groups);

// The groups of one stream: its slots that load from and store to that
// stream, in whole words.
MESHJOBS_AVX512 GroupPlan PlanGroups(const RangePlan& plan, bool stream1) {
    GroupPlan groups;
    for (int i = 0; i < plan.activeCount; ++i) {
        const int k = plan.active[i];
        const SlotPlan& slot = plan.slots[k];
        const bool loads = slot.load && !slot.marker;
        if (slot.stream1Target != stream1 || (loads && slot.stream1Source != stream1) || slot.targetOffset % 4 != 0)
            continue;
        const int targetWord = static_cast<int>(slot.targetOffset / 4), words = slot.byteCount / 4;
        if (targetWord + words > ROW_WORDS) continue;
        const int sourceWord = static_cast<int>(slot.sourceOffset / 4);
        const int read = loads ? WordsRead(slot) : 0;
        if (sourceWord + read > ROW_WORDS) continue;
        // A copied word needs no kernel: one word of bytes, or one single.
        const SlotKernel kernel = slot.copiesWords && words == 1 ? CopySlot16 : KernelFor(slot);
        groups.slots[groups.count++] = {kernel, &slot, loads ? sourceWord : 0, targetWord, words};
        groups.slotBits |= 1u << k;
        groups.loadMask |= static_cast<uint16_t>(((1u << read) - 1u) << (loads ? sourceWord : 0));
        groups.storeMask |= static_cast<uint16_t>(((1u << words) - 1u) << targetWord);
    }
    if (groups.loadMask != 0) groups.shapeKernel = ShapeKernelFor(groups);
    // Stream 1's slots take the pass loop no faster than they run slot by
    // slot, so they are grouped only where a shape serves them.
    if (stream1 && groups.shapeKernel == nullptr) return GroupPlan{};
    return groups;
}

// The transposes below use the processor's unpack instructions within each
// 128-bit lane, which issue beside the arithmetic, and one step across
// lanes. The compiler picks a full two-source permute for a word shuffle
// that does not name 64-bit elements, so the 64-bit steps are written so.
typedef uint64_t Q8 __attribute__((vector_size(64)));

MESHJOBS_INLINE U16 LowWords(const U16& a, const U16& b) {
    return __builtin_shufflevector(a, b, 0, 16, 1, 17, 4, 20, 5, 21, 8, 24, 9, 25, 12, 28, 13, 29);
}
MESHJOBS_INLINE U16 HighWords(const U16& a, const U16& b) {
    return __builtin_shufflevector(a, b, 2, 18, 3, 19, 6, 22, 7, 23, 10, 26, 11, 27, 14, 30, 15, 31);
}
template <int... Q>
MESHJOBS_INLINE U16 Quads(const U16& a, const U16& b) {
    return reinterpret_cast<U16>(__builtin_shufflevector(reinterpret_cast<Q8>(a), reinterpret_cast<Q8>(b), Q...));
}

// Four vectors as 4-by-4 blocks, one per 128-bit lane, each transposed:
// word k of lane j of vector m goes to word m of lane j of vector k. Its own
// inverse.
MESHJOBS_INLINE void TransposeLanes(U16& a, U16& b, U16& c, U16& d) {
    const U16 t0 = LowWords(a, b), t1 = HighWords(a, b), t2 = LowWords(c, d), t3 = HighWords(c, d);
    a = Quads<0, 8, 2, 10, 4, 12, 6, 14>(t0, t2);
    b = Quads<1, 9, 3, 11, 5, 13, 7, 15>(t0, t2);
    c = Quads<0, 8, 2, 10, 4, 12, 6, 14>(t1, t3);
    d = Quads<1, 9, 3, 11, 5, 13, 7, 15>(t1, t3);
}

// Lanes 0 and 2 of a, then of b; lanes 1 and 3 of each.
MESHJOBS_INLINE U16 EvenLanes(const U16& a, const U16& b) { return Quads<0, 1, 4, 5, 8, 9, 12, 13>(a, b); }
MESHJOBS_INLINE U16 OddLanes(const U16& a, const U16& b) { return Quads<2, 3, 6, 7, 10, 11, 14, 15>(a, b); }

// Rows to columns, in place; its own inverse. After the blocks are
// transposed, m[4g + k] holds in lane j word 4j + k of rows 4g to 4g + 3,
// and two rounds of lane moves gather each column's four lanes.
MESHJOBS_INLINE void Transpose16(U16 (&m)[ROW_WORDS]) {
    MESHJOBS_UNROLL
    for (int g = 0; g < 4; ++g) TransposeLanes(m[4 * g], m[4 * g + 1], m[4 * g + 2], m[4 * g + 3]);
    MESHJOBS_UNROLL
    for (int k = 0; k < 4; ++k) {
        const U16 a = EvenLanes(m[k], m[4 + k]), b = OddLanes(m[k], m[4 + k]);
        const U16 c = EvenLanes(m[8 + k], m[12 + k]), d = OddLanes(m[8 + k], m[12 + k]);
        m[k] = EvenLanes(a, c);
        m[8 + k] = OddLanes(a, c);
        m[4 + k] = EvenLanes(b, d);
        m[12 + k] = OddLanes(b, d);
    }
}

// Eight rows of two vertices' first eight words each (row r: vertices 2r
// and 2r + 1) to the first eight columns, lanes as VertexOfLane orders
// them: the lane moves first, one per vector, then the blocks transposed.
MESHJOBS_INLINE void RowPairsToColumns(U16 (&m)[ROW_WORDS]) {
    U16 u[ROW_WORDS / 2];
    MESHJOBS_UNROLL
    for (int k = 0; k < 4; ++k) u[k] = EvenLanes(m[k], m[4 + k]), u[4 + k] = OddLanes(m[k], m[4 + k]);
    TransposeLanes(u[0], u[1], u[2], u[3]);
    TransposeLanes(u[4], u[5], u[6], u[7]);
    MESHJOBS_UNROLL
    for (int w = 0; w < ROW_WORDS / 2; ++w) m[w] = u[w];
}
// And back: once the blocks are transposed, row 4p + k takes lanes 2p and
// 2p + 1 of m[k], each vertex's first four words, and of m[4 + k], the next
// four.
MESHJOBS_INLINE void ColumnsToRowPairs(U16 (&m)[ROW_WORDS]) {
    TransposeLanes(m[0], m[1], m[2], m[3]);
    TransposeLanes(m[4], m[5], m[6], m[7]);
    U16 rows[ROW_WORDS / 2];
    MESHJOBS_UNROLL
    for (int k = 0; k < 4; ++k) {
        rows[k] = Quads<0, 1, 8, 9, 2, 3, 10, 11>(m[k], m[4 + k]);
        rows[4 + k] = Quads<4, 5, 12, 13, 6, 7, 14, 15>(m[k], m[4 + k]);
    }
    MESHJOBS_UNROLL
    for (int r = 0; r < ROW_WORDS / 2; ++r) m[r] = rows[r];
}

MESHJOBS_AVX512_INLINE U16 LoadRow(const uint8_t* at, uint16_t mask) {
    return reinterpret_cast<U16>(__builtin_ia32_loaddqusi512_mask(reinterpret_cast<const int*>(at), I16{}, mask));
}
MESHJOBS_AVX512_INLINE void StoreRow(uint8_t* at, const U16& row, uint16_t mask) {
    __builtin_ia32_storedqusi512_mask(reinterpret_cast<int*>(at), reinterpret_cast<I16>(row), mask);
}

// Groups a pass takes: their columns and stored words stay in L1 between the
// passes.
constexpr int PASS_GROUPS = 8;

// Lane 4j + k of a column holds vertex 8(j / 2) + 2k + j % 2 of the group:
// rows back from columns of eight words then pair neighbouring vertices,
// which a destination of 32-byte vertices takes with one store. The kernels
// work lane by lane and never see the order.
constexpr int VertexOfLane(int lane) { return 8 * (lane / 8) + 2 * (lane % 4) + lane / 4 % 2; }
constexpr int LaneOfVertex(int vertex) { return 8 * (vertex / 8) + 4 * (vertex % 2) + vertex % 8 / 2; }
constexpr bool LanesRoundTrip() {
    for (int lane = 0; lane < GROUP; ++lane)
        if (LaneOfVertex(VertexOfLane(lane)) != lane) return false;
    return true;
}
static_assert(LanesRoundTrip());

// Sixteen vertices' rows to one vector per word; with every loaded word among
// the first eight, two vertices to a row and half the shuffles. `whole`: the
// rows lie in the stream, loaded without the mask.
MESHJOBS_AVX512_INLINE void LoadColumns(const uint8_t* from, int64_t in, uint16_t mask, bool whole, U16* columns) {
    typedef uint32_t U8x __attribute__((vector_size(32)));
    U16 rows[ROW_WORDS];
    if ((mask >> 8) == 0) {
        // Row v: vertices 2v and 2v + 1.
        MESHJOBS_UNROLL
        for (int v = 0; v < GROUP / 2; ++v) {
            if (whole && in == 32) {
                __builtin_memcpy(&rows[v], from + 2 * v * in, 64);
            } else if (whole) {
                U8x low, high;
                __builtin_memcpy(&low, from + 2 * v * in, 32);
                __builtin_memcpy(&high, from + (2 * v + 1) * in, 32);
                rows[v] = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
            } else {
                const U16 low = LoadRow(from + 2 * v * in, mask), high = LoadRow(from + (2 * v + 1) * in, mask);
                rows[v] = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
            }
        }
        RowPairsToColumns(rows);
        MESHJOBS_UNROLL
        for (int w = 0; w < ROW_WORDS / 2; ++w) columns[w] = rows[w];
        return;
    }
    MESHJOBS_UNROLL
    for (int lane = 0; lane < GROUP; ++lane) {
        const uint8_t* at = from + VertexOfLane(lane) * in;
        if (whole) {
            __builtin_memcpy(&rows[lane], at, 64);
        } else {
            rows[lane] = LoadRow(at, mask);
        }
    }
    Transpose16(rows);
    MESHJOBS_UNROLL
    for (int w = 0; w < ROW_WORDS; ++w) columns[w] = rows[w];
}

// And back, one store per vertex in ascending order. `spill`: the stored
// words are the whole of each destination vertex, so a row stored whole (64
// or 32 bytes) reaches no further than the next vertex's first words, which
// its own store then overwrites; plain stores, which memory not yet in cache
// takes faster than masked ones. The group's last row is masked when
// `lastMasked`: nothing after it overwrites its spill. Destination vertices
// of exactly 32 bytes, all stored, go out two to a store.
MESHJOBS_AVX512_INLINE void StoreColumns(const U16* stored, uint8_t* to, int64_t out, uint16_t mask, bool spill,
                                         bool lastMasked) {
    typedef uint32_t U8x __attribute__((vector_size(32)));
    U16 rows[ROW_WORDS];
    if ((mask >> 8) == 0) {
        MESHJOBS_UNROLL
        for (int w = 0; w < ROW_WORDS / 2; ++w) rows[w] = stored[w];
        ColumnsToRowPairs(rows);
        if (out == 32 && mask == 0xFF) {
            MESHJOBS_UNROLL
            for (int v = 0; v < GROUP / 2; ++v) __builtin_memcpy(to + 2 * v * out, &rows[v], 64);
            return;
        }
        MESHJOBS_UNROLL
        for (int vertex = 0; vertex < GROUP; ++vertex) {
            const U16& pair = rows[vertex / 2];
            const U16 row = vertex % 2 == 0 ? pair
                                            : __builtin_shufflevector(pair, pair, 8, 9, 10, 11, 12, 13, 14, 15, 8, 9,
                                                                      10, 11, 12, 13, 14, 15);
            uint8_t* at = to + vertex * out;
            if (spill && !(lastMasked && vertex == GROUP - 1)) {
                // As narrow as covers the vertex: the spill must stop
                // within the next one.
                if (out >= 16) {
                    const U8x low = __builtin_shufflevector(row, row, 0, 1, 2, 3, 4, 5, 6, 7);
                    __builtin_memcpy(at, &low, 32);
                } else {
                    const U4 low = __builtin_shufflevector(row, row, 0, 1, 2, 3);
                    __builtin_memcpy(at, &low, 16);
                }
            } else {
                StoreRow(at, row, mask);
            }
        }
        return;
    }
    MESHJOBS_UNROLL
    for (int w = 0; w < ROW_WORDS; ++w) rows[w] = stored[w];
    Transpose16(rows);
    MESHJOBS_UNROLL
    for (int vertex = 0; vertex < GROUP; ++vertex) {
        const U16& row = rows[LaneOfVertex(vertex)];
        if (spill && !(lastMasked && vertex == GROUP - 1)) {
            __builtin_memcpy(to + vertex * out, &row, 64);
        } else {
            StoreRow(to + vertex * out, row, mask);
        }
    }
}

// Whether a row stored whole may spill: the stored words are the whole of
// each destination vertex, one after the other, and wide enough that a row's
// spill reaches the next vertex alone (rows of 64 bytes; in the half path
// rows of 32 bytes, or of 16 for vertices narrower than 16 bytes).
bool RowsSpill(int64_t out, uint16_t storeMask) {
    return out > 0 && out % 4 == 0 && out <= 4 * ROW_WORDS && storeMask == (1u << out / 4) - 1u &&
           out >= ((storeMask >> 8) != 0 ? 32 : 8);
}

// Groups of a shape known at compile time: each slot's kind, formats and
// words. The columns then stay in registers from the loads to the stores,
// and one group's arithmetic runs beside the next one's loads and shuffles,
// with no call per slot. The layouts engines use most; any other group takes
// the pass loop below.
struct ShapeSlot {
    SlotKind kind;
    uint32_t from, to;
    int sourceWord, targetWord, words;
    bool copies;  // stores its one loaded word unchanged

    constexpr bool operator==(const ShapeSlot&) const = default;
};

constexpr int SHAPE_SLOTS = 6;
struct GroupShape {
    int count;
    ShapeSlot slots[SHAPE_SLOTS];
};

// Position, normal and tangent in singles, an 8-bit color and two pairs of
// texture coordinates in singles, interleaved, to the same with the
// directions in signed bytes and the texture coordinates in halves: the
// usual compaction of a mesh for the GPU.
constexpr GroupShape FULL_TO_COMPACT{6,
                                     {{SlotKind::Position, FORMAT_FLOAT32, FORMAT_FLOAT32, 0, 0, 3, false},
                                      {SlotKind::Normal, FORMAT_FLOAT32, FORMAT_SNORM8, 3, 3, 1, false},
                                      {SlotKind::Tangent, FORMAT_FLOAT32, FORMAT_SNORM8, 6, 4, 1, false},
                                      {SlotKind::Color, FORMAT_UNORM8, FORMAT_UNORM8, 10, 5, 1, true},
                                      {SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT16, 11, 6, 1, false},
                                      {SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT16, 13, 7, 1, false}}};
// And back.
constexpr GroupShape COMPACT_TO_FULL{6,
                                     {{SlotKind::Position, FORMAT_FLOAT32, FORMAT_FLOAT32, 0, 0, 3, false},
                                      {SlotKind::Normal, FORMAT_SNORM8, FORMAT_FLOAT32, 3, 3, 3, false},
                                      {SlotKind::Tangent, FORMAT_SNORM8, FORMAT_FLOAT32, 4, 6, 4, false},
                                      {SlotKind::Color, FORMAT_UNORM8, FORMAT_UNORM8, 5, 10, 1, true},
                                      {SlotKind::TexCoord, FORMAT_FLOAT16, FORMAT_FLOAT32, 6, 11, 2, false},
                                      {SlotKind::TexCoord, FORMAT_FLOAT16, FORMAT_FLOAT32, 7, 13, 2, false}}};

// A color and texture coordinates in singles, to an 8-bit color and halves:
// stream 1 of the meshjobs tool's layouts; and the texture coordinates alone,
// for meshes without colors.
constexpr GroupShape COLOR_AND_TEX_COORDS_TO_COMPACT{
    3,
    {{SlotKind::Color, FORMAT_FLOAT32, FORMAT_UNORM8, 0, 0, 1, false},
     {SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT16, 4, 1, 1, false},
     {SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT16, 6, 2, 1, false}}};
constexpr GroupShape TEX_COORDS_TO_COMPACT{2,
                                           {{SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT16, 0, 0, 1, false},
                                            {SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT16, 2, 1, 1, false}}};
// The same with the texture coordinates kept in singles, as the tool's glTF
// layout keeps them.
constexpr GroupShape COLOR_AND_TEX_COORDS_TO_GLTF{
    3,
    {{SlotKind::Color, FORMAT_FLOAT32, FORMAT_UNORM8, 0, 0, 1, false},
     {SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT32, 4, 1, 2, false},
     {SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT32, 6, 3, 2, false}}};
constexpr GroupShape TEX_COORDS_TO_GLTF{2,
                                        {{SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT32, 0, 0, 2, false},
                                         {SlotKind::TexCoord, FORMAT_FLOAT32, FORMAT_FLOAT32, 2, 2, 2, false}}};

// The first `count` slots of a shape. Layouts that keep the color and the
// texture coordinates in stream 1, as the meshjobs tool's do, group the
// position and the directions alone, or the position and the normal where a
// mesh has no tangents.
constexpr GroupShape Leading(const GroupShape& shape, int count) {
    GroupShape leading = shape;
    leading.count = count;
    return leading;
}
constexpr GroupShape FULL_TO_COMPACT_DIRECTIONS = Leading(FULL_TO_COMPACT, 3);
constexpr GroupShape FULL_TO_COMPACT_NORMAL = Leading(FULL_TO_COMPACT, 2);
constexpr GroupShape COMPACT_TO_FULL_DIRECTIONS = Leading(COMPACT_TO_FULL, 3);
constexpr GroupShape COMPACT_TO_FULL_NORMAL = Leading(COMPACT_TO_FULL, 2);
constexpr GroupShape TEX_COORD_TO_COMPACT = Leading(TEX_COORDS_TO_COMPACT, 1);
constexpr GroupShape TEX_COORD_TO_GLTF = Leading(TEX_COORDS_TO_GLTF, 1);

// The shapes go by reference to the constants above: a shape passed as a
// value would make the compiler emit an object for it, which one compiler
// exports from the library.
template <const GroupShape& SHAPE, int S>
MESHJOBS_AVX512_INLINE void ConvertShapeSlot(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                             const U16* columns, U16* stored) {
    constexpr ShapeSlot SLOT = SHAPE.slots[S];
    if constexpr (SLOT.copies) {
        stored[SLOT.targetWord] = columns[SLOT.sourceWord];
    } else {
        const U16* in = columns + SLOT.sourceWord;
        const WordLanes<GROUP> result = ConvertKind<SLOT.kind, GROUP, KernelSet::Avx512>(
            record, slot, WordLanes<GROUP>{{in[0], in[1], in[2], in[3]}}, SLOT.from, SLOT.to);
        MESHJOBS_UNROLL
        for (int w = 0; w < SLOT.words; ++w) stored[SLOT.targetWord + w] = result.w[w];
    }
}

// The directions' roots and divisions are a group's longest chain of
// dependent operations: written first, they start first, and the other
// slots' arithmetic fills the cycles they wait.
constexpr bool IsDirection(SlotKind kind) { return kind == SlotKind::Normal || kind == SlotKind::Tangent; }

template <const GroupShape& SHAPE, int S, bool DIRECTIONS>
MESHJOBS_AVX512_INLINE void ConvertShapeSlotAt(const ConvertVertexLayoutRecord& record, const GroupPlan& groups,
                                               const U16* columns, U16* stored) {
    if constexpr (S < SHAPE.count && IsDirection(SHAPE.slots[S].kind) == DIRECTIONS)
        ConvertShapeSlot<SHAPE, S>(record, *groups.slots[S].slot, columns, stored);
}

template <int... S>
struct SlotIndices {};

template <const GroupShape& SHAPE, int... S>
MESHJOBS_AVX512_INLINE void ConvertShapeSlots(const ConvertVertexLayoutRecord& record, const GroupPlan& groups,
                                              const U16* columns, U16* stored, SlotIndices<S...>) {
    (ConvertShapeSlotAt<SHAPE, S, true>(record, groups, columns, stored), ...);
    (ConvertShapeSlotAt<SHAPE, S, false>(record, groups, columns, stored), ...);
}

template <const GroupShape& SHAPE>
MESHJOBS_AVX512 void ConvertShapeGroups(const ConvertVertexLayoutRecord& record, const GroupPlan& groups,
                                        const uint8_t* from, int64_t in, int64_t wholeRows, uint8_t* to, int64_t out,
                                        int32_t count) {
    const uint16_t loadMask = groups.loadMask, storeMask = groups.storeMask;
    const bool spill = RowsSpill(out, storeMask);
    for (int32_t done = 0; done < count; done += GROUP, from += GROUP * in, to += GROUP * out) {
        // Words past the sixteen loaded ones, and the words no slot stores,
        // are zeros that nothing uses.
        U16 columns[COLUMN_WORDS] = {}, stored[ROW_WORDS] = {};
        LoadColumns(from, in, loadMask, done + GROUP <= wholeRows, columns);
        ConvertShapeSlots<SHAPE>(record, groups, columns, stored, SlotIndices<0, 1, 2, 3, 4, 5>{});
        StoreColumns(stored, to, out, storeMask, spill, done + GROUP == count);
    }
}

bool HasShape(const ShapeSlot* planned, int count, const GroupShape& shape) {
    if (count != shape.count) return false;
    for (int s = 0; s < count; ++s)
        if (!(planned[s] == shape.slots[s])) return false;
    return true;
}

template <const GroupShape&... SHAPE>
GroupsKernel ShapeKernelAmong(const ShapeSlot* planned, int count) {
    GroupsKernel kernel = nullptr;
    ((kernel = kernel == nullptr && HasShape(planned, count, SHAPE) ? ConvertShapeGroups<SHAPE> : kernel), ...);
    return kernel;
}

GroupsKernel ShapeKernelFor(const GroupPlan& groups) {
    if (groups.count > SHAPE_SLOTS) return nullptr;
    ShapeSlot planned[SHAPE_SLOTS];
    for (int s = 0; s < groups.count; ++s) {
        const GroupSlot& slot = groups.slots[s];
        planned[s] = ForSlotFormats(*slot.slot, []<SlotKind KIND, uint32_t FROM, uint32_t TO>() {
            return ShapeSlot{KIND, FROM, TO, 0, 0, 0, false};
        });
        planned[s].sourceWord = slot.sourceWord;
        planned[s].targetWord = slot.targetWord;
        planned[s].words = slot.words;
        planned[s].copies = slot.kernel == CopySlot16;
    }
    return ShapeKernelAmong<FULL_TO_COMPACT, COMPACT_TO_FULL, FULL_TO_COMPACT_DIRECTIONS, COMPACT_TO_FULL_DIRECTIONS,
                            FULL_TO_COMPACT_NORMAL, COMPACT_TO_FULL_NORMAL, COLOR_AND_TEX_COORDS_TO_COMPACT,
                            TEX_COORDS_TO_COMPACT, TEX_COORD_TO_COMPACT, COLOR_AND_TEX_COORDS_TO_GLTF,
                            TEX_COORDS_TO_GLTF, TEX_COORD_TO_GLTF>(planned, groups.count);
}

// `wholeRows`: how many leading vertices have all 64 bytes from their base
// in the stream; those load whole, which memory not yet in cache takes
// faster than masked loads. The words no slot reads are never used.
MESHJOBS_AVX512 void ConvertGroups(const ConvertVertexLayoutRecord& record, const GroupPlan& groups,
                                   const uint8_t* from, int64_t in, int64_t wholeRows, uint8_t* to, int64_t out,
                                   int32_t count) {
    if (groups.shapeKernel != nullptr) return groups.shapeKernel(record, groups, from, in, wholeRows, to, out, count);
    alignas(64) U16 columns[PASS_GROUPS][COLUMN_WORDS];
    alignas(64) U16 stored[PASS_GROUPS][ROW_WORDS];
    const uint16_t loadMask = groups.loadMask, storeMask = groups.storeMask;
    const bool spill = RowsSpill(out, storeMask);
    // The spare columns and the words no slot stores are read and never
    // used: zeros, so that nothing undefined is read. Only the groups a pass
    // of this range fills: short ranges use few.
    const int usedGroups = count / GROUP < PASS_GROUPS ? count / GROUP : PASS_GROUPS;
    // Columns of eight words read only the first eight stored words back.
    const int storedWords = (storeMask >> 8) == 0 ? ROW_WORDS / 2 : ROW_WORDS;
    for (int g = 0; g < usedGroups; ++g) {
        for (int w = ROW_WORDS; w < COLUMN_WORDS; ++w) columns[g][w] = U16{};
        for (int w = 0; w < storedWords; ++w)
            if ((storeMask >> w & 1u) == 0) stored[g][w] = U16{};
    }
    for (int32_t done = 0; done < count;) {
        const int passGroups = (count - done) / GROUP < PASS_GROUPS ? (count - done) / GROUP : PASS_GROUPS;
        if (loadMask != 0)
            for (int g = 0; g < passGroups; ++g, from += GROUP * in) {
                // The next pass's rows, asked for while this pass converts:
                // the loads come in bursts the processor's own prefetch
                // does not run far enough ahead of.
                if (done + (PASS_GROUPS + g + 1) * GROUP <= wholeRows) {
                    const uint8_t* ahead = from + PASS_GROUPS * GROUP * in;
                    MESHJOBS_UNROLL
                    for (int v = 0; v < GROUP; ++v) __builtin_prefetch(ahead + v * in);
                }
                LoadColumns(from, in, loadMask, done + (g + 1) * GROUP <= wholeRows, columns[g]);
            }
        for (int s = 0; s < groups.count; ++s) {
            const GroupSlot& slot = groups.slots[s];
            slot.kernel(record, *slot.slot, &columns[0][slot.sourceWord], &stored[0][slot.targetWord], slot.words,
                        passGroups);
        }
        for (int g = 0; g < passGroups; ++g, to += GROUP * out)
            StoreColumns(stored[g], to, out, storeMask, spill, done + (g + 1) * GROUP == count);
        done += passGroups * GROUP;
    }
}

// Where one stream's groups load and store, and how many leading vertices of
// the range they take: those whose loaded words all lie in the stream
// (`whole` counts 16-byte loads, which may reach past a vertex's last word).
// `wholeRows` of them have all 64 bytes from their base in the stream; those
// load whole.
struct GroupRun {
    const uint8_t* source = nullptr;
    int64_t in = 0, wholeRows = 0;
    uint8_t* target = nullptr;
    int64_t out = 0;
    int32_t grouped = 0;
};

GroupRun RunOf(const ArrayView<uint8_t>& stream, const RangePlan& plan, const GroupPlan& groups, const SlotWalk* walks,
               int32_t count, int32_t whole) {
    GroupRun run;
    if (groups.count == 0) return run;
    // The vertex bases, from the walks of the grouped slots, which start at
    // their own offsets from them.
    for (int s = 0; s < groups.count && run.source == nullptr; ++s) {
        const GroupSlot& slot = groups.slots[s];
        const SlotWalk& walk = walks[slot.slot - plan.slots];
        if (slot.slot->load && !slot.slot->marker) run.source = walk.load - 4 * slot.sourceWord, run.in = walk.loadStep;
    }
    int64_t fitRows = run.source == nullptr ? count : whole;
    if (run.source != nullptr && run.in >= 0 && run.source >= stream.data) {
        const int64_t length = stream.length > 0 ? stream.length : 0;
        const int64_t left = stream.data + length - run.source;
        const int64_t reach = 4 * (32 - __builtin_clz(groups.loadMask));
        fitRows = left < reach ? 0 : run.in == 0 ? count : (left - reach) / run.in + 1;
        run.wholeRows = left < 64 ? 0 : run.in == 0 ? count : (left - 64) / run.in + 1;
    }
    run.grouped = static_cast<int32_t>(fitRows < count ? fitRows : count) / GROUP * GROUP;
    const SlotWalk& first = walks[groups.slots[0].slot - plan.slots];
    run.target = first.store - groups.slots[0].slot->targetOffset;
    run.out = first.storeStep;
    return run;
}

}  // namespace

MESHJOBS_AVX512 void RunSlotsApartAvx512(const ConvertVertexLayoutRecord& record, const RangePlan& plan,
                                         const SlotWalk* walks, int32_t count, int32_t whole) {
    // Planned once per plan: the ranges of a job that reuse the plan reuse
    // its groups, one plan per stream.
    typedef GroupPlan StreamGroups[2];
    static_assert(sizeof(StreamGroups) <= sizeof plan.kernelPlan.bytes && alignof(GroupPlan) <= 16);
    if (!plan.kernelPlan.made) {
        const GroupPlan made[2] = {PlanGroups(plan, false), PlanGroups(plan, true)};
        __builtin_memcpy(plan.kernelPlan.bytes, &made, sizeof made);  // creates the plans in the bytes
        plan.kernelPlan.made = true;
    }
    const GroupPlan* const groups = reinterpret_cast<const GroupPlan*>(plan.kernelPlan.bytes);
    const GroupRun runs[2] = {RunOf(record.sourceStream0, plan, groups[0], walks, count, whole),
                              RunOf(record.sourceStream1, plan, groups[1], walks, count, whole)};
    // The streams' groups take the same leading vertices.
    int32_t grouped = count;
    for (int s = 0; s < 2; ++s)
        if (groups[s].count > 0 && runs[s].grouped < grouped) grouped = runs[s].grouped;
    const uint32_t groupedSlots = grouped > 0 ? groups[0].slotBits | groups[1].slotBits : 0;

    if (grouped == count && groups[0].count + groups[1].count == plan.activeCount) {
        for (int s = 0; s < 2; ++s)
            if (groups[s].count > 0)
                ConvertGroups(record, groups[s], runs[s].source, runs[s].in, runs[s].wholeRows, runs[s].target,
                              runs[s].out, count);
        return;
    }
    // Pieces that stay in cache between the passes of the other slots.
    SlotWalk piece[ATTRIBUTE_SLOT_COUNT];
    for (int32_t done = 0; done < count; done += APART_PIECE_VERTICES) {
        const int32_t n = count - done < APART_PIECE_VERTICES ? count - done : APART_PIECE_VERTICES;
        const int32_t pieceWhole = whole - done < 0 ? 0 : whole - done < n ? whole - done : n;
        const int32_t pieceGrouped = grouped - done < 0 ? 0 : grouped - done < n ? grouped - done : n;
        AdvanceWalks(plan, walks, done, piece);
        if (pieceGrouped == 0) {
            RunSlotsApartAvx2(record, plan, piece, n, pieceWhole);
            continue;
        }
        // The grouped slots' stores go last: a widened store of another slot
        // (SlotPlan::wideByteCount) may reach into their bytes.
        RunSlotsApartAvx2From(record, plan, piece, n, pieceWhole, groupedSlots, pieceGrouped);
        for (int s = 0; s < 2; ++s) {
            const GroupRun& run = runs[s];
            if (groups[s].count > 0)
                ConvertGroups(record, groups[s], run.source != nullptr ? run.source + done * run.in : nullptr, run.in,
                              run.wholeRows - done, run.target + done * run.out, run.out, pieceGrouped);
        }
    }
}

}  // namespace meshjobs

#endif
