// Slots 4 to 11: texture coordinate sets 0 to 7. Set 1 (slot 5) alone goes
// through the record's two scale-and-offset vectors, A then B.
#include "conversion/converters.h"

namespace meshjobs {

namespace {

// u·scale.x + offset.z, v·scale.y + offset.w: multiply, then add, each rounded.
void ScaleAndOffset(AttributeValue& value, const Float4& scaleOffset) {
    value.lane[0] = value.lane[0] * scaleOffset.x + scaleOffset.z;
    value.lane[1] = value.lane[1] * scaleOffset.y + scaleOffset.w;
}

}  // namespace

bool ConvertTexCoord(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                     AttributeDescriptor destination, const VertexBases& bases, bool applyScaleOffset) {
    const uint32_t sourceDimension = DescriptorDimension(source);
    const uint32_t destinationDimension = DescriptorDimension(destination);
    if (sourceDimension == 0 || destinationDimension == 0) return true;

    AttributeValue value = DecodeValue(LoadAttribute(record, source, bases), DescriptorFormat(source));
    if (applyScaleOffset) {
        ScaleAndOffset(value, record.texCoordScaleOffsetA);
        ScaleAndOffset(value, record.texCoordScaleOffsetB);
        value.lane[0] = CanonicalNaN(value.lane[0]);
        value.lane[1] = CanonicalNaN(value.lane[1]);
    }

    const uint32_t rawFormat = DescriptorFormat(destination);
    const RawWords words = EncodeValue(value, ClampFormat(rawFormat, FORMAT_UNORM8));
    const StoreTarget target = DestinationOf(record, destination, bases);

    int32_t componentSize = 0;
    if (!ComponentSize(record, rawFormat, componentSize)) return false;
    // Never more components than the destination set holds, so a longer
    // source cannot spill into the next attribute.
    const uint32_t components = sourceDimension < destinationDimension ? sourceDimension : destinationDimension;
    const int32_t byteCount = ByteCount(components, componentSize);
    if (byteCount != 4 && byteCount != 8 && byteCount != 12 && byteCount != 16) return true;
    return StoreChecked(target, words, byteCount);
}

}  // namespace meshjobs
