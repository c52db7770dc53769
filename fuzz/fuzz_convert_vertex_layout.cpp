// Conversion: descriptors (any dimension, format code 0-255, offset, stream),
// strides and offsets of any sign, component sizes and their count, stream and
// descriptor views of any length and range, matrices and texture coordinate
// transforms of any bits, permissions and range splits.
#include <cstring>

#include "fuzz_support.h"

using namespace meshjobs;

namespace {

float AnyFloat(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: return 1.0f;
        case 1: return 0.0f;
        case 2: return in.ConsumeFloatingPointInRange(-4.0f, 4.0f);
        default: {
            const uint32_t bits = in.ConsumeIntegral<uint32_t>();
            float value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
    }
}

int32_t AnyStrideOrOffset(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: return 4 * in.ConsumeIntegralInRange<int32_t>(0, 16);
        case 1: return in.ConsumeIntegralInRange<int32_t>(-80, 80);
        default: return in.ConsumeIntegral<int32_t>();
    }
}

void FillDescriptors(FuzzedDataProvider& in, ArrayView<uint32_t> view) {
    for (int32_t k = 0; k < view.length && view.data; ++k) {
        if (in.ConsumeIntegral<uint8_t>() < 16) {
            view.data[k] = in.ConsumeIntegral<uint32_t>();
            continue;
        }
        const uint32_t dimension = in.ConsumeIntegralInRange<uint32_t>(0, 5);
        const uint32_t format = in.ConsumeIntegral<uint8_t>();
        const uint32_t offset = in.ConsumeBool() ? 4 * in.ConsumeIntegralInRange<uint32_t>(0, 12) : in.ConsumeIntegral<uint8_t>();
        const uint32_t stream = in.ConsumeBool() ? 1 : 0;
        view.data[k] = PackAttribute(dimension, format, offset, stream);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Envelope envelope(in);
    ConvertVertexLayoutRecord record{};
    record.sourceStream0 = envelope.View<uint8_t>(1024);
    record.sourceStream1 = envelope.View<uint8_t>(1024);
    record.destinationStream0 = envelope.View<uint8_t>(1024);
    record.destinationStream1 = envelope.View<uint8_t>(1024);
    record.sourceAttributes = envelope.View<uint32_t>(ATTRIBUTE_SLOT_COUNT + 2);
    record.destinationAttributes = envelope.View<uint32_t>(ATTRIBUTE_SLOT_COUNT + 2);
    FillDescriptors(in, record.sourceAttributes);
    FillDescriptors(in, record.destinationAttributes);

    record.sourceStride0 = AnyStrideOrOffset(in);
    record.sourceStride1 = AnyStrideOrOffset(in);
    record.destinationStride0 = AnyStrideOrOffset(in);
    record.destinationStride1 = AnyStrideOrOffset(in);
    record.destinationOffset0 = AnyStrideOrOffset(in);
    record.destinationOffset1 = AnyStrideOrOffset(in);
    for (auto& column : record.positionMatrix.columns)
        for (float& value : column) value = AnyFloat(in);
    for (auto& column : record.normalMatrix.columns)
        for (float& value : column) value = AnyFloat(in);
    for (Float4* transform : {&record.texCoordScaleOffsetA, &record.texCoordScaleOffsetB})
        *transform = {AnyFloat(in), AnyFloat(in), AnyFloat(in), AnyFloat(in)};

    // The list's capacity is fixed; its count is any 16-bit value.
    record.componentSizes.count = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, COMPONENT_SIZES_CAPACITY)
                                                   : in.ConsumeIntegral<uint16_t>();
    for (int32_t& componentSize : record.componentSizes.elements)
        componentSize = in.ConsumeIntegral<uint8_t>() < 224 ? in.ConsumeIntegralInRange<int32_t>(0, 4)
                                                            : in.ConsumeIntegral<int32_t>();

    host::JobSystem* jobs = nullptr;
    const host::ParallelForOptions options = envelope.Split(JobId::ConvertVertexLayout, &jobs);
    const int32_t length = envelope.Length(48);
    try {
        jobs->Run(record, length, options);
    } catch (const host::JobException&) {
    }
    return 0;
}
