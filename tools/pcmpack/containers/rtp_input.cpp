// SPDX-License-Identifier: BSD-2-Clause
#include "containers/rtp_input.h"

#include "common.h"

#include <arpa/inet.h>
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

}  // namespace

RtpInput::RtpInput(const std::string &name, const std::string &address, int port) : name_(name) {
    sockaddr_storage where{};
    socklen_t length = 0;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&where);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&where);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(uint16_t(port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(uint16_t(port));
        length = sizeof *v6;
    } else {
        throw Failure(name + ": " + address + " is no IPv4 or IPv6 address");
    }
    const bool group = where.ss_family == AF_INET ? IN_MULTICAST(ntohl(v4->sin_addr.s_addr))
                                                  : IN6_IS_ADDR_MULTICAST(&v6->sin6_addr);
    if (group)
        throw Failure(name + ": " + address +
                      " is a multicast group; pcmpack receives unicast RTP (a plant's multicast "
                      "reaches it through a unicast relay)");
    fd_ = socket(where.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw Failure(name + ": cannot open a socket: " + std::strerror(errno));
    // Past the system's ceiling where the user may (root), else up to it.
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&where), length) != 0) {
        const int error = errno;
        close(fd_);
        throw Failure(name + ": cannot receive on " + address + " port " + std::to_string(port) + ": " +
                      std::strerror(error));
    }
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
