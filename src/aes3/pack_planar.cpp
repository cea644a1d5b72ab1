// SPDX-License-Identifier: BSD-2-Clause
// Planar AES3 payload: the frame's interleaved samples regrouped into one
// plane per channel, every sample least significant byte first.
#include "aes3/packings.h"
#include "core/byte_order.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/vector_targets.h"

namespace pcmpack {
namespace {

constexpr int32_t kMaxChannels = 8;

// Sample periods regrouped at a time by the 16-bit packing: eight periods
// are one 16-byte register of each plane.
constexpr int32_t kBlockPeriods = 8;

// A 16-bit sample as the plane holds it: little-endian input as it is,
// big-endian input with its two bytes exchanged.
template <bool BigEndian>
uint16_t plane_word16(const uint8_t *sample) {
    const uint16_t value = load_le16(sample);
    return BigEndian ? __builtin_bswap16(value) : value;
}

#if defined(__SSE2__)
// Blocks of eight sample periods in 16-byte registers, for the channel counts
// whose block splits evenly into whole registers.
template <int Channels>
constexpr bool kBlockInRegisters = Channels == 1 || Channels == 2 || Channels == 8;

inline void store_row(uint8_t *out, __m128i row) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), row);
}

// Eight 16-bit words, turned little-endian when the input is big-endian.
template <bool BigEndian>
__m128i load_row(const uint8_t *in) {
    const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
    return BigEndian ? _mm_or_si128(_mm_slli_epi16(row, 8), _mm_srli_epi16(row, 8)) : row;
}

// Two channels: each register holds four periods, L R L R L R L R; gathering
// the even words in its low half and the odd words in its high half gives
// four samples of each channel.
template <bool BigEndian>
void block_2ch(const uint8_t *in, uint8_t *out, int32_t plane_bytes) {
    auto split = [](__m128i row) {
        row = _mm_shufflelo_epi16(row, _MM_SHUFFLE(3, 1, 2, 0));
        row = _mm_shufflehi_epi16(row, _MM_SHUFFLE(3, 1, 2, 0));
        return _mm_shuffle_epi32(row, _MM_SHUFFLE(3, 1, 2, 0));
    };
    const __m128i first = split(load_row<BigEndian>(in));
    const __m128i second = split(load_row<BigEndian>(in + 16));
    store_row(out, _mm_unpacklo_epi64(first, second));
    store_row(out + plane_bytes, _mm_unpackhi_epi64(first, second));
}

// Three to eight channels: the block is a matrix of eight periods, each read
// as eight words (past three to seven channels, the next period's first
// words, which are left out again); transposed, each register is eight
// samples of one channel.
template <int Channels, bool BigEndian>
void block_transposed(const uint8_t *in, uint8_t *out, int32_t plane_bytes) {
    // The matrix lives in registers only when every loop is unrolled.
    __m128i row[8], pairs[8], quads[8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) row[k] = load_row<BigEndian>(in + 2 * Channels * k);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        pairs[2 * k] = _mm_unpacklo_epi16(row[2 * k], row[2 * k + 1]);
        pairs[2 * k + 1] = _mm_unpackhi_epi16(row[2 * k], row[2 * k + 1]);
    }
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        const int rows = 4 * (k / 2), half = k % 2;
        const __m128i a = pairs[rows + half], b = pairs[rows + half + 2];
        quads[rows + 2 * half] = _mm_unpacklo_epi32(a, b);
        quads[rows + 2 * half + 1] = _mm_unpackhi_epi32(a, b);
    }
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        if (2 * k < Channels) {
            store_row(out + (2 * k) * plane_bytes, _mm_unpacklo_epi64(quads[k], quads[k + 4]));
        }
        if (2 * k + 1 < Channels) {
            store_row(out + (2 * k + 1) * plane_bytes,
                      _mm_unpackhi_epi64(quads[k], quads[k + 4]));
        }
    }
}

// One channel needs no regrouping: the block is already its plane.
template <int Channels, bool BigEndian>
void block_in_registers(const uint8_t *in, uint8_t *out, int32_t plane_bytes) {
    if constexpr (Channels == 1) {
        store_row(out, load_row<BigEndian>(in));
    } else if constexpr (Channels == 2) {
        block_2ch<BigEndian>(in, out, plane_bytes);
    } else {
        block_transposed<Channels, BigEndian>(in, out, plane_bytes);
    }
}
#else
template <int Channels>
constexpr bool kBlockInRegisters = false;

template <int Channels, bool BigEndian>
void block_in_registers(const uint8_t *, uint8_t *, int32_t) {}
#endif

