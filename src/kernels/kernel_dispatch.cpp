// The one place that knows about instruction sets: picks the copy of the ML
// kernels that this CPU can run, once per process. The CPU's features come
// from the C library, which also honours its tunables (so a process started
// with GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2 runs the baseline copy).

#include "kernels/ml_kernels.hpp"

#if defined(SEM_KERNELS_X86_64_V3)
#include <sys/platform/x86.h>
#endif

namespace sem {

namespace baseline {
const MlKernels& kernels();
}

#if defined(SEM_KERNELS_X86_64_V3)
namespace x86_64_v3 {
const MlKernels& kernels();
}
#endif

namespace {

const MlKernels& select_kernels() {
#if defined(SEM_KERNELS_X86_64_V3)
    // Everything -march=x86-64-v3 lets the compiler use.
    const bool v3 = CPU_FEATURE_ACTIVE(CMPXCHG16B) && CPU_FEATURE_ACTIVE(LAHF64_SAHF64) &&
                    CPU_FEATURE_ACTIVE(POPCNT) && CPU_FEATURE_ACTIVE(SSE3) &&
                    CPU_FEATURE_ACTIVE(SSSE3) && CPU_FEATURE_ACTIVE(SSE4_1) &&
                    CPU_FEATURE_ACTIVE(SSE4_2) && CPU_FEATURE_ACTIVE(AVX) &&
                    CPU_FEATURE_ACTIVE(AVX2) && CPU_FEATURE_ACTIVE(BMI1) &&
                    CPU_FEATURE_ACTIVE(BMI2) && CPU_FEATURE_ACTIVE(F16C) &&
                    CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(LZCNT) &&
                    CPU_FEATURE_ACTIVE(MOVBE) && CPU_FEATURE_ACTIVE(OSXSAVE);
    if (v3) return x86_64_v3::kernels();
#endif
    return baseline::kernels();
}

}  // namespace

const MlKernels& ml_kernels() {
    static const MlKernels& chosen = select_kernels();
    return chosen;
}

}  // namespace sem
