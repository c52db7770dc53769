#include "runtime/checks.h"

#include "runtime/byte_copy.h"

namespace meshjobs {

bool Abort(const char* typeName, const char* message) {
    g_externals.burstAbort(typeName, message);
    return false;
}

bool FailIndex(int32_t length, int32_t rangeMin, int32_t rangeMax, int32_t k) {
    const bool pastEnd = static_cast<uint32_t>(k) >= static_cast<uint32_t>(length);
    const bool unrestricted = rangeMin == 0 && rangeMax == static_cast<int32_t>(static_cast<uint32_t>(length) - 1u);
    if (pastEnd || unrestricted) return Abort(INDEX_OUT_OF_RANGE_EXCEPTION, LENGTH_MESSAGE);
    return Abort(INDEX_OUT_OF_RANGE_EXCEPTION, RESTRICTED_RANGE_MESSAGE);
}

void CallReadCheck(const AtomicSafetyHandle& handle) {
    AtomicSafetyHandle copy{handle.versionCell, handle.version, handle.safetyId};
    g_externals.checkRead(&copy);
}

void CallWriteCheck(const AtomicSafetyHandle& handle) {
    AtomicSafetyHandle copy{handle.versionCell, handle.version, handle.safetyId};
    g_externals.checkWrite(&copy);
}

bool CopyBytes(void* destination, const void* source, int32_t length) {
    if (length <= 0) return true;
    if (destination == nullptr) return Abort(ARGUMENT_NULL_EXCEPTION, DESTINATION_PARAMETER);
    if (source == nullptr) return Abort(ARGUMENT_NULL_EXCEPTION, SOURCE_PARAMETER);

    CopyForward(static_cast<uint8_t*>(destination), static_cast<const uint8_t*>(source),
                static_cast<uint32_t>(length));
    return true;
}

}  // namespace meshjobs
