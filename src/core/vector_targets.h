// The x86-64 vector levels are compiled into every build, each function
// marked with the instructions it may use, and run only on processors that
// have them (see kernel_level.h). Elsewhere only the scalar loops exist.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define PCMPACK_X86_VECTORS 1
#include <immintrin.h>
#define PCMPACK_TARGET_SSSE3 __attribute__((target("ssse3,sse4.1")))
#define PCMPACK_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define PCMPACK_X86_VECTORS 0
#endif
