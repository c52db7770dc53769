#include "patch.h"

#include <cstring>

namespace meshjobs::host::detail {

void PatchContext::Patch(void* record, int32_t begin, int32_t count) const {
    if (events) events->Add({RangeEvent::Patch, worker, begin, count});
    // An empty range leaves rangeMax below rangeMin, so no index passes.
    const int32_t last = static_cast<int32_t>(static_cast<uint32_t>(begin) + static_cast<uint32_t>(count) - 1u);
    auto* bytes = static_cast<unsigned char*>(record);
    for (size_t i = 0; i < viewCount; ++i) {
        // Every ArrayView has one layout whatever its element type.
        unsigned char* view = bytes + viewOffsets[i];
        std::memcpy(view + offsetof(ArrayView<uint8_t>, rangeMin), &begin, sizeof begin);
        std::memcpy(view + offsetof(ArrayView<uint8_t>, rangeMax), &last, sizeof last);
    }
    if (override && *override) (*override)(record, begin, count);
}

}  // namespace meshjobs::host::detail
