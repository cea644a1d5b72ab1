// SPDX-License-Identifier: BSD-2-Clause
// Datagrams sent over a plain UDP socket, each at its own instant of
// CLOCK_TAI: the sender of audio over RTP. libavformat's udp protocol is
// not used here: it takes no departure time, and costs more per datagram
// (a buffered write and a flush around each send) where a stream of 125 us
// packets sends 8000 a second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

// HOST:PORT of an rtp:// URL: an IPv4 literal or name, or an IPv6 literal
// in brackets. Throws Failure naming the URL.
struct UdpDestination {
    std::string host;  // without brackets
    int port = 0;
};
UdpDestination parse_rtp_url(const std::string &url);

class DatagramSender {
public:
    // Resolves and connects; `dscp` marks the datagrams' class of service.
    // Throws Failure naming the URL and the reason.
    DatagramSender(const std::string &url, const UdpDestination &to, int dscp);
    ~DatagramSender();
    DatagramSender(const DatagramSender &) = delete;
    DatagramSender &operator=(const DatagramSender &) = delete;

    // Sleeps until `due_tai_ns`, then sends. The kernel's word that nobody
    // listened to an earlier datagram is counted, not fatal. Throws Failure
    // for any other error.
    void send_at(int64_t due_tai_ns, const uint8_t *data, size_t size);

    // Puts the sending thread on SCHED_FIFO, above every thread of normal
    // priority, so that a busy machine delays no departure by more than a
    // wake-up. Throws Failure saying what would permit it.
    void use_realtime_priority();

    // Departures after their instant, nanoseconds, one per datagram sent
    // (kept only when asked for, for -v and the benchmark).
    void keep_departures(bool keep) { keep_ = keep; }
    const std::vector<int64_t> &departures() const { return late_ns_; }
    uint64_t sent() const { return sent_; }
    uint64_t refused() const { return refused_; }  // times nobody listened
    // The address the datagrams leave from, as the SDP's origin names it.
    std::string local_address() const;

private:
    std::string url_;
    int socket_ = -1;
    bool keep_ = false;
    std::vector<int64_t> late_ns_;
    uint64_t sent_ = 0, refused_ = 0;
};

}  // namespace pcmtool
