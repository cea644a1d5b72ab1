// SPDX-License-Identifier: BSD-2-Clause
// The encoder's life cycle: New, Init, PutBytes, Done, Free.
#include <assert.h>
#include <stdlib.h>
#include <string.h>

#include "config/validation.h"
#include "core/encoder.h"
#include "core/frame_cutter.h"
#include "core/geometry.h"
#include "core/layer.h"
#include "core/stream.h"
#include "lpcm/hdmv_lpcm.h"

namespace pcmpack {
namespace {

template <typename Func>
Func look_up(func_lookup lookup, const char *name) {
    return lookup ? reinterpret_cast<Func>(lookup(name)) : nullptr;
}

bool frame_rate_code_valid(const pcm_a_settings &settings, int32_t frame_rate_code) {
    const AudioLayer *layer = find_audio_layer(settings.audio_layer);
    if (layer && !layer->needs_frame_rate_code) return true;
    return frame_rate_code >= 1 && frame_rate_code <= 8;
}

void copy_settings(pcm_a_encoder &enc, const pcm_a_settings &settings) {
    enc.channels_minus_one = settings.channels_minus_one;
    enc.audio_layer = settings.audio_layer;
    enc.emphasis = settings.emphasis;
    enc.mute_flag = settings.mute_flag;
    enc.quantization = settings.quantization;
    enc.dynamic_range = settings.dynamic_range;
}

void release_buffers(pcm_a_encoder &enc) {
    if (enc.frame_buf) {
        enc.memory.deallocate(enc.frame_buf);
        enc.frame_buf = nullptr;
    }
    if (enc.stage_buf) {
        enc.memory.deallocate(enc.stage_buf);
        enc.stage_buf = nullptr;
    }
}

Status allocate_buffers(pcm_a_encoder &enc) {
    enc.frame_buf = static_cast<uint8_t *>(enc.memory.allocate(frame_buffer_size(enc)));
    if (!enc.frame_buf) {
        enc.err_printf("P001:Could not allocate memory for PCM audio sample buffer");
        return Status::failed;
    }
    if (!enc.layer->stages_input) return Status::ok;
    enc.stage_buf = static_cast<uint8_t *>(enc.memory.allocate(stage_buffer_size(enc)));
    if (!enc.stage_buf) {
        enc.err_printf("P001:Could not allocate memory for PCM audio sample buffer");
        release_buffers(enc);
        return Status::failed;
    }
    return Status::ok;
}

// Init has succeeded and Done has not yet released the buffers.
bool is_streaming(const pcm_a_encoder &enc) {
    return enc.frame_buf != nullptr && (enc.stream != nullptr || host_lends_frames(enc));
}

// Host callbacks are checked when they are handed over: a stream that cannot
// take a write or an aux_record is refused here, not on the first frame.
bool stream_usable(const bufstream *stream) {
    return stream != nullptr && stream->write_bytes != nullptr && stream->auxinfo != nullptr;
}

bool sink_usable(const pcm_frame_sink *sink) {
    return sink != nullptr && sink->lend != nullptr && sink->take != nullptr;
}

// The layer both forms of Init bind the host's stream or sink to; null, with
// "P001", when the host's is unusable.
const AudioLayer *layer_to_bind(pcm_a_encoder &enc, bool host_usable) {
    // Validation lets through only layers that have a descriptor.
    const AudioLayer *layer = find_audio_layer(enc.audio_layer);
    assert(layer != nullptr);
    if (!host_usable || layer == nullptr) {
        enc.err_printf("P001:Invalid parameter");
        return nullptr;
    }
    return layer;
}

// What both forms of Init share once the host's stream or sink is bound. A
// second Init rebinds the encoder: the buffers of the first go back first.
Status start_stream(pcm_a_encoder &enc, const AudioLayer &layer) {
    release_buffers(enc);
    enc.layer = &layer;
    compute_frame_geometry(enc);
    enc.kernel_level = choose_kernel_level();
    enc.frame_count = 0;
    enc.pending_bytes = 0;
    return allocate_buffers(enc);
}

// What both forms of New share once the host's callbacks are known: the
// settings were checked, the allocator pair is whole.
pcm_a_encoder *create_encoder(const MessageSink &error, const Allocator &memory,
                              const pcm_a_settings &settings, int32_t input_flags,
                              int32_t frame_rate_code, int32_t sample_rate) {
    auto *enc = static_cast<pcm_a_encoder *>(memory.allocate(sizeof(pcm_a_encoder)));
    if (!enc) return nullptr;
    memset(enc, 0, sizeof *enc);
    enc->memory = memory;
    enc->err_printf = error;
    enc->input_flags = input_flags;
    enc->frameRateCode = frame_rate_code;
    if (!frame_rate_code_valid(settings, frame_rate_code)) {
        enc->err_printf("P021:Invalid frameRateCode (%d) for AES3 audio", frame_rate_code);
        memory.deallocate(enc);
        return nullptr;
    }
    copy_settings(*enc, settings);
    enc->sample_rate = sample_rate;
    return enc;
}

bool settings_refused(int32_t check, const pcm_a_settings *settings) {
    // A null record passes the refusal threshold but leaves nothing to copy.
    return check > PCM_CHECK_REFUSE_LIMIT || settings == nullptr;
}

}  // namespace
}  // namespace pcmpack

using namespace pcmpack;

