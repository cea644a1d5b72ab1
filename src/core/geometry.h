// Frame timing and buffer geometry, computed once by pcmOutAudioInit.
#pragma once

#include "core/encoder.h"

namespace pcmpack {

// Fills samples_per_frame, frame_duration, sample_bytes, input_sample_bytes,
// frame_bytes, input_frame_bytes and channel_mask from the stored settings.
void compute_frame_geometry(pcm_a_encoder &enc);

// Bytes the host's allocator is asked for at Init.
uint32_t frame_buffer_size(const pcm_a_encoder &enc);
uint32_t stage_buffer_size(const pcm_a_encoder &enc);

constexpr bool is_aes3_layer(int32_t layer) {
    return layer != PCM_LAYER_DVD_LPCM && layer != PCM_LAYER_HDMV_LPCM;
}

// Layers 10 and 11 put a 4-byte header in front of each frame's payload.
constexpr bool has_element_header(int32_t layer) {
    return layer == PCM_LAYER_AES3_302M || layer == PCM_LAYER_AES3_D10;
}

constexpr uint32_t kElementHeaderBytes = 4;

}  // namespace pcmpack
