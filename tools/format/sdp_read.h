// SPDX-License-Identifier: BSD-2-Clause
// The session description of an ST 2110-30 or -31 audio stream, read from
// its SDP text: where the datagrams come (the connection address and the
// media port, and for a multicast group the sender admitted), how the payload is coded (L16, L24 or AM824, the media clock
// rate, the channels), the packet time and the media clock's offset. Pure:
// text in, a description or the reason it is refused out.
#pragma once

#include "format/st2110.h"

#include <cstdint>
#include <string>

namespace pcmpack_format {

struct RtpSession {
    std::string address;   // the c= address, without a TTL or count
    bool ipv6 = false;
    int port = 0;
    int payload_type = -1;
    RtpAudio encoding = RtpAudio::l24;
    int rate = 0;          // media clock, Hz
    int channels = 0;
    int64_t ptime_ns = 0;  // a=ptime; 0: not given
    // a=mediaclk:direct=N: the RTP timestamp of the media clock's epoch.
    uint32_t clock_offset = 0;
    // a=source-filter's first source: the one sender a receiver of a
    // multicast group admits; "": any.
    std::string source;
};

// Reads the first audio media section of `text`. False with `error` set when
// the description lacks what a receiver needs or names what it cannot take.
bool read_sdp(const std::string &text, RtpSession &session, std::string &error);

}  // namespace pcmpack_format
