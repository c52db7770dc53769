#include "runtime/kernel_set.h"

#include "runtime/cpu_features.h"

namespace meshjobs {

KernelSet ChooseKernelSet() {
#if defined(MESHJOBS_PORTABLE_KERNELS)
    return KernelSet::Portable;
#elif defined(MESHJOBS_AVX2_KERNELS)
    return KernelSet::Avx2F16c;
#elif defined(MESHJOBS_AVX512_KERNELS)
    return KernelSet::Avx512;
#else
    const uint32_t features = CpuFeatures();
#if MESHJOBS_AVX512_KERNELS_BUILT
    if ((features & CPU_FEATURE_AVX512) != 0) return KernelSet::Avx512;
#endif
    return (features & CPU_FEATURE_AVX2_F16C) != 0 ? KernelSet::Avx2F16c : KernelSet::Portable;
#endif
}

}  // namespace meshjobs
