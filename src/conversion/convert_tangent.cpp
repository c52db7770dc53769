// Slot 2: the tangent, turned by the linear part of the position matrix, its
// handedness flipped by a negative source stream 1 stride, renormalised when
// the rule says so. Always four components.
#include "conversion/converters.h"

namespace meshjobs {

bool ConvertTangent(const ConvertVertexLayoutRecord& record, const SlotRule& rule, const VertexBases& bases) {
    const AttributeValue v = DecodeValue(LoadSlot(record, rule, bases), rule.sourceFormat);

    // A direction: columns 0 to 2 only, no translation; w is not transformed.
    const auto& m = record.positionMatrix.columns;
    AttributeValue t{};
    for (int r = 0; r < 3; ++r) t.lane[r] = (v.lane[0] * m[0][r] + v.lane[1] * m[1][r]) + v.lane[2] * m[2][r];
    // A sign-bit flip, not a negation: +0 becomes -0 and NaN payloads stay.
    const uint32_t flip = record.sourceStride1 < 0 ? 0x80000000u : 0u;
    t.lane[3] = BitsToFloat(FloatBits(v.lane[3]) ^ flip);

    if (rule.renormalise) {
        const float lengthSquared = (t.lane[0] * t.lane[0] + t.lane[1] * t.lane[1]) + t.lane[2] * t.lane[2];
        const float scale = 1.0f / __builtin_sqrtf(lengthSquared);
        for (int k = 0; k < 3; ++k) t.lane[k] = t.lane[k] * scale;
    }
    for (int k = 0; k < 3; ++k) t.lane[k] = CanonicalNaN(t.lane[k]);
    return StoreSlot(record, rule, bases, EncodeValue(t, rule.encodeFormat));
}

}  // namespace meshjobs
