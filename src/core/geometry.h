// SPDX-License-Identifier: BSD-2-Clause
// Frame timing and buffer geometry, computed once by pcmOutAudioInit from the
// layer's descriptor.
#pragma once

#include "core/encoder.h"

namespace pcmpack {

// Fills samples_per_frame, sample_bytes, input_sample_bytes, frame_bytes,
// input_frame_bytes and channel_mask from the stored settings.
void compute_frame_geometry(pcm_a_encoder &enc);

// What a host is told of the geometry: whole frames as written, and how many
// cadence steps they run through.
void describe_frames(const pcm_a_encoder &enc, pcm_frame_geometry &geometry);

// Bytes the host's allocator is asked for at Init; 0 = no stage buffer.
uint32_t frame_buffer_size(const pcm_a_encoder &enc);
uint32_t stage_buffer_size(const pcm_a_encoder &enc);

}  // namespace pcmpack
