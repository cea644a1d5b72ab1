// HDMV linear PCM (layer 13): 1/200 s frames, each behind a 4-byte HDMV frame
// header; the payload is the caller's bytes unchanged.
#pragma once

namespace pcmpack {

struct AudioLayer;
extern const AudioLayer kHdmvLpcmLayer;

}  // namespace pcmpack
