// SPDX-License-Identifier: BSD-2-Clause
// HDMV linear PCM (layer 13): 1/200 s frames, each behind a 4-byte HDMV frame
// header; the payload is the caller's bytes unchanged.
#pragma once

#include <stdint.h>

namespace pcmpack {

// Whether frames of channels_minus_one + 1 coded channels may carry this
// channel assignment code.
bool hdmv_assignment_allowed(int32_t channels_minus_one, int32_t code);

struct AudioLayer;
extern const AudioLayer kHdmvLpcmLayer;

}  // namespace pcmpack
