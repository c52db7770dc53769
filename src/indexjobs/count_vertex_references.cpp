// Counts, per vertex, the index positions that name it. Any worker may meet
// any vertex, so the counters are raised atomically.
//
// One atomic per index costs an order of magnitude more than the count
// itself, so a worker gathers its increments in a table on its own stack and
// adds them to the shared counters in as few atomic operations as it can.
// Only the final counts are observable, and they are the same; pending
// increments are added before every host call that may not come back (a
// permission slow path, an abort) and before the entry call returns.
//
// The table is 64 KB, one of two shapes chosen by the first range counted:
// a byte per vertex for indices all over the vertex array, or 32-bit counts
// for a window of 8,192 neighbouring vertices for meshes whose neighbouring
// triangles share vertices (the order a cache optimiser leaves). A 32-bit
// count cannot wrap. The window moves on when an index falls past it, and the
// counts of vertices it has left behind are added while it counts on: a
// locked operation among the increments costs a fraction of one on its own.
#include "jobs.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"
#include "runtime/cpu_features.h"
#include "runtime/kernel_set.h"
#include "runtime/range_loop.h"

namespace meshjobs {
namespace {

// Index values are 16-bit, so every vertex an index can name has a byte.
constexpr int32_t PENDING_VERTICES = 65536;
constexpr int32_t BLOCK_BYTES = 64;
constexpr int32_t BLOCK_COUNT = PENDING_VERTICES / BLOCK_BYTES;
constexpr int64_t TABLE_MIN_RANGE = 32;

using AliasedWord = uint64_t __attribute__((may_alias, aligned(8)));

constexpr int32_t WINDOW_VERTICES = PENDING_VERTICES / 8;
// A window reaches this far below the vertex it is placed for, and vertices
// this far below the lowest index of a chunk are taken as done: indices also
// name the previous rows of a mesh.
constexpr int32_t WINDOW_LEAD = WINDOW_VERTICES / 8;
// A window that moves again after fewer positions than this gives way to the
// byte table.
constexpr int64_t WINDOW_MIN_STAY = 1024;

enum class TableShape : uint8_t { None, Bytes, Window };

// Pending increments of one entry call: a byte per counter (and which 64-byte
// blocks of them the flush must visit), or two counts per window vertex, one
// for even and one for odd positions (see CountChunk). The two tables lie 64
// bytes more than 32 KB apart: a load from one waits for a store to the other
// when their addresses share the low 12 bits.
struct PendingCounts {
    union {
        uint8_t counts[PENDING_VERTICES];
        uint32_t window[2][WINDOW_VERTICES + 16];
    };
    uint64_t dirty[BLOCK_COUNT / 64];
    TableShape shape;
    bool active;  // holds increments not yet added
    int32_t windowBase;  // the vertex of window[0], a multiple of 4
    int32_t windowNext;  // the first slot the flush behind the counted indices has not passed
    int64_t windowPlacedAt;  // positions counted when the window was placed
    int32_t firstDirtyWord;  // where the byte table's flush starts
};

inline void AddAtomically(int32_t* counter, int32_t amount) {
    __atomic_fetch_add(counter, amount, __ATOMIC_SEQ_CST);
}

inline uint64_t AddHalves(uint64_t word, uint64_t amounts) {
    return static_cast<uint64_t>(static_cast<uint32_t>(word) + static_cast<uint32_t>(amounts)) |
           static_cast<uint64_t>(static_cast<uint32_t>(word >> 32) + static_cast<uint32_t>(amounts >> 32)) << 32;
}

// Two neighbouring counters in one compare-and-swap: each half wraps on its
// own, exactly as two separate 32-bit additions would.
inline void AddPairAtomically(int32_t* pair, uint64_t amounts) {
    auto* word = reinterpret_cast<AliasedWord*>(pair);
    uint64_t seen = __atomic_load_n(word, __ATOMIC_RELAXED);
    while (!__atomic_compare_exchange_n(word, &seen, AddHalves(seen, amounts), true, __ATOMIC_SEQ_CST,
                                        __ATOMIC_RELAXED)) {
    }
}

#if defined(__x86_64__)
// Four counters in one 16-byte compare-and-swap (a locked instruction, so
// sequentially consistent like the 32-bit additions it stands for).
inline void AddQuadAtomically(int32_t* quad, uint64_t lowAmounts, uint64_t highAmounts) {
    auto* words = reinterpret_cast<AliasedWord*>(quad);
    uint64_t low = __atomic_load_n(&words[0], __ATOMIC_RELAXED);
    uint64_t high = __atomic_load_n(&words[1], __ATOMIC_RELAXED);
    for (;;) {
        bool swapped;
        __asm__ __volatile__("lock cmpxchg16b %1"
                             : "=@ccz"(swapped), "+m"(*words), "+a"(low), "+d"(high)
                             : "b"(AddHalves(low, lowAmounts)), "c"(AddHalves(high, highAmounts))
                             : "memory");
        if (swapped) return;
    }
}
#endif

// How many neighbouring counters one atomic operation covers at the array's
// alignment, for groups starting at a multiple of 4.
int32_t GroupSize(const int32_t* counters) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(counters);
#if defined(__x86_64__)
    if (address % 16 == 0 && (CpuFeatures() & CPU_FEATURE_CMPXCHG16B) != 0) return 4;
#endif
    return address % 8 == 0 ? 2 : 1;
}

// Adds four amounts to counters[vertex..vertex + 3], packed two to a word in
// `low` and `high` with the lower counter in the lower half; vertex is a
// multiple of 4, and counters of a group outside the array are never touched.
inline void AddFour(int32_t* counters, int32_t counterCount, int32_t group, int32_t vertex, uint64_t low,
                    uint64_t high) {
    if (vertex + 4 > counterCount) group = 1;  // the array's last, partial group
#if defined(__x86_64__)
    if (group == 4) [[likely]] {
        AddQuadAtomically(&counters[vertex], low, high);
        return;
    }
#endif
    if (group >= 2) {
        if (low != 0) AddPairAtomically(&counters[vertex], low);
        if (high != 0) AddPairAtomically(&counters[vertex + 2], high);
        return;
    }
    const uint32_t amounts[4] = {static_cast<uint32_t>(low), static_cast<uint32_t>(low >> 32),
                                 static_cast<uint32_t>(high), static_cast<uint32_t>(high >> 32)};
    for (int32_t j = 0; j < 4; ++j)
        if (amounts[j] != 0) AddAtomically(&counters[vertex + j], static_cast<int32_t>(amounts[j]));
}

// Bit j set when the four bytes of group j, of the four groups at `counts`,
// hold a count.
inline uint32_t GroupsWithCounts(const uint8_t* counts) {
    typedef uint32_t Counts4 __attribute__((vector_size(16)));
    Counts4 four;
    __builtin_memcpy(&four, counts, 16);
#if defined(__x86_64__)
    typedef float Signs4 __attribute__((vector_size(16)));
    return static_cast<uint32_t>(__builtin_ia32_movmskps(reinterpret_cast<Signs4>(four != 0)));
#else
    const Counts4 bits = reinterpret_cast<Counts4>(four != 0) & Counts4{1, 2, 4, 8};
    return bits[0] | bits[1] | bits[2] | bits[3];
#endif
}

void FlushBytes(PendingCounts& pending, int32_t* counters, int32_t counterCount) {
    const int32_t group = GroupSize(counters);
    for (int32_t step = 0; step < BLOCK_COUNT / 64; ++step) {
        const int32_t word = (step + pending.firstDirtyWord) % (BLOCK_COUNT / 64);
        uint64_t bits = pending.dirty[word];
        pending.dirty[word] = 0;
        while (bits != 0) {
            const int32_t first = (word * 64 + __builtin_ctzll(bits)) * BLOCK_BYTES;
            bits &= bits - 1;
            uint8_t* counts = pending.counts + first;
            // One bit per group that holds a count: a short call leaves
            // most groups empty, and a branch per group would guess them.
            uint32_t groups = 0;
            for (int32_t k = 0; k < BLOCK_BYTES; k += 16) groups |= GroupsWithCounts(counts + k) << k / 4;
            if (groups == 0) continue;
            do {
                const int32_t k = __builtin_ctz(groups) * 4;
                groups &= groups - 1;
                uint32_t four;
                __builtin_memcpy(&four, counts + k, 4);
                const uint64_t wide = four;  // bytes 0-3 become the halves of two words
                const uint64_t low = (wide & 0xFFu) | (wide << 24 & 0xFF00000000u);
                const uint64_t high = (wide >> 16 & 0xFFu) | (wide << 8 & 0xFF00000000u);
                AddFour(counters, counterCount, group, first + k, low, high);
            } while (groups != 0);
            __builtin_memset(counts, 0, BLOCK_BYTES);
        }
    }
}

// Adds the counts of the four window slots from `slot`, a multiple of 4, to
// their counters and clears them.
inline void FlushGroup(PendingCounts& pending, int32_t* counters, int32_t counterCount, int32_t group, int32_t slot) {
    typedef uint32_t Counts4 __attribute__((vector_size(16)));
    Counts4 even, odd;
    __builtin_memcpy(&even, pending.window[0] + slot, 16);
    __builtin_memcpy(&odd, pending.window[1] + slot, 16);
    const Counts4 sum = even + odd;
    uint64_t halves[2];
    __builtin_memcpy(halves, &sum, 16);
    if ((halves[0] | halves[1]) == 0) return;
    const Counts4 zero = {};
    __builtin_memcpy(pending.window[0] + slot, &zero, 16);
    __builtin_memcpy(pending.window[1] + slot, &zero, 16);
    AddFour(counters, counterCount, group, pending.windowBase + slot, halves[0], halves[1]);
}

// The same for window slots [from, to), multiples of 4.
void FlushSlots(PendingCounts& pending, int32_t* counters, int32_t counterCount, int32_t from, int32_t to) {
    const int32_t group = GroupSize(counters);
    for (int32_t slot = from; slot < to; slot += 4) FlushGroup(pending, counters, counterCount, group, slot);
}

// Leaves the window all zero, as a placed window must start.
void FlushWindow(PendingCounts& pending, int32_t* counters, int32_t counterCount) {
    FlushSlots(pending, counters, counterCount, 0, WINDOW_VERTICES);
}

// Moves the counts of `count` slots from slot `from` to slot `to` (multiples
// of 4), in the direction that reads each slot before it is overwritten, and
// clears every slot read that is not written.
void MoveSlots(uint32_t* window, int32_t to, int32_t from, int32_t count) {
    uint64_t halves[2];
    const uint64_t zero[2] = {};
    const int32_t step = to < from ? 4 : -4;
    for (int32_t k = to < from ? 0 : count - 4; k >= 0 && k < count; k += step) {
        __builtin_memcpy(halves, window + from + k, 16);
        __builtin_memcpy(window + from + k, zero, 16);
        __builtin_memcpy(window + to + k, halves, 16);
    }
}

// Moves the window to start at `base`, a multiple of 4. Only the vertices it
// leaves have their counts added; those it keeps move to their new slots, so
// no vertex is added twice when windows overlap.
void MoveWindow(PendingCounts& pending, int32_t* counters, int32_t counterCount, int32_t base) {
    const int32_t shift = base - pending.windowBase;
    const int32_t kept = WINDOW_VERTICES - (shift >= 0 ? shift : -shift);
    int32_t next = 0;
    if (kept <= 0) {
        FlushWindow(pending, counters, counterCount);
    } else if (shift > 0) {
        FlushSlots(pending, counters, counterCount, 0, shift);
        for (uint32_t* window : pending.window) MoveSlots(window, 0, shift, kept);
        next = pending.windowNext > shift ? pending.windowNext - shift : 0;
    } else if (shift < 0) {
        FlushSlots(pending, counters, counterCount, kept, WINDOW_VERTICES);
        for (uint32_t* window : pending.window) MoveSlots(window, -shift, 0, kept);
    }
    pending.windowBase = base;
    pending.windowNext = next;
}

// Adds and clears every pending increment.
void Flush(PendingCounts& pending, int32_t* counters, int32_t counterCount) {
    if (!pending.active) return;
    if (pending.shape == TableShape::Window) {
        FlushWindow(pending, counters, counterCount);
    } else {
        FlushBytes(pending, counters, counterCount);
    }
    pending.active = false;
}

// The body exactly as the checks order it: one cell load per test per index.
bool CountExactly(CountVertexReferencesRecord& record, int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        CheckWriteAccess(record.referenceCounts.safety);
        if (!CheckIndex(record.indices, i)) return false;
        CheckReadAccess(record.indices.safety);
        const uint32_t vertex = record.indices.data[i];
        // Only the length bounds the counter: its range fields describe
        // index positions of no one worker.
        if (vertex >= static_cast<uint32_t>(record.referenceCounts.length))
            return Abort(INDEX_OUT_OF_RANGE_EXCEPTION, LENGTH_MESSAGE);
        __atomic_fetch_add(&record.referenceCounts.data[vertex], 1, __ATOMIC_SEQ_CST);
    }
    return true;
}

