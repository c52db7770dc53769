// Planning a range of the conversion job: what every slot will do, decided
// once from the descriptors and the size list, and the tests on the range's
// two end vertices that prove the range-at-once loops leave the bytes of the
// per-vertex path. Offsets are affine in the vertex index, so the end
// vertices bound every vertex between them.
#pragma once

#include <stdint.h>

#include "conversion/converters.h"
#include "meshjobs/records.h"
#include "runtime/byte_ranges.h"

namespace meshjobs {

// One slot of the range: what its rule decides for the loops, and what it
// stores once the size list is read. Only the slots that store anything
// (RangePlan::active) are filled in.
struct SlotPlan {
    SlotKind kind;
    bool load, renormalise, scaleOffset, stream1Source, stream1Target;
    bool marker;       // a stand-in stored instead of the value
    bool copiesWords;  // StoresLoadedWords: the loops may copy the loaded words
    uint32_t sourceFormat;
    uint32_t encodeFormat;
    int64_t sourceOffset, targetOffset;
    int32_t byteCount;  // 0: nothing stored
    // What the slot loops store (SlotsCanRunApart sets it): 16 for a 12-byte
    // store whose next four bytes a later slot of the vertex stores anyway,
    // one vector store instead of two pieces.
    int32_t wideByteCount;
};

// Byte offsets from a vertex's base: the lowest and one past the highest.
struct Span {
    int64_t low = INT64_MAX, high = INT64_MIN;

