// SPDX-License-Identifier: BSD-2-Clause
// The x86-64 vector levels are compiled into every x86-64 build, each
// function marked with the instructions it may use, and run only on
// processors that have them (see kernel_level.h); 64-bit ARM builds have the
// NEON loops. Elsewhere only the scalar loops exist.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define PCMPACK_X86_VECTORS 1
#include <immintrin.h>
#define PCMPACK_TARGET_SSSE3 __attribute__((target("ssse3,sse4.1")))
#define PCMPACK_TARGET_AVX2 __attribute__((target("avx2")))
#define PCMPACK_TARGET_AVX512 \
    __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi,gfni")))

#include <stdint.h>

namespace pcmpack {

PCMPACK_TARGET_SSSE3 inline __m128i load16(const uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

PCMPACK_TARGET_SSSE3 inline void store16(uint8_t *p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

// 16 bytes at each of two places, one in each lane of a 32-byte register.
PCMPACK_TARGET_AVX2 inline __m256i load16x2(const uint8_t *low, const uint8_t *high) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(load16(low)), load16(high), 1);
}

// Each lane of a 32-byte register to its own place.
PCMPACK_TARGET_AVX2 inline void store16x2(uint8_t *low, uint8_t *high, __m256i v) {
    store16(low, _mm256_castsi256_si128(v));
    store16(high, _mm256_extracti128_si256(v, 1));
}

// The same 16 bytes in both lanes of a 32-byte register.
PCMPACK_TARGET_AVX2 inline __m256i both_lanes(const uint8_t *p) {
    return _mm256_broadcastsi128_si256(load16(p));
}

// The first `bytes` bytes of a 64-byte register, for the masked loads and
// stores that end a run without touching a byte past it.
inline __mmask64 first_bytes(int32_t bytes) {
    return bytes >= 64 ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1;
}

}  // namespace pcmpack
#else
#define PCMPACK_X86_VECTORS 0
#endif

// NEON is part of every 64-bit ARM processor: its loops need no marking.
#if defined(__aarch64__)
#define PCMPACK_ARM_NEON 1
#include <arm_neon.h>
#else
#define PCMPACK_ARM_NEON 0
#endif
