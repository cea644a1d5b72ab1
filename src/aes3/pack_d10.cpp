// SPDX-License-Identifier: BSD-2-Clause
// D-10 audio element: a 4-byte element header, then for every sample period
// eight 4-byte channel words, one per channel slot, whether or not the slot
// carries audio.
#include "aes3/packings.h"
#include "core/byte_order.h"

#include <string.h>

#include "core/vector_targets.h"

namespace pcmpack {
namespace {

constexpr int32_t kSlots = 8;
constexpr int32_t kWordBytes = 4;
constexpr int32_t kSamplePeriodBytes = kSlots * kWordBytes;
constexpr uint8_t kBlockStartFlag = 0x08;

// Only the 1001 rates number their elements within the five-frame sequence.
bool numbers_cadence_steps(int32_t frame_rate_code) {
    return frame_rate_code == 4 || frame_rate_code == 7;
}

// A channel word, read little-endian: the sample's 20 most significant bits
// in bits 4-23, the block-start flag in bit 3, the slot number in bits 0-2.
// The sample is read as a 4-byte word whose fourth byte (the next sample's)
// the mask drops; a big-endian sample is turned round first.
template <bool BigEndian>
uint32_t channel_word(const uint8_t *sample, uint32_t slot) {
    const uint32_t bytes = load_le32(sample);
    const uint32_t value = BigEndian ? __builtin_bswap32(bytes) >> 8 : bytes;
    return (value & 0x00FFFFF0u) | slot;
}

// One sample period: the channels' words in slots 0 to Channels - 1, zero
// words in the slots that carry no audio.
template <int Channels, bool BigEndian>
void pack_sample_period(const uint8_t *in, uint8_t *out) {
#pragma GCC unroll 8
    for (int slot = 0; slot < Channels; ++slot) {
        store_le32(out + slot * kWordBytes,
                   channel_word<BigEndian>(in + slot * 3, static_cast<uint32_t>(slot)));
    }
#pragma GCC unroll 8
    for (int slot = Channels; slot < kSlots; ++slot) store_le32(out + slot * kWordBytes, 0);
}

// The last sample period reads its samples from a copy, so that reading the
// last sample as a 4-byte word stays inside the frame's input.
template <int Channels, bool BigEndian>
void pack_sample_periods(const uint8_t *in, uint8_t *out, int32_t periods) {
    constexpr int32_t kPeriodInputBytes = 3 * Channels;
    const int32_t last = periods - 1;
    for (int32_t p = 0; p < last; ++p) {
        pack_sample_period<Channels, BigEndian>(in + p * kPeriodInputBytes,
                                                out + p * kSamplePeriodBytes);
    }
    uint8_t last_input[kPeriodInputBytes + 1] = {};
    memcpy(last_input, in + last * kPeriodInputBytes, kPeriodInputBytes);
    pack_sample_period<Channels, BigEndian>(last_input, out + last * kSamplePeriodBytes);
}

#if PCMPACK_X86_VECTORS || PCMPACK_ARM_NEON
// The vector loops build a whole sample period at once: slots 0-3 from the 16
// input bytes at the period's start, slots 4-7 from the 16 at its thirteenth
// byte (the fifth sample). One byte shuffle per half puts each sample's
// bytes into its word (least significant first, zero in the fourth byte and
// in the slots without audio); a mask drops the low four bits and the slot
// number goes in.
struct PeriodLayout {
    // Input byte of each output byte, from its half's load; 0x80 = zero (the
    // shuffle's zeroing bit, and past NEON's 16-byte table).
    uint8_t from[32];
    uint8_t keep[32];
    uint8_t slot[32];
};

template <int Channels, bool BigEndian>
constexpr PeriodLayout make_period_layout() {
    PeriodLayout layout{};
    for (int slot = 0; slot < kSlots; ++slot) {
        const int half_start = slot < 4 ? 0 : 12;
        for (int k = 0; k < kWordBytes; ++k) {
            const int at = slot * kWordBytes + k;
            layout.from[at] = 0x80;
            if (slot >= Channels || k == 3) continue;
            const int byte = BigEndian ? 2 - k : k;
            layout.from[at] = static_cast<uint8_t>(3 * slot + byte - half_start);
            layout.keep[at] = k == 0 ? 0xF0 : 0xFF;
            if (k == 0) layout.slot[at] = static_cast<uint8_t>(slot);
        }
    }
    return layout;
}

template <int Channels, bool BigEndian>
constexpr PeriodLayout kPeriodLayout = make_period_layout<Channels, BigEndian>();

// Periods the vector loop may build: each reads 16 bytes from its fifth
// sample on (28 bytes from its start), which must stay inside the input; the
// scalar loop builds the rest.
constexpr int32_t vector_periods(int32_t periods, int32_t period_input_bytes) {
    const int32_t input_bytes = periods * period_input_bytes;
    if (input_bytes < 28) return 0;
    const int32_t fit = (input_bytes - 28) / period_input_bytes + 1;
    return fit < periods ? fit : periods;
}
#endif

#if PCMPACK_X86_VECTORS
template <int Channels, bool BigEndian>
PCMPACK_TARGET_SSSE3 void pack_sample_periods_ssse3(const uint8_t *in, uint8_t *out,
                                                    int32_t periods) {
    constexpr int32_t kPeriodInputBytes = 3 * Channels;
    constexpr const PeriodLayout &layout = kPeriodLayout<Channels, BigEndian>;
    const int32_t done = vector_periods(periods, kPeriodInputBytes);
    const __m128i from_low = load16(layout.from), from_high = load16(layout.from + 16);
    const __m128i keep_low = load16(layout.keep), keep_high = load16(layout.keep + 16);
    const __m128i slot_low = load16(layout.slot), slot_high = load16(layout.slot + 16);
    for (int32_t p = 0; p < done; ++p) {
        const uint8_t *period = in + p * kPeriodInputBytes;
        uint8_t *words = out + p * kSamplePeriodBytes;
        store16(words, _mm_or_si128(_mm_and_si128(_mm_shuffle_epi8(load16(period), from_low),
                                                  keep_low),
                                    slot_low));
        if (Channels > 4) {
            store16(words + 16,
                    _mm_or_si128(_mm_and_si128(_mm_shuffle_epi8(load16(period + 12), from_high),
                                               keep_high),
                                 slot_high));
        } else {
            store16(words + 16, _mm_setzero_si128());
        }
    }
    if (done < periods) {
        pack_sample_periods<Channels, BigEndian>(in + done * kPeriodInputBytes,
                                                 out + done * kSamplePeriodBytes, periods - done);
    }
}

template <int Channels, bool BigEndian>
PCMPACK_TARGET_AVX2 void pack_sample_periods_avx2(const uint8_t *in, uint8_t *out,
                                                  int32_t periods) {
    constexpr int32_t kPeriodInputBytes = 3 * Channels;
    constexpr const PeriodLayout &layout = kPeriodLayout<Channels, BigEndian>;
    const int32_t done = vector_periods(periods, kPeriodInputBytes);
    const __m256i from = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(layout.from));
    const __m256i keep = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(layout.keep));
    const __m256i slot = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(layout.slot));
    for (int32_t p = 0; p < done; ++p) {
        const uint8_t *period = in + p * kPeriodInputBytes;
        const __m256i samples = load16x2(period, period + 12);
        _mm256_storeu_si256(
            reinterpret_cast<__m256i *>(out + p * kSamplePeriodBytes),
            _mm256_or_si256(_mm256_and_si256(_mm256_shuffle_epi8(samples, from), keep), slot));
    }
    if (done < periods) {
        pack_sample_periods<Channels, BigEndian>(in + done * kPeriodInputBytes,
                                                 out + done * kSamplePeriodBytes, periods - done);
    }
}

