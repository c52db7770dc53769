#include "runtime/cpu_features.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace meshjobs {

namespace {

// Bit 31 marks the word as resolved, so 0 means "not asked yet".
constexpr uint32_t RESOLVED = 1u << 31;
uint32_t g_features = 0;

uint32_t Detect() {
    uint32_t features = 0;
#if defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return features;
    if (ecx & bit_CMPXCHG16B) features |= CPU_FEATURE_CMPXCHG16B;
    const unsigned savedState = (ecx & bit_OSXSAVE) != 0 ? [] {
        unsigned low, high;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        return low;
    }() : 0u;
    const bool osSavesYmm = (savedState & 6u) == 6u;       // xmm and ymm state
    const bool osSavesZmm = (savedState & 0xE6u) == 0xE6u;  // and the masks and zmm
    const bool f16c = (ecx & bit_F16C) != 0 && (ecx & bit_AVX) != 0;
    if (osSavesYmm && f16c && __get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        if (ebx & bit_AVX2) features |= CPU_FEATURE_AVX2_F16C;
        const unsigned avx512 = bit_AVX512F | bit_AVX512BW | bit_AVX512DQ | bit_AVX512VL;
        if ((ebx & bit_AVX2) && osSavesZmm && (ebx & avx512) == avx512) features |= CPU_FEATURE_AVX512;
    }
#endif
    return features;
}

}  // namespace

uint32_t CpuFeatures() {
    uint32_t features = __atomic_load_n(&g_features, __ATOMIC_RELAXED);
    if (features == 0) {
        // Racing workers compute the same answer.
        features = Detect() | RESOLVED;
        __atomic_store_n(&g_features, features, __ATOMIC_RELAXED);
    }
    return features & ~RESOLVED;
}

}  // namespace meshjobs
