// SPDX-License-Identifier: BSD-2-Clause
// The three AES3 sample packings. Each builds the output frame at `frame`
// (frame_buf, or memory the host lends), either in one call from the frame's
// complete interleaved input (input_frame_bytes[cadence_index] bytes), or,
// when the input arrives in
// pieces, a run of whole sample periods at a time (`..._periods`, each run at
// its place in the frame) followed by the finish once the last period is in.
// None changes a field of the encoder.
#pragma once

#include "core/encoder.h"

namespace pcmpack {

// SMPTE 302M data block: 4-byte header, then one 5/6/7-byte group per channel
// pair. The finish writes the header and the block-start bits.
void aes3_pack_302m(const pcm_a_encoder &enc, const uint8_t *frame_input, uint8_t *frame);
void aes3_pack_302m_periods(const pcm_a_encoder &enc, const uint8_t *input, int32_t first_period,
                            int32_t periods, uint8_t *frame);
void aes3_finish_302m(const pcm_a_encoder &enc, uint8_t *frame);

// D-10 audio element: 4-byte header, then eight 4-byte channel words per
// sample period. The finish writes the element header and the block-start
// flags.
void aes3_pack_d10(const pcm_a_encoder &enc, const uint8_t *frame_input, uint8_t *frame);
void aes3_pack_d10_periods(const pcm_a_encoder &enc, const uint8_t *input, int32_t first_period,
                           int32_t periods, uint8_t *frame);
void aes3_finish_d10(const pcm_a_encoder &enc, uint8_t *frame);

// Planar: one little-endian plane per channel, nothing to finish.
void aes3_pack_planar(const pcm_a_encoder &enc, const uint8_t *frame_input, uint8_t *frame);
void aes3_pack_planar_periods(const pcm_a_encoder &enc, const uint8_t *input,
                              int32_t first_period, int32_t periods, uint8_t *frame);

// The 302M data block and the D-10 element open with a 4-byte header.
constexpr uint32_t kElementHeaderBytes = 4;

// Block start recurs every 192 AES3 frames (one channel-status block).
constexpr int32_t kAes3BlockFrames = 192;

}  // namespace pcmpack
