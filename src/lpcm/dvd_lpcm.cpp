// SPDX-License-Identifier: BSD-2-Clause
#include "lpcm/dvd_lpcm.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/frame_cutter.h"
#include "core/layer.h"
#include "core/vector_targets.h"

namespace pcmpack {
namespace {

constexpr int64_t kFrameTicks = 45000;  // 1/600 s

// 1/600 s of audio: 80 sample periods at 48 kHz, 160 at 96 kHz.
void dvd_lpcm_count_samples(const pcm_a_encoder &enc, int32_t (&samples)[kCadenceSteps]) {
    for (int32_t &step : samples) step = enc.sample_rate == 48000 ? 80 : 160;
}

// 16-bit words, one or two channels, in and out.
PeriodBytes dvd_lpcm_period_bytes(const pcm_a_encoder &enc) {
    const int32_t bytes = 2 << enc.channels_minus_one;
    return PeriodBytes{bytes, bytes};
}

StreamHeader dvd_lpcm_stream_header(const pcm_a_encoder &enc) {
    const uint8_t rate_not_48k = enc.sample_rate != 48000 ? 0x01 : 0x00;
    const uint8_t emphasis = enc.emphasis != 0 ? 0x02 : 0x00;
    const uint8_t channels = static_cast<uint8_t>((enc.channels_minus_one & 7) << 2);
    const uint8_t quantization = static_cast<uint8_t>((enc.quantization & 3) << 5);
    const uint8_t mute = static_cast<uint8_t>((enc.mute_flag & 1) << 7);
    return make_stream_header("LPCM",
                              static_cast<uint8_t>(rate_not_48k | emphasis | channels |
                                                   quantization | mute),
                              static_cast<uint8_t>(enc.dynamic_range & 0xFF));
}

uint32_t dvd_lpcm_frame_bytes(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.frame_bytes[0]);
}

// Exchanges the bytes of every 16-bit word of in and writes them to out, in
// one pass; out may be in itself. Sixteen bytes at a time in a register
// where the machine has them.
void swap_byte_pairs_into(uint8_t *out, const uint8_t *in, int32_t length) {
    int32_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= length; i += 16) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                         _mm_or_si128(_mm_slli_epi16(words, 8), _mm_srli_epi16(words, 8)));
    }
#endif
    for (; i + 1 < length; i += 2) {
        const uint8_t first = in[i];
        out[i] = in[i + 1];
        out[i + 1] = first;
    }
}

#if PCMPACK_X86_VECTORS
// Thirty-two bytes at a time, one byte shuffle each; the rest as above.
PCMPACK_TARGET_AVX2 void swap_byte_pairs_into_avx2(uint8_t *out, const uint8_t *in,
                                                   int32_t length) {
    const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14,
                                          1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    int32_t i = 0;
    for (; i + 32 <= length; i += 32) {
        const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i),
                            _mm256_shuffle_epi8(words, swap));
    }
    swap_byte_pairs_into(out + i, in + i, length - i);
}

// Sixty-four bytes at a time; the last, shorter piece through masks.
PCMPACK_TARGET_AVX512 void swap_byte_pairs_into_avx512(uint8_t *out, const uint8_t *in,
                                                       int32_t length) {
    // Bytes 1, 0, 3, 2, ... in every 16-byte lane.
    const __m512i swap = _mm512_set4_epi32(0x0E0F0C0D, 0x0A0B0809, 0x06070405, 0x02030001);
    int32_t i = 0;
    for (; i + 64 <= length; i += 64) {
        _mm512_storeu_si512(out + i, _mm512_shuffle_epi8(_mm512_loadu_si512(in + i), swap));
    }
    const __mmask64 words = first_bytes((length - i) & ~1);
    _mm512_mask_storeu_epi8(out + i, words,
                            _mm512_shuffle_epi8(_mm512_maskz_loadu_epi8(words, in + i), swap));
}
#endif

// The swap for each level; the encoder's level picks it. SSE2, which every
// x86-64 processor has, already swaps sixteen bytes at a time.
using SwapKernel = void (*)(uint8_t *out, const uint8_t *in, int32_t length);
#if PCMPACK_X86_VECTORS
constexpr SwapKernel kSwapKernels[kKernelLevels] = {
    swap_byte_pairs_into, swap_byte_pairs_into, swap_byte_pairs_into_avx2,
    swap_byte_pairs_into_avx512, swap_byte_pairs_into};
#else
constexpr SwapKernel kSwapKernels[kKernelLevels] = {
    swap_byte_pairs_into, swap_byte_pairs_into, swap_byte_pairs_into, swap_byte_pairs_into,
    swap_byte_pairs_into};
#endif

void swap_frame(const pcm_a_encoder &enc, uint8_t *out, const uint8_t *in, int32_t length) {
    kSwapKernels[static_cast<int>(enc.kernel_level)](out, in, length);
}

// The frame is swapped into its destination (frame_buf, or the memory the
// host lends), never in the caller's buffer. A frame completed from pending
// input waits in frame_buf; when frame_buf is also its destination it is
// swapped in place, and when its write fails the swap is undone, so the
// pending partial frame stays exactly as the caller gave it and a later call
// completes it with correct audio.
Status dvd_lpcm_write_frame(pcm_a_encoder &enc, const uint8_t *frame_input) {
    const int32_t size = enc.frame_bytes[0];
    const bool swap = !input_is_big_endian(enc);
    uint8_t *frame = nullptr;
    if (open_frame(enc, static_cast<uint32_t>(size), frame) != Status::ok) return Status::failed;
    const bool in_place = frame == frame_input;
    if (swap) {
        swap_frame(enc, frame, frame_input, size);
    } else if (!in_place) {
        memcpy(frame, frame_input, size);
    }
    if (close_frame(enc, frame, static_cast<uint32_t>(size), enc.frame_count * kFrameTicks) !=
        Status::ok) {
        if (swap && in_place) swap_frame(enc, frame, frame, size);
        return Status::failed;
    }
    ++enc.frame_count;
    return Status::ok;
}

Status dvd_lpcm_write_gathered_frame(pcm_a_encoder &enc) {
    return dvd_lpcm_write_frame(enc, enc.frame_buf);
}

constexpr Packetizer kDvdLpcm = {
    dvd_lpcm_stream_header,
    dvd_lpcm_frame_bytes,
    gather_in_frame_buf,
    dvd_lpcm_write_gathered_frame,
    dvd_lpcm_write_frame,
};

}  // namespace

const AudioLayer kDvdLpcmLayer = {
    PCM_LAYER_DVD_LPCM,
    dvd_lpcm_count_samples,
    dvd_lpcm_period_bytes,
    0,  // frame_buf holds exactly one frame
    /*stages_input=*/false,  // a partial frame waits in frame_buf
    /*needs_frame_rate_code=*/false,  // 1/600 s frames, whatever the video
    /*masks_channels=*/false,
    &kDvdLpcm,
    nullptr,
};

}  // namespace pcmpack
