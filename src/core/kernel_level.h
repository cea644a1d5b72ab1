// Which vector instructions an encoder's packing loops use. Chosen once per
// encoder by pcmOutAudioInit, from what the processor offers; every level
// writes the same bytes, the portable scalar loops being the reference.
#pragma once

#include <stdint.h>

namespace pcmpack {

enum class KernelLevel : int32_t {
    scalar = 0,  // portable C++, any processor
    ssse3 = 1,   // x86-64 with SSSE3 and SSE4.1 (byte shuffles)
    avx2 = 2,    // x86-64 with AVX2 (32-byte registers)
};
constexpr int kKernelLevels = 3;

// The highest level the running processor supports, lowered to the one named
// by the environment variable PCMPACK_KERNELS ("scalar", "ssse3" or "avx2")
// when that is set: the tests run every level the machine has this way. A
// level the processor lacks is never chosen.
KernelLevel choose_kernel_level();

}  // namespace pcmpack