// Whether every test of every position in [begin, end) passes without a host
// call, with the cells as they stand now. Decided once per range.
bool RangePassesTests(const CountVertexReferencesRecord& record, int32_t begin, int32_t end) {
    const ArrayView<uint16_t>& indices = record.indices;
    const int32_t last = end - 1;
    if (begin < indices.rangeMin || last > indices.rangeMax || begin < 0 ||
        static_cast<uint32_t>(last) >= static_cast<uint32_t>(indices.length))
        return false;
    const AtomicSafetyHandle& counters = record.referenceCounts.safety;
    const AtomicSafetyHandle& reads = indices.safety;
    return WritePermitted(counters) && ReadPermitted(reads);
}

// Clears the bytes of the first `vertices` counters, in whole blocks, and
// marks those blocks for the flush.
void UseBytes(PendingCounts& pending, int32_t vertices) {
    const int32_t blocks = (vertices + BLOCK_BYTES - 1) / BLOCK_BYTES;
    __builtin_memset(pending.counts, 0, static_cast<uint32_t>(blocks) * BLOCK_BYTES);
    for (int32_t word = 0; word < BLOCK_COUNT / 64; ++word) {
        const int32_t inWord = blocks - word * 64;
        pending.dirty[word] = inWord >= 64 ? ~uint64_t{0} : inWord <= 0 ? 0 : (uint64_t{1} << inWord) - 1;
    }
    pending.shape = TableShape::Bytes;
    pending.active = true;
}