// 16-bit: blocks of kBlockPeriods sample periods, each channel's samples of
// the block written to its plane together; the periods left over after the
// last whole block one at a time.
template <int Channels, bool BigEndian>
void fill_planes16(const uint8_t *__restrict in, uint8_t *__restrict out, int32_t periods,
                   int32_t plane_bytes) {
    constexpr int32_t kPeriodBytes = 2 * Channels;
    int32_t p = 0;
    for (; p + kBlockPeriods <= periods; p += kBlockPeriods) {
        if constexpr (kBlockInRegisters<Channels>) {
            block_in_registers<Channels, BigEndian>(in + p * kPeriodBytes, out + 2 * p,
                                                    plane_bytes);
        } else {
            for (int ch = 0; ch < Channels; ++ch) {
                for (int32_t k = 0; k < kBlockPeriods; ++k) {
                    store_le16(out + ch * plane_bytes + 2 * (p + k),
                               plane_word16<BigEndian>(in + (p + k) * kPeriodBytes + 2 * ch));
                }
            }
        }
    }
    for (; p < periods; ++p) {
        for (int ch = 0; ch < Channels; ++ch) {
            store_le16(out + ch * plane_bytes + 2 * p,
                       plane_word16<BigEndian>(in + p * kPeriodBytes + 2 * ch));
        }
    }
}

// A 20- or 24-bit sample read as a 4-byte word (the fourth byte belongs to
// the next sample), least significant byte first in its low 3 bytes.
template <bool BigEndian>
uint32_t plane_word24(const uint8_t *sample) {
    const uint32_t value = load_le32(sample);
    return BigEndian ? __builtin_bswap32(value) >> 8 : value;
}

// 20- and 24-bit: one sample period at a time, each sample read and written
// as a 4-byte word. The fourth byte written lands on the plane's next sample,
// which the next period writes properly. The last period reads and writes
// exactly 3 bytes a sample, so that nothing is read past the frame's input
// or written over the start of the next plane.
template <int Channels, bool BigEndian>
void fill_planes24(const uint8_t *__restrict in, uint8_t *__restrict out, int32_t periods,
                   int32_t plane_bytes) {
    constexpr int32_t kPeriodBytes = 3 * Channels;
    if (periods <= 0) return;
    const int32_t last = periods - 1;
    for (int32_t p = 0; p < last; ++p) {
#pragma GCC unroll 8
        for (int ch = 0; ch < Channels; ++ch) {
            store_le32(out + ch * plane_bytes + 3 * p,
                       plane_word24<BigEndian>(in + p * kPeriodBytes + 3 * ch));
        }
    }
    for (int ch = 0; ch < Channels; ++ch) {
        const uint8_t *sample = in + last * kPeriodBytes + 3 * ch;
        uint8_t *planed = out + ch * plane_bytes + 3 * last;
        for (int k = 0; k < 3; ++k) planed[k] = sample[BigEndian ? 2 - k : k];
    }
}

#if PCMPACK_X86_VECTORS
// The vector loops for 3-byte samples move whole samples with byte shuffles,
// four or eight sample periods (or five samples of one channel) at a time, and leave
// the last periods to the scalar loop: every 16-byte read stays inside the
// input and every 16-byte write (of which 12 or 15 bytes count) inside the
// run's part of each plane.

// Offset, within its sample, of the input byte that becomes the plane's k-th
// byte of that sample.
template <bool BigEndian>
constexpr int sample_byte(int k) {
    return BigEndian ? 2 - k : k;
}

// One channel: the plane is the input with each sample least significant
// byte first; five samples per register.
struct OneChannelLayout {
    uint8_t from[16];
};
template <bool BigEndian>
constexpr OneChannelLayout make_one_channel_layout() {
    OneChannelLayout layout{};
    for (int k = 0; k < 16; ++k) {
        layout.from[k] = k < 15 ? static_cast<uint8_t>(k / 3 * 3 + sample_byte<BigEndian>(k % 3))
                                : 0x80;
    }
    return layout;
}
template <bool BigEndian>
constexpr OneChannelLayout kOneChannelLayout = make_one_channel_layout<BigEndian>();

template <bool BigEndian>
PCMPACK_TARGET_SSSE3 void one_channel_ssse3(const uint8_t *in, uint8_t *out, int32_t periods) {
    if (!BigEndian) {
        memcpy(out, in, static_cast<size_t>(periods) * 3);
        return;
    }
    const __m128i from = load16(kOneChannelLayout<BigEndian>.from);
    int32_t p = 0;
    for (; 3 * p + 16 <= 3 * periods; p += 5) {
        store16(out + 3 * p, _mm_shuffle_epi8(load16(in + 3 * p), from));
    }
    fill_planes24<1, BigEndian>(in + 3 * p, out + 3 * p, periods - p, 0);
}

