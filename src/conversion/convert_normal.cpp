// Slot 1: the normal, turned by the transpose of the normal matrix's upper
// 3 × 3 block and renormalised only for a destination format byte of exactly 2.
#include "conversion/converters.h"

namespace meshjobs {

bool ConvertNormal(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                   AttributeDescriptor destination, const VertexBases& bases) {
    if (DescriptorDimension(source) == 0) return true;

    const AttributeValue v = DecodeValue(LoadAttribute(record, source, bases), DescriptorFormat(source));

    // Each component is the dot product with one column.
    const auto& m = record.normalMatrix.columns;
    AttributeValue n{};
    for (int k = 0; k < 3; ++k) n.lane[k] = (v.lane[0] * m[k][0] + v.lane[1] * m[k][1]) + v.lane[2] * m[k][2];
    n.lane[3] = 0.0f;

    // Codes 0 and 1 also encode as signed bytes but keep their length.
    const uint32_t rawFormat = DescriptorFormat(destination);
    if (rawFormat == FORMAT_SNORM8) {
        // No zero-length test: a zero normal becomes NaN, which encodes as 1.0.
        const float lengthSquared = (n.lane[0] * n.lane[0] + n.lane[1] * n.lane[1]) + n.lane[2] * n.lane[2];
        const float scale = 1.0f / __builtin_sqrtf(lengthSquared);
        for (int k = 0; k < 3; ++k) n.lane[k] = n.lane[k] * scale;
    }
    for (int k = 0; k < 3; ++k) n.lane[k] = CanonicalNaN(n.lane[k]);

    const uint32_t encodeFormat = ClampFormat(rawFormat, FORMAT_SNORM8);
    const RawWords words = EncodeValue(n, encodeFormat);
    const StoreTarget target = DestinationOf(record, destination, bases);

    int32_t componentSize = 0;
    if (!ComponentSize(record, encodeFormat, componentSize)) return false;
    const int32_t byteCount = ByteCount(DescriptorDimension(destination), componentSize);
    if (byteCount == 4 || byteCount == 8 || byteCount == 12) return StoreChecked(target, words, byteCount);
    // Smaller sizes (a destination without normal among them) would let the
    // 8-byte marker spill into other attributes, so they write nothing.
    if (byteCount < 8) return true;
    return StoreChecked(target, UNSUPPORTED_SIZE_MARKER, 8);
}

}  // namespace meshjobs
