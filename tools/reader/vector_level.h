// SPDX-License-Identifier: BSD-2-Clause
// The vector instructions the tool's own loops (the 302M group decoder, the
// WAV word writer) may use: x86-64 levels are compiled into every build,
// each function marked with what it uses, and run only on processors that
// have it. Elsewhere only the portable loops exist.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define TOOL_X86_VECTORS 1
#include <immintrin.h>
#define TOOL_TARGET_SSSE3 __attribute__((target("ssse3")))
#define TOOL_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define TOOL_X86_VECTORS 0
#endif

namespace pcmpack_reader {

// In rising order: a level may use what the levels below it use.
enum class VectorLevel { portable, ssse3, avx2 };

// The highest level this processor supports.
inline VectorLevel vector_level() {
#if TOOL_X86_VECTORS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return VectorLevel::avx2;
    if (__builtin_cpu_supports("ssse3")) return VectorLevel::ssse3;
#endif
    return VectorLevel::portable;
}

}  // namespace pcmpack_reader
