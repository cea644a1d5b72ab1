#include "core/kernel_level.h"

#include <stdlib.h>
#include <string.h>

namespace pcmpack {
namespace {

KernelLevel supported_level() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return KernelLevel::avx2;
    if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1")) {
        return KernelLevel::ssse3;
    }
#endif
    return KernelLevel::scalar;
}

// The level named by the environment, or the highest when none is named.
KernelLevel requested_level() {
    constexpr const char *kNames[kKernelLevels] = {"scalar", "ssse3", "avx2"};
    const char *name = getenv("PCMPACK_KERNELS");
    if (name == nullptr) return KernelLevel::avx2;
    for (int level = 0; level < kKernelLevels; ++level) {
        if (strcmp(name, kNames[level]) == 0) return static_cast<KernelLevel>(level);
    }
    return KernelLevel::avx2;
}

}  // namespace

KernelLevel choose_kernel_level() {
    const KernelLevel supported = supported_level();
    const KernelLevel requested = requested_level();
    return requested < supported ? requested : supported;
}

}  // namespace pcmpack
