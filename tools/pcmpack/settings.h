// SPDX-License-Identifier: BSD-2-Clause
// Names the tool gives to targets and frame rates on its command line.
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
std::string frame_rate_list();


}  // namespace pcmtool
