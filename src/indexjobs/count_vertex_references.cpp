// Counts, per vertex, the index positions that name it. Any worker may meet
// any vertex, so the counters are raised atomically.
//
// One atomic per index costs an order of magnitude more than the count
// itself, so a worker gathers its increments in a byte per vertex on its own
// stack and adds them to the shared counters in as few atomic operations as it
// can. Only the final counts are observable, and they are the same; pending
// increments are added before every host call that may not come back (a
// permission slow path, an abort) and before the entry call returns.
#include "jobs.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"
#include "runtime/cpu_features.h"
#include "runtime/range_loop.h"

namespace meshjobs {
namespace {

// Index values are 16-bit, so every vertex an index can name has a byte.
constexpr int32_t PENDING_VERTICES = 65536;
constexpr int32_t BLOCK_BYTES = 64;
constexpr int32_t BLOCK_COUNT = PENDING_VERTICES / BLOCK_BYTES;
constexpr int64_t TABLE_MIN_RANGE = 32;

using AliasedWord = uint64_t __attribute__((may_alias, aligned(8)));

// Pending increments of one entry call: a byte per counter, and which 64-byte
// blocks of them the flush must visit.
struct PendingCounts {
    uint8_t counts[PENDING_VERTICES];
    uint64_t dirty[BLOCK_COUNT / 64];
    bool active;
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

// Adds and clears every pending increment, in groups of as many neighbouring
// counters as one atomic operation covers at the array's alignment; counters
// of a group outside the array are never touched.
void Flush(PendingCounts& pending, int32_t* counters, int32_t counterCount) {
    if (!pending.active) return;
    const uintptr_t address = reinterpret_cast<uintptr_t>(counters);
    int32_t group = address % 8 == 0 ? 2 : 1;
#if defined(__x86_64__)
    if (address % 16 == 0 && (CpuFeatures() & CPU_FEATURE_CMPXCHG16B) != 0) group = 4;
#endif
    for (int32_t word = 0; word < BLOCK_COUNT / 64; ++word) {
        uint64_t bits = pending.dirty[word];
        pending.dirty[word] = 0;
        while (bits != 0) {
            const int32_t first = (word * 64 + __builtin_ctzll(bits)) * BLOCK_BYTES;
            bits &= bits - 1;
            uint8_t* counts = pending.counts + first;
            for (int32_t k = 0; k < BLOCK_BYTES; k += 4) {
                uint32_t four;
                __builtin_memcpy(&four, counts + k, 4);
                if (four == 0) continue;
                __builtin_memset(counts + k, 0, 4);
                const int32_t vertex = first + k;
                const uint64_t low = (four & 0xFFu) | static_cast<uint64_t>(four >> 8 & 0xFFu) << 32;
                const uint64_t high = (four >> 16 & 0xFFu) | static_cast<uint64_t>(four >> 24) << 32;
                if (vertex + 4 > counterCount) group = 1;  // the array's last, partial group
#if defined(__x86_64__)
                if (group == 4) {
                    AddQuadAtomically(&counters[vertex], low, high);
                    continue;
                }
#endif
                if (group >= 2) {
                    if (low != 0) AddPairAtomically(&counters[vertex], low);
                    if (high != 0) AddPairAtomically(&counters[vertex + 2], high);
                    continue;
                }
                for (int32_t j = 0; j < 4; ++j)
                    if (const uint32_t amount = four >> (8 * j) & 0xFFu; amount != 0)
                        AddAtomically(&counters[vertex + j], static_cast<int32_t>(amount));
            }
        }
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
    return counters.version == static_cast<int32_t>(static_cast<uint32_t>(LoadVersionCell(counters)) & WRITE_MASK) &&
           reads.version == static_cast<int32_t>(static_cast<uint32_t>(LoadVersionCell(reads)) & READ_MASK);
}

// Clears the bytes of the first `vertices` counters, in whole blocks, and
// marks those blocks for the flush.
void Activate(PendingCounts& pending, int32_t vertices) {
    const int32_t blocks = (vertices + BLOCK_BYTES - 1) / BLOCK_BYTES;
    __builtin_memset(pending.counts, 0, static_cast<uint32_t>(blocks) * BLOCK_BYTES);
    for (int32_t word = 0; word < BLOCK_COUNT / 64; ++word) {
        const int32_t inWord = blocks - word * 64;
        pending.dirty[word] = inWord >= 64 ? ~uint64_t{0} : inWord <= 0 ? 0 : (uint64_t{1} << inWord) - 1;
    }
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
    pending.active = false;
    // Clearing and flushing the table costs about as much as one atomic per
    // 32 counters; below that many positions, direct atomics are cheaper.
    const int64_t tableThreshold = pairedLength / 32 > TABLE_MIN_RANGE ? pairedLength / 32 : TABLE_MIN_RANGE;
    int64_t positions = 0;
    RunParallelRanges(recordPointer, patchContext, rangeSource, workerIndex, [&](int32_t begin, int32_t end) {
        if (RangePassesTests(record, begin, end)) {
            positions += end - begin;
            if (!pending.active && positions >= tableThreshold) Activate(pending, pairedLength);
            int32_t stop;
            if (!pending.active)
                stop = CountDirectly(indices, counters, counterCount, begin, end);
            else if (counterCount >= PENDING_VERTICES)
                stop = CountPending<true>(pending.counts, indices, counters, counterCount, begin, end);
            else
                stop = CountPending<false>(pending.counts, indices, counters, counterCount, begin, end);
            if (stop == end) return true;
            begin = stop;
        }
        Flush(pending, counters, pairedLength);
        return CountExactly(record, begin, end);
    });
    Flush(pending, counters, pairedLength);
}

}  // namespace meshjobs
