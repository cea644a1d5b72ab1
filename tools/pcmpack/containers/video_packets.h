// SPDX-License-Identifier: BSD-2-Clause
// The libav side of a VideoInput, which the programme writer alone sees:
// the track's codec parameters and its packets, stamped in 90 kHz.
#pragma once

#include "containers/video_input.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <deque>
#include <string>

namespace pcmtool {

struct VideoInput::Impl {
    std::string name;
    AVFormatContext *format = nullptr;
    AVStream *stream = nullptr;
    AVPacket *packet = nullptr;     // the one next() handed out last
    std::deque<AVPacket *> ahead;   // read to find the first frame in display order
    int64_t first_pts = 0;          // 90 kHz
    int64_t packets_read = 0;

    explicit Impl(const std::string &path) : name(path) {}
    ~Impl();

    const AVCodecParameters &codec() const { return *stream->codecpar; }
    // The track's next packet with its times in 90 kHz, owned here until
    // the next call (the writer may take its reference); nullptr at the end.
    AVPacket *next();
    // The next packet's decoding time without taking it; false at the end.
    bool peek_dts(int64_t *dts);

    AVPacket *read();  // from the file, times in 90 kHz; nullptr at the end
};

}  // namespace pcmtool
