// Which instruction set the fast kernels run on, chosen once per job call. A
// build can force one (MESHJOBS_KERNELS=portable, avx2 or avx512), so every
// set is tested on any machine that runs it.
#pragma once

#include <stdint.h>

// Whether this build has the AVX2 kernels at all.
#if defined(__x86_64__) && !defined(MESHJOBS_PORTABLE_KERNELS)
#define MESHJOBS_AVX2_KERNELS_BUILT 1
#else
#define MESHJOBS_AVX2_KERNELS_BUILT 0
#endif

// And the AVX-512 ones: not where AVX2 is forced, and not on Windows, whose
// 16-byte stack alignment the compiler cannot be trusted to raise for
// spilled 64-byte vectors.
#if MESHJOBS_AVX2_KERNELS_BUILT && !defined(MESHJOBS_AVX2_KERNELS) && !defined(_WIN32)
#define MESHJOBS_AVX512_KERNELS_BUILT 1
#else
#define MESHJOBS_AVX512_KERNELS_BUILT 0
#endif

// What a function compiled for the AVX-512 set may use.
#define MESHJOBS_AVX512_TARGET "avx512f,avx512bw,avx512dq,avx512vl,avx2,f16c"

namespace meshjobs {

enum class KernelSet : uint8_t {
    Portable,  // the compiler's vectors: NEON on ARM64, SSE2 on x86-64
    Avx2F16c,  // x86-64 with AVX2 and F16C
    Avx512,    // and AVX-512 F, BW, DQ and VL: sixteen lanes
};

// The fastest set this processor runs, or the one the build forces.
KernelSet ChooseKernelSet();

}  // namespace meshjobs
