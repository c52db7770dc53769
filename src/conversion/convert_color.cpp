// Slot 3: the color. It runs on the destination's presence, and a source
// without color gives opaque white.
#include "conversion/converters.h"

namespace meshjobs {

bool ConvertColor(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                  AttributeDescriptor destination, const VertexBases& bases) {
    // Only the low four bits count for presence: 16, 32, ... mean none.
    if ((DescriptorDimension(destination) & 0xFu) == 0) return true;

    AttributeValue value{{1.0f, 1.0f, 1.0f, 1.0f}};
    if (DescriptorDimension(source) != 0)
        value = DecodeValue(LoadAttribute(record, source, bases), DescriptorFormat(source));

    const uint32_t rawFormat = DescriptorFormat(destination);
    const RawWords words = EncodeValue(value, ClampFormat(rawFormat, FORMAT_UNORM8));
    const StoreTarget target = DestinationOf(record, destination, bases);

    // Sized by the raw byte: a code past the list's end stops the job even
    // though it would encode as Float32.
    int32_t componentSize = 0;
    if (!ComponentSize(record, rawFormat, componentSize)) return false;
    const int32_t byteCount = ByteCount(DescriptorDimension(destination), componentSize);
    if (byteCount != 4 && byteCount != 8 && byteCount != 12 && byteCount != 16) return true;
    return StoreChecked(target, words, byteCount);
}

}  // namespace meshjobs
