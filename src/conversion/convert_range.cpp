// The range-at-once conversion. Everything that decides aborts, byte counts
// and fallbacks depends on the record alone, and the record's range fields
// only change at a patch call, so a range is planned once and then converted
// by the loop its stores allow.
#include "conversion/convert_range.h"

#include "conversion/range_loops.h"
#include "runtime/checks.h"

namespace meshjobs {

namespace {

constexpr ConversionKernels PORTABLE_KERNELS = {ConvertBlocksPortable, RunSlotsApartPortable, false};
#if MESHJOBS_AVX2_KERNELS_BUILT
constexpr ConversionKernels AVX2_KERNELS = {ConvertBlocksAvx2, RunSlotsApartAvx2, false};
#endif
#if MESHJOBS_AVX512_KERNELS_BUILT
constexpr ConversionKernels AVX512_KERNELS = {ConvertBlocksAvx2, RunSlotsApartAvx512, true};
#endif

// Each slot runs over the range on its own, so a long range is worked through
// in pieces that stay in cache between one slot's pass and the next: the
// time per vertex is then the same whatever ranges the host hands out.
void RunSlotsApartInPieces(const ConversionKernels& kernels, const ConvertVertexLayoutRecord& record,
                           const RangePlan& plan, const SlotWalk* walks, int32_t count, int32_t whole) {
    SlotWalk piece[ATTRIBUTE_SLOT_COUNT];
    for (int32_t done = 0; done < count; done += APART_PIECE_VERTICES) {
        const int32_t n = count - done < APART_PIECE_VERTICES ? count - done : APART_PIECE_VERTICES;
        const int32_t pieceWhole = whole - done < 0 ? 0 : whole - done < n ? whole - done : n;
        AdvanceWalks(plan, walks, done, piece);
        kernels.runSlotsApart(record, plan, piece, n, pieceWhole);
    }
}

}  // namespace

const ConversionKernels& KernelsFor(KernelSet set) {
#if MESHJOBS_AVX512_KERNELS_BUILT
    if (set == KernelSet::Avx512) return AVX512_KERNELS;
#endif
#if MESHJOBS_AVX2_KERNELS_BUILT
    if (set != KernelSet::Portable) return AVX2_KERNELS;
#endif
    (void)set;
    return PORTABLE_KERNELS;
}

bool TryConvertRange(const ConvertVertexLayoutRecord& record, int32_t begin, int32_t end, PlanCache& cache) {
    if (end - begin < FAST_RANGE_MIN_VERTICES) return false;
    const ArrayView<uint32_t>& sources = record.sourceAttributes;
    const ArrayView<uint32_t>& destinations = record.destinationAttributes;
    // Slots 0 to 11 pass both index tests...
    const ArrayView<uint32_t>* const views[2] = {&sources, &destinations};
    for (const ArrayView<uint32_t>* view : views)
        if (view->rangeMin > 0 || view->rangeMax < ATTRIBUTE_SLOT_COUNT - 1 || view->length < ATTRIBUTE_SLOT_COUNT)
            return false;
    // ...and both read fast tests, with the cells as they stand now.
    if (!ReadPermitted(sources.safety) || !ReadPermitted(destinations.safety))
        return false;

    RangePlan& plan = cache.plan;
    if (!cache.planned || !PlanStillHolds(record, sources.data, destinations.data, plan)) {
        cache.planned = PlanSlots(record, sources.data, destinations.data, plan);
        if (!cache.planned) return false;
    }
    bool verticesApart = false;
    if (!StoresAreSafe(record, plan, begin, end, verticesApart)) return false;
    SlotWalk walks[ATTRIBUTE_SLOT_COUNT];
    int32_t whole = 0;
    if (end - begin >= SLOTS_APART_MIN_VERTICES && verticesApart &&
        SlotsCanRunApart(record, plan, begin, end, walks, whole)) {
        if (cache.kernels->takesWholeRanges)
            cache.kernels->runSlotsApart(record, plan, walks, end - begin, whole);
        else
            RunSlotsApartInPieces(*cache.kernels, record, plan, walks, end - begin, whole);
        return true;
    }
    cache.kernels->convertBlocks(record, plan, begin, end, verticesApart);
    return true;
}

}  // namespace meshjobs
