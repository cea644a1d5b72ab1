// SPDX-License-Identifier: BSD-2-Clause
#include "outputs/datagram_sender.h"

#include "common.h"
#include "outputs/output.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace pcmtool {

namespace {

// A wake-up a few microseconds late is a departure that late: the timer
// slack of a normal thread (50 us) would be most of a 125 us packet.
constexpr unsigned long kTimerSlackNs = 1000;
constexpr int kMulticastTtl = 32;  // the TTL of the SDP's c= line
// Below the kernel's interrupt threads (50), above every normal thread.
constexpr int kRealtimePriority = 40;

void sleep_until_tai(int64_t ns) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    t.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    while (clock_nanosleep(CLOCK_TAI, TIMER_ABSTIME, &t, nullptr) == EINTR && !stop_requested()) {
    }
}

}  // namespace

UdpDestination parse_rtp_url(const std::string &url) {
    const std::string scheme = "rtp://";
    const std::string rest = url.rfind(scheme, 0) == 0 ? url.substr(scheme.size()) : "";
    const bool bracketed = !rest.empty() && rest[0] == '[';
    const size_t close = bracketed ? rest.find(']') : 0;
    const size_t colon = bracketed ? (close == std::string::npos ? close : close + 1) : rest.rfind(':');
    UdpDestination d;
    if (colon != std::string::npos && colon < rest.size() && rest[colon] == ':') {
        d.host = bracketed ? rest.substr(1, close - 1) : rest.substr(0, colon);
        const std::string port = rest.substr(colon + 1);
        if (!port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos)
            d.port = std::stoi(port);
    }
    if (d.host.empty() || (d.host.find(':') != std::string::npos && !bracketed) || d.port < 1 || d.port > 65535)
        throw Failure(url + ": give rtp://HOST:PORT (an IPv6 address in brackets: rtp://[::1]:5004)");
    return d;
}

DatagramSender::DatagramSender(const std::string &url, const UdpDestination &to, int dscp) : url_(url) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const int error = getaddrinfo(to.host.c_str(), std::to_string(to.port).c_str(), &hints, &found);
    if (error != 0) throw Failure(url + ": cannot resolve " + to.host + ": " + gai_strerror(error));
    socket_ = socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int tclass = dscp << 2;
    // A multicast group's datagrams cross routers as far as the SDP's TTL says.
    const int hops = kMulticastTtl;
    if (socket_ >= 0 && found->ai_family == AF_INET6) {
        setsockopt(socket_, IPPROTO_IPV6, IPV6_TCLASS, &tclass, sizeof tclass);
        setsockopt(socket_, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
    } else if (socket_ >= 0) {
        setsockopt(socket_, IPPROTO_IP, IP_TOS, &tclass, sizeof tclass);
        setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
    }
    const bool connected = socket_ >= 0 && connect(socket_, found->ai_addr, found->ai_addrlen) == 0;
    const int reason = errno;
    freeaddrinfo(found);
    if (!connected) throw Failure(url + ": cannot open: " + std::strerror(reason));
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
}

DatagramSender::~DatagramSender() {
    if (socket_ >= 0) close(socket_);
}

void DatagramSender::use_realtime_priority() {
    sched_param priority{};
    priority.sched_priority = kRealtimePriority;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
        throw Failure(url_ + ": --realtime: the system refuses a real-time priority (" + std::strerror(errno) +
                      "); it takes root, CAP_SYS_NICE or an rtprio limit of " + std::to_string(kRealtimePriority) +
                      " or more (ulimit -r)");
}

void DatagramSender::send_at(int64_t due, const uint8_t *data, size_t size) {
    if (due > tai_ns()) sleep_until_tai(due);
    const int64_t left = tai_ns();
    ssize_t sent = send(socket_, data, size, 0);
    // An earlier datagram found no listener and the kernel says so on this
    // send, which it then refuses: the datagram goes again, since a sender
    // of a live stream sends on whether anyone listens or not.
    if (sent < 0 && errno == ECONNREFUSED) {
        ++refused_;
        sent = send(socket_, data, size, 0);
    }
    if (sent == ssize_t(size) || (sent < 0 && errno == ECONNREFUSED)) {
        ++sent_;
        if (keep_) late_ns_.push_back(left - due);
        return;
    }
    throw Failure(url_ + ": cannot send: " + std::strerror(errno));
}

std::string DatagramSender::local_address() const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    char text[INET6_ADDRSTRLEN] = "";
    if (getsockname(socket_, reinterpret_cast<sockaddr *>(&local), &length) != 0) return "";
    const void *address = local.ss_family == AF_INET6
                              ? static_cast<const void *>(&reinterpret_cast<sockaddr_in6 *>(&local)->sin6_addr)
                              : static_cast<const void *>(&reinterpret_cast<sockaddr_in *>(&local)->sin_addr);
    return inet_ntop(local.ss_family, address, text, sizeof text) ? text : "";
}

}  // namespace pcmtool
