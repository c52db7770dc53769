// The conversion job's fast path: a whole range of vertices at once, taken
// only when its bytes are provably those of the per-vertex path.
#pragma once

#include <stdint.h>

#include "conversion/range_loops.h"
#include "conversion/range_plan.h"
#include "meshjobs/records.h"

namespace meshjobs {

// Ranges shorter than this always take the per-vertex path, which keeps that
// path reachable from the outside: the differential tests compare the two.
inline constexpr int32_t FAST_RANGE_MIN_VERTICES = 2;

// Shorter ranges convert all slots four vertices at a time: cheaper to set up
// than a pass per slot.
inline constexpr int32_t SLOTS_APART_MIN_VERTICES = 8;

// Long ranges run slot by slot over pieces of this many vertices, whose
// source and destination bytes stay in the core's cache between slots.
inline constexpr int32_t APART_PIECE_VERTICES = 256;

// The slot plan of the job's last range, kept by the caller across the
// ranges of one job call: a plan is worth reusing while the descriptors and
// size list it was made from stay the same.
struct PlanCache {
    const ConversionKernels* kernels;  // chosen once per job call
    bool planned = false;
    RangePlan plan;
};

// Converts vertices [begin, end) and answers true, or answers false without
// any effect when the per-vertex path must run the range: a descriptor or
// size-list test would fail, a permission fast test fails, a store would
// leave its stream, or a store could reach bytes that the range later reads
// (source attributes, descriptors, the record, the version cells).
bool TryConvertRange(const ConvertVertexLayoutRecord& record, int32_t begin, int32_t end, PlanCache& cache);

}  // namespace meshjobs
