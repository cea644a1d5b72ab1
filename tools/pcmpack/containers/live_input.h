// SPDX-License-Identifier: BSD-2-Clause
// A live transport stream received through libavformat's own udp and srt
// protocols: udp://@:PORT, udp://HOST:PORT, udp://[::1]:PORT, and
// srt://HOST:PORT?mode=listener|caller. No socket is handled here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct AVIOContext;

namespace pcmtool {

// True for a URL ("scheme://..."), which names a live input, never a file.
bool is_url(const std::string &input);

// Throws Failure for a URL of a scheme other than udp and srt, or without
// a port, before anything is opened.
void check_live_url(const std::string &url);

class LiveInput {
public:
    // `stop` is asked while the input waits for bytes (a few times a
    // second): true ends the input. Throws Failure naming the URL when it
    // cannot be opened.
    LiveInput(const std::string &url, std::function<bool()> stop);
    ~LiveInput();
    LiveInput(const LiveInput &) = delete;
    LiveInput &operator=(const LiveInput &) = delete;

    const std::string &name() const { return url_; }

    // The bytes that have arrived, at most `size`; waits until some arrive
    // or `until` (monotonic nanoseconds) has passed, then returns 0. Throws
    // Failure when the protocol reports an error.
    size_t read(uint8_t *data, size_t size, int64_t until);
    // The input ended: `stop` said so, or an SRT peer closed the connection.
    bool ended() const { return ended_; }
    // The protocol refused to open the URL (the address, the port): the
    // failure thrown says why, and no stream was ever awaited.
    bool refused() const { return refused_; }

private:
    static int interrupted(void *opaque);
    bool open();

    std::string url_;
    std::function<bool()> stop_;
    AVIOContext *io_ = nullptr;
    int64_t until_ = 0;
    bool ended_ = false;
    bool refused_ = false;
};

}  // namespace pcmtool