// The base of a window placed for `vertex`.
int32_t WindowBase(uint32_t vertex) {
    const int32_t base = static_cast<int32_t>(vertex) - WINDOW_LEAD;
    return (base > 0 ? base : 0) & ~3;
}

void UseWindow(PendingCounts& pending, uint32_t firstVertex, int64_t positions) {
    __builtin_memset(pending.window, 0, sizeof pending.window);
    pending.windowBase = WindowBase(firstVertex);
    pending.windowNext = 0;
    pending.windowPlacedAt = positions;
    pending.shape = TableShape::Window;
    pending.active = true;
}

// Positions [begin, end) whose tests pass. Answers the first position whose
// vertex has no counter (end if none): the exact body takes over there. A
// byte that wraps has seen 256 increments.
template <bool EveryVertexCounted>
int32_t CountPending(uint8_t* table, const uint16_t* indices, int32_t* counters, uint32_t counterCount,
                     int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        const uint32_t vertex = indices[i];
        if (!EveryVertexCounted && vertex >= counterCount) [[unlikely]]
            return i;
        if (++table[vertex] == 0) [[unlikely]]
            AddAtomically(&counters[vertex], 256);
    }
    return end;
}

constexpr int32_t WINDOW_CHUNK = 1024;

constexpr int32_t OFFSET_BLOCK = 32;

