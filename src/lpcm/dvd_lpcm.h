// SPDX-License-Identifier: BSD-2-Clause
// DVD linear PCM (layer 4): 1/600 s frames of big-endian 16-bit words.
#pragma once

namespace pcmpack {

struct AudioLayer;
extern const AudioLayer kDvdLpcmLayer;

}  // namespace pcmpack
