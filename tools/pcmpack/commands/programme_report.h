// SPDX-License-Identifier: BSD-2-Clause
// inspect's account of a container's programme: its tracks, and where the
// audio sits on the video's frames, as text lines and as JSON.
#pragma once

#include "containers/programme_tracks.h"

#include <string>

namespace pcmtool {

// "  video            id 0x1011: H.264, 1920x1080, 23.976 Hz (24000/1001)\n"
// and a line per audio track.
std::string programme_track_lines(const Programme &p);
// A line per audio track for its first sample against the first video
// frame, and per 302M track for its packets against the frames; nothing
// without video or before the whole input was read.
std::string programme_alignment_lines(const Programme &p);
// ,"programme":{"video":[...],"audio":[...]}
std::string programme_json(const Programme &p);

}  // namespace pcmtool