// Offsets of indices from a window's base, as 16-bit differences: an index
// below the base takes one of at least 65,536 - base, which no room reaches.
struct OffsetSpan {
    uint32_t lowest;
    uint32_t highest;
};

// The span of `count` indices, a multiple of OFFSET_BLOCK; {65535, 0} for
// none. The vectors have only signed 16-bit extremes, so offsets are compared
// with their top bit flipped; two of each keep the loop free of long chains.
OffsetSpan Offsets(const uint16_t* indices, int32_t count, uint32_t base) {
    typedef uint16_t Indices8 __attribute__((vector_size(16)));
    typedef int16_t Offsets8 __attribute__((vector_size(16)));
    const Indices8 shift = Indices8{} + static_cast<uint16_t>(base + 0x8000u);
    Offsets8 lowest = Offsets8{} + static_cast<int16_t>(0x7FFF), lowestOther = lowest;
    Offsets8 highest = Offsets8{} + static_cast<int16_t>(-0x8000), highestOther = highest;
    for (int32_t i = 0; i < count; i += 16) {
        Indices8 values, others;
        __builtin_memcpy(&values, indices + i, 16);
        __builtin_memcpy(&others, indices + i + 8, 16);
        const Offsets8 flipped = reinterpret_cast<Offsets8>(values - shift);
        const Offsets8 flippedOther = reinterpret_cast<Offsets8>(others - shift);
        lowest = flipped < lowest ? flipped : lowest;
        lowestOther = flippedOther < lowestOther ? flippedOther : lowestOther;
        highest = flipped > highest ? flipped : highest;
        highestOther = flippedOther > highestOther ? flippedOther : highestOther;
    }
    lowest = lowestOther < lowest ? lowestOther : lowest;
    highest = highestOther > highest ? highestOther : highest;
    int32_t bottom = 0x7FFF, top = -0x8000;
    for (int lane = 0; lane < 8; ++lane) {
        bottom = lowest[lane] < bottom ? lowest[lane] : bottom;
        top = highest[lane] > top ? highest[lane] : top;
    }
    return {static_cast<uint32_t>(bottom + 0x8000), static_cast<uint32_t>(top + 0x8000)};
}

