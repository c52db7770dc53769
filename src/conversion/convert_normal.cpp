// Slot 1: the normal, turned by the transpose of the normal matrix's upper
// 3 × 3 block, renormalised when the rule says so.
#include "conversion/converters.h"

namespace meshjobs {

bool ConvertNormal(const ConvertVertexLayoutRecord& record, const SlotRule& rule, const VertexBases& bases) {
    const AttributeValue v = DecodeValue(LoadSlot(record, rule, bases), rule.sourceFormat);

    // Each component is the dot product with one column.
    const auto& m = record.normalMatrix.columns;
    AttributeValue n{};
    for (int k = 0; k < 3; ++k) n.lane[k] = (v.lane[0] * m[k][0] + v.lane[1] * m[k][1]) + v.lane[2] * m[k][2];
    n.lane[3] = 0.0f;

    if (rule.renormalise) {
        // No zero-length test: a zero normal becomes NaN, which encodes as 1.0.
        const float lengthSquared = (n.lane[0] * n.lane[0] + n.lane[1] * n.lane[1]) + n.lane[2] * n.lane[2];
        const float scale = 1.0f / __builtin_sqrtf(lengthSquared);
        for (int k = 0; k < 3; ++k) n.lane[k] = n.lane[k] * scale;
    }
    for (int k = 0; k < 3; ++k) n.lane[k] = CanonicalNaN(n.lane[k]);
    return StoreSlot(record, rule, bases, EncodeValue(n, rule.encodeFormat));
}

}  // namespace meshjobs
