// Which instruction set the fast kernels run on, chosen once per job call. A
// build can force one (MESHJOBS_KERNELS=portable or avx2), so every set is
// tested on any machine that runs it.
#pragma once

#include <stdint.h>

// Whether this build has the AVX2 kernels at all.
#if defined(__x86_64__) && !defined(MESHJOBS_PORTABLE_KERNELS)
#define MESHJOBS_AVX2_KERNELS_BUILT 1
#else
#define MESHJOBS_AVX2_KERNELS_BUILT 0
#endif

namespace meshjobs {

enum class KernelSet : uint8_t {
    Portable,  // the compiler's vectors: NEON on ARM64, SSE2 on x86-64
    Avx2F16c,  // x86-64 with AVX2 and F16C
};

// The fastest set this processor runs, or the one the build forces.
KernelSet ChooseKernelSet();

}  // namespace meshjobs
