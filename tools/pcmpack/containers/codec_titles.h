// SPDX-License-Identifier: BSD-2-Clause
// The names of the codecs a programme carries, as the tool's refusals and
// reports give them: one table for the video input and the container reader.
#pragma once

// Before libavutil, which needs UINT64_C in C++.
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace pcmtool {

// "MPEG-2 video", "H.264", "SMPTE 302M" and so on; other codecs by
// libavcodec's name.
const char *codec_title(AVCodecID codec);

}  // namespace pcmtool
