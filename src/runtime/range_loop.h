// The loop of every parallel-for entry point: ask the host for a range, let it
// patch the record's views for that range, run the range, repeat.
#pragma once

#include <stdint.h>

#include "binding/external_table.h"

namespace meshjobs {

// rangeBody(begin, end) runs indices begin..end-1 in increasing order and
// answers false when the job must stop. The range fields of the record's views
// may change at every patch call, so the body reads them afresh per range.
template <typename RangeBody>
inline void RunParallelRanges(void* record, void* patchContext, void* rangeSource, int32_t workerIndex,
                              RangeBody&& rangeBody) {
    int32_t begin = 0;
    int32_t end = 0;
    while (g_externals.getWorkStealingRange(rangeSource, workerIndex, &begin, &end)) {
        const int32_t count = static_cast<int32_t>(static_cast<uint32_t>(end) - static_cast<uint32_t>(begin));
        g_externals.patchBufferMinMaxRanges(patchContext, record, begin, count);
        if (begin < end && !rangeBody(begin, end)) return;
    }
}

}  // namespace meshjobs