// The AVX-512 loop builds two sample periods per 64-byte register: one byte
// permute reaches both periods' samples (at most 48 bytes) from one load,
// and one logic instruction masks the words and puts the slot numbers in.
struct PairLayout {
    uint8_t from[64];  // input byte of each output byte, from the first period's start
    uint8_t keep[64];
    uint8_t slot[64];
};

template <int Channels, bool BigEndian>
constexpr PairLayout make_pair_layout() {
    constexpr const PeriodLayout &one = kPeriodLayout<Channels, BigEndian>;
    PairLayout pair{};
    for (int period = 0; period < 2; ++period) {
        for (int at = 0; at < kSamplePeriodBytes; ++at) {
            const int k = period * kSamplePeriodBytes + at, half_start = at < 16 ? 0 : 12;
            if (one.from[at] != 0x80) {
                pair.from[k] =
                    static_cast<uint8_t>(one.from[at] + half_start + period * 3 * Channels);
            }
            pair.keep[k] = one.keep[at];
            pair.slot[k] = one.slot[at];
        }
    }
    return pair;
}

template <int Channels, bool BigEndian>
constexpr PairLayout kPairLayout = make_pair_layout<Channels, BigEndian>();

// A byte permute; the zero-masking form, with every byte kept, because GCC 12
// warns that the plain one's pass-through register is uninitialized.
PCMPACK_TARGET_AVX512 inline __m512i permute(__m512i from, __m512i bytes) {
    return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, from, bytes);
}