// Two channels: four periods (24 bytes) come from two overlapping 16-byte
// reads, at the block's start and 8 bytes on; each plane's four samples are
// one shuffle of each, or-ed.
struct TwoChannelLayout {
    uint8_t from_first[2][16];  // [channel]: bytes taken from the first read
    uint8_t from_second[2][16];
};
template <bool BigEndian>
constexpr TwoChannelLayout make_two_channel_layout() {
    TwoChannelLayout layout{};
    for (int ch = 0; ch < 2; ++ch) {
        for (int k = 0; k < 16; ++k) layout.from_first[ch][k] = layout.from_second[ch][k] = 0x80;
        for (int period = 0; period < 4; ++period) {
            const int sample = 6 * period + 3 * ch;
            for (int k = 0; k < 3; ++k) {
                const int at = 3 * period + k, byte = sample + sample_byte<BigEndian>(k);
                if (sample + 2 <= 15) {
                    layout.from_first[ch][at] = static_cast<uint8_t>(byte);
                } else {
                    layout.from_second[ch][at] = static_cast<uint8_t>(byte - 8);
                }
            }
        }
    }
    return layout;
}
template <bool BigEndian>
constexpr TwoChannelLayout kTwoChannelLayout = make_two_channel_layout<BigEndian>();

template <bool BigEndian>
PCMPACK_TARGET_SSSE3 void two_channels_ssse3(const uint8_t *in, uint8_t *out, int32_t periods,
                                             int32_t plane_bytes) {
    constexpr const TwoChannelLayout &layout = kTwoChannelLayout<BigEndian>;
    const __m128i first0 = load16(layout.from_first[0]), second0 = load16(layout.from_second[0]);
    const __m128i first1 = load16(layout.from_first[1]), second1 = load16(layout.from_second[1]);
    int32_t p = 0;
    for (; p + 4 <= periods && 3 * p + 16 <= 3 * periods; p += 4) {
        const __m128i a = load16(in + 6 * p), b = load16(in + 6 * p + 8);
        store16(out + 3 * p,
                _mm_or_si128(_mm_shuffle_epi8(a, first0), _mm_shuffle_epi8(b, second0)));
        store16(out + plane_bytes + 3 * p,
                _mm_or_si128(_mm_shuffle_epi8(a, first1), _mm_shuffle_epi8(b, second1)));
    }
    fill_planes24<2, BigEndian>(in + 6 * p, out + 3 * p, periods - p, plane_bytes);
}

// The same, eight periods at a time: periods 4-7 in the upper lanes.
template <bool BigEndian>
PCMPACK_TARGET_AVX2 void two_channels_avx2(const uint8_t *in, uint8_t *out, int32_t periods,
                                           int32_t plane_bytes) {
    constexpr const TwoChannelLayout &layout = kTwoChannelLayout<BigEndian>;
    const __m256i first0 = both_lanes(layout.from_first[0]);
    const __m256i second0 = both_lanes(layout.from_second[0]);
    const __m256i first1 = both_lanes(layout.from_first[1]);
    const __m256i second1 = both_lanes(layout.from_second[1]);
    int32_t p = 0;
    for (; p + 8 <= periods && 3 * p + 28 <= 3 * periods; p += 8) {
        const uint8_t *block = in + 6 * p;
        const __m256i a = load16x2(block, block + 24), b = load16x2(block + 8, block + 32);
        uint8_t *left = out + 3 * p, *right = out + plane_bytes + 3 * p;
        store16x2(left, left + 12,
                  _mm256_or_si256(_mm256_shuffle_epi8(a, first0), _mm256_shuffle_epi8(b, second0)));
        store16x2(right, right + 12,
                  _mm256_or_si256(_mm256_shuffle_epi8(a, first1), _mm256_shuffle_epi8(b, second1)));
    }
    two_channels_ssse3<BigEndian>(in + 6 * p, out + 3 * p, periods - p, plane_bytes);
}

// Three to eight channels: each period becomes 4-byte words, one per
// channel, four channels to a 16-byte register (channels 0-3 from a read at
// the period's start, 4-7 from a read 12 bytes on); four periods are
// transposed so that each register holds four samples of one channel, which
// are closed up to 12 bytes and stored in its plane.
struct WideLayout {
    // Channels 0-3, then 4-7. Up to four channels, the upper half repeats the
    // lower one: the AVX2 loop's upper lane holds the next four periods.
    uint8_t expand[32];
    uint8_t close_up[16];
};
template <int Channels, bool BigEndian>
constexpr WideLayout make_wide_layout() {
    WideLayout layout{};
    for (int word = 0; word < 8; ++word) {
        const int ch = Channels <= 4 ? word % 4 : word;
        const int read_start = ch < 4 ? 0 : 12;
        for (int k = 0; k < 4; ++k) {
            layout.expand[4 * word + k] =
                ch < Channels && k < 3
                    ? static_cast<uint8_t>(3 * ch + sample_byte<BigEndian>(k) - read_start)
                    : 0x80;
        }
    }
    for (int k = 0; k < 16; ++k) {
        layout.close_up[k] = k < 12 ? static_cast<uint8_t>(k / 3 * 4 + k % 3) : 0x80;
    }
    return layout;
}
template <int Channels, bool BigEndian>
constexpr WideLayout kWideLayout = make_wide_layout<Channels, BigEndian>();

