// SPDX-License-Identifier: BSD-2-Clause
// A transport stream sent to the network through libavformat's own udp and
// srt protocols, one datagram of whole 188-byte packets at a time, at the
// pace the run asks for. A URL output has none of the file rules (same-file
// refusal, temporary name then rename): nothing on disk is replaced.
#pragma once

#include "outputs/sink.h"

#include <cstdint>
#include <memory>
#include <string>

namespace pcmtool {

// When the datagrams leave.
enum class Pace {
    audio,  // at the pace of the audio: byte p at p*8/bit rate after the first
    // as soon as a frame is complete, but not before its time in the audio
    // counted from when the input's first bytes came: a live capture is its
    // own clock, a pipe that runs ahead of it is paced by the audio
    input,
    none,   // as fast as the network takes them
};

class NetworkOutput : public ByteSink {
public:
    // Connects (a listener waits for its caller). `bit_rate` is the
    // stream's constant rate in bits per second, which audio pacing keeps.
    // `input_began_ns` (Pace::input) is when the input's first bytes came,
    // monotonic nanoseconds. Throws Failure naming the URL and the reason.
    NetworkOutput(const std::string &url, Pace pace, int64_t bit_rate, int64_t input_began_ns = -1);
    ~NetworkOutput() override;
    NetworkOutput(const NetworkOutput &) = delete;
    NetworkOutput &operator=(const NetworkOutput &) = delete;

    void write(const void *data, size_t size) override;
    void frame_done() override;
    bool live() const override { return true; }
    // Sends what is held and closes the connection. Throws Failure when an
    // SRT listener that went away never came back: the stream from then on
    // was not sent.
    void finish();
    const std::string &name() const override;

    // Bytes of a datagram: the URL's pkt_size (udp, default 1316) or the
    // SRT payload (1316), a whole number of 188-byte packets.
    size_t datagram_bytes() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace pcmtool