#if MESHJOBS_AVX2_KERNELS_BUILT
// The same with AVX2's unsigned extremes, 32 indices a step.
__attribute__((target("avx2"))) OffsetSpan OffsetsAvx2(const uint16_t* indices, int32_t count, uint32_t base) {
    typedef uint16_t Indices16 __attribute__((vector_size(32)));
    const Indices16 shift = Indices16{} + static_cast<uint16_t>(base);
    Indices16 lowest = Indices16{} + static_cast<uint16_t>(0xFFFF), lowestOther = lowest;
    Indices16 highest = {}, highestOther = {};
    for (int32_t i = 0; i < count; i += 32) {
        Indices16 values, others;
        __builtin_memcpy(&values, indices + i, 32);
        __builtin_memcpy(&others, indices + i + 16, 32);
        values -= shift;
        others -= shift;
        lowest = values < lowest ? values : lowest;
        lowestOther = others < lowestOther ? others : lowestOther;
        highest = values > highest ? values : highest;
        highestOther = others > highestOther ? others : highestOther;
    }
    lowest = lowestOther < lowest ? lowestOther : lowest;
    highest = highestOther > highest ? highestOther : highest;
    uint32_t bottom = 0xFFFF, top = 0;
    for (int lane = 0; lane < 16; ++lane) {
        bottom = lowest[lane] < bottom ? lowest[lane] : bottom;
        top = highest[lane] > top ? highest[lane] : top;
    }
    return {bottom, top};
}
#endif

// The span of the indices of [from, from + count).
OffsetSpan ChunkOffsets(const uint16_t* indices, int32_t from, int32_t count, uint32_t base, bool wide) {
    const int32_t blocks = count / OFFSET_BLOCK * OFFSET_BLOCK;
#if MESHJOBS_AVX2_KERNELS_BUILT
    OffsetSpan span = wide ? OffsetsAvx2(indices + from, blocks, base) : Offsets(indices + from, blocks, base);
#else
    (void)wide;
    OffsetSpan span = Offsets(indices + from, blocks, base);
#endif
    for (int32_t i = blocks; i < count; ++i) {
        const uint32_t offset = static_cast<uint16_t>(indices[from + i] - base);
        span.lowest = offset < span.lowest ? offset : span.lowest;
        span.highest = offset > span.highest ? offset : span.highest;
    }
    return span;
}

// Whether the indices of [begin, end) lie close enough together for a window.
bool Clustered(const uint16_t* indices, int32_t begin, int32_t end, bool wide) {
    const OffsetSpan span = ChunkOffsets(indices, begin, end - begin, 0, wide);
    return span.highest - span.lowest < WINDOW_VERTICES - WINDOW_LEAD - 4;
}

