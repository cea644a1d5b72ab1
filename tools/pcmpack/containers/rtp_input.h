// SPDX-License-Identifier: BSD-2-Clause
// The datagrams of an RTP stream, received on a plain UDP socket bound to
// the session's address and port (a multicast group joined, from its one
// sender where the session names it), each with its arrival time on the clock
// the media clock counts by (CLOCK_TAI, which ptp4l and phc2sys discipline
// in a plant).
#pragma once

#include "format/sdp_read.h"

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcmtool {

class RtpInput {
public:
    // Binds to the session's address (IPv4 or IPv6) and port. A multicast
    // group is joined on `interface` ("": the one the routing table gives),
    // for the session's source alone when it names one. Throws Failure.
    RtpInput(const std::string &name, const pcmpack_format::RtpSession &session, const std::string &interface);
    ~RtpInput();
    RtpInput(const RtpInput &) = delete;
    RtpInput &operator=(const RtpInput &) = delete;

    // Waits at most `wait_ms` for a datagram; its bytes go to `data`
    // (`capacity` at most). Returns its size, or -1 when none came.
    long receive(uint8_t *data, size_t capacity, int wait_ms, int64_t &arrival_tai_ns);

private:
    void join(const sockaddr_storage &group, const pcmpack_format::RtpSession &session,
              const std::string &interface);

    std::string name_;
    int fd_ = -1;
};

}  // namespace pcmtool
