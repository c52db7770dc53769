// Restricts a worker's record copy to the range it is about to run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "range_source.h"

namespace meshjobs::host::detail {

// One per worker: the library passes it back with that worker's record.
struct PatchContext {
    const size_t* viewOffsets = nullptr;
    size_t viewCount = 0;
    const std::function<void(void*, int32_t, int32_t)>* override = nullptr;
    EventLog* events = nullptr;
    int worker = 0;

    void Patch(void* record, int32_t begin, int32_t count) const;
};

}  // namespace meshjobs::host::detail
