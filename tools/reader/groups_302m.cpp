// SPDX-License-Identifier: BSD-2-Clause
#include "groups_302m.h"

#include <algorithm>

namespace pcmpack_reader {

void mirror_payload(const uint8_t *from, size_t bytes, uint8_t *to) {
    size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        uint64_t v;
        std::memcpy(&v, from + i, 8);
        v = mirror_bytes(v);
        std::memcpy(to + i, &v, 8);
    }
    uint8_t tail[8] = {};
    std::memcpy(tail, from + i, bytes - i);
    uint64_t v;
    std::memcpy(&v, tail, 8);
    v = mirror_bytes(v);
    std::memcpy(to + i, &v, 8);
}

#if TOOL_X86_VECTORS
namespace {

// Group `g` of a frame: its two samples into out[2g], out[2g + 1]; returns
// the marker bits that differ from `expected`.
template <int Bits>
uint64_t one_group(const uint8_t *payload, int g, uint64_t expected, int32_t *out) {
    using G = Group302m<Bits>;
    const uint64_t v = mirror_bytes(group_at<G::kBytes>(payload + size_t(g) * G::kBytes, false));
    out[2 * g] = static_cast<int32_t>(static_cast<uint32_t>(v & G::kSampleMask) << (32 - Bits));
    out[2 * g + 1] = static_cast<int32_t>(
        static_cast<uint32_t>((v >> (Bits + 4)) & G::kSampleMask) << (32 - Bits));
    return (v & G::kMarkerMask) ^ expected;
}

// The plain groups [g, end) in registers, as many as 16-byte loads inside
// the frame's `bytes` allow; returns the first group left over. Marker bits
// that differ from the plain nibbles are ORed into `faults`.
using PlainRun = int (*)(const uint8_t *payload, size_t bytes, int g, int end, int32_t *out,
                         uint64_t *faults);

// A frame's groups: each block start on its own, the plain groups between
// in registers, what the registers leave one at a time.
template <int Bits, PlainRun Run>
bool decode_frame(const uint8_t *payload, int groups, int32_t *out) {
    using G = Group302m<Bits>;
    const size_t bytes = size_t(groups) * G::kBytes;
    uint64_t faults = 0;
    for (int block = 0; block < groups; block += kGroupsPerBlock) {
        const int end = std::min(block + kGroupsPerBlock, groups);
        faults |= one_group<Bits>(payload, block, G::kBlockStart, out);
        int g = Run(payload, bytes, block + 1, end, out, &faults);
        for (; g < end; ++g) faults |= one_group<Bits>(payload, g, G::kPlain, out);
    }
    return faults == 0;
}

struct ByteTable {
    uint8_t at[16];
};

// rev() of a nibble n, placed in the high half (from the low nibble) or the
// low half (from the high nibble) of the mirrored byte.
constexpr ByteTable nibble_mirror(int shift) {
    ByteTable t{};
    for (int n = 0; n < 16; ++n) t.at[n] = static_cast<uint8_t>(mirror_bytes(uint64_t(n) << shift));
    return t;
}
constexpr ByteTable kToHigh = nibble_mirror(0);
constexpr ByteTable kToLow = nibble_mirror(4);

// Two groups as sent, each into its own 64-bit lane, zero above.
template <int GroupBytes>
constexpr ByteTable two_groups_to_lanes() {
    ByteTable t{};
    for (int k = 0; k < 8; ++k) {
        t.at[k] = k < GroupBytes ? uint8_t(k) : 0x80;
        t.at[8 + k] = k < GroupBytes ? uint8_t(GroupBytes + k) : 0x80;
    }
    return t;
}

template <int GroupBytes>
constexpr ByteTable kToLanes = two_groups_to_lanes<GroupBytes>();

TOOL_TARGET_SSSE3 inline __m128i load16(const void *p) {
    return _mm_loadu_si128(static_cast<const __m128i *>(p));
}

TOOL_TARGET_AVX2 inline __m256i both_lanes(__m128i v) { return _mm256_broadcastsi128_si256(v); }

TOOL_TARGET_SSSE3 inline __m128i lanes64(uint64_t v) {
    return _mm_set1_epi64x(static_cast<long long>(v));
}

// The constants of one word length, in both lanes of a register.
struct Constants {
    __m128i to_high, to_low, nibble, to_lanes, marker_mask, plain, keep_first, keep_second;
};

// The samples left-justified: the first from the lane's low 32 bits, the
// second's top bit moved to bit 63 and the bits below it cleared.
constexpr uint64_t kKeepFirst = 0xFFFFFFFFull;
template <int Bits>
constexpr uint64_t kKeepSecond = (0xFFFFFFFFull << (32 - Bits) & 0xFFFFFFFFull) << 32;

template <int Bits>
TOOL_TARGET_SSSE3 Constants constants_of() {
    using G = Group302m<Bits>;
    return {load16(kToHigh.at),          load16(kToLow.at),
            _mm_set1_epi8(0x0F),         load16(kToLanes<G::kBytes>.at),
            lanes64(G::kMarkerMask),     lanes64(G::kPlain),
            lanes64(kKeepFirst),         lanes64(kKeepSecond<Bits>)};
}

// Two groups at a time, each moved into a 64-bit lane and its bytes
// mirrored by two nibble lookups, so that the lane reads as the group's
// bit string: the markers are compared with the plain nibbles, and each
// sample is shifted to the top of its half of the lane.
template <int Bits>
TOOL_TARGET_SSSE3 int plain_groups_ssse3(const uint8_t *payload, size_t bytes, int g, int end,
                                         int32_t *out, uint64_t *faults) {
    constexpr int kGroupBytes = Group302m<Bits>::kBytes;
    const Constants k = constants_of<Bits>();
    __m128i wrong = _mm_setzero_si128();
    for (; g + 2 <= end && size_t(g) * kGroupBytes + 16 <= bytes; g += 2) {
        const __m128i sent =
            _mm_shuffle_epi8(load16(payload + size_t(g) * kGroupBytes), k.to_lanes);
        const __m128i low = _mm_and_si128(sent, k.nibble);
        const __m128i high = _mm_and_si128(_mm_srli_epi16(sent, 4), k.nibble);
        const __m128i v =
            _mm_or_si128(_mm_shuffle_epi8(k.to_high, low), _mm_shuffle_epi8(k.to_low, high));
        wrong = _mm_or_si128(wrong, _mm_xor_si128(_mm_and_si128(v, k.marker_mask), k.plain));
        const __m128i first = _mm_and_si128(_mm_slli_epi64(v, 32 - Bits), k.keep_first);
        const __m128i second = _mm_and_si128(_mm_slli_epi64(v, 60 - 2 * Bits), k.keep_second);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * g), _mm_or_si128(first, second));
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(wrong, _mm_setzero_si128())) != 0xFFFF) *faults |= 1;
    return g;
}