template <int Channels, bool BigEndian>
PCMPACK_TARGET_AVX512 void pack_sample_periods_avx512(const uint8_t *in, uint8_t *out,
                                                      int32_t periods) {
    constexpr int32_t kPeriodInputBytes = 3 * Channels;
    constexpr const PairLayout &pair = kPairLayout<Channels, BigEndian>;
    const __m512i from = _mm512_loadu_si512(pair.from);
    const __m512i keep = _mm512_loadu_si512(pair.keep);
    const __m512i slot = _mm512_loadu_si512(pair.slot);
    const int32_t input_bytes = periods * kPeriodInputBytes;
    int32_t p = 0;
    // (samples & keep) | slot
    for (; p + 2 <= periods && p * kPeriodInputBytes + 64 <= input_bytes; p += 2) {
        const __m512i samples = _mm512_loadu_si512(in + p * kPeriodInputBytes);
        _mm512_storeu_si512(out + p * kSamplePeriodBytes,
                            _mm512_ternarylogic_epi32(permute(from, samples),
                                                      keep, slot, 0xEA));
    }
    // The last periods through masks, which touch no byte outside the run.
    for (; p < periods; p += 2) {
        const int32_t count = periods - p < 2 ? periods - p : 2;
        const __m512i samples = _mm512_maskz_loadu_epi8(first_bytes(count * kPeriodInputBytes),
                                                        in + p * kPeriodInputBytes);
        _mm512_mask_storeu_epi8(out + p * kSamplePeriodBytes,
                                first_bytes(count * kSamplePeriodBytes),
                                _mm512_ternarylogic_epi32(permute(from, samples),
                                                          keep, slot, 0xEA));
    }
}
#endif

#if PCMPACK_ARM_NEON
// The SSSE3 loop's halves, each one table lookup.
template <int Channels, bool BigEndian>
void pack_sample_periods_neon(const uint8_t *in, uint8_t *out, int32_t periods) {
    constexpr int32_t kPeriodInputBytes = 3 * Channels;
    constexpr const PeriodLayout &layout = kPeriodLayout<Channels, BigEndian>;
    const int32_t done = vector_periods(periods, kPeriodInputBytes);
    const uint8x16_t from_low = vld1q_u8(layout.from), from_high = vld1q_u8(layout.from + 16);
    const uint8x16_t keep_low = vld1q_u8(layout.keep), keep_high = vld1q_u8(layout.keep + 16);
    const uint8x16_t slot_low = vld1q_u8(layout.slot), slot_high = vld1q_u8(layout.slot + 16);
    for (int32_t p = 0; p < done; ++p) {
        const uint8_t *period = in + p * kPeriodInputBytes;
        uint8_t *words = out + p * kSamplePeriodBytes;
        vst1q_u8(words, vorrq_u8(vandq_u8(vqtbl1q_u8(vld1q_u8(period), from_low), keep_low),
                                 slot_low));
        vst1q_u8(words + 16,
                 Channels > 4
                     ? vorrq_u8(vandq_u8(vqtbl1q_u8(vld1q_u8(period + 12), from_high), keep_high),
                                slot_high)
                     : vdupq_n_u8(0));
    }
    if (done < periods) {
        pack_sample_periods<Channels, BigEndian>(in + done * kPeriodInputBytes,
                                                 out + done * kSamplePeriodBytes, periods - done);
    }
}
#endif

// The loop for each level, channel count and byte order; the encoder's level
// picks the row.
using PeriodsKernel = void (*)(const uint8_t *in, uint8_t *out, int32_t periods);
struct PeriodsKernels {
    PeriodsKernel of[kSlots][2];  // [channels - 1][big-endian input]
};

