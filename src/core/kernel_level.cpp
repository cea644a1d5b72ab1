// SPDX-License-Identifier: BSD-2-Clause
#include "core/kernel_level.h"

namespace pcmpack {
namespace {

KernelLevel supported_level() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("gfni")) {
        return KernelLevel::avx512;
    }
    if (__builtin_cpu_supports("avx2")) return KernelLevel::avx2;
    if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1")) {
        return KernelLevel::ssse3;
    }
#endif
#if defined(__aarch64__)
    return KernelLevel::neon;
#endif
    return KernelLevel::scalar;
}

}  // namespace

KernelLevel choose_kernel_level() { return supported_level(); }

}  // namespace pcmpack
