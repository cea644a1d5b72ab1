// SPDX-License-Identifier: BSD-2-Clause
#include "core/frame_cutter.h"

#include <string.h>

namespace pcmpack {
namespace {

// Silence, taken a block at a time to complete the last frame of a stream.
constexpr uint8_t kSilence[256] = {};

}  // namespace

Status cut_frames(pcm_a_encoder &enc, const Packetizer &packetizer, const uint8_t *data,
                  uint32_t size) {
    if (!enc.header_written) {
        if (write_stream_header(enc, packetizer.stream_header(enc)) != Status::ok) {
            return Status::failed;
        }
    }
    if (size == 0) return Status::ok;
    uint32_t consumed = 0;

    if (enc.pending_bytes != 0) {
        const uint32_t room = packetizer.frame_input_bytes(enc) - enc.pending_bytes;
        const uint32_t take = room < size ? room : size;
        packetizer.gather(enc, enc.pending_bytes, data, take);
        consumed = take;
        if (take < room) {
            enc.pending_bytes += take;
            return Status::ok;
        }
        if (packetizer.write_gathered_frame(enc) != Status::ok) return Status::failed;
        enc.pending_bytes = 0;
    }

    for (uint32_t frame = packetizer.frame_input_bytes(enc); size - consumed >= frame;
         frame = packetizer.frame_input_bytes(enc)) {
        const uint8_t *frame_input = data + consumed;
        consumed += frame;
        if (packetizer.write_frame(enc, frame_input) != Status::ok) return Status::failed;
    }

    const uint32_t remainder = size - consumed;
    if (remainder != 0) {
        packetizer.gather(enc, 0, data + consumed, remainder);
        enc.pending_bytes = remainder;
    }
    return Status::ok;
}

Status flush_partial_frame(pcm_a_encoder &enc, const Packetizer &packetizer) {
    if (enc.pending_bytes == 0) return Status::ok;
    const uint32_t frame = packetizer.frame_input_bytes(enc);
    for (uint32_t offset = enc.pending_bytes; offset < frame;) {
        const uint32_t left = frame - offset;
        const uint32_t take = left < sizeof kSilence ? left : sizeof kSilence;
        packetizer.gather(enc, offset, kSilence, take);
        offset += take;
    }
    if (packetizer.write_gathered_frame(enc) != Status::ok) return Status::failed;
    enc.pending_bytes = 0;
    return Status::ok;
}

void gather_in_frame_buf(pcm_a_encoder &enc, uint32_t offset, const uint8_t *data,
                         uint32_t size) {
    memcpy(enc.frame_buf + offset, data, size);
}

}  // namespace pcmpack
