// The one place that knows about instruction sets: picks the copy of the
// dense kernels (ML, polychoric Gamma) that this CPU can run, once per
// process. The CPU's features come from the C library, which also honours
// its tunables (so a process started with GLIBC_TUNABLES=
// glibc.cpu.hwcaps=-AVX2 runs the baseline copy).

#include "kernels/gram_kernels.hpp"
#include "kernels/ml_kernels.hpp"

#if defined(SEM_KERNELS_X86_64_V3)
#include <sys/platform/x86.h>
#endif

namespace sem {

namespace baseline {
const MlKernels& kernels();
const GramKernels& gram_kernels();
}

#if defined(SEM_KERNELS_X86_64_V3)
namespace x86_64_v3 {
const MlKernels& kernels();
const GramKernels& gram_kernels();
}
#endif

namespace {

bool runs_x86_64_v3() {
#if defined(SEM_KERNELS_X86_64_V3)
    // Everything -march=x86-64-v3 lets the compiler use.
    return CPU_FEATURE_ACTIVE(CMPXCHG16B) && CPU_FEATURE_ACTIVE(LAHF64_SAHF64) &&
           CPU_FEATURE_ACTIVE(POPCNT) && CPU_FEATURE_ACTIVE(SSE3) &&
           CPU_FEATURE_ACTIVE(SSSE3) && CPU_FEATURE_ACTIVE(SSE4_1) &&
           CPU_FEATURE_ACTIVE(SSE4_2) && CPU_FEATURE_ACTIVE(AVX) &&
           CPU_FEATURE_ACTIVE(AVX2) && CPU_FEATURE_ACTIVE(BMI1) &&
           CPU_FEATURE_ACTIVE(BMI2) && CPU_FEATURE_ACTIVE(F16C) &&
           CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(LZCNT) &&
           CPU_FEATURE_ACTIVE(MOVBE) && CPU_FEATURE_ACTIVE(OSXSAVE);
#else
    return false;
#endif
}

const MlKernels& select_kernels() {
#if defined(SEM_KERNELS_X86_64_V3)
    if (runs_x86_64_v3()) return x86_64_v3::kernels();
#endif
    return baseline::kernels();
}

const GramKernels& select_gram_kernels() {
#if defined(SEM_KERNELS_X86_64_V3)
    if (runs_x86_64_v3()) return x86_64_v3::gram_kernels();
#endif
    return baseline::gram_kernels();
}

}  // namespace

const MlKernels& ml_kernels() {
    static const MlKernels& chosen = select_kernels();
    return chosen;
}

const GramKernels& gram_kernels() {
    static const GramKernels& chosen = select_gram_kernels();
    return chosen;
}

}  // namespace sem
