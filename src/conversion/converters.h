// The per-slot converters of the vertex layout conversion and what they share
// on top of the codec: where an attribute lies, and the checked store.
// Every converter answers false when the job must stop.
#pragma once

#include <stdint.h>

#include "conversion/attribute_codec.h"
#include "conversion/slot_rules.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"
#include "runtime/messages.h"

namespace meshjobs {

// Byte offsets of the current vertex in the four streams. 64-bit, so a
// stride times an index never wraps into another vertex's bytes.
struct VertexBases {
    int64_t source0;
    int64_t destination0;
    int64_t source1;
    int64_t destination1;
};

inline RawWords LoadSlot(const ConvertVertexLayoutRecord& record, const SlotRule& rule, const VertexBases& bases) {
    if (rule.stream1Source) return LoadWords(record.sourceStream1, bases.source1 + rule.sourceOffset);
    return LoadWords(record.sourceStream0, bases.source0 + rule.sourceOffset);
}

struct StoreTarget {
    const ArrayView<uint8_t>* stream;
    int64_t byteOffset;
};

// The destination bound is tested right before the bytes go out, so a store
// that does not fit leaves the whole attribute unwritten.
[[nodiscard]] inline bool StoreChecked(const StoreTarget& target, const RawWords& words, int32_t byteCount) {
    if (!StoreFits(*target.stream, target.byteOffset, byteCount))
        return Abort(INDEX_OUT_OF_RANGE_EXCEPTION, LENGTH_MESSAGE);
    StoreWords(*target.stream, target.byteOffset, words, byteCount);
    return true;
}

// Reads componentSizes[index] after its count test; false when the job stops.
[[nodiscard]] inline bool ComponentSize(const ConvertVertexLayoutRecord& record, uint32_t index, int32_t& size) {
    if (!CheckSmallIntListIndex(record.componentSizes, index)) return false;
    size = record.componentSizes.elements[index];
    return true;
}

// The slot's store as its rule and its size entry decide: the value, a
// stand-in, or nothing. False when the job stops.
[[nodiscard]] inline bool StoreSlot(const ConvertVertexLayoutRecord& record, const SlotRule& rule,
                                    const VertexBases& bases, const RawWords& words) {
    int32_t componentSize = 0;
    if (!ComponentSize(record, rule.sizeIndex, componentSize)) return false;
    const StoredForm form = StoredFormFor(rule, componentSize);
    if (form.byteCount == 0) return true;
    const StoreTarget target = rule.stream1Target
                                   ? StoreTarget{&record.destinationStream1, bases.destination1 + rule.targetOffset}
                                   : StoreTarget{&record.destinationStream0, bases.destination0 + rule.targetOffset};
    return StoreChecked(target, form.standIn ? StandInWords(rule.kind) : words, form.byteCount);
}

// One per slot kind; each stores what its rule decides.
[[nodiscard]] bool ConvertPosition(const ConvertVertexLayoutRecord& record, const SlotRule& rule,
                                   const VertexBases& bases);
[[nodiscard]] bool ConvertNormal(const ConvertVertexLayoutRecord& record, const SlotRule& rule,
                                 const VertexBases& bases);
[[nodiscard]] bool ConvertTangent(const ConvertVertexLayoutRecord& record, const SlotRule& rule,
                                  const VertexBases& bases);
[[nodiscard]] bool ConvertColor(const ConvertVertexLayoutRecord& record, const SlotRule& rule,
                                const VertexBases& bases);
[[nodiscard]] bool ConvertTexCoord(const ConvertVertexLayoutRecord& record, const SlotRule& rule,
                                   const VertexBases& bases);

}  // namespace meshjobs