template <template <int, bool> class Loop>
constexpr PeriodsKernels kernels_of() {
    return {{{Loop<1, false>::run, Loop<1, true>::run},
             {Loop<2, false>::run, Loop<2, true>::run},
             {Loop<3, false>::run, Loop<3, true>::run},
             {Loop<4, false>::run, Loop<4, true>::run},
             {Loop<5, false>::run, Loop<5, true>::run},
             {Loop<6, false>::run, Loop<6, true>::run},
             {Loop<7, false>::run, Loop<7, true>::run},
             {Loop<8, false>::run, Loop<8, true>::run}}};
}

template <int Channels, bool BigEndian>
struct ScalarLoop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods) {
        pack_sample_periods<Channels, BigEndian>(in, out, periods);
    }
};
#if PCMPACK_X86_VECTORS
template <int Channels, bool BigEndian>
struct Ssse3Loop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods) {
        pack_sample_periods_ssse3<Channels, BigEndian>(in, out, periods);
    }
};
template <int Channels, bool BigEndian>
struct Avx2Loop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods) {
        pack_sample_periods_avx2<Channels, BigEndian>(in, out, periods);
    }
};
template <int Channels, bool BigEndian>
struct Avx512Loop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods) {
        pack_sample_periods_avx512<Channels, BigEndian>(in, out, periods);
    }
};
constexpr PeriodsKernels kPeriodsKernels[kKernelLevels] = {
    kernels_of<ScalarLoop>(), kernels_of<Ssse3Loop>(), kernels_of<Avx2Loop>(),
    kernels_of<Avx512Loop>(), kernels_of<ScalarLoop>()};
#elif PCMPACK_ARM_NEON
template <int Channels, bool BigEndian>
struct NeonLoop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods) {
        pack_sample_periods_neon<Channels, BigEndian>(in, out, periods);
    }
};
constexpr PeriodsKernels kPeriodsKernels[kKernelLevels] = {
    kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(),
    kernels_of<ScalarLoop>(), kernels_of<NeonLoop>()};
#else
constexpr PeriodsKernels kPeriodsKernels[kKernelLevels] = {
    kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(),
    kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>()};
#endif

// The channel count fixes the period layout for the whole frame.
void pack_sample_periods(const pcm_a_encoder &enc, const uint8_t *in, uint8_t *out,
                         int32_t periods) {
    const int32_t channels = enc.channels_minus_one + 1;
    if (channels < 1 || channels > kSlots) return;
    kPeriodsKernels[static_cast<int>(enc.kernel_level)]
        .of[channels - 1][input_is_big_endian(enc)](in, out, periods);
}

// The element header and the block-start flags: the element starts a new run
// of 192 sample periods.
void finish_element(const pcm_a_encoder &enc, uint8_t *element) {
    const int32_t step = enc.cadence_index;
    const int32_t periods = enc.samples_per_frame[step];
    element[0] = numbers_cadence_steps(enc.frameRateCode) ? static_cast<uint8_t>(step + 1) : 0;
    element[1] = static_cast<uint8_t>(periods);
    element[2] = static_cast<uint8_t>(periods >> 8);
    element[3] = static_cast<uint8_t>(enc.channel_mask);
    uint8_t *words = element + kElementHeaderBytes;
    for (int32_t p = 0; p < periods; p += kAes3BlockFrames) {
        words[p * kSamplePeriodBytes] |= kBlockStartFlag;
    }
}

}  // namespace

void aes3_pack_d10_periods(const pcm_a_encoder &enc, const uint8_t *input, int32_t first_period,
                           int32_t periods, uint8_t *frame) {
    if (periods <= 0) return;
    uint8_t *words = frame + kElementHeaderBytes + first_period * kSamplePeriodBytes;
    pack_sample_periods(enc, input, words, periods);
}

void aes3_finish_d10(const pcm_a_encoder &enc, uint8_t *frame) { finish_element(enc, frame); }

void aes3_pack_d10(const pcm_a_encoder &enc, const uint8_t *frame_input, uint8_t *frame) {
    const int32_t periods = enc.samples_per_frame[enc.cadence_index];
    uint8_t *element = frame;
    if (periods > 0) pack_sample_periods(enc, frame_input, element + kElementHeaderBytes, periods);
    finish_element(enc, element);
}

}  // namespace pcmpack
