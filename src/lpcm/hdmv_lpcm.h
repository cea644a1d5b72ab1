// HDMV linear PCM (layer 13): 1/200 s frames, each behind a 4-byte HDMV frame
// header; the payload is the caller's bytes unchanged.
#pragma once

#include "core/encoder.h"
#include "core/status.h"

namespace pcmpack {

Status hdmv_lpcm_put_bytes(pcm_a_encoder &enc, const uint8_t *data, uint32_t size);
Status hdmv_lpcm_done(pcm_a_encoder &enc);

}  // namespace pcmpack
