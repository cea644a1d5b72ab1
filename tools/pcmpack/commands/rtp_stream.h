// SPDX-License-Identifier: BSD-2-Clause
// What inspect and unpack share for an ST 2110-30 or -31 stream: the
// session, from its SDP file or from an rtp:// URL and the options that
// describe it, and the datagrams received, put back in order and turned into
// samples, with what the way did to them interval by interval.
#pragma once

#include "commands/command_line.h"
#include "containers/rtp_input.h"
#include "containers/rtp_order.h"
#include "format/sdp_read.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace pcmtool {

// An RTP stream's description when no SDP file gives it.
struct RtpOptions {
    int st2110 = 0;    // --st2110 30 or 31; 0: not given
    int channels = 0;  // 0: not given (2)
    int bits = 0;      // -30's word length, 16 or 24; 0: not given (24)
    int rate = 0;      // 0: not given (48000)
    std::string ptime;  // "1ms" or "125us"; "": not given
    std::string source;  // --source: the one sender of a multicast group admitted
    // --interface: where a multicast group is joined, with a URL or an SDP.
    std::string interface_name;
    bool describes() const { return st2110 || channels || bits || rate || !ptime.empty() || !source.empty(); }
    bool given() const { return describes() || !interface_name.empty(); }
};

void add_rtp_options(CLI::App &command, RtpOptions &options);
// --st2110's values, each with the audio it carries: 30 (PCM), 31 (AES3).
std::vector<Word> st2110_words();

// The refusal of those options for any other input.
constexpr const char *kRtpOnly =
    "--st2110, --channels, --bits, --rate, --ptime, --source and --interface describe an rtp:// stream";

// An SDP file (NAME.sdp) or an rtp:// URL.
bool is_rtp_input(const std::string &input);

// The session `input` names, with `options` for a URL. Throws Failure.
pcmpack_format::RtpSession rtp_session(const std::string &input, const RtpOptions &options);

// "L24/48000/8" and so on.
std::string describe_session(const pcmpack_format::RtpSession &session);

// What one interval brought.
struct RtpWindow {
    RtpCounts counts;
    uint64_t rejected = 0;          // not RTP, another payload type, a torn payload
    uint64_t timestamp_jumps = 0;   // a timestamp away from where the one before put it
    uint64_t sender_changes = 0;    // another SSRC took over the stream
    uint64_t periods = 0;           // sample periods handed on, silence included
    uint32_t samples_per_packet = 0;  // of the last datagram; 0: none came
    OffsetSpread offset;            // arrival against sampling instant
    void add(const RtpWindow &other);
};

class RtpStream {
public:
    // Samples in sequence order, left-justified in 32 bits, interleaved;
    // `lost`: silence in place of a datagram that never came.
    using Samples = std::function<void(const int32_t *samples, size_t periods, bool lost)>;
    RtpStream(const std::string &name, const pcmpack_format::RtpSession &session, const std::string &interface,
              Samples samples);

    // Receives until the monotonic clock reads `until_ns` or `stop` says so.
    void receive_until(int64_t until_ns, const std::function<bool()> &stop);
    // The end: the datagrams still held go out, the holes as lost.
    void finish() { order_.finish(); }
    RtpWindow take_window();
    // Throws Failure, saying why, when no datagram of the session came.
    void check_arrived() const;

private:
    void datagram(size_t size, int64_t arrival_ns);
    void release(const RtpPacket &packet, bool lost);

    std::string name_;
    pcmpack_format::RtpSession session_;
    size_t period_bytes_;
    Samples samples_;
    RtpInput input_;
    RtpOrder order_;
    std::vector<uint8_t> datagram_ = std::vector<uint8_t>(65536);
    std::vector<int32_t> words_;
    RtpWindow window_;
    bool arrived_ = false;
    uint64_t rejected_ = 0;  // over the whole run
    bool released_ = false;
    uint32_t expected_timestamp_ = 0;
    uint32_t ssrc_ = 0;
};

}  // namespace pcmtool
