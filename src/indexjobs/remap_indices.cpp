// Rewrites each index through the old-to-new vertex map, in parallel.
#include "indexjobs/index_scan.h"
#include "jobs.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"
#include "runtime/range_loop.h"

namespace meshjobs {
namespace {

// Positions [begin, answer) of this range can run without per-index tests:
// they pass their index test, the three permission tests hold now, and no
// index store can land on the map's passing part, the record or a version
// cell the exact path reloads.
int32_t FastEnd(const RemapIndicesRecord& record, int32_t begin, int32_t end, const IndexBound& bound) {
    if (bound.empty || record.indices.data == nullptr || record.remap.data == nullptr) return begin;
    const int32_t passing = PassingEnd(record.indices, begin, end);
    if (passing - begin < INDEX_BLOCK) return begin;
    const uint16_t* written = record.indices.data + begin;
    const uint64_t writtenBytes = static_cast<uint64_t>(passing - begin) * 2u;
    if (!Disjoint(written, writtenBytes, record.remap.data + bound.low,
                  (static_cast<uint64_t>(bound.high) - bound.low + 1) * 4u) ||
        !Disjoint(written, writtenBytes, &record, sizeof record) ||
        !Disjoint(written, writtenBytes, record.indices.safety.versionCell, 4) ||
        !Disjoint(written, writtenBytes, record.remap.safety.versionCell, 4))
        return begin;
    if (!ReadWritePermitted(record.indices.safety) || !ReadPermitted(record.remap.safety)) return begin;
    return passing;
}

}  // namespace

void RemapIndices(void* recordPointer, void* patchContext, void* rangeSource, int32_t workerIndex) {
    auto& record = *static_cast<RemapIndicesRecord*>(recordPointer);
    RunParallelRanges(recordPointer, patchContext, rangeSource, workerIndex, [&](int32_t begin, int32_t end) {
        int32_t i = begin;

        // Whole blocks whose values all pass the map's index test; a block with
        // a failing value goes to the exact loop from its start.
        const IndexBound bound = IndexBoundOf(record.remap);
        const int32_t fastEnd = FastEnd(record, begin, end, bound);
        if (fastEnd > begin) {
            uint16_t* indices = record.indices.data;
            const int32_t* map = record.remap.data;
            const I16x8 low = SplatBiased(bound.low), high = SplatBiased(bound.high);
            for (; i + INDEX_BLOCK <= fastEnd; i += INDEX_BLOCK) {
                if (!BlockInBound(indices + i, low, high)) break;
#pragma GCC unroll 8
                for (int32_t k = 0; k < INDEX_BLOCK; ++k)
                    indices[i + k] = static_cast<uint16_t>(map[indices[i + k]]);
            }
        }

        for (; i < end; ++i) {
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
