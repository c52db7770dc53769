#include "conversion/range_plan.h"

#include "runtime/byte_ranges.h"

namespace meshjobs {
namespace {

// What the plan gathers over its slots, kept in locals and written to the plan
// once at the end: updated through the plan, every slot would wait on the
// store of the one before.
struct PlanTally {
    int activeCount = 0, sizesRead = 0;
    Span readStarts[2], stores[2];
};

// The span of one stream or the other, chosen by a branch rather than an
// index: indexed, the spans would live in memory, and each slot's update
// would wait on the previous slot's store.
inline __attribute__((always_inline)) void IncludeIn(Span (&spans)[2], bool stream1, int64_t from, int64_t to) {
    if (stream1)
        spans[1].Include(from, to);
    else
        spans[0].Include(from, to);
}

// One slot of the plan; false when the per-vertex path would stop the job on
// its size-list test. Inlined with `k` a constant, so that the rule's choice
// by slot folds away.
inline __attribute__((always_inline)) bool PlanSlot(int k, const ConvertVertexLayoutRecord& record,
                                                    const AttributeDescriptor* sources,
                                                    const AttributeDescriptor* destinations, RangePlan& plan,
                                                    PlanTally& tally) {
    // Unused slots, the common case past the first texture coordinates:
    // with no dimension on either side, every slot but the position is
    // skipped by its rule.
    if (k != POSITION_SLOT && (sources[k] | destinations[k]) == 0) return true;
    const SlotRule rule = RuleFor(k, sources[k], destinations[k]);
    if (rule.kind == SlotKind::Skip) return true;
    // The size-list test the per-vertex path would stop the job on.
    if (rule.sizeIndex >= record.componentSizes.count) return false;
    const int32_t size = record.componentSizes.elements[rule.sizeIndex];
    if (rule.sizeIndex > FORMAT_FLOAT32) {
        plan.sizeIndices[tally.sizesRead] = static_cast<uint8_t>(rule.sizeIndex);
        plan.sizeValues[tally.sizesRead++] = size;
    }
    const StoredForm form = StoredFormFor(rule, size);
    if (rule.load) IncludeIn(tally.readStarts, rule.stream1Source, rule.sourceOffset, rule.sourceOffset);
    if (form.byteCount == 0) return true;
    // Field by field: a copy of the whole rule would go through memory, its
    // wide loads waiting on the narrow stores that built it.
    SlotPlan& slot = plan.slots[k];
    slot.kind = rule.kind;
    slot.load = rule.load;
    slot.renormalise = rule.renormalise;
    slot.scaleOffset = rule.scaleOffset;
    slot.stream1Source = rule.stream1Source;
    slot.stream1Target = rule.stream1Target;
    slot.sourceFormat = rule.sourceFormat;
    slot.encodeFormat = rule.encodeFormat;
    slot.sourceOffset = rule.sourceOffset;
    slot.targetOffset = rule.targetOffset;
    slot.marker = form.standIn;
    slot.byteCount = form.byteCount;
    slot.copiesWords = StoresLoadedWords(rule, form.byteCount, [] { return RoundsUpward(); });
    plan.active[tally.activeCount++] = k;
    IncludeIn(tally.stores, rule.stream1Target, rule.targetOffset, rule.targetOffset + form.byteCount);
    return true;
}

template <int... K>
struct SlotIndices {};

// Slot by slot in order, stopping at the first that fails, each with its
// index a constant.
template <int... K>
inline __attribute__((always_inline)) bool PlanEverySlot(const ConvertVertexLayoutRecord& record,
                                                         const AttributeDescriptor* sources,
                                                         const AttributeDescriptor* destinations, RangePlan& plan,
                                                         PlanTally& tally, SlotIndices<K...>) {
    return (PlanSlot(K, record, sources, destinations, plan, tally) && ...);
}

}  // namespace

bool PlanSlots(const ConvertVertexLayoutRecord& record, const AttributeDescriptor* sources,
               const AttributeDescriptor* destinations, RangePlan& plan) {
    plan.sizeCount = record.componentSizes.count;
    plan.sizesRead = 0;
    plan.kernelPlan.made = false;
    if (record.componentSizes.count <= FORMAT_FLOAT32) return false;
    __builtin_memcpy(plan.firstSizes, record.componentSizes.elements, sizeof plan.firstSizes);
    __builtin_memcpy(plan.descriptors[0], sources, sizeof plan.descriptors[0]);
    __builtin_memcpy(plan.descriptors[1], destinations, sizeof plan.descriptors[1]);
    plan.apartPlanned = false;
    static_assert(ATTRIBUTE_SLOT_COUNT == 12);
    PlanTally tally;
    const bool planned =
        PlanEverySlot(record, sources, destinations, plan, tally, SlotIndices<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11>{});
    plan.sizesRead = static_cast<uint8_t>(tally.sizesRead);
    if (!planned) return false;
    plan.activeCount = tally.activeCount;
    for (int s = 0; s < 2; ++s) {
        plan.readStarts[s] = tally.readStarts[s];
        plan.stores[s] = tally.stores[s];
    }
    return true;
}

namespace {

// Whether the stores of one vertex share no byte, and which 12-byte stores
// may go out as 16 (SlotPlan::wideByteCount).
void PlanStoresApart(RangePlan& plan) {
    bool storesApart = true;
    // Where the active slots store, for the overlap tests.
    int64_t storeFrom[ATTRIBUTE_SLOT_COUNT], storeTo[ATTRIBUTE_SLOT_COUNT];
    bool storeStream1[ATTRIBUTE_SLOT_COUNT];
    for (int i = 0; i < plan.activeCount; ++i) {
        SlotPlan& slot = plan.slots[plan.active[i]];
        slot.wideByteCount = slot.byteCount;
        const int64_t from = slot.targetOffset, to = slot.targetOffset + slot.byteCount;
        for (int a = 0; a < i; ++a)
            storesApart &= storeStream1[a] != slot.stream1Target || !(from < storeTo[a] && storeFrom[a] < to);
        // A 12-byte store that an earlier slot of the vertex leaves room
        // for may go out as 16 when a later one stores those four bytes:
        // found here, from the later slot's side.
        for (int a = 0; a < i; ++a)
            if (storeStream1[a] == slot.stream1Target && storeTo[a] - storeFrom[a] == 12 && from <= storeTo[a] &&
                to >= storeTo[a] + 4)
                plan.slots[plan.active[a]].wideByteCount = 16;
        storeFrom[i] = from;
        storeTo[i] = to;
        storeStream1[i] = slot.stream1Target;
    }
    plan.storesApart = storesApart;
    plan.apartPlanned = true;
}

}  // namespace

bool PlanStillHolds(const ConvertVertexLayoutRecord& record, const AttributeDescriptor* sources,
                    const AttributeDescriptor* destinations, const RangePlan& plan) {
    // A list of another length may be another list: its entries are not read.
    if (record.componentSizes.count != plan.sizeCount) return false;
    // Differences gathered by bits, which the compiler compares a vector at a time.
    uint32_t differ = 0;
    for (int k = 0; k < ATTRIBUTE_SLOT_COUNT; ++k)
        differ |= (sources[k] ^ plan.descriptors[0][k]) | (destinations[k] ^ plan.descriptors[1][k]);
    for (uint32_t i = 0; i <= FORMAT_FLOAT32; ++i)
        differ |= static_cast<uint32_t>(record.componentSizes.elements[i] ^ plan.firstSizes[i]);
    for (int i = 0; i < plan.sizesRead; ++i)
        differ |= static_cast<uint32_t>(record.componentSizes.elements[plan.sizeIndices[i]] ^ plan.sizeValues[i]);
    return differ == 0;
}

bool SlotsCanRunApart(const ConvertVertexLayoutRecord& record, RangePlan& plan, int32_t begin, int32_t end,
                      SlotWalk* walks, int32_t& wholeCount) {
    if (!plan.apartPlanned) PlanStoresApart(plan);
    if (!plan.storesApart) return false;
    int64_t whole = end - begin;
    const VertexBases first = BasesOf(record, begin), last = BasesOf(record, end - 1);
    const int64_t sourceSteps[2] = {record.sourceStride0,
                                    record.sourceStride1 < 0 ? -int64_t{record.sourceStride1} : record.sourceStride1};
    const int64_t destinationSteps[2] = {record.destinationStride0, record.destinationStride1};

    // Loads are whole from offset 0 up to a stream's last 16 bytes. The
    // lowest and highest starts of every vertex move by the step, so the
    // whole ones are the leading vertices. The starts are those of every
    // load the per-vertex path makes, a few more than the loops here make.
    for (int s = 0; s < 2; ++s) {
        const Span& starts = plan.readStarts[s];
        if (starts.Empty()) continue;
        const ArrayView<uint8_t>& stream = s ? record.sourceStream1 : record.sourceStream0;
        // Word-aligned steps keep every load at the same offset within its word.
        if (stream.data == nullptr || sourceSteps[s] % 4 != 0) return false;
        const int64_t lastWhole = LastWholeLoad(stream);
        const int64_t step = sourceSteps[s];
        const int64_t a = s ? first.source1 : first.source0, b = s ? last.source1 : last.source0;
        if (a + starts.low < 0 || a + starts.high > lastWhole) {
            whole = 0;
        } else if (b + starts.low >= 0 && b + starts.high <= lastWhole) {
            // The last vertex's loads are whole, and so is every one between.
        } else {
            const int64_t fit = (step > 0 ? (lastWhole - (a + starts.high)) / step : (a + starts.low) / -step) + 1;
            whole = SpanLower(fit, whole);
        }
    }

    for (int i = 0; i < plan.activeCount; ++i) {
        const int k = plan.active[i];
        const SlotPlan& slot = plan.slots[k];
        SlotWalk& walk = walks[k];
        walk = SlotWalk{};
        if (slot.load && !slot.marker) {
            const int s = slot.stream1Source ? 1 : 0;
            const ArrayView<uint8_t>& stream = s ? record.sourceStream1 : record.sourceStream0;
            const int64_t low = (s ? first.source1 : first.source0) + slot.sourceOffset;
            walk.load = stream.data + (low & ~int64_t{3});
            walk.loadStep = sourceSteps[s];
            walk.stream = &stream;
            walk.loadOffset = low;
        }
        const int t = slot.stream1Target ? 1 : 0;
        const ArrayView<uint8_t>& target = t ? record.destinationStream1 : record.destinationStream0;
        walk.store = target.data + (t ? first.destination1 : first.destination0) + slot.targetOffset;
        walk.storeStep = destinationSteps[t];
    }

    wholeCount = static_cast<int32_t>(whole);
    return true;
}

}  // namespace meshjobs
