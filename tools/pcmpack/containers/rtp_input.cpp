// SPDX-License-Identifier: BSD-2-Clause
#include "containers/rtp_input.h"

#include "common.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace pcmtool {

namespace {

// At 125 us and eight channels of AM824 a stream brings 8000 datagrams a
// second; a receive buffer of a few hundred milliseconds rides out a busy
// moment of the machine.
constexpr int kReceiveBuffer = 4 << 20;

// `address` and `port` as a socket address; false when `address` is no
// IPv4 or IPv6 literal.
bool socket_address(const std::string &address, int port, sockaddr_storage &where, socklen_t &length) {
    where = sockaddr_storage{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&where);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&where);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(uint16_t(port));
        length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(uint16_t(port));
        length = sizeof *v6;
        return true;
    }
    return false;
}

bool is_group(const sockaddr_storage &where) {
    return where.ss_family == AF_INET
               ? IN_MULTICAST(ntohl(reinterpret_cast<const sockaddr_in *>(&where)->sin_addr.s_addr))
               : IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6 *>(&where)->sin6_addr);
}

}  // namespace

RtpInput::RtpInput(const std::string &name, const pcmpack_format::RtpSession &session,
                   const std::string &interface)
    : name_(name) {
    sockaddr_storage where{};
    socklen_t length = 0;
    if (!socket_address(session.address, session.port, where, length))
        throw Failure(name + ": " + session.address + " is no IPv4 or IPv6 address");
    const bool group = is_group(where);
    if (!group && !interface.empty())
        throw Failure(name + ": --interface chooses where a multicast group is joined; " + session.address +
                      " is a unicast address");
    fd_ = socket(where.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw Failure(name + ": cannot open a socket: " + std::strerror(errno));
    // Past the system's ceiling where the user may (root), else up to it.
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    // Several receivers of one group on one machine each take it in.
    const int yes = 1;
    if (group) setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&where), length) != 0) {
        const int error = errno;
        close(fd_);
        throw Failure(name + ": cannot receive on " + session.address + " port " + std::to_string(session.port) +
                      ": " + std::strerror(error));
    }
    if (group) join(where, session, interface);
}

// Bound to the group's address, the socket takes only that group's
// datagrams; joined, the machine asks its network for them (IGMPv3 or MLDv2,
// source-specific where the session names its sender).
void RtpInput::join(const sockaddr_storage &group, const pcmpack_format::RtpSession &session,
                    const std::string &interface) {
    const int level = group.ss_family == AF_INET ? IPPROTO_IP : IPPROTO_IPV6;
    const unsigned index = interface.empty() ? 0 : if_nametoindex(interface.c_str());
    auto refuse = [&](const std::string &why) {
        close(fd_);
        fd_ = -1;
        throw Failure(name_ + ": " + why);
    };
    if (!interface.empty() && index == 0) refuse("--interface " + interface + ": no such network interface");
    if (group.ss_family == AF_INET) {  // not every group joined on this port, only this one
        const int no = 0;
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &no, sizeof no);
    }
    int failed = 0;
    if (session.source.empty()) {
        group_req request{};
        request.gr_interface = index;
        std::memcpy(&request.gr_group, &group, sizeof group);
        failed = setsockopt(fd_, level, MCAST_JOIN_GROUP, &request, sizeof request);
    } else {
        group_source_req request{};
        socklen_t length = 0;
        if (!socket_address(session.source, 0, request.gsr_source, length) ||
            request.gsr_source.ss_family != group.ss_family)
            refuse("the source " + session.source + " is no address of the group's family");
        request.gsr_interface = index;
        std::memcpy(&request.gsr_group, &group, sizeof group);
        failed = setsockopt(fd_, level, MCAST_JOIN_SOURCE_GROUP, &request, sizeof request);
    }
    if (failed != 0)
        refuse("cannot join the multicast group " + session.address +
               (session.source.empty() ? "" : " from " + session.source) + ": " + std::strerror(errno) +
               " (is there a route to it? --interface names the interface to join it on)");
}

RtpInput::~RtpInput() {
    if (fd_ >= 0) close(fd_);
}

long RtpInput::receive(uint8_t *data, size_t capacity, int wait_ms, int64_t &arrival_tai_ns) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, wait_ms) <= 0) return -1;
    const ssize_t got = recv(fd_, data, capacity, MSG_DONTWAIT);
    arrival_tai_ns = tai_ns();
    return got < 0 ? -1 : long(got);
}

}  // namespace pcmtool
