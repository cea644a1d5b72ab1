#include "core/geometry.h"

#include "core/layer.h"

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

uint32_t frame_buffer_size(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.frame_bytes[0]) + enc.layer->frame_buf_extra;
}

uint32_t stage_buffer_size(const pcm_a_encoder &enc) {
    return enc.layer->stages_input ? static_cast<uint32_t>(enc.input_frame_bytes[0]) : 0;
}

}  // namespace pcmpack
