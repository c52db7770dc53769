// The range-at-once conversion. Everything that decides aborts, byte counts
// and fallbacks depends on the record alone, and the record's range fields
// only change at a patch call, so a range is planned once and then converted
// by the loop its stores allow.
#include "conversion/convert_range.h"

#include "conversion/range_loops.h"
#include "runtime/checks.h"
#include "runtime/cpu_features.h"

namespace meshjobs {

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
    if (sources.safety.version != static_cast<int32_t>(static_cast<uint32_t>(LoadVersionCell(sources.safety)) & READ_MASK) ||
        destinations.safety.version !=
            static_cast<int32_t>(static_cast<uint32_t>(LoadVersionCell(destinations.safety)) & READ_MASK))
        return false;

    RangePlan& plan = cache.plan;
    if (!cache.planned || !PlanStillHolds(record, sources.data, destinations.data, plan)) {
        cache.planned = PlanSlots(record, sources.data, destinations.data, plan);
        if (!cache.planned) return false;
    }
    if (!StoresAreSafe(record, plan, begin, end)) return false;
    SlotWalk walks[ATTRIBUTE_SLOT_COUNT];
    int32_t whole = 0;
    if (end - begin >= SLOTS_APART_MIN_VERTICES && SlotsCanRunApart(record, plan, begin, end, walks, whole)) {
#if defined(__x86_64__)
        if (CpuFeatures() & CPU_FEATURE_AVX2_F16C) {
            RunSlotsApartAvx2(record, plan, walks, end - begin, whole);
            return true;
        }
#endif
        RunSlotsApartPortable(record, plan, walks, end - begin, whole);
        return true;
    }
#if defined(__x86_64__)
    if (CpuFeatures() & CPU_FEATURE_AVX2_F16C) {
        ConvertBlocksAvx2(record, plan, begin, end);
        return true;
    }
#endif
    ConvertBlocksPortable(record, plan, begin, end);
    return true;
}

}  // namespace meshjobs
