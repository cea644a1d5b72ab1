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

    // From the file, times in 90 kHz and complete; nullptr at the end.
    AVPacket *read();

private:
    AVPacket *read_file();  // times in 90 kHz as the file has them, either may be missing
    void date(AVPacket *packet);
    void date_by_presentation();
    bool reorders() const { return stream->codecpar->video_delay > 0; }
    int64_t frame_ticks() const;  // 90 kHz

    std::deque<AVPacket *> dated;    // read, their times complete
    std::deque<AVPacket *> undated;  // read before the first decoding time
    int64_t last_dts = AV_NOPTS_VALUE;
};

}  // namespace pcmtool
