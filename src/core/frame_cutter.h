// SPDX-License-Identifier: BSD-2-Clause
// Cutting a byte stream into frames is the same for every layer: write the
// stream header once, complete the pending frame, take whole frames straight
// from the caller's buffer, keep the remainder. A packetizer supplies only
// what differs.
#pragma once

#include "core/encoder.h"
#include "core/status.h"
#include "core/stream.h"

namespace pcmpack {

struct Packetizer {
    StreamHeader (*stream_header)(const pcm_a_encoder &enc);
    // Input bytes of the frame now being gathered (it may change after
    // every frame written, with the cadence step).
    uint32_t (*frame_input_bytes)(const pcm_a_encoder &enc);
    // Takes size bytes of a frame that arrives in pieces, starting at input
    // offset `offset` of that frame, and keeps them (as input or already
    // turned into output) until the frame is complete. Taking the same
    // offset again overwrites what was taken there.
    void (*gather)(pcm_a_encoder &enc, uint32_t offset, const uint8_t *data, uint32_t size);
    // Writes the frame that gather has completed, with its aux_record.
    Status (*write_gathered_frame)(pcm_a_encoder &enc);
    // Turns one complete frame of the caller's input into output and writes
    // it with its aux_record; frame_input is only read.
    Status (*write_frame)(pcm_a_encoder &enc, const uint8_t *frame_input);
};

Status cut_frames(pcm_a_encoder &enc, const Packetizer &packetizer, const uint8_t *data,
                  uint32_t size);

// Writes the pending partial frame, its missing input taken as silence.
Status flush_partial_frame(pcm_a_encoder &enc, const Packetizer &packetizer);

// The gather of the linear PCM layers: a partial frame waits in frame_buf as
// the caller gave it.
void gather_in_frame_buf(pcm_a_encoder &enc, uint32_t offset, const uint8_t *data,
                         uint32_t size);

}  // namespace pcmpack
