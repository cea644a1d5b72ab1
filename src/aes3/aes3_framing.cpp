#include "aes3/aes3_framing.h"

#include "aes3/packings.h"
#include "core/frame_cutter.h"
#include "core/geometry.h"

namespace pcmpack {
namespace {

StreamHeader aes3_stream_header(const pcm_a_encoder &enc) {
    const uint8_t frame_rate = static_cast<uint8_t>((enc.frameRateCode - 1) << 5);
    const uint8_t quantization = static_cast<uint8_t>((enc.quantization & 3) << 3);
    const uint8_t channels = static_cast<uint8_t>(enc.channels_minus_one & 7);
    return make_stream_header("AES3", static_cast<uint8_t>(enc.audio_layer & 0xFF),
                              static_cast<uint8_t>(frame_rate | quantization | channels));
}

uint8_t *aes3_gather_buffer(const pcm_a_encoder &enc) { return enc.stage_buf; }

uint32_t aes3_frame_input_bytes(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.input_frame_bytes[enc.cadence_index]);
}

void aes3_pack(const pcm_a_encoder &enc, const uint8_t *frame_input) {
    switch (enc.audio_layer) {
    case PCM_LAYER_AES3_PLANAR: aes3_pack_planar(enc, frame_input); break;
    case PCM_LAYER_AES3_D10: aes3_pack_d10(enc, frame_input); break;
    default: aes3_pack_302m(enc, frame_input); break;
    }
}

// Writes the packed frame and moves the cadence on only once the write has
// succeeded: a failed frame leaves step, timestamp and count where they were.
// The timestamp is the running sum of the durations written so far, kept in
// double precision so that the half ticks of the 1001 rates are never lost.
Status aes3_write_frame(pcm_a_encoder &enc) {
    const int32_t step = enc.cadence_index;
    const uint32_t size = static_cast<uint32_t>(enc.frame_bytes[step]) +
                          (has_element_header(enc.audio_layer) ? kElementHeaderBytes : 0);
    if (write_to_stream(enc, enc.frame_buf, size) != Status::ok) return Status::failed;
    send_aux_record(enc, size, to_ticks(enc.next_timestamp));
    ++enc.frame_count;
    enc.next_timestamp = enc.frame_duration[step] + enc.next_timestamp;
    enc.cadence_index = step + 1 < kCadenceSteps ? step + 1 : 0;
    return Status::ok;
}

Status aes3_pack_and_write(pcm_a_encoder &enc, const uint8_t *frame_input) {
    aes3_pack(enc, frame_input);
    return aes3_write_frame(enc);
}

constexpr Packetizer kAes3 = {
    aes3_stream_header,
    aes3_gather_buffer,
    aes3_frame_input_bytes,
    aes3_pack_and_write,
};

}  // namespace

Status aes3_put_bytes(pcm_a_encoder &enc, const uint8_t *data, uint32_t size) {
    return cut_frames(enc, kAes3, data, size);
}

Status aes3_done(pcm_a_encoder &enc) { return flush_partial_frame(enc, kAes3); }

}  // namespace pcmpack