// Four periods of four words each become four words of each of four channels.
PCMPACK_TARGET_SSSE3 inline void transpose_words(__m128i (&m)[4]) {
    const __m128i t0 = _mm_unpacklo_epi32(m[0], m[1]), t1 = _mm_unpackhi_epi32(m[0], m[1]);
    const __m128i t2 = _mm_unpacklo_epi32(m[2], m[3]), t3 = _mm_unpackhi_epi32(m[2], m[3]);
    m[0] = _mm_unpacklo_epi64(t0, t2);
    m[1] = _mm_unpackhi_epi64(t0, t2);
    m[2] = _mm_unpacklo_epi64(t1, t3);
    m[3] = _mm_unpackhi_epi64(t1, t3);
}

// The same in each lane.
PCMPACK_TARGET_AVX2 inline void transpose_words(__m256i (&m)[4]) {
    const __m256i t0 = _mm256_unpacklo_epi32(m[0], m[1]), t1 = _mm256_unpackhi_epi32(m[0], m[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(m[2], m[3]), t3 = _mm256_unpackhi_epi32(m[2], m[3]);
    m[0] = _mm256_unpacklo_epi64(t0, t2);
    m[1] = _mm256_unpackhi_epi64(t0, t2);
    m[2] = _mm256_unpacklo_epi64(t1, t3);
    m[3] = _mm256_unpackhi_epi64(t1, t3);
}

// Four periods of the Count channels whose samples start in each period's
// 16 bytes at `period`, to those channels' planes from `planes` on.
template <int Count, int32_t PeriodBytes>
PCMPACK_TARGET_SSSE3 inline void four_periods_ssse3(const uint8_t *period, uint8_t *planes,
                                                    int32_t plane_bytes, __m128i expand,
                                                    __m128i close_up) {
    __m128i m[4];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) m[k] = _mm_shuffle_epi8(load16(period + k * PeriodBytes), expand);
    transpose_words(m);
#pragma GCC unroll 4
    for (int ch = 0; ch < Count; ++ch) {
        store16(planes + ch * plane_bytes, _mm_shuffle_epi8(m[ch], close_up));
    }
}

template <int Channels, bool BigEndian>
PCMPACK_TARGET_SSSE3 void wide_ssse3(const uint8_t *in, uint8_t *out, int32_t periods,
                                     int32_t plane_bytes) {
    constexpr int32_t kPeriodBytes = 3 * Channels;
    constexpr int kLowChannels = Channels < 4 ? Channels : 4;
    constexpr int32_t kReadBytes = Channels > 4 ? 12 + 16 : 16;
    constexpr const WideLayout &layout = kWideLayout<Channels, BigEndian>;
    const __m128i expand_low = load16(layout.expand), expand_high = load16(layout.expand + 16);
    const __m128i close_up = load16(layout.close_up);
    const int32_t input_bytes = periods * kPeriodBytes;
    int32_t p = 0;
    for (; p + 4 <= periods && (p + 3) * kPeriodBytes + kReadBytes <= input_bytes &&
           3 * p + 16 <= 3 * periods;
         p += 4) {
        const uint8_t *block = in + p * kPeriodBytes;
        four_periods_ssse3<kLowChannels, kPeriodBytes>(block, out + 3 * p, plane_bytes,
                                                       expand_low, close_up);
        if constexpr (Channels > 4) {
            four_periods_ssse3<Channels - 4, kPeriodBytes>(
                block + 12, out + 4 * plane_bytes + 3 * p, plane_bytes, expand_high, close_up);
        }
    }
    fill_planes24<Channels, BigEndian>(in + p * kPeriodBytes, out + 3 * p, periods - p,
                                       plane_bytes);
}

// The same in 32-byte registers. Five to eight channels: the lower lane holds
// channels 0-3 of four periods, the upper lane channels 4-7. Three or four
// channels: the lower lane four periods, the upper lane the next four, so
// that each lane's 12 bytes of a plane follow the other's.
template <int Channels, bool BigEndian>
PCMPACK_TARGET_AVX2 void wide_avx2(const uint8_t *in, uint8_t *out, int32_t periods,
                                   int32_t plane_bytes) {
    constexpr int32_t kPeriodBytes = 3 * Channels;
    constexpr bool kTwoBlocks = Channels <= 4;
    constexpr int32_t kBlockPeriods = kTwoBlocks ? 8 : 4;
    constexpr int32_t kUpperLaneFrom = kTwoBlocks ? 4 * kPeriodBytes : 12;
    // Bytes from the start of the block's last period to the end of its last read,
    // and from the start of a plane's samples of the block to the end of its
    // last write.
    constexpr int32_t kReadBytes = kTwoBlocks ? 16 : 12 + 16;
    constexpr int32_t kWriteBytes = kTwoBlocks ? 12 + 16 : 16;
    constexpr int kLowChannels = Channels < 4 ? Channels : 4;
    constexpr const WideLayout &layout = kWideLayout<Channels, BigEndian>;
    const __m256i expand = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(layout.expand));
    const __m256i close_up = both_lanes(layout.close_up);
    const int32_t input_bytes = periods * kPeriodBytes;
    int32_t p = 0;
    for (; p + kBlockPeriods <= periods &&
           (p + kBlockPeriods - 1) * kPeriodBytes + kReadBytes <= input_bytes &&
           3 * p + kWriteBytes <= 3 * periods;
         p += kBlockPeriods) {
        __m256i m[4];
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            const uint8_t *period = in + (p + k) * kPeriodBytes;
            m[k] = _mm256_shuffle_epi8(load16x2(period, period + kUpperLaneFrom), expand);
        }
        transpose_words(m);
#pragma GCC unroll 4
        for (int ch = 0; ch < kLowChannels; ++ch) {
            const __m256i samples = _mm256_shuffle_epi8(m[ch], close_up);
            uint8_t *plane = out + ch * plane_bytes + 3 * p;
            if constexpr (kTwoBlocks) {
                store16x2(plane, plane + 12, samples);
            } else {
                store16(plane, _mm256_castsi256_si128(samples));
                if (ch + 4 < Channels) {
                    store16(plane + 4 * plane_bytes, _mm256_extracti128_si256(samples, 1));
                }
            }
        }
    }
    wide_ssse3<Channels, BigEndian>(in + p * kPeriodBytes, out + 3 * p, periods - p,
                                    plane_bytes);
}

