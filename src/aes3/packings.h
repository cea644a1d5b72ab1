// The three AES3 sample packings. Each reads one complete frame of
// interleaved input (input_frame_bytes[cadence_index] bytes) and builds the
// whole output frame at the start of frame_buf; each returns the count its
// format defines and changes no field of the encoder.
#pragma once

#include "core/encoder.h"

namespace pcmpack {

// SMPTE 302M data block: 4-byte header, then one 5/6/7-byte group per channel
// pair. Returns the bytes written, header included.
int32_t aes3_pack_302m(const pcm_a_encoder &enc, const uint8_t *frame_input);

// D-10 audio element: 4-byte header, then eight 4-byte channel words per
// sample period. Returns the bytes written, header included.
int32_t aes3_pack_d10(const pcm_a_encoder &enc, const uint8_t *frame_input);

// Planar: one little-endian plane per channel. Returns the input bytes
// consumed, which equals the bytes written.
int32_t aes3_pack_planar(const pcm_a_encoder &enc, const uint8_t *frame_input);

// Block start recurs every 192 AES3 frames (one channel-status block).
constexpr int32_t kAes3BlockFrames = 192;

}  // namespace pcmpack
