// Slot 0: the position, always read at the start of the vertex in source
// stream 0 and always written as singles at the start of destination stream 0;
// the descriptors only contribute the source format.
#include "conversion/converters.h"

namespace meshjobs {

bool ConvertPosition(const ConvertVertexLayoutRecord& record, AttributeDescriptor source, AttributeDescriptor,
                     int64_t sourceBase0, int64_t destinationBase0) {
    const AttributeValue p = DecodeValue(LoadWords(record.sourceStream0, sourceBase0), DescriptorFormat(source));

    // Later slots index the list by 2 to 4, so requiring entry 4 here covers them.
    int32_t componentSize = 0;
    if (!ComponentSize(record, FORMAT_FLOAT32, componentSize)) return false;

    // A point: (x, y, z, 1) through the matrix, rows 0 to 2, rounded in this order.
    const auto& m = record.positionMatrix.columns;
    RawWords words{};
    for (int r = 0; r < 3; ++r) {
        const float sum = ((m[0][r] * p.lane[0] + m[1][r] * p.lane[1]) + m[2][r] * p.lane[2]) + m[3][r];
        words.w[r] = FloatBits(CanonicalNaN(sum));
    }

    const StoreTarget target{&record.destinationStream0, destinationBase0};
    const int32_t byteCount = ByteCount(3, componentSize);
    if (byteCount == 12 || byteCount == 8) return StoreChecked(target, words, byteCount);
    // Any other size: the fallback of three integer ones, always 12 bytes.
    return StoreChecked(target, RawWords{{1u, 1u, 1u, 0u}}, 12);
}

}  // namespace meshjobs