    bool Empty() const { return low > high; }
    void Include(int64_t from, int64_t to) {
        low = from < low ? from : low;
        high = to > high ? to : high;
    }
};

// What a kernel set works out once per plan (the sixteen-lane kernels' groups
// of slots), kept with the plan: ranges that reuse the plan skip the work.
struct KernelPlan {
    bool made;
    alignas(16) unsigned char bytes[1024];
};

struct RangePlan {
    SlotPlan slots[ATTRIBUTE_SLOT_COUNT];
    int active[ATTRIBUTE_SLOT_COUNT];  // slots that store anything, in order
    int activeCount;
    // Per stream: where the loads start (source), where the stores lie
    // (destination), relative to the vertex base. Loads of slots that store
    // nothing count among the reads: the per-vertex path makes them.
    Span readStarts[2];
    Span stores[2];
    // Worked out by the first SlotsCanRunApart call on the plan: short
    // ranges never ask.
    bool apartPlanned;
    bool storesApart;  // no two stores of one vertex share a byte
    // The size-list entries the plan read, to tell whether it still holds:
    // the first ones (every plan has them), and any read past them.
    uint16_t sizeCount;
    uint8_t sizesRead;
    uint8_t sizeIndices[ATTRIBUTE_SLOT_COUNT];
    int32_t sizeValues[ATTRIBUTE_SLOT_COUNT];
    int32_t firstSizes[FORMAT_FLOAT32 + 1];
    AttributeDescriptor descriptors[2][ATTRIBUTE_SLOT_COUNT];
    mutable KernelPlan kernelPlan;  // made by the first range that needs it
};

inline VertexBases BasesOf(const ConvertVertexLayoutRecord& record, int32_t i) {
    const int64_t index = i;
    const int64_t sourceStride1 = record.sourceStride1;
    return {record.sourceStride0 * index, record.destinationStride0 * index + record.destinationOffset0,
            (sourceStride1 < 0 ? -sourceStride1 : sourceStride1) * index,
            record.destinationStride1 * index + record.destinationOffset1};
}

// The same decisions the converters make per vertex; false when any of them
// would stop the job (its size-list test).
bool PlanSlots(const ConvertVertexLayoutRecord& record, const AttributeDescriptor* sources,
               const AttributeDescriptor* destinations, RangePlan& plan);

// Whether a plan made earlier in the same job still holds for these
// descriptors and this size list.
bool PlanStillHolds(const ConvertVertexLayoutRecord& record, const AttributeDescriptor* sources,
                    const AttributeDescriptor* destinations, const RangePlan& plan);

inline int64_t SpanLower(int64_t a, int64_t b) { return a < b ? a : b; }
inline int64_t SpanHigher(int64_t a, int64_t b) { return a < b ? b : a; }

// A step of at least the stores' footprint keeps neighbouring vertices'
// stores in each destination stream apart.
inline bool StepsKeepVerticesApart(const ConvertVertexLayoutRecord& record, const RangePlan& plan, int32_t count) {
    if (count <= 1) return true;
    const int64_t destinationSteps[2] = {record.destinationStride0, record.destinationStride1};
    for (int t = 0; t < 2; ++t) {
        const int64_t step = destinationSteps[t] < 0 ? -destinationSteps[t] : destinationSteps[t];
        if (!plan.stores[t].Empty() && step < plan.stores[t].high - plan.stores[t].low) return false;
    }
    return true;
}

// Every store of every vertex in [begin, end) fits its stream, and none can
// reach what the range reads afterwards. Inline: every range's call runs it.
// The reads of one source stream are taken as one span, and so are the stores
// to one destination stream: coarser than slot by slot, so at worst a range
// the test could have let through runs the per-vertex path. Also answers,
// from the same spans, whether no store of one vertex shares a byte with a
// store of another (`verticesApart`): the stores of different slots may then
// go out slot by slot instead of vertex by vertex.
inline __attribute__((always_inline)) bool StoresAreSafe(const ConvertVertexLayoutRecord& record,
                                                         const RangePlan& plan, int32_t begin, int32_t end,
                                                         bool& verticesApart) {
    const VertexBases first = BasesOf(record, begin), last = BasesOf(record, end - 1);

    ByteSpan written[2];
    int writtenCount = 0;
    for (int t = 0; t < 2; ++t) {
        const Span& stores = plan.stores[t];
        if (stores.Empty()) continue;
        const ArrayView<uint8_t>& stream = t ? record.destinationStream1 : record.destinationStream0;
        const int64_t a = t ? first.destination1 : first.destination0, b = t ? last.destination1 : last.destination0;
        // Every slot's store fits at both ends exactly when the lowest and the
        // highest byte of them all do.
        const int64_t low = SpanLower(a, b) + stores.low, high = SpanHigher(a, b) + stores.high;
        if (low < 0 || high > stream.length) return false;
        if (!SpanOf(stream.data, low, high - low, written[writtenCount++])) return false;
    }
    verticesApart = (writtenCount < 2 || !Overlap(written[0], written[1])) &&
                    StepsKeepVerticesApart(record, plan, end - begin);
    // Whether a read of `count` bytes from `offset` past `start` is clear of
    // every store.
    auto clear = [&](const void* start, int64_t offset, int64_t count) {
        ByteSpan read;
        if (!SpanOf(start, offset, count, read)) return true;
        for (int w = 0; w < writtenCount; ++w)
            if (Overlap(written[w], read)) return false;
        return true;
    };
    const Span* const loads = plan.readStarts;
    for (int s = 0; s < 2; ++s) {
        if (loads[s].Empty()) continue;
        const int64_t a = s ? first.source1 : first.source0, b = s ? last.source1 : last.source0;
        const int64_t low = SpanLower(a, b) + loads[s].low, high = SpanHigher(a, b) + loads[s].high;
        // A load reads at most 16 bytes from the word holding its first byte.
        const int64_t from = (low < 0 ? 0 : low) & ~int64_t{3};
        if (!clear((s ? record.sourceStream1 : record.sourceStream0).data, from, (high & ~int64_t{3}) + 16 - from))
            return false;
    }
    return clear(record.sourceAttributes.data, 0, 4 * ATTRIBUTE_SLOT_COUNT) &&
           clear(record.destinationAttributes.data, 0, 4 * ATTRIBUTE_SLOT_COUNT) && clear(&record, 0, sizeof record) &&
           clear(record.sourceAttributes.safety.versionCell, 0, 4) &&
           clear(record.destinationAttributes.safety.versionCell, 0, 4);
}

// A slot's loads and stores as pointers that step by a fixed stride.
struct SlotWalk {
    const uint8_t* load;
    int64_t loadStep;
    const ArrayView<uint8_t>* stream;  // for the loads past the whole ones
    int64_t loadOffset;
    uint8_t* store;
    int64_t storeStep;
};

// A walk moved on by `done` vertices.
inline SlotWalk AdvanceWalk(SlotWalk walk, int64_t done) {
    if (walk.load) walk.load += walk.loadStep * done;
    walk.loadOffset += walk.loadStep * done;
    walk.store += walk.storeStep * done;
    return walk;
}

// The walks of a range moved on by `done` vertices, for its active slots.
inline void AdvanceWalks(const RangePlan& plan, const SlotWalk* walks, int64_t done, SlotWalk* moved) {
    for (int i = 0; i < plan.activeCount; ++i) moved[plan.active[i]] = AdvanceWalk(walks[plan.active[i]], done);
}

// When no two stores of the range share a byte, the order of the stores no
// longer matters, and each slot can run on its own over the range. Asked only
// of ranges whose vertices store apart (StoresAreSafe); answers whether the
// stores of one vertex are apart too. Each slot then runs over the
// first vertices, whose loads are whole 16-byte loads at a fixed step, with no
// test left in the loop, then over the rest with the codec's own loads.
// `wholeCount` is how many vertices the first part has.
bool SlotsCanRunApart(const ConvertVertexLayoutRecord& record, RangePlan& plan, int32_t begin, int32_t end,
                      SlotWalk* walks, int32_t& wholeCount);

}  // namespace meshjobs
