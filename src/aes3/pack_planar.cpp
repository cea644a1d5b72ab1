// Planar AES3 payload: the frame's interleaved samples regrouped into one
// plane per channel, every sample least significant byte first.
#include "aes3/packings.h"

namespace pcmpack {
namespace {

constexpr int32_t kMaxChannels = 8;

// Byte k of an output sample is byte kSource[k] of the input sample.
template <int Width, bool BigEndian>
void fill_plane(const uint8_t *in, uint8_t *plane, int32_t periods, int32_t stride) {
    for (int32_t p = 0; p < periods; ++p) {
        for (int k = 0; k < Width; ++k) plane[k] = in[BigEndian ? Width - 1 - k : k];
        in += stride;
        plane += Width;
    }
}

template <int Width, bool BigEndian>
void fill_planes(const uint8_t *in, uint8_t *const *planes, int32_t periods, int32_t channels) {
    const int32_t stride = channels * Width;
    for (int32_t ch = 0; ch < channels; ++ch) {
        fill_plane<Width, BigEndian>(in + ch * Width, planes[ch], periods, stride);
    }
}

}  // namespace

int32_t aes3_pack_planar(const pcm_a_encoder &enc, const uint8_t *frame_input) {
    const int32_t step = enc.cadence_index;
    const int32_t channels = enc.channels_minus_one + 1;
    const int32_t periods = enc.samples_per_frame[step];
    const int32_t q = enc.quantization;
    if (q < PCM_QUANT_16 || q > PCM_QUANT_24 || periods <= 0) return 0;
    if (channels < 1 || channels > kMaxChannels) return 0;

    const int32_t plane_bytes = enc.frame_bytes[step] / channels;
    uint8_t *planes[kMaxChannels];
    for (int32_t ch = 0; ch < channels; ++ch) planes[ch] = enc.frame_buf + ch * plane_bytes;

    const bool big_endian = (enc.input_flags & PCM_INPUT_BIG_ENDIAN) != 0;
    const int32_t width = q == PCM_QUANT_16 ? 2 : 3;
    if (width == 2) {
        big_endian ? fill_planes<2, true>(frame_input, planes, periods, channels)
                   : fill_planes<2, false>(frame_input, planes, periods, channels);
    } else {
        big_endian ? fill_planes<3, true>(frame_input, planes, periods, channels)
                   : fill_planes<3, false>(frame_input, planes, periods, channels);
    }
    return periods * channels * width;
}

}  // namespace pcmpack
