// Slot 0: the position, a point through the whole position matrix.
#include "conversion/converters.h"

namespace meshjobs {

bool ConvertPosition(const ConvertVertexLayoutRecord& record, const SlotRule& rule, const VertexBases& bases) {
    const AttributeValue p = DecodeValue(LoadSlot(record, rule, bases), rule.sourceFormat);

    // (x, y, z, 1) through the matrix, rows 0 to 2, rounded in this order.
    const auto& m = record.positionMatrix.columns;
    RawWords words{};
    for (int r = 0; r < 3; ++r) {
        const float sum = ((m[0][r] * p.lane[0] + m[1][r] * p.lane[1]) + m[2][r] * p.lane[2]) + m[3][r];
        words.w[r] = FloatBits(CanonicalNaN(sum));
    }
    return StoreSlot(record, rule, bases, words);
}

}  // namespace meshjobs
