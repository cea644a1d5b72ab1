// SPDX-License-Identifier: BSD-2-Clause
// AES3 framing (layers 10, 11, 12): one frame per video frame, following the
// five-step cadence of the frame rate code.
#pragma once

namespace pcmpack {

struct AudioLayer;
extern const AudioLayer kAes3302mLayer;
extern const AudioLayer kAes3D10Layer;
extern const AudioLayer kAes3PlanarLayer;

}  // namespace pcmpack
