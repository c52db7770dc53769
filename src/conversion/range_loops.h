// The range loops of the conversion's fast path, one entry per
// instruction-set variant; the caller picks by the processor's features.
#pragma once

#include <stdint.h>

#include "conversion/range_plan.h"
#include "meshjobs/records.h"

namespace meshjobs {

// Blocks of four vertices, every slot of a vertex stored in slot order: for
// ranges whose stores may overlap one another.
void ConvertBlocksPortable(const ConvertVertexLayoutRecord& record, const RangePlan& plan, int32_t begin, int32_t end);
// Each slot over the whole range on its own: for ranges whose stores are
// apart (SlotsCanRunApart).
void RunSlotsApartPortable(const ConvertVertexLayoutRecord& record, const RangePlan& plan, const SlotWalk* walks,
                           int32_t count, int32_t whole);
#if defined(__x86_64__)
__attribute__((target("avx2,f16c"))) void ConvertBlocksAvx2(const ConvertVertexLayoutRecord& record,
                                                            const RangePlan& plan, int32_t begin, int32_t end);
__attribute__((target("avx2,f16c"))) void RunSlotsApartAvx2(const ConvertVertexLayoutRecord& record,
                                                            const RangePlan& plan, const SlotWalk* walks,
                                                            int32_t count, int32_t whole);
#endif

}  // namespace meshjobs
