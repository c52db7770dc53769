// Flags every vertex the index buffer names and reports the highest index.
#include "indexjobs/index_scan.h"
#include "jobs.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"

namespace meshjobs {
namespace {

// Positions [0, answer) can run without per-index tests: every position passes
// its index test, both permissions hold now, and no flag store can land on
// the index buffer, the record or a version cell the exact path reloads.
int32_t FastEnd(const MarkUsedVerticesRecord& record, int32_t indexCount, const IndexBound& bound) {
    if (bound.empty || record.used.data == nullptr || record.indices.data == nullptr) return 0;
    const int32_t end = PassingEnd(record.indices, 0, indexCount);
    if (end < INDEX_BLOCK) return 0;
    const int32_t* flags = record.used.data + bound.low;
    const uint64_t flagBytes = (static_cast<uint64_t>(bound.high) - bound.low + 1) * 4u;
    if (!Disjoint(flags, flagBytes, record.indices.data, static_cast<uint64_t>(end) * 2u) ||
        !Disjoint(flags, flagBytes, &record, sizeof record) ||
        !Disjoint(flags, flagBytes, record.indices.safety.versionCell, 4) ||
        !Disjoint(flags, flagBytes, record.used.safety.versionCell, 4))
        return 0;
    if (!ReadPermitted(record.indices.safety) || !WritePermitted(record.used.safety)) return 0;
    return end;
}

}  // namespace

void MarkUsedVertices(void* recordPointer) {
    auto& record = *static_cast<MarkUsedVerticesRecord*>(recordPointer);
    const int32_t indexCount = record.indices.length;
    uint32_t highest = 0;
    int32_t i = 0;

    // Whole blocks whose values all pass; the first block that holds a failing
    // value goes to the exact loop from its start, so the same flags are set
    // before the same abort.
    const IndexBound bound = IndexBoundOf(record.used);
    const int32_t fastEnd = FastEnd(record, indexCount, bound);
    if (fastEnd > 0) {
        const uint16_t* indices = record.indices.data;
        int32_t* flags = record.used.data;
        const I16x8 low = SplatBiased(bound.low), high = SplatBiased(bound.high);
        I16x8 maximum = SplatBiased(0);
        for (; i + INDEX_BLOCK <= fastEnd; i += INDEX_BLOCK) {
            if (!BlockInBound(indices + i, low, high, maximum)) break;
#pragma GCC unroll 8
            for (int32_t k = 0; k < INDEX_BLOCK; ++k) flags[indices[i + k]] = 1;
        }
        highest = HorizontalMax(maximum);
    }

    // The loop walks the whole length; the range fields only decide whether
    // a position passes, so a range that starts above 0 fails at position 0.
    for (; i < indexCount; ++i) {
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
