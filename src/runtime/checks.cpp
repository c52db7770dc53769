#include "runtime/checks.h"

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

    auto* to = static_cast<uint8_t*>(destination);
    const auto* from = static_cast<const uint8_t*>(source);
    int32_t remaining = length;
    // A destination that starts inside the source after it would see its own
    // earlier bytes in a forward byte copy; a block copy would not, so only
    // the byte loop is exact there.
    const bool smears = to > from && to < from + length;
    if (!smears) {
        while (remaining >= 32) {
            uint8_t block[32];
            __builtin_memcpy(block, from, 32);
            __builtin_memcpy(to, block, 32);
            to += 32;
            from += 32;
            remaining -= 32;
        }
    }
    while (remaining > 0) {
        *to++ = *from++;
        --remaining;
    }
    return true;
}

}  // namespace meshjobs
