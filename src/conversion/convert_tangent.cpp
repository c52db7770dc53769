// Slot 2: the tangent, turned by the linear part of the position matrix, its
// handedness flipped by a negative source stream 1 stride, renormalised only
// for signed-byte destinations. Always four components.
#include "conversion/converters.h"

namespace meshjobs {

bool ConvertTangent(const ConvertVertexLayoutRecord& record, AttributeDescriptor source,
                    AttributeDescriptor destination, const VertexBases& bases) {
    if (DescriptorDimension(source) == 0) return true;
    // A destination without tangent gets nothing rather than four components
    // over whatever lies at its offset.
    if (DescriptorDimension(destination) == 0) return true;

    const AttributeValue v = DecodeValue(LoadAttribute(record, source, bases), DescriptorFormat(source));

    // A direction: columns 0 to 2 only, no translation; w is not transformed.
    const auto& m = record.positionMatrix.columns;
    AttributeValue t{};
    for (int r = 0; r < 3; ++r) t.lane[r] = (v.lane[0] * m[0][r] + v.lane[1] * m[1][r]) + v.lane[2] * m[2][r];
    // A sign-bit flip, not a negation: +0 becomes -0 and NaN payloads stay.
    const uint32_t flip = record.sourceStride1 < 0 ? 0x80000000u : 0u;
    t.lane[3] = BitsToFloat(FloatBits(v.lane[3]) ^ flip);

    // Codes 0, 1 and 2 all encode as signed bytes, and all are renormalised.
    const uint32_t encodeFormat = ClampFormat(DescriptorFormat(destination), FORMAT_SNORM8);
    if (encodeFormat == FORMAT_SNORM8) {
        const float lengthSquared = (t.lane[0] * t.lane[0] + t.lane[1] * t.lane[1]) + t.lane[2] * t.lane[2];
        const float scale = 1.0f / __builtin_sqrtf(lengthSquared);
        for (int k = 0; k < 3; ++k) t.lane[k] = t.lane[k] * scale;
    }
    for (int k = 0; k < 3; ++k) t.lane[k] = CanonicalNaN(t.lane[k]);
    const RawWords words = EncodeValue(t, encodeFormat);

    int32_t componentSize = 0;
    if (!ComponentSize(record, encodeFormat, componentSize)) return false;
    const int32_t byteCount = ByteCount(4, componentSize);
    if (byteCount != 4 && byteCount != 8 && byteCount != 16) return true;
    return StoreChecked(DestinationOf(record, destination, bases), words, byteCount);
}

}  // namespace meshjobs
