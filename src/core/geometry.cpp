// SPDX-License-Identifier: BSD-2-Clause
#include "core/geometry.h"

#include "core/layer.h"
#include "core/stream.h"

namespace pcmpack {

void compute_frame_geometry(pcm_a_encoder &enc) {
    const AudioLayer &layer = *enc.layer;
    layer.count_samples(enc, enc.samples_per_frame);
    const PeriodBytes period = layer.period_bytes(enc);
    enc.sample_bytes = period.output;
    enc.input_sample_bytes = period.input;
    if (layer.masks_channels) {
        for (int32_t ch = 0; ch <= enc.channels_minus_one; ++ch) enc.channel_mask |= 1 << ch;
    }
    for (int i = 0; i < kCadenceSteps; ++i) {
        enc.frame_bytes[i] = enc.sample_bytes * enc.samples_per_frame[i];
        enc.input_frame_bytes[i] = enc.input_sample_bytes * enc.samples_per_frame[i];
    }
}

namespace {

// A cadence whose steps all hold the same sample periods is one step long.
int32_t distinct_steps(const pcm_a_encoder &enc) {
    for (int i = 1; i < kCadenceSteps; ++i) {
        if (enc.samples_per_frame[i] != enc.samples_per_frame[0]) return kCadenceSteps;
    }
    return 1;
}

}  // namespace

void describe_frames(const pcm_a_encoder &enc, pcm_frame_geometry &geometry) {
    static_assert(kCadenceSteps == PCM_CADENCE_STEPS_MAX, "one entry per cadence step");
    geometry = pcm_frame_geometry{};
    geometry.stream_header_bytes = kStreamHeaderBytes;
    const int32_t steps = distinct_steps(enc);
    geometry.cadence_steps = static_cast<uint32_t>(steps);
    for (int i = 0; i < steps; ++i) {
        geometry.frame_bytes[i] =
            static_cast<uint32_t>(enc.frame_bytes[i]) + enc.layer->frame_header_bytes;
        geometry.sample_periods[i] = static_cast<uint32_t>(enc.samples_per_frame[i]);
    }
}

uint32_t frame_buffer_size(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.frame_bytes[0]) + enc.layer->frame_header_bytes;
}

uint32_t stage_buffer_size(const pcm_a_encoder &enc) {
    return enc.layer->stages_input ? static_cast<uint32_t>(enc.input_frame_bytes[0]) : 0;
}

}  // namespace pcmpack