// Positions counted per group added behind them (see CountChunk): about six
// positions name each vertex of a triangle mesh, so this keeps pace with the
// four vertices of a group.
constexpr int32_t FLUSH_STRIDE = 24;

// Counts the positions of [from, from + count), whose indices all lie in the
// window, and meanwhile adds the groups of slots from windowNext up to
// `behind`, one per FLUSH_STRIDE positions: among the increments, most of a
// locked operation's time overlaps them, where back to back it is all its own.
void CountChunk(PendingCounts& pending, const uint16_t* indices, int32_t from, int32_t count, int32_t behind,
                int32_t* counters, int32_t counterCount, int32_t group) {
    // The index itself addresses the count: an address computed from it
    // would stand between the load and the increment. Every index here is at
    // least the base, so each address lies in the window. Even and odd
    // positions count into tables of their own, which breaks up the chains of
    // increments of one vertex that neighbouring triangles make.
    const uintptr_t base = static_cast<uint32_t>(pending.windowBase);
    uintptr_t even = reinterpret_cast<uintptr_t>(pending.window[0]) - base * sizeof(uint32_t);
    uintptr_t odd = reinterpret_cast<uintptr_t>(pending.window[1]) - base * sizeof(uint32_t);
    __asm__("" : "+r"(even), "+r"(odd));
    uint32_t* const shiftedEven = reinterpret_cast<uint32_t*>(even);
    uint32_t* const shiftedOdd = reinterpret_cast<uint32_t*>(odd);
    const int32_t stop = from + count;
    int32_t j = from;
    int32_t next = pending.windowNext;
    for (; next < behind && j + FLUSH_STRIDE <= stop; j += FLUSH_STRIDE, next += 4) {
        for (int32_t k = j; k < j + FLUSH_STRIDE; k += 2) {
            ++shiftedEven[indices[k]];
            ++shiftedOdd[indices[k + 1]];
        }
        FlushGroup(pending, counters, counterCount, group, next);
    }
    pending.windowNext = next;
    for (; j + 2 <= stop; j += 2) {
        ++shiftedEven[indices[j]];
        ++shiftedOdd[indices[j + 1]];
    }
    if (j < stop) ++shiftedEven[indices[j]];
}

// Positions [begin, end) whose tests pass, into the window. Answers the first
// position whose vertex has no counter (end if none). An index outside the
// window moves it, after its counts are added; a window that moves too often
// gives way to the byte table, and the caller counts on from `stop` there.
// Chunks whose indices all fall inside are counted by a loop with no test:
// raising counts in memory runs about twice as fast without a branch between.
// Vertices WINDOW_LEAD below a chunk's lowest index are taken as done, and
// their counts are added while the chunk is counted; one named again later
// is simply added again.
int32_t CountInWindow(PendingCounts& pending, const uint16_t* indices, int32_t* counters, int32_t pairedLength,
                      uint32_t counterCount, int64_t positions, int32_t begin, int32_t end, bool wide) {
    const int32_t group = GroupSize(counters);
    for (int32_t i = begin; i < end;) {
        const uint32_t base = static_cast<uint32_t>(pending.windowBase);
        // Counters from the base on that a 16-bit index can name: a room
        // past 65,535 would take small indices for vertices above it.
        const uint32_t indexed = static_cast<uint32_t>(pairedLength);
        const uint32_t above = base < indexed ? indexed - base : 0;
        const uint32_t room = above < WINDOW_VERTICES ? above : WINDOW_VERTICES;
        for (;;) {
            const int32_t count = end - i < WINDOW_CHUNK ? end - i : WINDOW_CHUNK;
            if (count == 0) break;
            const OffsetSpan span = ChunkOffsets(indices, i, count, base, wide);
            if (span.highest >= room) break;
            const int32_t behind = (static_cast<int32_t>(span.lowest) - WINDOW_LEAD) & ~3;
            CountChunk(pending, indices, i, count, behind, counters, pairedLength, group);
            i += count;
        }
        for (; i < end; ++i) {
            const uint32_t k = indices[i] - base;
            if (k >= room) [[unlikely]]
                break;
            ++pending.window[0][k];
        }
        if (i == end) break;
        const uint32_t vertex = indices[i];
        if (vertex >= counterCount) return i;
        if (positions + (i - begin) - pending.windowPlacedAt < WINDOW_MIN_STAY) {
            FlushWindow(pending, counters, pairedLength);
            UseBytes(pending, pairedLength);
            return i;
        }
        MoveWindow(pending, counters, pairedLength, WindowBase(vertex));
        pending.windowPlacedAt = positions + (i - begin);
    }
    return end;
}

