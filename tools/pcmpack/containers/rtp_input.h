// SPDX-License-Identifier: BSD-2-Clause
// The datagrams of an RTP stream, received on a plain UDP socket bound to
// the session's address and port, each with its arrival time on the clock
// the media clock counts by (CLOCK_TAI, which ptp4l and phc2sys discipline
// in a plant).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcmtool {

class RtpInput {
public:
    // Binds to `address` (IPv4 or IPv6, unicast) and `port`. Throws Failure.
    RtpInput(const std::string &name, const std::string &address, int port);
    ~RtpInput();
    RtpInput(const RtpInput &) = delete;
    RtpInput &operator=(const RtpInput &) = delete;

    // Waits at most `wait_ms` for a datagram; its bytes go to `data`
    // (`capacity` at most). Returns its size, or -1 when none came.
    long receive(uint8_t *data, size_t capacity, int wait_ms, int64_t &arrival_tai_ns);

private:
    std::string name_;
    int fd_ = -1;
};

}  // namespace pcmtool
