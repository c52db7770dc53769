// The range loops of the conversion's fast path, one entry per kernel set,
// and the table that picks them.
#pragma once

#include <stdint.h>

#include "conversion/range_plan.h"
#include "meshjobs/records.h"
#include "runtime/kernel_set.h"

namespace meshjobs {

// Blocks of four vertices: for short ranges, and for ranges whose stores may
// overlap one another. Unless `verticesApart` (no store of one vertex shares
// a byte with another vertex's), every slot of a vertex is stored in slot
// order.
void ConvertBlocksPortable(const ConvertVertexLayoutRecord& record, const RangePlan& plan, int32_t begin, int32_t end,
                           bool verticesApart);
// Each slot over the whole range on its own: for ranges whose stores are
// apart (SlotsCanRunApart).
void RunSlotsApartPortable(const ConvertVertexLayoutRecord& record, const RangePlan& plan, const SlotWalk* walks,
                           int32_t count, int32_t whole);
#if MESHJOBS_AVX2_KERNELS_BUILT
__attribute__((target("avx2,f16c"))) void ConvertBlocksAvx2(const ConvertVertexLayoutRecord& record,
                                                            const RangePlan& plan, int32_t begin, int32_t end,
                                                            bool verticesApart);
__attribute__((target("avx2,f16c"))) void RunSlotsApartAvx2(const ConvertVertexLayoutRecord& record,
                                                            const RangePlan& plan, const SlotWalk* walks,
                                                            int32_t count, int32_t whole);
// The same, with the slots in `lateSlots` (bit k for slot k) starting at
// vertex `lateStart`.
__attribute__((target("avx2,f16c"))) void RunSlotsApartAvx2From(const ConvertVertexLayoutRecord& record,
                                                                const RangePlan& plan, const SlotWalk* walks,
                                                                int32_t count, int32_t whole, uint32_t lateSlots,
                                                                int32_t lateStart);
#endif
#if MESHJOBS_AVX512_KERNELS_BUILT
// Sixteen vertices at a time in stream order: each vertex loaded once, every
// slot that fits converted in registers, each vertex stored once; the other
// slots as RunSlotsApartAvx2 runs them. Takes whole ranges.
__attribute__((target(MESHJOBS_AVX512_TARGET))) void RunSlotsApartAvx512(const ConvertVertexLayoutRecord& record,
                                                                         const RangePlan& plan, const SlotWalk* walks,
                                                                         int32_t count, int32_t whole);
#endif

struct ConversionKernels {
    void (*convertBlocks)(const ConvertVertexLayoutRecord& record, const RangePlan& plan, int32_t begin, int32_t end,
                          bool verticesApart);
    void (*runSlotsApart)(const ConvertVertexLayoutRecord& record, const RangePlan& plan, const SlotWalk* walks,
                          int32_t count, int32_t whole);
    // Whether runSlotsApart works through a long range in cache-sized pieces
    // itself; if not, it is handed one piece at a time.
    bool takesWholeRanges;
};

const ConversionKernels& KernelsFor(KernelSet set);

}  // namespace meshjobs
