// SPDX-License-Identifier: BSD-2-Clause
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
    avx512 = 3,  // x86-64 with AVX-512 F, BW, VL, VBMI and GFNI (64-byte registers,
                 // byte permutes across the register, bit reversal in one instruction)
    neon = 4,    // 64-bit ARM, which always has NEON (16-byte registers, table lookups
                 // over up to 64 bytes, bit reversal in one instruction)
};
constexpr int kKernelLevels = 5;

// The levels by name, as the tests and the benchmark ask for them.
constexpr const char *kKernelLevelNames[kKernelLevels] = {"scalar", "ssse3", "avx2", "avx512",
                                                          "neon"};

// The highest level the running processor supports. Only the levels of one
// processor family are ordered among themselves: an x86-64 processor never
// runs neon, an ARM one no x86-64 level. The encoder takes its
// settings from its host alone, never from the environment; the tests run the
// lower levels through lower_kernel_level() in encoder.h.
KernelLevel choose_kernel_level();

}  // namespace pcmpack
