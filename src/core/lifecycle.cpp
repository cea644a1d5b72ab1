// The encoder's life cycle: New, Init, PutBytes, Done, Free.
#include <assert.h>
#include <stdlib.h>
#include <string.h>

#include "config/validation.h"
#include "core/encoder.h"
#include "core/frame_cutter.h"
#include "core/geometry.h"
#include "core/layer.h"

namespace pcmpack {
namespace {

// The C library's pair, for a host that supplies none. Wrapped so that the
// types match the host-facing function pointers exactly.
void *system_malloc(size_t size) { return ::malloc(size); }
void system_free(void *ptr) { ::free(ptr); }

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

// The sinks and "free" are resolved one by one, in this order, so a host may
// supply any subset.
void resolve_host_functions(pcm_a_encoder &enc, func_lookup lookup) {
    enc.free = look_up<pcm_free_func>(lookup, "free");
    enc.err_printf = look_up<pcm_printf_func>(lookup, "err_printf");
    enc.wrn_printf = look_up<pcm_printf_func>(lookup, "wrn_printf");
    enc.inf_printf = look_up<pcm_printf_func>(lookup, "inf_printf");
    if (!enc.free) enc.free = system_free;
    if (!enc.err_printf) enc.err_printf = silent_printf;
    if (!enc.wrn_printf) enc.wrn_printf = silent_printf;
    if (!enc.inf_printf) enc.inf_printf = silent_printf;
}

void release_buffers(pcm_a_encoder &enc) {
    if (enc.frame_buf) {
        enc.free(enc.frame_buf);
        enc.frame_buf = nullptr;
    }
    if (enc.stage_buf) {
        enc.free(enc.stage_buf);
        enc.stage_buf = nullptr;
    }
}

Status allocate_buffers(pcm_a_encoder &enc) {
    enc.frame_buf = static_cast<uint8_t *>(enc.malloc(frame_buffer_size(enc)));
    if (!enc.frame_buf) {
        enc.err_printf("P001:Could not allocate memory for PCM audio sample buffer");
        return Status::failed;
    }
    if (!enc.layer->stages_input) return Status::ok;
    enc.stage_buf = static_cast<uint8_t *>(enc.malloc(stage_buffer_size(enc)));
    if (!enc.stage_buf) {
        enc.err_printf("P001:Could not allocate memory for PCM audio sample buffer");
        release_buffers(enc);
        return Status::failed;
    }
    return Status::ok;
}

// Init has succeeded and Done has not yet released the buffers.
bool is_streaming(const pcm_a_encoder &enc) {
    return enc.frame_buf != nullptr && enc.stream != nullptr;
}

// Host callbacks are checked when they are handed over: a stream that cannot
// take a write or an aux_record is refused here, not on the first frame.
bool stream_usable(const bufstream *stream) {
    return stream != nullptr && stream->write_bytes != nullptr && stream->auxinfo != nullptr;
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
    // A null record passes the refusal threshold but leaves nothing to copy.
    if (check > PCM_CHECK_REFUSE_LIMIT || settings == nullptr) return nullptr;

    pcm_malloc_func allocate = look_up<pcm_malloc_func>(lookup, "malloc");
    if (!allocate) allocate = system_malloc;
    auto *enc = static_cast<pcm_a_encoder *>(allocate(sizeof(pcm_a_encoder)));
    if (!enc) return nullptr;
    memset(enc, 0, sizeof *enc);
    enc->malloc = allocate;
    resolve_host_functions(*enc, lookup);
    enc->input_flags = input_flags;
    enc->frameRateCode = frameRateCode;

    if (!frame_rate_code_valid(*settings, frameRateCode)) {
        enc->err_printf("P021:Invalid frameRateCode (%d) for AES3 audio", frameRateCode);
        enc->free(enc);
        return nullptr;
    }
    copy_settings(*enc, *settings);
    enc->sample_rate = sample_rate;
    return enc;
}

PCMPACK_API int32_t pcmOutAudioInit(pcm_a_encoder *encoder, bufstream *stream) {
    if (!encoder) return 1;
    // Validation lets through only layers that have a descriptor.
    const AudioLayer *layer = find_audio_layer(encoder->audio_layer);
    assert(layer != nullptr);
    if (!stream_usable(stream) || layer == nullptr) {
        encoder->err_printf("P001:Invalid parameter");
        return 1;
    }
    // A second Init rebinds the encoder; the buffers of the first go back first.
    release_buffers(*encoder);
    encoder->stream = stream;
    encoder->layer = layer;
    compute_frame_geometry(*encoder);
    encoder->kernel_level = choose_kernel_level();
    encoder->frame_count = 0;
    encoder->pending_bytes = 0;
    return exported_result(allocate_buffers(*encoder));
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
    encoder->free(encoder);
}

}  // extern "C"
