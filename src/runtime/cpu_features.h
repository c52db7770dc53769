// What the processor offers beyond the build's baseline, asked once with the
// cpuid instruction itself (the compiler's own feature test lives in libgcc,
// an import) and kept in one relaxed word: no constructor runs at load.
#pragma once

#include <stdint.h>

namespace meshjobs {

enum CpuFeature : uint32_t {
    CPU_FEATURE_AVX2_F16C = 1u << 0,  // AVX2 and F16C, with the OS saving the ymm state
    CPU_FEATURE_CMPXCHG16B = 1u << 1,
    // AVX-512 F, BW, DQ and VL, with the OS saving the mask and zmm state
    CPU_FEATURE_AVX512 = 1u << 2,
};

// Bits of CpuFeature; 0 off x86-64.
uint32_t CpuFeatures();

}  // namespace meshjobs
