#include "runtime/kernel_set.h"

#include "runtime/cpu_features.h"

namespace meshjobs {

KernelSet ChooseKernelSet() {
#if defined(MESHJOBS_PORTABLE_KERNELS)
    return KernelSet::Portable;
#elif defined(MESHJOBS_AVX2_KERNELS)
    return KernelSet::Avx2F16c;
#else
    return (CpuFeatures() & CPU_FEATURE_AVX2_F16C) != 0 ? KernelSet::Avx2F16c : KernelSet::Portable;
#endif
}

}  // namespace meshjobs
