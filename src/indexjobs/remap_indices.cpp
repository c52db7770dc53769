// Rewrites each index through the old-to-new vertex map, in parallel.
#include "jobs.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"
#include "runtime/range_loop.h"

namespace meshjobs {

void RemapIndices(void* recordPointer, void* patchContext, void* rangeSource, int32_t workerIndex) {
    auto& record = *static_cast<RemapIndicesRecord*>(recordPointer);
    RunParallelRanges(recordPointer, patchContext, rangeSource, workerIndex, [&](int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            if (!CheckIndex(record.indices, i)) return false;
            // One load of the cell serves the read test now and the write test below.
            const int32_t cell = LoadVersionCell(record.indices.safety);
            CheckReadAccessWith(record.indices.safety, cell);
            const int32_t vertex = record.indices.data[i];
            if (!CheckIndex(record.remap, vertex)) return false;
            CheckReadAccess(record.remap.safety);
            const int32_t mapped = record.remap.data[vertex];
            CheckWriteAccessWith(record.indices.safety, cell);
            record.indices.data[i] = static_cast<uint16_t>(mapped);
        }
        return true;
    });
}

}  // namespace meshjobs
