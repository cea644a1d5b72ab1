// SPDX-License-Identifier: BSD-2-Clause
// Names the tool gives to targets and frame rates on its command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

// Video type of a --target name or of another word for it; the caller has
// restricted the names.
int target_video_type(const std::string &target);
// The --target names, each with the family users know it by ("Blu-ray")
// and the other words they write for it ("bluray", "bd"); and all of it as
// help texts list it: "default (302M for broadcast; also 302m, broadcast),
// dvd, hdmv (Blu-ray; also bluray, bd), ...", with each one's video type
// first for `presets`: "hdmv (video type 44, Blu-ray; also bluray, bd)".
struct TargetName {
    std::string name, title;
    std::vector<std::string> aliases;
};
std::vector<TargetName> target_names();
std::string target_list(bool video_types = false);
// The family of a video type code ("DVD", "DVD-VR", "XDCAM IMX", ...), as
// the tool names it; nullptr for a code of no family the tool knows.
const char *video_type_family(int video_type);
struct VideoTypeFamily {
    int first, last;  // codes, both included
    const char *name;
    bool preset;      // false: target rules only, encode needs --layer
};
// The families that have target rules but no preset (VCD, SVCD, DVHS, HDV).
std::vector<VideoTypeFamily> families_without_preset();

// MPEG frame rate code 1..8 of a frame rate written as "24000/1001",
// "23.976", "23.98", "25", "25.0", "25/1", ...; 0 when the text is no such
// rate (a bare code is not a rate: "5" is 5 frames per second).
int parse_frame_rate(const std::string &text);
std::string frame_rate_list();
// The one or two rates within a frame per second of what `text`, refused by
// parse_frame_rate, was likely meant to be, as users write them ("29.97 or
// 30"); "" when no rate is that near.
std::string frame_rates_near(const std::string &text);
// The code of the exact rate num/den, 0 for a rate not in the table; and a
// rate as the tool writes it: "30000/1001 (29.97)", "25", or "12.5" for one
// not in the table.
int frame_rate_code_of(int64_t num, int64_t den);
std::string frame_rate_text(int64_t num, int64_t den);
// The MPEG frame rate codes (1..8), and each with its rate for help texts:
// "1 24000/1001, 2 24, ...".
std::vector<int> frame_rate_codes();
std::string frame_rate_code_list();

// The layers encode packs, by code, and each with its name for help texts:
// "4 DVD LPCM, 10 SMPTE 302M, ...".
std::vector<int> layer_codes();
std::string layer_list();
}  // namespace pcmtool
