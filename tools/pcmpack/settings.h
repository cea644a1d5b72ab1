// Names the tool gives to targets, frame rates, layers and HDMV layouts.
#pragma once

#include <string>

namespace pcmtool {

// Video type of a --target name; the caller has restricted the names.
int target_video_type(const std::string &target);
// The --target names with their video types, for help texts.
std::string target_list();

// MPEG frame rate code 1..8 of a frame rate written as "24000/1001",
// "23.976", "23.98", "25", "25.0", "25/1", ...; 0 when the text is no such
// rate (a bare code is not a rate: "5" is 5 frames per second).
int parse_frame_rate(const std::string &text);
// "24000/1001" for code 1, and so on; "" for other codes.
const char *frame_rate_text(int code);
std::string frame_rate_list();

// "DVD LPCM", "SMPTE 302M", "D-10 AES3", "planar AES3", "HDMV LPCM".
const char *layer_title(int layer);

// The HDMV layout of a source channel count: "2.0", "3/0", "3/2", "3/4".
std::string hdmv_layout(int source_channels);

}  // namespace pcmtool
