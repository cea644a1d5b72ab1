// Planar AES3 payload: the frame's interleaved samples regrouped into one
// plane per channel, every sample least significant byte first.
#include "aes3/packings.h"
#include "core/byte_order.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pcmpack {
namespace {

constexpr int32_t kMaxChannels = 8;

// Sample periods regrouped at a time by the 16-bit packing: a fixed-size
// block that the compiler turns into vector shuffles.
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

// Eight channels: the block is an 8 x 8 matrix of words, one period per
// register; transposed, each register is eight samples of one channel.
template <bool BigEndian>
void block_8ch(const uint8_t *in, uint8_t *out, int32_t plane_bytes) {
    // The matrix lives in registers only when every loop is unrolled.
    __m128i row[8], pairs[8], quads[8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) row[k] = load_row<BigEndian>(in + 16 * k);
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
        store_row(out + (2 * k) * plane_bytes, _mm_unpacklo_epi64(quads[k], quads[k + 4]));
        store_row(out + (2 * k + 1) * plane_bytes, _mm_unpackhi_epi64(quads[k], quads[k + 4]));
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
        block_8ch<BigEndian>(in, out, plane_bytes);
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

template <int Channels>
void fill_planes(int32_t width, bool big_endian, const uint8_t *in, uint8_t *out,
                 int32_t periods, int32_t plane_bytes) {
    if (width == 2) {
        big_endian ? fill_planes16<Channels, true>(in, out, periods, plane_bytes)
                   : fill_planes16<Channels, false>(in, out, periods, plane_bytes);
    } else {
        big_endian ? fill_planes24<Channels, true>(in, out, periods, plane_bytes)
                   : fill_planes24<Channels, false>(in, out, periods, plane_bytes);
    }
}

// The channel count and word length fix the plane layout for the whole frame.
void fill_planes(int32_t channels, int32_t width, bool big_endian, const uint8_t *in,
                 uint8_t *out, int32_t periods, int32_t plane_bytes) {
    switch (channels) {
    case 1: fill_planes<1>(width, big_endian, in, out, periods, plane_bytes); break;
    case 2: fill_planes<2>(width, big_endian, in, out, periods, plane_bytes); break;
    case 3: fill_planes<3>(width, big_endian, in, out, periods, plane_bytes); break;
    case 4: fill_planes<4>(width, big_endian, in, out, periods, plane_bytes); break;
    case 5: fill_planes<5>(width, big_endian, in, out, periods, plane_bytes); break;
    case 6: fill_planes<6>(width, big_endian, in, out, periods, plane_bytes); break;
    case 7: fill_planes<7>(width, big_endian, in, out, periods, plane_bytes); break;
    default: fill_planes<8>(width, big_endian, in, out, periods, plane_bytes); break;
    }
}

}  // namespace

void aes3_pack_planar_periods(const pcm_a_encoder &enc, const uint8_t *input,
                              int32_t first_period, int32_t periods) {
    const int32_t step = enc.cadence_index;
    const int32_t channels = enc.channels_minus_one + 1;
    const int32_t q = enc.quantization;
    if (q < PCM_QUANT_16 || q > PCM_QUANT_24 || periods <= 0) return;
    if (channels < 1 || channels > kMaxChannels) return;

    // Plane ch starts at ch * plane_bytes; sample period p sits at p * width
    // within it.
    const int32_t plane_bytes = enc.frame_bytes[step] / channels;
    const bool big_endian = (enc.input_flags & PCM_INPUT_BIG_ENDIAN) != 0;
    const int32_t width = q == PCM_QUANT_16 ? 2 : 3;
    fill_planes(channels, width, big_endian, input, enc.frame_buf + first_period * width, periods,
                plane_bytes);
}

int32_t aes3_pack_planar(const pcm_a_encoder &enc, const uint8_t *frame_input) {
    const int32_t q = enc.quantization;
    const int32_t periods = enc.samples_per_frame[enc.cadence_index];
    if (q < PCM_QUANT_16 || q > PCM_QUANT_24 || periods <= 0) return 0;
    aes3_pack_planar_periods(enc, frame_input, 0, periods);
    return periods * (enc.channels_minus_one + 1) * (q == PCM_QUANT_16 ? 2 : 3);
}

}  // namespace pcmpack
