// SPDX-License-Identifier: BSD-2-Clause
// One descriptor per audio layer: every fact and function in which the layers
// differ. pcmOutAudioInit chooses the layer's descriptor once and keeps a
// pointer to it in the encoder; nothing else asks which layer it is.
#pragma once

#include "core/encoder.h"
#include "core/frame_cutter.h"

namespace pcmpack {

struct Aes3Packing;

// Bytes of one sample period, all channels together.
struct PeriodBytes {
    int32_t output;
    int32_t input;
};

struct AudioLayer {
    int32_t audio_layer;  // PCM_LAYER_*
    // Sample periods of the frame at each cadence step; the first step's
    // frame is the largest, so buffers sized for it hold any frame.
    void (*count_samples)(const pcm_a_encoder &enc, int32_t (&samples)[kCadenceSteps]);
    PeriodBytes (*period_bytes)(const pcm_a_encoder &enc);
    // Bytes every frame carries in front of its samples (its own header);
    // frame_buf has room for them beyond the payload of the largest frame.
    uint32_t frame_header_bytes;
    // The frame's input waits in stage_buf, sized for the largest frame.
    bool stages_input;
    // The frames follow the video frame rate, so New needs a valid code.
    bool needs_frame_rate_code;
    // The element header carries a channel-valid mask.
    bool masks_channels;
    // How a byte stream is cut into frames and each frame written.
    const Packetizer *packetizer;
    // How an AES3 frame is packed; null for the other layers.
    const Aes3Packing *aes3_packing;
};

// The descriptor of audio_layer, or null when the library has none.
const AudioLayer *find_audio_layer(int32_t audio_layer);

}  // namespace pcmpack
