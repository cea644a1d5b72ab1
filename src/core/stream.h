// SPDX-License-Identifier: BSD-2-Clause
// The contract with the host's bufstream: every write is checked, and every
// complete stream header or frame is followed by exactly one aux_record.
#pragma once

#include "core/encoder.h"
#include "core/status.h"

namespace pcmpack {

constexpr uint32_t kStreamHeaderBytes = 8;
constexpr int64_t kNoTimestamp = -1;

// Writes size bytes; a count other than size is reported as P002.
Status write_to_stream(pcm_a_encoder &enc, const uint8_t *data, uint32_t size);

void send_aux_record(pcm_a_encoder &enc, uint32_t byte_count, int64_t timestamp);

// The host lends the memory of every frame (InitWithSink) instead of taking
// its bytes through the bufstream.
inline bool host_lends_frames(const pcm_a_encoder &enc) { return enc.sink.lend != nullptr; }

// Where a frame of size bytes is built before it leaves: frame_buf, when
// the bufstream takes it, or memory the host lends (a refused lend is
// reported as P029). Every frame opened is closed by close_frame.
Status open_frame(pcm_a_encoder &enc, uint32_t size, uint8_t *&frame);

// Sends the frame built in what open_frame gave: writes it to the bufstream
// and sends its aux_record, or hands it back to the host with its aux_record
// (a host that cannot keep it is reported as P030).
Status close_frame(pcm_a_encoder &enc, uint8_t *frame, uint32_t size, int64_t timestamp);

// The eight-byte stream header: a four-letter tag, two parameter bytes, two
// zero bytes.
struct StreamHeader {
    uint8_t bytes[kStreamHeaderBytes];
};

StreamHeader make_stream_header(const char (&tag)[5], uint8_t param0, uint8_t param1);

// Writes the header once per stream; on failure nothing is recorded, so the
// next call tries again.
Status write_stream_header(pcm_a_encoder &enc, const StreamHeader &header);

}  // namespace pcmpack
