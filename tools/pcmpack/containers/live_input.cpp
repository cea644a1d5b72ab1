// SPDX-License-Identifier: BSD-2-Clause
#include "containers/live_input.h"

#include "common.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include <cctype>
#include <cerrno>
#include <cstdio>

namespace pcmtool {

bool is_url(const std::string &input) {
    const size_t colon = input.find("://");
    if (colon == std::string::npos || colon == 0) return false;
    for (size_t k = 0; k < colon; ++k)
        if (!std::isalpha(static_cast<unsigned char>(input[k]))) return false;
    return true;
}

void check_live_url(const std::string &url) {
    if (!is_live_url(url)) throw Failure(url + ": pcmpack reads live streams from udp://, srt:// and rtp:// URLs (and ST 2110 SDP files) only");
    char host[256] = {};
    int port = -1;
    av_url_split(nullptr, 0, nullptr, 0, host, sizeof host, &port, nullptr, 0, url.c_str());
    if (port <= 0 || port > 65535)
        throw Failure(url +
                      ": the URL names no port (udp://@:PORT, udp://HOST:PORT, "
                      "srt://HOST:PORT?mode=listener)");
}

LiveInput::LiveInput(const std::string &url, std::function<bool()> stop)
    : url_(url), stop_(std::move(stop)) {
    check_live_url(url);
    avformat_network_init();
}

LiveInput::~LiveInput() {
    avio_closep(&io_);
    avformat_network_deinit();
}

// libavformat's protocols poll this while they wait (every 100 ms or so).
int LiveInput::interrupted(void *opaque) {
    auto *self = static_cast<LiveInput *>(opaque);
    return self->stop_() || (self->until_ > 0 && monotonic_ns() >= self->until_);
}

// An SRT listener waits here for its caller, deaf to `until`: closing the
// socket at every interval would turn a caller away.
bool LiveInput::open() {
    until_ = 0;
    const AVIOInterruptCB callback = {&LiveInput::interrupted, this};
    AVDictionary *options = nullptr;
    // A monitor reports what it lost; it does not stop when its receive
    // buffer overflowed once.
    if (url_.rfind("udp://", 0) == 0) av_dict_set(&options, "overrun_nonfatal", "1", 0);
    const int error = avio_open2(&io_, url_.c_str(), AVIO_FLAG_READ, &callback, &options);
    av_dict_free(&options);
    if (error == AVERROR_EXIT) {
        ended_ = true;
        return false;
    }
    refused_ = error < 0;
    // Another receiver on the port: say so, and how two can share it.
    if (error == AVERROR(EADDRINUSE))
        throw Failure(url_ + ": address already in use; another program holds the port" +
                      (url_.rfind("udp://", 0) == 0
                           ? std::string(": where both open it with ?reuse=1 they share it (a "
                                         "multicast group reaches every receiver; a unicast "
                                         "datagram reaches only one)")
                           : std::string(": an SRT listener takes one port alone; listen on "
                                         "another")));
    if (error < 0) throw Failure(url_ + ": cannot receive: " + av_text(error));
    return true;
}

size_t LiveInput::read(uint8_t *data, size_t size, int64_t until) {
    if (ended_) return 0;
    if (!io_ && !open()) return 0;
    until_ = until;
    const int got = avio_read_partial(io_, data, static_cast<int>(size));
    if (got > 0) return static_cast<size_t>(got);
    if (got == AVERROR_EOF || stop_()) {
        ended_ = true;
        return 0;
    }
    if (got == 0 || got == AVERROR_EXIT || got == AVERROR(EAGAIN)) {
        // The interval ended with nothing new: the context takes up
        // reading again next time.
        io_->eof_reached = 0;
        io_->error = 0;
        return 0;
    }
    // An SRT connection that breaks ends the stream as its end would.
    if (url_.rfind("srt://", 0) == 0) {
        std::fprintf(stderr, "pcmpack: %s: the connection ended (%s)\n", url_.c_str(),
                     av_text(got).c_str());
        ended_ = true;
        return 0;
    }
    throw Failure(url_ + ": receive failed: " + av_text(got));
}

}  // namespace pcmtool
