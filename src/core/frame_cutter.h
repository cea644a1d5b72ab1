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
    // Where the input of a partial frame waits for the next call.
    uint8_t *(*gather_buffer)(const pcm_a_encoder &enc);
    // Input bytes of the frame now being gathered (it may change after
    // every frame written, with the cadence step).
    uint32_t (*frame_input_bytes)(const pcm_a_encoder &enc);
    // Turns one complete frame of input into output and writes it with its
    // aux_record. frame_input is either the caller's data or the gather
    // buffer, and is only read.
    Status (*write_frame)(pcm_a_encoder &enc, const uint8_t *frame_input);
};

Status cut_frames(pcm_a_encoder &enc, const Packetizer &packetizer, const uint8_t *data,
                  uint32_t size);

// Writes the pending partial frame, zero-filled to its full size.
Status flush_partial_frame(pcm_a_encoder &enc, const Packetizer &packetizer);

}  // namespace pcmpack