// 16-bit, three to seven channels: transposed blocks while the last period's
// 16-byte read stays inside the input, the periods after them one at a time.
template <int Channels, bool BigEndian>
PCMPACK_TARGET_SSSE3 void fill_planes16_ssse3(const uint8_t *in, uint8_t *out, int32_t periods,
                                              int32_t plane_bytes) {
#if defined(__SSE2__)
    if constexpr (Channels >= 3 && Channels <= 7) {
        constexpr int32_t kPeriodBytes = 2 * Channels;
        int32_t p = 0;
        for (; p + kBlockPeriods <= periods &&
               (p + kBlockPeriods - 1) * kPeriodBytes + 16 <= periods * kPeriodBytes;
             p += kBlockPeriods) {
            block_transposed<Channels, BigEndian>(in + p * kPeriodBytes, out + 2 * p,
                                                  plane_bytes);
        }
        fill_planes16<Channels, BigEndian>(in + p * kPeriodBytes, out + 2 * p, periods - p,
                                           plane_bytes);
        return;
    }
#endif
    fill_planes16<Channels, BigEndian>(in, out, periods, plane_bytes);
}

template <int Channels, bool BigEndian>
PCMPACK_TARGET_SSSE3 void fill_planes24_ssse3(const uint8_t *in, uint8_t *out, int32_t periods,
                                              int32_t plane_bytes) {
    if constexpr (Channels == 1) {
        one_channel_ssse3<BigEndian>(in, out, periods);
    } else if constexpr (Channels == 2) {
        two_channels_ssse3<BigEndian>(in, out, periods, plane_bytes);
    } else {
        wide_ssse3<Channels, BigEndian>(in, out, periods, plane_bytes);
    }
}

template <int Channels, bool BigEndian>
PCMPACK_TARGET_AVX2 void fill_planes24_avx2(const uint8_t *in, uint8_t *out, int32_t periods,
                                            int32_t plane_bytes) {
    if constexpr (Channels == 1) {
        fill_planes24_ssse3<Channels, BigEndian>(in, out, periods, plane_bytes);
    } else if constexpr (Channels == 2) {
        two_channels_avx2<BigEndian>(in, out, periods, plane_bytes);
    } else {
        wide_avx2<Channels, BigEndian>(in, out, periods, plane_bytes);
    }
}

// The AVX-512 loops regroup a step of sample periods that fits in two
// 64-byte registers (at most 128 input bytes), which one two-register byte
// permute reaches whole. Each 16-byte lane of a permute's result is one
// channel's run of samples in a step: eight 2-byte or five 3-byte samples
// (the 16th byte of a 3-byte run lands on the plane's next sample, which
// the next run of that channel writes after it). A step holds `blocks` such
// runs of each channel, so that as many lanes as possible do work: two
// permutes at most.
template <int Channels, int Width>
struct StepShape {
    static constexpr int kRunSamples = Width == 2 ? 8 : 5;
    static constexpr int kRunInputBytes = kRunSamples * Channels * Width;
    static constexpr int kBlocks = 128 / kRunInputBytes < 8 / Channels
                                       ? 128 / kRunInputBytes
                                       : (8 / Channels > 0 ? 8 / Channels : 1);
    static constexpr int kPeriods = kBlocks * kRunSamples;
    // Lane l: channel l / kBlocks, its run l % kBlocks.
    static constexpr int kLanes = kBlocks * Channels;
    static constexpr int kPermutes = (kLanes + 3) / 4;
    static_assert(kPeriods * Channels * Width <= 128 && kLanes <= 8, "a step fits two registers");
};

