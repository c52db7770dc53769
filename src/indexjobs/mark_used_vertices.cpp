// Flags every vertex the index buffer names and reports the highest index.
#include "jobs.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"

namespace meshjobs {

void MarkUsedVertices(void* recordPointer) {
    auto& record = *static_cast<MarkUsedVerticesRecord*>(recordPointer);
    const int32_t indexCount = record.indices.length;
    uint32_t highest = 0;
    // The loop walks the whole length; the range fields only decide whether
    // a position passes, so a range that starts above 0 fails at position 0.
    for (int32_t i = 0; i < indexCount; ++i) {
        if (!CheckIndex(record.indices, i)) return;
        CheckReadAccess(record.indices.safety);
        const uint32_t vertex = record.indices.data[i];
        if (!CheckIndex(record.used, static_cast<int32_t>(vertex))) return;
        CheckWriteAccess(record.used.safety);
        record.used.data[vertex] = 1;
        if (vertex > highest) highest = vertex;
    }
    CheckWriteAccess(record.highestIndex.safety);
    *record.highestIndex.data = static_cast<int32_t>(highest);
}

}  // namespace meshjobs