extern "C" {

PCMPACK_API pcm_a_encoder *pcmOutAudioNew(func_lookup lookup, const pcm_a_settings *settings,
                                          int32_t input_flags, int32_t frameRateCode,
                                          int32_t sample_rate) {
    const int32_t check = pcmOutAudioChkSettings(lookup, settings, PCM_VIDEO_TYPE_DEFAULT,
                                                 sample_rate, PCM_CHECK_SKIP_VIDEO_TYPE, 0);
    if (settings_refused(check, settings)) return nullptr;
    Allocator memory;
    if (allocator_of(lookup, memory) != Status::ok) {
        error_sink_of(lookup)("P001:Invalid parameter");
        return nullptr;
    }
    const MessageSink error = error_sink_of(lookup);
    // Asked as they always were, though only "err_printf" ever gets a message.
    (void)look_up<pcm_printf_func>(lookup, "wrn_printf");
    (void)look_up<pcm_printf_func>(lookup, "inf_printf");
    return create_encoder(error, memory, *settings, input_flags, frameRateCode, sample_rate);
}

PCMPACK_API pcm_a_encoder *pcmOutAudioNewWithHost(const pcm_host *host,
                                                  const pcm_a_settings *settings,
                                                  int32_t input_flags, int32_t frameRateCode,
                                                  int32_t sample_rate) {
    const MessageSink error = error_sink_of(host);
    const int32_t check = pcmOutAudioChkSettingsWithHost(
        host, settings, PCM_VIDEO_TYPE_DEFAULT, sample_rate, PCM_CHECK_SKIP_VIDEO_TYPE);
    if (settings_refused(check, settings)) return nullptr;
    Allocator memory;
    if (allocator_of(host, memory) != Status::ok) {
        error("P001:Invalid parameter");
        return nullptr;
    }
    return create_encoder(error, memory, *settings, input_flags, frameRateCode, sample_rate);
}

PCMPACK_API int32_t pcmOutAudioSetHdmvChannelAssignment(pcm_a_encoder *encoder,
                                                        int32_t channel_assignment) {
    if (!encoder) return 1;
    // The frame headers are fixed from the first Init on.
    if (encoder->layer != nullptr) {
        encoder->err_printf("P001:Invalid parameter");
        return 1;
    }
    if (encoder->audio_layer != PCM_LAYER_HDMV_LPCM) {
        encoder->err_printf("P027:Invalid HDMV channel assignment (%d) for audio layer %d",
                            channel_assignment, encoder->audio_layer);
        return 1;
    }
    if (!hdmv_assignment_allowed(encoder->channels_minus_one, channel_assignment)) {
        encoder->err_printf("P028:Invalid HDMV channel assignment (%d) for %d channels",
                            channel_assignment, encoder->channels_minus_one + 1);
        return 1;
    }
    encoder->hdmv_channel_assignment = channel_assignment;
    return 0;
}

PCMPACK_API int32_t pcmOutAudioInit(pcm_a_encoder *encoder, bufstream *stream) {
    if (!encoder) return 1;
    const AudioLayer *layer = layer_to_bind(*encoder, stream_usable(stream));
    if (layer == nullptr) return 1;
    encoder->stream = stream;
    encoder->sink = pcm_frame_sink{};
    return exported_result(start_stream(*encoder, *layer));
}

PCMPACK_API int32_t pcmOutAudioInitWithSink(pcm_a_encoder *encoder, const pcm_frame_sink *sink) {
    if (!encoder) return 1;
    const AudioLayer *layer = layer_to_bind(*encoder, sink_usable(sink));
    if (layer == nullptr) return 1;
    encoder->stream = nullptr;
    encoder->sink = *sink;
    return exported_result(start_stream(*encoder, *layer));
}

PCMPACK_API int32_t pcmOutAudioFrameGeometry(const pcm_a_settings *settings, int32_t frameRateCode,
                                             int32_t sample_rate, pcm_frame_geometry *geometry) {
    if (geometry == nullptr) return 1;
    if (settings_refused(pcmOutAudioCheckSettings(settings, PCM_VIDEO_TYPE_DEFAULT, sample_rate),
                         settings) ||
        !frame_rate_code_valid(*settings, frameRateCode)) {
        return 1;
    }
    // The encoder New and Init would make, on the stack: nothing allocated,
    // no host function called.
    pcm_a_encoder model{};
    copy_settings(model, *settings);
    model.frameRateCode = frameRateCode;
    model.sample_rate = sample_rate;
    model.layer = find_audio_layer(settings->audio_layer);
    compute_frame_geometry(model);
    describe_frames(model, *geometry);
    return 0;
}

PCMPACK_API int32_t pcmOutAudioPutBytes(pcm_a_encoder *encoder, const uint8_t *data,
                                        uint32_t size) {
    if (!encoder) return 1;
    if (!is_streaming(*encoder) || (data == nullptr && size != 0)) {
        encoder->err_printf("P001:Invalid parameter");
        return 1;
    }
    return exported_result(cut_frames(*encoder, *encoder->layer->packetizer, data, size));
}

PCMPACK_API int32_t pcmOutAudioDone(pcm_a_encoder *encoder, int32_t abort_flag) {
    if (!encoder) return 1;
    Status result = Status::ok;
    if (abort_flag == 0 && is_streaming(*encoder)) {
        result = flush_partial_frame(*encoder, *encoder->layer->packetizer);
    }
    release_buffers(*encoder);
    return exported_result(result);
}

PCMPACK_API void pcmOutAudioFree(pcm_a_encoder *encoder) {
    if (!encoder) return;
    // A host that skipped Done would otherwise lose the frame buffers.
    release_buffers(*encoder);
    const Allocator memory = encoder->memory;
    memory.deallocate(encoder);
}

}  // extern "C"