struct StepLayout {
    uint8_t from[2][64];  // input byte of each lane byte, from the step's start
};

template <int Channels, int Width, bool BigEndian>
constexpr StepLayout make_step_layout() {
    using Shape = StepShape<Channels, Width>;
    StepLayout layout{};
    for (int lane = 0; lane < Shape::kLanes; ++lane) {
        const int channel = lane / Shape::kBlocks, run = lane % Shape::kBlocks;
        for (int k = 0; k < Shape::kRunSamples * Width; ++k) {
            const int sample = k / Width, byte = BigEndian ? Width - 1 - k % Width : k % Width;
            const int period = run * Shape::kRunSamples + sample;
            layout.from[lane / 4][16 * (lane % 4) + k] =
                static_cast<uint8_t>((period * Channels + channel) * Width + byte);
        }
    }
    return layout;
}

template <int Channels, int Width, bool BigEndian>
constexpr StepLayout kStepLayout = make_step_layout<Channels, Width, BigEndian>();

// One lane of a register, by its number (an immediate operand); the
// zero-masking form, every word kept, since GCC 12 warns that the plain
// one's pass-through register is uninitialized.
template <int Lane>
PCMPACK_TARGET_AVX512 inline __m128i lane_of(__m512i v) {
    return _mm512_maskz_extracti32x4_epi32(0xF, v, Lane);
}

// A step's runs to their planes: every lane whole while the run continues
// past the step (`tail` false), else only its samples before `periods`.
template <int Channels, int Width, int Permute, int Lane>
PCMPACK_TARGET_AVX512 inline void store_run(__m512i regrouped, uint8_t *out, int32_t first,
                                            int32_t periods, int32_t plane_bytes, bool tail) {
    using Shape = StepShape<Channels, Width>;
    constexpr int kLane = 4 * Permute + Lane;
    if constexpr (kLane < Shape::kLanes) {
        constexpr int kChannel = kLane / Shape::kBlocks, kRun = kLane % Shape::kBlocks;
        const int32_t start = first + kRun * Shape::kRunSamples;
        uint8_t *at = out + kChannel * plane_bytes + start * Width;
        const __m128i run = lane_of<Lane>(regrouped);
        if (!tail) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(at), run);
        } else if (start < periods) {
            const int32_t left = periods - start;
            const int32_t samples = left < Shape::kRunSamples ? left : Shape::kRunSamples;
            _mm_mask_storeu_epi8(at, static_cast<__mmask16>((1u << (samples * Width)) - 1), run);
        }
    }
}

template <int Channels, int Width, bool BigEndian, int Permute>
PCMPACK_TARGET_AVX512 inline void regroup(__m512i low, __m512i high, uint8_t *out, int32_t first,
                                          int32_t periods, int32_t plane_bytes, bool tail) {
    if constexpr (Permute < StepShape<Channels, Width>::kPermutes) {
        constexpr const StepLayout &layout = kStepLayout<Channels, Width, BigEndian>;
        const __m512i regrouped = _mm512_permutex2var_epi8(
            low, _mm512_loadu_si512(layout.from[Permute]), high);
        store_run<Channels, Width, Permute, 0>(regrouped, out, first, periods, plane_bytes, tail);
        store_run<Channels, Width, Permute, 1>(regrouped, out, first, periods, plane_bytes, tail);
        store_run<Channels, Width, Permute, 2>(regrouped, out, first, periods, plane_bytes, tail);
        store_run<Channels, Width, Permute, 3>(regrouped, out, first, periods, plane_bytes, tail);
    }
}

