#include "aes3/aes3_framing.h"

#include <string.h>

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

uint32_t aes3_frame_input_bytes(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.input_frame_bytes[enc.cadence_index]);
}

struct Aes3Packing {
    int32_t (*pack)(const pcm_a_encoder &enc, const uint8_t *frame_input);
    void (*pack_periods)(const pcm_a_encoder &enc, const uint8_t *input, int32_t first_period,
                         int32_t periods);
    int32_t (*finish)(const pcm_a_encoder &enc);
};

// Planar frames have no header and no block-start marks.
int32_t nothing_to_finish(const pcm_a_encoder &) { return 0; }

constexpr Aes3Packing k302m = {aes3_pack_302m, aes3_pack_302m_periods, aes3_finish_302m};
constexpr Aes3Packing kD10 = {aes3_pack_d10, aes3_pack_d10_periods, aes3_finish_d10};
constexpr Aes3Packing kPlanar = {aes3_pack_planar, aes3_pack_planar_periods, nothing_to_finish};

const Aes3Packing &packing_of(const pcm_a_encoder &enc) {
    switch (enc.audio_layer) {
    case PCM_LAYER_AES3_PLANAR: return kPlanar;
    case PCM_LAYER_AES3_D10: return kD10;
    default: return k302m;
    }
}

// A frame that arrives in pieces is packed as it comes: the whole sample
// periods of a piece go straight from the caller's buffer to their place in
// the frame, and only a sample period that the piece cuts waits in stage_buf
// for the rest of its bytes.
void aes3_gather(pcm_a_encoder &enc, uint32_t offset, const uint8_t *data, uint32_t size) {
    const Aes3Packing &packing = packing_of(enc);
    const uint32_t period_bytes = static_cast<uint32_t>(enc.input_sample_bytes);
    int32_t period = static_cast<int32_t>(offset / period_bytes);
    const uint32_t staged = offset % period_bytes;
    uint32_t taken = 0;
    if (staged != 0) {
        taken = period_bytes - staged < size ? period_bytes - staged : size;
        memcpy(enc.stage_buf + staged, data, taken);
        if (staged + taken < period_bytes) return;
        packing.pack_periods(enc, enc.stage_buf, period, 1);
        ++period;
    }
    const uint32_t whole = (size - taken) / period_bytes;
    packing.pack_periods(enc, data + taken, period, static_cast<int32_t>(whole));
    taken += whole * period_bytes;
    if (taken < size) memcpy(enc.stage_buf, data + taken, size - taken);
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
    packing_of(enc).pack(enc, frame_input);
    return aes3_write_frame(enc);
}

Status aes3_finish_and_write(pcm_a_encoder &enc) {
    packing_of(enc).finish(enc);
    return aes3_write_frame(enc);
}

constexpr Packetizer kAes3 = {
    aes3_stream_header,
    aes3_frame_input_bytes,
    aes3_gather,
    aes3_finish_and_write,
    aes3_pack_and_write,
};

}  // namespace

Status aes3_put_bytes(pcm_a_encoder &enc, const uint8_t *data, uint32_t size) {
    return cut_frames(enc, kAes3, data, size);
}

Status aes3_done(pcm_a_encoder &enc) { return flush_partial_frame(enc, kAes3); }

}  // namespace pcmpack
