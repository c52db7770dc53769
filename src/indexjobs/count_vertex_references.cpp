// Counts, per vertex, the index positions that name it. Any worker may meet
// any vertex, so the counters are raised atomically.
#include "jobs.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"
#include "runtime/range_loop.h"

namespace meshjobs {

void CountVertexReferences(void* recordPointer, void* patchContext, void* rangeSource, int32_t workerIndex) {
    auto& record = *static_cast<CountVertexReferencesRecord*>(recordPointer);
    RunParallelRanges(recordPointer, patchContext, rangeSource, workerIndex, [&](int32_t begin, int32_t end) {
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
    });
}

}  // namespace meshjobs