// Whole steps while both 64-byte reads stay inside the input; the rest
// through masks, which touch nothing outside the input or the run's part of
// each plane. A whole step of 3-byte samples reads more than it regroups,
// so it is never the run's last, and each run's 16th byte lands on a sample
// still to be written.
template <int Channels, int Width, bool BigEndian>
PCMPACK_TARGET_AVX512 void fill_planes_avx512(const uint8_t *in, uint8_t *out, int32_t periods,
                                              int32_t plane_bytes) {
    using Shape = StepShape<Channels, Width>;
    constexpr int32_t kPeriodBytes = Channels * Width;
    const int32_t input_bytes = periods * kPeriodBytes;
    int32_t p = 0;
    static_assert(Width == 2 || Shape::kPeriods * kPeriodBytes < 128,
                  "a whole step is not the last");
    for (; p * kPeriodBytes + 128 <= input_bytes; p += Shape::kPeriods) {
        const uint8_t *step = in + p * kPeriodBytes;
        const __m512i low = _mm512_loadu_si512(step), high = _mm512_loadu_si512(step + 64);
        regroup<Channels, Width, BigEndian, 0>(low, high, out, p, periods, plane_bytes, false);
        regroup<Channels, Width, BigEndian, 1>(low, high, out, p, periods, plane_bytes, false);
    }
    for (; p < periods; p += Shape::kPeriods) {
        const uint8_t *step = in + p * kPeriodBytes;
        const int32_t left = input_bytes - p * kPeriodBytes;
        const __m512i low = _mm512_maskz_loadu_epi8(first_bytes(left), step);
        const __m512i high =
            left > 64 ? _mm512_maskz_loadu_epi8(first_bytes(left - 64), step + 64)
                      : _mm512_setzero_si512();
        regroup<Channels, Width, BigEndian, 0>(low, high, out, p, periods, plane_bytes, true);
        regroup<Channels, Width, BigEndian, 1>(low, high, out, p, periods, plane_bytes, true);
    }
}
#endif

#if PCMPACK_ARM_NEON
// NEON regroups a step of sample periods that fits in 64 input bytes, which
// one four-register table lookup reaches whole: each lookup gives one
// channel's run of samples (up to eight 2-byte or five 3-byte ones, fewer
// with more channels), stored as 16 bytes; the bytes past the run land on
// the plane's next samples, which the next step writes after it.
template <int Channels, int Width>
struct NeonRun {
    static constexpr int kByWidth = 16 / Width, kByInput = 64 / (Channels * Width);
    static constexpr int kSamples = kByWidth < kByInput ? kByWidth : kByInput;
};

struct NeonLayout {
    uint8_t from[kMaxChannels][16];  // input byte of each run byte, from the step's start
};

template <int Channels, int Width, bool BigEndian>
constexpr NeonLayout make_neon_layout() {
    NeonLayout layout{};
    for (int channel = 0; channel < Channels; ++channel) {
        for (int k = 0; k < 16; ++k) {
            const int sample = k / Width, byte = BigEndian ? Width - 1 - k % Width : k % Width;
            layout.from[channel][k] =
                sample < NeonRun<Channels, Width>::kSamples
                    ? static_cast<uint8_t>((sample * Channels + channel) * Width + byte)
                    : 0xFF;  // past the table: zero
        }
    }
    return layout;
}

template <int Channels, int Width, bool BigEndian>
constexpr NeonLayout kNeonLayout = make_neon_layout<Channels, Width, BigEndian>();

// Whole steps while the 64-byte read stays inside the input and every
// 16-byte write inside the run's part of its plane; the scalar loop writes
// the periods after, exactly.
template <int Channels, int Width, bool BigEndian>
void fill_planes_neon(const uint8_t *in, uint8_t *out, int32_t periods, int32_t plane_bytes) {
    constexpr int32_t kPeriodBytes = Channels * Width;
    constexpr int32_t kSamples = NeonRun<Channels, Width>::kSamples;
    constexpr const NeonLayout &layout = kNeonLayout<Channels, Width, BigEndian>;
    uint8x16_t from[Channels];
    for (int ch = 0; ch < Channels; ++ch) from[ch] = vld1q_u8(layout.from[ch]);
    int32_t p = 0;
    for (; p * kPeriodBytes + 64 <= periods * kPeriodBytes && p * Width + 16 <= periods * Width;
         p += kSamples) {
        const uint8_t *step = in + p * kPeriodBytes;
        const uint8x16x4_t table = {
            {vld1q_u8(step), vld1q_u8(step + 16), vld1q_u8(step + 32), vld1q_u8(step + 48)}};
#pragma GCC unroll 8
        for (int ch = 0; ch < Channels; ++ch) {
            vst1q_u8(out + ch * plane_bytes + p * Width, vqtbl4q_u8(table, from[ch]));
        }
    }
    if (Width == 3) {
        fill_planes24<Channels, BigEndian>(in + p * kPeriodBytes, out + p * Width, periods - p,
                                           plane_bytes);
    } else {
        fill_planes16<Channels, BigEndian>(in + p * kPeriodBytes, out + p * Width, periods - p,
                                           plane_bytes);
    }
}
#endif

// The loop for each level, channel count, sample width and byte order; the
// encoder's level picks the row. 16-bit samples take the same loops at the
// SSSE3 and AVX2 levels.
using PlanesKernel = void (*)(const uint8_t *in, uint8_t *out, int32_t periods,
                              int32_t plane_bytes);
struct PlanesKernels {
    PlanesKernel of[kMaxChannels][2][2];  // [channels - 1][3-byte samples][big-endian]
};