// Four groups at a time: two in each 16-byte lane.
template <int Bits>
TOOL_TARGET_AVX2 int plain_groups_avx2(const uint8_t *payload, size_t bytes, int g, int end,
                                       int32_t *out, uint64_t *faults) {
    constexpr int kGroupBytes = Group302m<Bits>::kBytes;
    const Constants c = constants_of<Bits>();
    const __m256i to_high = both_lanes(c.to_high), to_low = both_lanes(c.to_low);
    const __m256i nibble = both_lanes(c.nibble), to_lanes = both_lanes(c.to_lanes);
    const __m256i marker_mask = both_lanes(c.marker_mask), plain = both_lanes(c.plain);
    const __m256i keep_first = both_lanes(c.keep_first), keep_second = both_lanes(c.keep_second);
    __m256i wrong = _mm256_setzero_si256();
    for (; g + 4 <= end && size_t(g + 2) * kGroupBytes + 16 <= bytes; g += 4) {
        const uint8_t *at = payload + size_t(g) * kGroupBytes;
        const __m256i pair = _mm256_inserti128_si256(_mm256_castsi128_si256(load16(at)),
                                                     load16(at + 2 * kGroupBytes), 1);
        const __m256i sent = _mm256_shuffle_epi8(pair, to_lanes);
        const __m256i low = _mm256_and_si256(sent, nibble);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(sent, 4), nibble);
        const __m256i v = _mm256_or_si256(_mm256_shuffle_epi8(to_high, low),
                                          _mm256_shuffle_epi8(to_low, high));
        wrong = _mm256_or_si256(wrong, _mm256_xor_si256(_mm256_and_si256(v, marker_mask), plain));
        const __m256i first = _mm256_and_si256(_mm256_slli_epi64(v, 32 - Bits), keep_first);
        const __m256i second = _mm256_and_si256(_mm256_slli_epi64(v, 60 - 2 * Bits), keep_second);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 2 * g),
                            _mm256_or_si256(first, second));
    }
    if (!_mm256_testz_si256(wrong, wrong)) *faults |= 1;
    return plain_groups_ssse3<Bits>(payload, bytes, g, end, out, faults);
}

// [level][word length]: the SSSE3 and the AVX2 loops for 16, 20 and 24 bits.
constexpr Groups302mDecoder kDecoders[2][3] = {
    {decode_frame<16, plain_groups_ssse3<16>>, decode_frame<20, plain_groups_ssse3<20>>,
     decode_frame<24, plain_groups_ssse3<24>>},
    {decode_frame<16, plain_groups_avx2<16>>, decode_frame<20, plain_groups_avx2<20>>,
     decode_frame<24, plain_groups_avx2<24>>},
};

}  // namespace

Groups302mDecoder vector_302m_decoder(int bits, VectorLevel most) {
    switch (std::min(most, vector_level())) {
    case VectorLevel::portable: return nullptr;
    case VectorLevel::ssse3: return kDecoders[0][(bits - 16) / 4];
    case VectorLevel::avx2: return kDecoders[1][(bits - 16) / 4];
    }
    return nullptr;
}
#else
Groups302mDecoder vector_302m_decoder(int, VectorLevel) { return nullptr; }
#endif

}  // namespace pcmpack_reader
