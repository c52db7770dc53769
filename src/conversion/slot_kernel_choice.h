// Slot kernels compiled for one kind and one pair of formats, and the choice
// among them for a planned slot: the one place that says which pairs a plan
// can hold, so that each kernel table instantiates only those.
#pragma once

#include <stdint.h>

#include "conversion/range_plan.h"

namespace meshjobs {
namespace kernel_choice {

template <SlotKind KIND, uint32_t FROM, class Make>
inline auto ChooseTo(uint32_t to, const Make& make) {
    if constexpr (KIND == SlotKind::Position) {
        (void)to;
        return make.template operator()<KIND, FROM, FORMAT_FLOAT32>();
    } else {
        // Normals and tangents encode to signed bytes at the least.
        if constexpr (KIND == SlotKind::Color || KIND == SlotKind::TexCoord)
            if (to == FORMAT_UNORM8) return make.template operator()<KIND, FROM, FORMAT_UNORM8>();
        if (to == FORMAT_SNORM8) return make.template operator()<KIND, FROM, FORMAT_SNORM8>();
        if (to == FORMAT_FLOAT16) return make.template operator()<KIND, FROM, FORMAT_FLOAT16>();
        return make.template operator()<KIND, FROM, FORMAT_FLOAT32>();
    }
}

template <SlotKind KIND, class Make>
inline auto ChooseFrom(uint32_t from, uint32_t to, const Make& make) {
    switch (from) {
        case FORMAT_UNORM8:
            return ChooseTo<KIND, FORMAT_UNORM8>(to, make);
        case FORMAT_SNORM8:
            return ChooseTo<KIND, FORMAT_SNORM8>(to, make);
        case FORMAT_FLOAT16:
            return ChooseTo<KIND, FORMAT_FLOAT16>(to, make);
        default:
            return ChooseTo<KIND, FORMAT_FLOAT32>(to, make);
    }
}

}  // namespace kernel_choice

// make.template operator()<KIND, FROM, TO>() for an active slot: FROM the
// source format as the decoder reads it, TO the stored one (singles for the
// position). A color without a source picks some FROM, which its kernels
// never decode.
template <class Make>
inline auto ForSlotFormats(const SlotPlan& slot, const Make& make) {
    using namespace kernel_choice;
    const uint32_t from = ClampFormat(slot.sourceFormat, FORMAT_UNORM8), to = slot.encodeFormat;
    switch (slot.kind) {
        case SlotKind::Position:
            return ChooseFrom<SlotKind::Position>(from, to, make);
        case SlotKind::Normal:
            return ChooseFrom<SlotKind::Normal>(from, to, make);
        case SlotKind::Tangent:
            return ChooseFrom<SlotKind::Tangent>(from, to, make);
        case SlotKind::Color:
            return ChooseFrom<SlotKind::Color>(from, to, make);
        default:
            return ChooseFrom<SlotKind::TexCoord>(from, to, make);
    }
}

}  // namespace meshjobs
