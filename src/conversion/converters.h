// The per-slot converters of the vertex layout conversion and what they share
// on top of the codec: where an attribute lies, and the checked store.
// Every converter answers false when the job must stop.
#pragma once

#include <stdint.h>

#include "conversion/attribute_codec.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"
#include "runtime/messages.h"

namespace meshjobs {

// 8 bytes of 0xFF: the normal's stand-in for a size it cannot store.
inline constexpr RawWords UNSUPPORTED_SIZE_MARKER{{0xFFFFFFFFu, 0xFFFFFFFFu, 0u, 0u}};

// Byte offsets of the current vertex in the four streams. 64-bit, so a
// stride times an index never wraps into another vertex's bytes.
struct VertexBases {
    int64_t source0;
    int64_t destination0;
    int64_t source1;
    int64_t destination1;
};

inline RawWords LoadAttribute(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                              const VertexBases& bases) {
    const int64_t offset = DescriptorOffset(source);
    if (DescriptorSelectsStream1(source)) return LoadWords(record.sourceStream1, bases.source1 + offset);
    return LoadWords(record.sourceStream0, bases.source0 + offset);
}

struct StoreTarget {
    const ArrayView<uint8_t>* stream;
    int64_t byteOffset;
};

inline StoreTarget DestinationOf(const ConvertVertexLayoutRecord& record, AttributeDescriptor destination,
                                 const VertexBases& bases) {
    const int64_t offset = DescriptorOffset(destination);
    if (DescriptorSelectsStream1(destination)) return {&record.destinationStream1, bases.destination1 + offset};
    return {&record.destinationStream0, bases.destination0 + offset};
}

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

[[nodiscard]] bool ConvertPosition(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                                   AttributeDescriptor destination, int64_t sourceBase0, int64_t destinationBase0);
[[nodiscard]] bool ConvertNormal(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                                 AttributeDescriptor destination, const VertexBases& bases);
[[nodiscard]] bool ConvertTangent(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                                  AttributeDescriptor destination, const VertexBases& bases);
[[nodiscard]] bool ConvertColor(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                                AttributeDescriptor destination, const VertexBases& bases);
[[nodiscard]] bool ConvertTexCoord(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                                   AttributeDescriptor destination, const VertexBases& bases, bool applyScaleOffset);

}  // namespace meshjobs
