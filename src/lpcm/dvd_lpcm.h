// DVD linear PCM (layer 4): 1/600 s frames of big-endian 16-bit words.
#pragma once

#include "core/encoder.h"
#include "core/status.h"

namespace pcmpack {

Status dvd_lpcm_put_bytes(pcm_a_encoder &enc, const uint8_t *data, uint32_t size);
Status dvd_lpcm_done(pcm_a_encoder &enc);

// Exchanges the two bytes of every 16-bit word in place; length <= 0 does
// nothing.
void swap_byte_pairs(uint8_t *buffer, int32_t length);

}  // namespace pcmpack