// Straight to the counters, for calls too short to pay for the table.
int32_t CountDirectly(const uint16_t* indices, int32_t* counters, uint32_t counterCount, int32_t begin,
                      int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        const uint32_t vertex = indices[i];
        if (vertex >= counterCount) [[unlikely]]
            return i;
        AddAtomically(&counters[vertex], 1);
    }
    return end;
}

}  // namespace

void CountVertexReferences(void* recordPointer, void* patchContext, void* rangeSource, int32_t workerIndex) {
    auto& record = *static_cast<CountVertexReferencesRecord*>(recordPointer);
    // Fields other than the range fields never change during a call.
    const uint16_t* indices = record.indices.data;
    int32_t* counters = record.referenceCounts.data;
    const int32_t counterLength = record.referenceCounts.length;
    const uint32_t counterCount = counterLength > 0 ? static_cast<uint32_t>(counterLength) : 0u;
    const int32_t pairedLength = counterLength < PENDING_VERTICES ? counterLength : PENDING_VERTICES;

    PendingCounts pending;
    pending.shape = TableShape::None;
    pending.active = false;
    // Workers that flush at once start far apart, rather than fight over
    // the same counters all the way.
    pending.firstDirtyWord = static_cast<int32_t>(static_cast<uint32_t>(workerIndex) * 10 % (BLOCK_COUNT / 64));
    // Clearing and flushing the byte table costs about as much as one atomic
    // per 32 counters, the window half that; below that many positions,
    // direct atomics are cheaper.
    const int64_t bytesThreshold = pairedLength / 32 > TABLE_MIN_RANGE ? pairedLength / 32 : TABLE_MIN_RANGE;
    const int64_t windowThreshold = pairedLength / 64 > TABLE_MIN_RANGE ? pairedLength / 64 : TABLE_MIN_RANGE;
    int64_t positions = 0;
    const bool wide = ChooseKernelSet() != KernelSet::Portable;
    RunParallelRanges(recordPointer, patchContext, rangeSource, workerIndex, [&](int32_t begin, int32_t end) {
        if (RangePassesTests(record, begin, end)) {
            const int64_t reached = positions + (end - begin);
            if (!pending.active && reached >= windowThreshold) {
                // The first range that gets this far decides the table's
                // shape; a flushed table keeps its shape.
                if (pending.shape == TableShape::None)
                    pending.shape = Clustered(indices, begin, end, wide) ? TableShape::Window : TableShape::Bytes;
                if (pending.shape == TableShape::Window) {
                    UseWindow(pending, indices[begin], positions);
                } else if (reached >= bytesThreshold) {
                    UseBytes(pending, pairedLength);
                }
            }
            int32_t stop = begin;
            if (!pending.active) {
                stop = CountDirectly(indices, counters, counterCount, begin, end);
            } else {
                // A window that gives way leaves the rest of the range to the bytes.
                if (pending.shape == TableShape::Window)
                    stop = CountInWindow(pending, indices, counters, pairedLength, counterCount, positions, begin, end,
                                         wide);
                if (pending.shape == TableShape::Bytes) {
                    if (counterCount >= PENDING_VERTICES)
                        stop = CountPending<true>(pending.counts, indices, counters, counterCount, stop, end);
                    else
                        stop = CountPending<false>(pending.counts, indices, counters, counterCount, stop, end);
                }
            }
            positions += end - begin;
            if (stop == end) return true;
            begin = stop;
        }
        Flush(pending, counters, pairedLength);
        return CountExactly(record, begin, end);
    });
    Flush(pending, counters, pairedLength);
}

}  // namespace meshjobs
