// Slots 4 to 11: texture coordinate sets 0 to 7, set 1 through the record's
// two scale-and-offset vectors, A then B.
#include "conversion/converters.h"

namespace meshjobs {

namespace {

// u·scale.x + offset.z, v·scale.y + offset.w: multiply, then add, each rounded.
void ScaleAndOffset(AttributeValue& value, const Float4& scaleOffset) {
    value.lane[0] = value.lane[0] * scaleOffset.x + scaleOffset.z;
    value.lane[1] = value.lane[1] * scaleOffset.y + scaleOffset.w;
}

}  // namespace

bool ConvertTexCoord(const ConvertVertexLayoutRecord& record, const SlotRule& rule, const VertexBases& bases) {
    AttributeValue value = DecodeValue(LoadSlot(record, rule, bases), rule.sourceFormat);
    if (rule.scaleOffset) {
        ScaleAndOffset(value, record.texCoordScaleOffsetA);
        ScaleAndOffset(value, record.texCoordScaleOffsetB);
        value.lane[0] = CanonicalNaN(value.lane[0]);
        value.lane[1] = CanonicalNaN(value.lane[1]);
    }
    return StoreSlot(record, rule, bases, EncodeValue(value, rule.encodeFormat));
}

}  // namespace meshjobs
