#include "jobs.h"
#include "runtime/range_loop.h"

namespace meshjobs {

void ConvertVertexLayout(void* record, void* patchContext, void* rangeSource, int32_t workerIndex) {
    RunParallelRanges(record, patchContext, rangeSource, workerIndex, [](int32_t, int32_t) { return true; });
}

}  // namespace meshjobs