template <template <int, bool, bool> class Loop, int Channels>
constexpr void set_row(PlanesKernels &kernels) {
    kernels.of[Channels - 1][0][0] = Loop<Channels, false, false>::run;
    kernels.of[Channels - 1][0][1] = Loop<Channels, false, true>::run;
    kernels.of[Channels - 1][1][0] = Loop<Channels, true, false>::run;
    kernels.of[Channels - 1][1][1] = Loop<Channels, true, true>::run;
}

template <template <int, bool, bool> class Loop>
constexpr PlanesKernels kernels_of() {
    PlanesKernels kernels{};
    set_row<Loop, 1>(kernels);
    set_row<Loop, 2>(kernels);
    set_row<Loop, 3>(kernels);
    set_row<Loop, 4>(kernels);
    set_row<Loop, 5>(kernels);
    set_row<Loop, 6>(kernels);
    set_row<Loop, 7>(kernels);
    set_row<Loop, 8>(kernels);
    return kernels;
}

template <int Channels, bool Wide, bool BigEndian>
struct ScalarLoop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods, int32_t plane_bytes) {
        Wide ? fill_planes24<Channels, BigEndian>(in, out, periods, plane_bytes)
             : fill_planes16<Channels, BigEndian>(in, out, periods, plane_bytes);
    }
};
#if PCMPACK_X86_VECTORS
template <int Channels, bool Wide, bool BigEndian>
struct Ssse3Loop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods, int32_t plane_bytes) {
        Wide ? fill_planes24_ssse3<Channels, BigEndian>(in, out, periods, plane_bytes)
             : fill_planes16_ssse3<Channels, BigEndian>(in, out, periods, plane_bytes);
    }
};
template <int Channels, bool Wide, bool BigEndian>
struct Avx2Loop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods, int32_t plane_bytes) {
        Wide ? fill_planes24_avx2<Channels, BigEndian>(in, out, periods, plane_bytes)
             : fill_planes16_ssse3<Channels, BigEndian>(in, out, periods, plane_bytes);
    }
};
// One channel keeps the loops of the level below, which copy (16 bits,
// little-endian) or shuffle five samples at a time.
template <int Channels, bool Wide, bool BigEndian>
struct Avx512Loop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods, int32_t plane_bytes) {
        if constexpr (Channels == 1) {
            Avx2Loop<Channels, Wide, BigEndian>::run(in, out, periods, plane_bytes);
        } else {
            fill_planes_avx512<Channels, Wide ? 3 : 2, BigEndian>(in, out, periods, plane_bytes);
        }
    }
};
constexpr PlanesKernels kPlanesKernels[kKernelLevels] = {
    kernels_of<ScalarLoop>(), kernels_of<Ssse3Loop>(), kernels_of<Avx2Loop>(),
    kernels_of<Avx512Loop>(), kernels_of<ScalarLoop>()};
#elif PCMPACK_ARM_NEON
template <int Channels, bool Wide, bool BigEndian>
struct NeonLoop {
    static void run(const uint8_t *in, uint8_t *out, int32_t periods, int32_t plane_bytes) {
        fill_planes_neon<Channels, Wide ? 3 : 2, BigEndian>(in, out, periods, plane_bytes);
    }
};
constexpr PlanesKernels kPlanesKernels[kKernelLevels] = {
    kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(),
    kernels_of<ScalarLoop>(), kernels_of<NeonLoop>()};
#else
constexpr PlanesKernels kPlanesKernels[kKernelLevels] = {
    kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(),
    kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>()};
#endif

}  // namespace

void aes3_pack_planar_periods(const pcm_a_encoder &enc, const uint8_t *input,
                              int32_t first_period, int32_t periods, uint8_t *frame) {
    const int32_t step = enc.cadence_index;
    const int32_t channels = enc.channels_minus_one + 1;
    const int32_t q = enc.quantization;
    if (q < PCM_QUANT_16 || q > PCM_QUANT_24 || periods <= 0) return;
    if (channels < 1 || channels > kMaxChannels) return;

    // Plane ch starts at ch * plane_bytes; sample period p sits at p * width
    // within it.
    const int32_t plane_bytes = enc.frame_bytes[step] / channels;
    const bool wide = q != PCM_QUANT_16;
    const int32_t width = wide ? 3 : 2;
    kPlanesKernels[static_cast<int>(enc.kernel_level)]
        .of[channels - 1][wide][input_is_big_endian(enc)](
            input, frame + first_period * width, periods, plane_bytes);
}

void aes3_pack_planar(const pcm_a_encoder &enc, const uint8_t *frame_input, uint8_t *frame) {
    aes3_pack_planar_periods(enc, frame_input, 0, enc.samples_per_frame[enc.cadence_index],
                             frame);
}

}  // namespace pcmpack
