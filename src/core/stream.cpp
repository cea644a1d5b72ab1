// SPDX-License-Identifier: BSD-2-Clause
#include "core/stream.h"

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

StreamHeader make_stream_header(const char (&tag)[5], uint8_t param0, uint8_t param1) {
    return StreamHeader{{static_cast<uint8_t>(tag[0]), static_cast<uint8_t>(tag[1]),
                         static_cast<uint8_t>(tag[2]), static_cast<uint8_t>(tag[3]), param0,
                         param1, 0, 0}};
}

Status write_stream_header(pcm_a_encoder &enc, const StreamHeader &header) {
    if (write_to_stream(enc, header.bytes, kStreamHeaderBytes) != Status::ok) {
        return Status::failed;
    }
    send_aux_record(enc, kStreamHeaderBytes, kNoTimestamp);
    enc.header_written = 1;
    return Status::ok;
}

}  // namespace pcmpack
