// SPDX-License-Identifier: BSD-2-Clause
#include "core/stream.h"

#include <string.h>

namespace pcmpack {

Status write_to_stream(pcm_a_encoder &enc, const uint8_t *data, uint32_t size) {
    if (enc.stream->write_bytes(enc.stream, data, size) == size) return Status::ok;
    enc.err_printf("P002:Could not write PCM buffer to audio bufstream");
    return Status::failed;
}

void send_aux_record(pcm_a_encoder &enc, uint32_t byte_count, int64_t timestamp) {
    aux_record record{byte_count, 0, timestamp};
    enc.stream->auxinfo(enc.stream, 0, AUX_FRAME_INFO_ID, &record, sizeof record);
}

Status open_frame(pcm_a_encoder &enc, uint32_t size, uint8_t *&frame) {
    if (!host_lends_frames(enc)) {
        frame = enc.frame_buf;
        return Status::ok;
    }
    uint32_t lent = 0;
    frame = enc.sink.lend(enc.sink.opaque, size, &lent);
    if (frame != nullptr && lent >= size) return Status::ok;
    // Memory too small to write into still goes back to its owner.
    if (frame != nullptr) enc.sink.take(enc.sink.opaque, frame, nullptr);
    frame = nullptr;
    enc.err_printf("P029:Could not get %d bytes for a PCM frame from the host",
                   static_cast<int32_t>(size));
    return Status::failed;
}

Status close_frame(pcm_a_encoder &enc, uint8_t *frame, uint32_t size, int64_t timestamp) {
    if (!host_lends_frames(enc)) {
        if (write_to_stream(enc, frame, size) != Status::ok) return Status::failed;
        send_aux_record(enc, size, timestamp);
        return Status::ok;
    }
    const aux_record record{size, 0, timestamp};
    if (enc.sink.take(enc.sink.opaque, frame, &record) == 0) return Status::ok;
    enc.err_printf("P030:Could not hand the PCM frame to the host");
    return Status::failed;
}

StreamHeader make_stream_header(const char (&tag)[5], uint8_t param0, uint8_t param1) {
    return StreamHeader{{static_cast<uint8_t>(tag[0]), static_cast<uint8_t>(tag[1]),
                         static_cast<uint8_t>(tag[2]), static_cast<uint8_t>(tag[3]), param0,
                         param1, 0, 0}};
}

// The header is written before any input is taken, so frame_buf (which
// holds the smallest frame, 160 bytes, and more) is free for it.
Status write_stream_header(pcm_a_encoder &enc, const StreamHeader &header) {
    uint8_t *frame = nullptr;
    if (open_frame(enc, kStreamHeaderBytes, frame) != Status::ok) return Status::failed;
    memcpy(frame, header.bytes, kStreamHeaderBytes);
    if (close_frame(enc, frame, kStreamHeaderBytes, kNoTimestamp) != Status::ok) {
        return Status::failed;
    }
    enc.header_written = 1;
    return Status::ok;
}

}  // namespace pcmpack
