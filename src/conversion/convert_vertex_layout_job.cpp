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

// Descriptors are read afresh for every slot and vertex; the host may rewrite
// the views' ranges between ranges.
bool ConvertVertex(const ConvertVertexLayoutRecord& record, int32_t i) {
    const VertexBases bases = BasesOf(record, i);

    for (int32_t k = 0; k < ATTRIBUTE_SLOT_COUNT; ++k) {
        // The source view is tested before the destination view.
        if (!CheckIndex(record.sourceAttributes, k)) return false;
        CheckReadAccess(record.sourceAttributes.safety);
        if (!CheckIndex(record.destinationAttributes, k)) return false;
        CheckReadAccess(record.destinationAttributes.safety);
        const AttributeDescriptor source = record.sourceAttributes.data[k];
        const AttributeDescriptor destination = record.destinationAttributes.data[k];

        const SlotRule rule = RuleFor(k, source, destination);
        bool goOn = true;
        switch (rule.kind) {
            case SlotKind::Skip: break;
            case SlotKind::Position: goOn = ConvertPosition(record, rule, bases); break;
            case SlotKind::Normal: goOn = ConvertNormal(record, rule, bases); break;
            case SlotKind::Tangent: goOn = ConvertTangent(record, rule, bases); break;
            case SlotKind::Color: goOn = ConvertColor(record, rule, bases); break;
            case SlotKind::TexCoord: goOn = ConvertTexCoord(record, rule, bases); break;
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
