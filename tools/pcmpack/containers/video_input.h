// SPDX-License-Identifier: BSD-2-Clause
// The video of a programme: one video track of any file libavformat reads,
// whose packets the programme writer copies into its container as they are,
// never decoded, with their timestamps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace pcmtool {

// A frame rate as an exact ratio: 30000/1001, never 29.97.
struct Rational {
    int num = 0;
    int den = 1;
};

class VideoInput {
public:
    // Opens `path` and picks its `track`th video track (1-based, counting
    // video tracks only). Throws Failure naming the file and what it holds
    // when it cannot be read or holds no such track.
    explicit VideoInput(const std::string &path, int track = 1);
    ~VideoInput();
    VideoInput(const VideoInput &) = delete;
    VideoInput &operator=(const VideoInput &) = delete;

    // The file as named, for messages.
    const std::string &name() const;
    // "MPEG-2 video", "H.264", "HEVC", or libavcodec's name of another codec.
    const char *codec_title() const;
    // Frames a second; {0, 1} when the file does not tell.
    Rational frame_rate() const;
    // 90 kHz presentation time of the first frame in display order, as the
    // file stamps it.
    int64_t first_pts_90k() const;
    // Frames in the track where the file states them or its duration and
    // rate give them; -1 when unknown.
    int64_t frame_count_hint() const;
    // Bits a second: the peak the file states for the decoder's buffer,
    // else its stated average; 0 when it states neither.
    int64_t bit_rate() const;
    // The picture's size in pixels.
    int width() const;
    int height() const;

    // The libav side, for the programme writer alone.
    struct Impl;
    Impl &impl() { return *impl_; }
    const Impl &impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace pcmtool
