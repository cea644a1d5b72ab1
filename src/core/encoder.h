// The encoder object. Allocated and zero-filled by pcmOutAudioNew through the
// host's allocator; the host only ever sees a pointer to it.
#pragma once

#include <pcmpack.h>

#include <stdint.h>

namespace pcmpack {

// Frame rates whose frame does not hold a whole number of samples cycle
// through five frames of different lengths; every geometry array has one entry
// per step of that cycle.
constexpr int kCadenceSteps = 5;

}  // namespace pcmpack

struct pcm_a_encoder {
    // Copied from the host's pcm_a_settings.
    int32_t channels_minus_one;
    int32_t audio_layer;
    int32_t emphasis;
    int32_t mute_flag;
    int32_t quantization;
    int32_t dynamic_range;
    // Arguments of pcmOutAudioNew.
    int32_t input_flags;
    int32_t frameRateCode;
    int32_t sample_rate;
    // Geometry, computed by pcmOutAudioInit; index = cadence step.
    int32_t samples_per_frame[pcmpack::kCadenceSteps];
    int32_t frame_bytes[pcmpack::kCadenceSteps];
    int32_t sample_bytes;
    int32_t input_frame_bytes[pcmpack::kCadenceSteps];
    int32_t input_sample_bytes;
    // Running state.
    int32_t frame_count;
    int32_t header_written;
    double frame_duration[pcmpack::kCadenceSteps];  // 27 MHz ticks
    double next_timestamp;                          // 27 MHz ticks, AES3 only
    int32_t cadence_index;
    int32_t channel_mask;
    uint8_t *frame_buf;
    uint8_t *stage_buf;
    uint32_t pending_bytes;
    bufstream *stream;
    // Host callbacks, each resolved on its own.
    pcm_printf_func err_printf;
    pcm_printf_func wrn_printf;
    pcm_printf_func inf_printf;
    pcm_malloc_func malloc;
    pcm_free_func free;
};
