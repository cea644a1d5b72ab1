#include "lpcm/dvd_lpcm.h"

#include <string.h>

#include "core/frame_cutter.h"

namespace pcmpack {
namespace {

StreamHeader dvd_lpcm_stream_header(const pcm_a_encoder &enc) {
    const uint8_t rate_not_48k = enc.sample_rate != 48000 ? 0x01 : 0x00;
    const uint8_t emphasis = enc.emphasis != 0 ? 0x02 : 0x00;
    const uint8_t channels = static_cast<uint8_t>((enc.channels_minus_one & 7) << 2);
    const uint8_t quantization = static_cast<uint8_t>((enc.quantization & 3) << 5);
    const uint8_t mute = static_cast<uint8_t>((enc.mute_flag & 1) << 7);
    return make_stream_header("LPCM",
                              static_cast<uint8_t>(rate_not_48k | emphasis | channels |
                                                   quantization | mute),
                              static_cast<uint8_t>(enc.dynamic_range & 0xFF));
}

uint8_t *dvd_lpcm_gather_buffer(const pcm_a_encoder &enc) { return enc.frame_buf; }

uint32_t dvd_lpcm_frame_bytes(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.frame_bytes[0]);
}

bool input_is_big_endian(const pcm_a_encoder &enc) {
    return (enc.input_flags & PCM_INPUT_BIG_ENDIAN) != 0;
}

// The frame is swapped in frame_buf, never in the caller's buffer. When the
// write fails the swap is undone, so a pending partial frame stays exactly as
// the caller gave it and a later call completes it with correct audio.
Status dvd_lpcm_write_frame(pcm_a_encoder &enc, const uint8_t *frame_input) {
    const int32_t size = enc.frame_bytes[0];
    if (frame_input != enc.frame_buf) memcpy(enc.frame_buf, frame_input, size);
    const bool swap = !input_is_big_endian(enc);
    if (swap) swap_byte_pairs(enc.frame_buf, size);
    if (write_to_stream(enc, enc.frame_buf, size) != Status::ok) {
        if (swap) swap_byte_pairs(enc.frame_buf, size);
        return Status::failed;
    }
    send_aux_record(enc, size, to_ticks(enc.frame_count * enc.frame_duration[0]));
    ++enc.frame_count;
    return Status::ok;
}

constexpr Packetizer kDvdLpcm = {
    dvd_lpcm_stream_header,
    dvd_lpcm_gather_buffer,
    dvd_lpcm_frame_bytes,
    dvd_lpcm_write_frame,
};

}  // namespace

void swap_byte_pairs(uint8_t *buffer, int32_t length) {
    for (int32_t i = 0; i + 1 < length; i += 2) {
        const uint8_t first = buffer[i];
        buffer[i] = buffer[i + 1];
        buffer[i + 1] = first;
    }
}

Status dvd_lpcm_put_bytes(pcm_a_encoder &enc, const uint8_t *data, uint32_t size) {
    return cut_frames(enc, kDvdLpcm, data, size);
}

Status dvd_lpcm_done(pcm_a_encoder &enc) { return flush_partial_frame(enc, kDvdLpcm); }

}  // namespace pcmpack
