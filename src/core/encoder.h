// SPDX-License-Identifier: BSD-2-Clause
// The encoder object. Allocated and zero-filled by pcmOutAudioNew through the
// host's allocator; the host only ever sees a pointer to it.
#pragma once

#include <pcmpack.h>

#include "core/host.h"
#include "core/kernel_level.h"

#include <stdint.h>

namespace pcmpack {

// Frame rates whose frame does not hold a whole number of samples cycle
// through five frames of different lengths; every geometry array has one entry
// per step of that cycle.
constexpr int kCadenceSteps = 5;

struct AudioLayer;

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
    // The layer's descriptor, chosen by pcmOutAudioInit.
    const pcmpack::AudioLayer *layer;
    // Running state. The counts grow with the stream, so they are 64-bit: a
    // 32-bit frame count would run out after 41 days of DVD audio.
    int64_t frame_count;  // frames written since Init
    int32_t header_written;
    // AES3: sample periods of every frame written since New; the next frame
    // starts this many 48 kHz sample periods into the stream.
    int64_t periods_written;
    int32_t cadence_index;
    int32_t channel_mask;
    pcmpack::KernelLevel kernel_level;  // chosen by pcmOutAudioInit
    uint8_t *frame_buf;
    uint8_t *stage_buf;
    uint32_t pending_bytes;
    bufstream *stream;
    // The host's frame sink, when InitWithSink bound one in place of stream;
    // lend is null otherwise.
    pcm_frame_sink sink;
    // HDMV channel assignment code chosen by the host; 0 = the default for
    // the channel count.
    int32_t hdmv_channel_assignment;
    // Host callbacks, from its lookup or its pcm_host record.
    pcmpack::MessageSink err_printf;
    pcmpack::Allocator memory;
};

namespace pcmpack {

inline bool input_is_big_endian(const pcm_a_encoder &enc) {
    return (enc.input_flags & PCM_INPUT_BIG_ENDIAN) != 0;
}

}  // namespace pcmpack

namespace pcmpack {

// For tests of long streams: carries on as though `frames` frames had been
// written since Init (and, for the AES3 time, since New), so that counts
// beyond 2^31 and 2^32 are reached without weeks of audio. Needs the
// geometry of a successful Init.
// For tests and the benchmark: run an encoder's packing loops at a lower
// level than its processor offers (never a higher one), after Init. Only the
// levels of one processor family are ordered among themselves.
inline void lower_kernel_level(pcm_a_encoder &enc, KernelLevel level) {
    const bool same_family =
        (level == KernelLevel::neon) == (enc.kernel_level == KernelLevel::neon);
    if (level == KernelLevel::scalar || (same_family && level < enc.kernel_level)) {
        enc.kernel_level = level;
    }
}

inline void continue_after_frames(pcm_a_encoder &enc, int64_t frames) {
    int64_t cycle = 0, before_step = 0;
    const int64_t step = frames % kCadenceSteps;
    for (int i = 0; i < kCadenceSteps; ++i) {
        cycle += enc.samples_per_frame[i];
        if (i < step) before_step += enc.samples_per_frame[i];
    }
    enc.frame_count = frames;
    enc.cadence_index = static_cast<int32_t>(step);
    enc.periods_written = frames / kCadenceSteps * cycle + before_step;
}

}  // namespace pcmpack
