// AES3 framing (layers 10, 11, 12): one frame per video frame, following the
// five-step cadence of the frame rate code.
#pragma once

#include "core/encoder.h"
#include "core/status.h"

namespace pcmpack {

Status aes3_put_bytes(pcm_a_encoder &enc, const uint8_t *data, uint32_t size);
Status aes3_done(pcm_a_encoder &enc);

}  // namespace pcmpack
