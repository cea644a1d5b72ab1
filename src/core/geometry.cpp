#include "core/geometry.h"

namespace pcmpack {
namespace {

// 27 MHz ticks per sample period at 48 kHz: every AES3 frame lasts its sample
// count times this, so the half ticks of the 1001 rates are exact in a double.
constexpr double kTicksPerSample48k = 27000000.0 / 48000.0;

struct AesCadence {
    int32_t samples[kCadenceSteps];
};

// Sample periods per video frame at 48 kHz, by MPEG frame rate code 1..8. The
// 1001 rates need a five-frame cadence so that five frames hold a whole number
// of samples (8008 at 30000/1001, 4004 at 60000/1001).
constexpr AesCadence kAesCadence[] = {
    {{2002, 2002, 2002, 2002, 2002}},  // 1: 24000/1001
    {{2000, 2000, 2000, 2000, 2000}},  // 2: 24
    {{1920, 1920, 1920, 1920, 1920}},  // 3: 25
    {{1602, 1601, 1602, 1601, 1602}},  // 4: 30000/1001
    {{1600, 1600, 1600, 1600, 1600}},  // 5: 30
    {{960, 960, 960, 960, 960}},       // 6: 50
    {{801, 801, 800, 801, 801}},       // 7: 60000/1001
    {{800, 800, 800, 800, 800}},       // 8: 60
};

constexpr double kDvdFrameTicks = 45000.0;    // 1/600 s
constexpr double kHdmvFrameTicks = 135000.0;  // 1/200 s

int32_t channel_count(const pcm_a_encoder &enc) { return enc.channels_minus_one + 1; }

// 302M carries channels in pairs; a single channel still takes one pair.
int32_t channel_pairs(const pcm_a_encoder &enc) {
    return enc.channels_minus_one > 1 ? channel_count(enc) / 2 : 1;
}

void set_sample_counts(pcm_a_encoder &enc) {
    switch (enc.audio_layer) {
    case PCM_LAYER_DVD_LPCM:
        enc.samples_per_frame[0] = enc.sample_rate == 48000 ? 80 : 160;
        enc.frame_duration[0] = kDvdFrameTicks;
        return;
    case PCM_LAYER_HDMV_LPCM: {
        const int32_t samples = enc.sample_rate == 48000 ? 240 : enc.sample_rate == 96000 ? 480 : 960;
        for (int i = 0; i < kCadenceSteps; ++i) {
            enc.samples_per_frame[i] = samples;
            enc.frame_duration[i] = kHdmvFrameTicks;
        }
        return;
    }
    default: {
        const AesCadence &cadence = kAesCadence[enc.frameRateCode - 1];
        for (int i = 0; i < kCadenceSteps; ++i) {
            enc.samples_per_frame[i] = cadence.samples[i];
            enc.frame_duration[i] = cadence.samples[i] * kTicksPerSample48k;
        }
        return;
    }
    }
}

void set_sample_period_bytes(pcm_a_encoder &enc) {
    const int32_t channels = channel_count(enc);
    const int32_t q = enc.quantization;
    switch (enc.audio_layer) {
    case PCM_LAYER_DVD_LPCM:
        enc.sample_bytes = 2 << enc.channels_minus_one;
        return;
    case PCM_LAYER_AES3_302M: {
        // One 302M group carries a channel pair: 5, 6 or 7 bytes for 16, 20 or
        // 24 bits, from two 2-byte or two 3-byte input samples.
        const int32_t pairs = channel_pairs(enc);
        enc.sample_bytes = (q == PCM_QUANT_16 ? 5 : q == PCM_QUANT_20 ? 6 : 7) * pairs;
        enc.input_sample_bytes = (q == PCM_QUANT_16 ? 4 : 6) * pairs;
        return;
    }
    case PCM_LAYER_AES3_D10:
        // Eight 4-byte channel words per sample period, whatever the channel count.
        enc.sample_bytes = 32;
        enc.input_sample_bytes = 3 * channels;
        return;
    default: {  // planar and HDMV: output as wide as the input
        const int32_t width = (q == PCM_QUANT_20 || q == PCM_QUANT_24) ? 3 : 2;
        enc.sample_bytes = width * channels;
        enc.input_sample_bytes = width * channels;
        return;
    }
    }
}

}  // namespace

void compute_frame_geometry(pcm_a_encoder &enc) {
    set_sample_counts(enc);
    set_sample_period_bytes(enc);
    if (enc.audio_layer == PCM_LAYER_DVD_LPCM) {
        // Input and output frames are the same size; only entry 0 is used.
        enc.frame_bytes[0] = enc.sample_bytes * enc.samples_per_frame[0];
        return;
    }
    if (enc.audio_layer == PCM_LAYER_AES3_D10) {
        for (int32_t ch = 0; ch <= enc.channels_minus_one; ++ch) enc.channel_mask |= 1 << ch;
    }
    for (int i = 0; i < kCadenceSteps; ++i) {
        enc.frame_bytes[i] = enc.sample_bytes * enc.samples_per_frame[i];
        enc.input_frame_bytes[i] = enc.input_sample_bytes * enc.samples_per_frame[i];
    }
}

uint32_t frame_buffer_size(const pcm_a_encoder &enc) {
    // HDMV gets the same 4 spare bytes as the element-header layers.
    const bool spare = has_element_header(enc.audio_layer) ||
                       enc.audio_layer == PCM_LAYER_HDMV_LPCM;
    return static_cast<uint32_t>(enc.frame_bytes[0]) + (spare ? kElementHeaderBytes : 0);
}

uint32_t stage_buffer_size(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.input_frame_bytes[0]);
}

}  // namespace pcmpack
