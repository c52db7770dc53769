// The conversion's range loop for short ranges and for stores that may
// overlap: blocks of four vertices, each slot decoded, transformed and
// encoded across the four in vector lanes. What a block reorders is loads
// before stores, which is why the plan makes sure no store reaches anything
// read later. Where the stores of different vertices share no byte, each
// slot stores its four vertices at once; otherwise every vertex is stored
// slot by slot in the per-vertex order, so overlapping stores leave the
// same bytes.
#include "conversion/lane_math.h"
#include "conversion/range_loops.h"

namespace meshjobs {
namespace {

using namespace lanes;

template <KernelSet SET>
MESHJOBS_INLINE WordLanes<4> ConvertLanes(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                          const BlockLoads& loads) {
    // Only slots that store come here, so none is skipped.
    if (slot.copiesWords) return LoadLanes<SET>(record, slot, loads);
    const bool loaded = slot.load && !slot.marker;
    return ConvertWords<4, SET>(record, slot, loaded ? LoadLanes<SET>(record, slot, loads) : WordLanes<4>{});
}

// The first byteCount bytes of a vertex's words, byte-exact.
MESHJOBS_INLINE void StoreVector(uint8_t* to, const U4& words, int32_t byteCount) {
    switch (byteCount) {
        case 4: StoreWords<4>(to, words); break;
        case 8: StoreWords<8>(to, words); break;
        case 12: StoreWords<12>(to, words); break;
        default: StoreWords<16>(to, words); break;
    }
}

// The live vertices' stores of BYTES bytes, row `lane` for vertex `lane`:
// the lanes constants, so that each row comes straight from its register.
template <int BYTES>
MESHJOBS_INLINE void StoreLanes(uint8_t* to, int64_t step, int live, const WordLanes<4>& rows) {
    MESHJOBS_UNROLL
    for (int lane = 0; lane < LANES; ++lane)
        if (lane < live) StoreWords<BYTES>(to + lane * step, rows.w[lane]);
}

// One slot's stores for the live vertices of a block, words still one
// component per vector.
MESHJOBS_INLINE void StoreSlotLanes(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                    const VertexBases& firstBases, int live, WordLanes<4> words) {
    uint8_t* const to = (slot.stream1Target ? record.destinationStream1.data + firstBases.destination1
                                            : record.destinationStream0.data + firstBases.destination0) +
                        slot.targetOffset;
    const int64_t step = slot.stream1Target ? record.destinationStride1 : record.destinationStride0;
    if (slot.byteCount == 4) {
        // Lane k of the first word is vertex k's whole store: no transpose.
        MESHJOBS_UNROLL
        for (int lane = 0; lane < LANES; ++lane)
            if (lane < live) {
                const uint32_t word = words.w[0][lane];
                __builtin_memcpy(to + lane * step, &word, 4);
            }
        return;
    }
    Transpose(words.w[0], words.w[1], words.w[2], words.w[3]);
    switch (slot.byteCount) {
        case 8: StoreLanes<8>(to, step, live, words); break;
        case 12: StoreLanes<12>(to, step, live, words); break;
        default: StoreLanes<16>(to, step, live, words); break;
    }
}

template <KernelSet SET>
MESHJOBS_INLINE void ConvertBlocks(const ConvertVertexLayoutRecord& record, const RangePlan& plan, int32_t begin,
                                   int32_t end, bool verticesApart) {
    const int* const active = plan.active;
    const int activeCount = plan.activeCount;
    const unsigned read = (plan.readStarts[0].Empty() ? 0u : 1u) | (plan.readStarts[1].Empty() ? 0u : 2u);

    for (int32_t first = begin; first < end; first += LANES) {
        // A short last block repeats its last vertex in the spare lanes; they
        // load like it and store nothing.
        const int live = end - first < LANES ? end - first : LANES;
        const BlockLoads loads = BlockLoadsOf(record, first, live, read);
        const VertexBases firstBases = BasesOf(record, first);

        if (verticesApart) {
            for (int a = 0; a < activeCount; ++a) {
                const SlotPlan& slot = plan.slots[active[a]];
                StoreSlotLanes(record, slot, firstBases, live, ConvertLanes<SET>(record, slot, loads));
            }
            continue;
        }
        WordLanes<4> words[ATTRIBUTE_SLOT_COUNT];
        for (int a = 0; a < activeCount; ++a) {
            WordLanes<4> converted = ConvertLanes<SET>(record, plan.slots[active[a]], loads);
            // Back to one vector of words per vertex.
            Transpose(converted.w[0], converted.w[1], converted.w[2], converted.w[3]);
            words[a] = converted;
        }
        for (int lane = 0; lane < live; ++lane) {
            const VertexBases bases = BasesOf(record, first + lane);
            for (int a = 0; a < activeCount; ++a) {
                const SlotPlan& slot = plan.slots[active[a]];
                const ArrayView<uint8_t>& stream = slot.stream1Target ? record.destinationStream1 : record.destinationStream0;
                const int64_t base = slot.stream1Target ? bases.destination1 : bases.destination0;
                StoreVector(stream.data + base + slot.targetOffset, words[a].w[lane], slot.byteCount);
            }
        }
    }
}

}  // namespace

void ConvertBlocksPortable(const ConvertVertexLayoutRecord& record, const RangePlan& plan, int32_t begin, int32_t end,
                           bool verticesApart) {
    ConvertBlocks<KernelSet::Portable>(record, plan, begin, end, verticesApart);
}

#if MESHJOBS_AVX2_KERNELS_BUILT
__attribute__((target("avx2,f16c"))) void ConvertBlocksAvx2(const ConvertVertexLayoutRecord& record,
                                                            const RangePlan& plan, int32_t begin, int32_t end,
                                                            bool verticesApart) {
    ConvertBlocks<KernelSet::Avx2F16c>(record, plan, begin, end, verticesApart);
}
#endif

}  // namespace meshjobs
