// The conversion job's entry body: the range loop over vertex indices, and per
// vertex the twelve attribute slots in order, each after its descriptor tests.
#include "conversion/convert_range.h"
#include "conversion/converters.h"
#include "jobs.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"
#include "runtime/kernel_set.h"
#include "runtime/range_loop.h"

namespace meshjobs {

namespace {

constexpr int SCALE_OFFSET_SLOT = 5;  // texture coordinates 1

// Descriptors are read afresh for every slot and vertex; the host may rewrite
// the views' ranges between ranges.
bool ConvertVertex(const ConvertVertexLayoutRecord& record, int32_t i) {
    const int64_t index = i;
    const int64_t sourceStride1 = record.sourceStride1;
    const VertexBases bases{
        record.sourceStride0 * index,
        record.destinationStride0 * index + record.destinationOffset0,
        (sourceStride1 < 0 ? -sourceStride1 : sourceStride1) * index,
        record.destinationStride1 * index + record.destinationOffset1,
    };

    for (int32_t k = 0; k < ATTRIBUTE_SLOT_COUNT; ++k) {
        // The source view is tested before the destination view.
        if (!CheckIndex(record.sourceAttributes, k)) return false;
        CheckReadAccess(record.sourceAttributes.safety);
        if (!CheckIndex(record.destinationAttributes, k)) return false;
        CheckReadAccess(record.destinationAttributes.safety);
        const AttributeDescriptor source = record.sourceAttributes.data[k];
        const AttributeDescriptor destination = record.destinationAttributes.data[k];

        bool goOn;
        switch (k) {
            case 0: goOn = ConvertPosition(record, source, destination, bases.source0, bases.destination0); break;
            case 1: goOn = ConvertNormal(record, source, destination, bases); break;
            case 2: goOn = ConvertTangent(record, source, destination, bases); break;
            case 3: goOn = ConvertColor(record, source, destination, bases); break;
            default:  // texture coordinate sets 0 to 7
                goOn = ConvertTexCoord(record, source, destination, bases, k == SCALE_OFFSET_SLOT);
                break;
        }
        if (!goOn) return false;
    }
    return true;
}

}  // namespace

void ConvertVertexLayout(void* recordPointer, void* patchContext, void* rangeSource, int32_t workerIndex) {
    const auto& record = *static_cast<const ConvertVertexLayoutRecord*>(recordPointer);
    PlanCache cache;
    cache.kernels = &KernelsFor(ChooseKernelSet());
    RunParallelRanges(recordPointer, patchContext, rangeSource, workerIndex, [&](int32_t begin, int32_t end) {
        if (TryConvertRange(record, begin, end, cache)) return true;
        for (int32_t i = begin; i < end; ++i)
            if (!ConvertVertex(record, i)) return false;
        return true;
    });
}

}  // namespace meshjobs
