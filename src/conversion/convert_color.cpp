// Slot 3: the color; a source without color gives opaque white.
#include "conversion/converters.h"

namespace meshjobs {

bool ConvertColor(const ConvertVertexLayoutRecord& record, const SlotRule& rule, const VertexBases& bases) {
    AttributeValue value{{NO_COLOR, NO_COLOR, NO_COLOR, NO_COLOR}};
    if (rule.load) value = DecodeValue(LoadSlot(record, rule, bases), rule.sourceFormat);
    return StoreSlot(record, rule, bases, EncodeValue(value, rule.encodeFormat));
}

}  // namespace meshjobs
