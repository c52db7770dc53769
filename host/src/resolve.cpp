// The five functions the library resolves from the host by name.
#include <cstring>

#include "patch.h"
#include "range_source.h"

namespace meshjobs::host {

namespace {

// Unwinds through the library's frames back to the worker that ran the job.
[[noreturn]] void BurstAbort(const char* typeName, const char* message) {
    throw JobException(typeName ? typeName : "", message ? message : "");
}

bool GetWorkStealingRange(void* rangeSource, int32_t workerIndex, int32_t* begin, int32_t* end) {
    return static_cast<detail::RangeSource*>(rangeSource)->Next(workerIndex, begin, end);
}

void PatchBufferMinMaxRanges(void* patchContext, void* record, int32_t begin, int32_t count) {
    static_cast<const detail::PatchContext*>(patchContext)->Patch(record, begin, count);
}

// Same order as HOST_FUNCTION_NAMES.
void* const HOST_FUNCTIONS[HOST_FUNCTION_COUNT] = {
    reinterpret_cast<void*>(static_cast<AbortFunction>(&BurstAbort)),
    reinterpret_cast<void*>(static_cast<CheckAccessFunction>(&SafetyCell::CheckWrite)),
    reinterpret_cast<void*>(static_cast<CheckAccessFunction>(&SafetyCell::CheckRead)),
    reinterpret_cast<void*>(static_cast<GetWorkStealingRangeFunction>(&GetWorkStealingRange)),
    reinterpret_cast<void*>(static_cast<PatchBufferMinMaxRangesFunction>(&PatchBufferMinMaxRanges)),
};

}  // namespace

void* Resolve(const char* name) {
    if (!name) return nullptr;
    for (int i = 0; i < HOST_FUNCTION_COUNT; ++i)
        if (std::strcmp(name, HOST_FUNCTION_NAMES[i]) == 0) return HOST_FUNCTIONS[i];
    return nullptr;
}

}  // namespace meshjobs::host
