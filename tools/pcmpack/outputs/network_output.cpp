// SPDX-License-Identifier: BSD-2-Clause
#include "outputs/network_output.h"

#include "common.h"
#include "outputs/output.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace pcmtool {

namespace {

constexpr size_t kTsPacket = 188;
// Seven transport packets fill an Ethernet frame's payload with room for
// the IP, UDP and SRT headers: the datagram size receivers expect.
constexpr const char *kTsDatagram = "1316";
// A caller whose listener went away tries again after 250 ms, then after
// twice as long each time, up to 1 s; each try gives up after 500 ms, so
// that a listener back after a short gap is found within about a second.
constexpr int64_t kFirstBackoffNs = 250'000'000;
constexpr int64_t kMostBackoffNs = 1'000'000'000;
constexpr const char *kConnectTimeoutMs = "500";
// Paced by the audio, a wake-up sends every datagram due within this
// time: a few datagrams per sleep instead of one, each at most this early,
// which keeps the sender's processor time low on a long stream and stays
// far inside the receiver's buffer (the stated latency).
constexpr int64_t kEarlyNs = 2'000'000;
// An SRT receiver holds each packet for its latency (120 ms unless the URL
// says more) and drops what it still holds when the sender closes: the end
// of the stream waits this long before it closes.
constexpr int64_t kSrtDrainNs = 1'000'000'000;

// Absolute sleeps: a late wake-up is not carried into the next datagram.
void sleep_until(int64_t ns) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    t.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

}  // namespace

struct NetworkOutput::Impl {
    std::string url;
    Pace pace;
    int64_t bit_rate;
    AVIOContext *io = nullptr;
    bool opening = false;  // a signal may interrupt a connection being made, not a send
    size_t datagram = 0;
    std::vector<uint8_t> held;  // the next datagram's bytes
    size_t used = 0;
    uint64_t scheduled = 0;  // bytes sent or skipped: the schedule's position
    int64_t start_ns = -1;   // when the first datagram left

    // An outage: when it began (in stream bytes), when to try again, and
    // the moment the connection came back, before which nothing is sent.
    uint64_t lost_at = 0;
    int64_t retry_ns = 0;
    int64_t backoff_ns = kFirstBackoffNs;
    int64_t lost_ns = 0;
    int64_t live_from_ns = 0;

    Impl(const std::string &u, Pace p, int64_t rate) : url(u), pace(p), bit_rate(rate) {}

    ~Impl() {
        if (io) avio_closep(&io);
    }

    static int interrupted(void *opaque) {
        return static_cast<Impl *>(opaque)->opening && stop_requested();
    }

    // Stream time of a byte position at the constant bit rate.
    double stream_seconds(uint64_t bytes) const { return double(bytes) * 8.0 / double(bit_rate); }

    int64_t due_ns(uint64_t bytes) const {
        const uint64_t bits = bytes * 8;
        const uint64_t rate = static_cast<uint64_t>(bit_rate);
        return start_ns + static_cast<int64_t>(bits / rate * 1'000'000'000 +
                                               bits % rate * 1'000'000'000 / rate);
    }

    int open() {
        AVDictionary *options = nullptr;
        int flags = AVIO_FLAG_WRITE;
        // The URL's own pkt_size or connect_timeout wins over these.
        if (url.rfind("udp://", 0) == 0) {
            av_dict_set(&options, "pkt_size", kTsDatagram, 0);
            // The UDP socket stays blocking; the flag only spares a poll
            // before each datagram, a third of the sender's system calls.
            flags |= AVIO_FLAG_NONBLOCK;
        } else {
            av_dict_set(&options, "connect_timeout", kConnectTimeoutMs, 0);
        }
        const AVIOInterruptCB callback{&Impl::interrupted, this};
        opening = true;
        const int error = avio_open2(&io, url.c_str(), flags, &callback, &options);
        opening = false;
        av_dict_free(&options);
        return error;
    }

    bool reconnect() {
        const int64_t now = monotonic_ns();
        if (now < retry_ns || stop_requested()) return false;
        // The outage is reported in the tool's words, once; libavformat
        // would add a line for every failed try.
        const int level = av_log_get_level();
        av_log_set_level(AV_LOG_QUIET);
        const int error = open();
        av_log_set_level(level);
        if (error < 0) {
            retry_ns = monotonic_ns() + backoff_ns;
            backoff_ns = std::min(backoff_ns * 2, kMostBackoffNs);
            return false;
        }
        live_from_ns = monotonic_ns();
        backoff_ns = kFirstBackoffNs;
        // Audio pacing resumes at the live point: what fell due meanwhile
        // is skipped, not sent in a burst.
        const double resumes = pace == Pace::audio && start_ns >= 0
                                   ? std::max(stream_seconds(scheduled),
                                              double(live_from_ns - start_ns) / 1e9)
                                   : stream_seconds(scheduled);
        std::fprintf(stderr,
                     "pcmpack: %s: reconnected after %s; the stream from %s to %s was not sent\n",
                     url.c_str(), seconds(double(live_from_ns - lost_ns) / 1e9).c_str(),
                     seconds(stream_seconds(lost_at)).c_str(), seconds(resumes).c_str());
        return true;
    }

    void lose(int error, size_t unsent) {
        avio_closep(&io);
        lost_at = scheduled - unsent;
        lost_ns = monotonic_ns();
        retry_ns = lost_ns;
        std::fprintf(stderr, "pcmpack: %s: connection lost at %s of the stream (%s); reconnecting\n",
                     url.c_str(), seconds(stream_seconds(lost_at)).c_str(), av_text(error).c_str());
    }

    void send(const uint8_t *data, size_t size) {
        if (start_ns < 0) start_ns = monotonic_ns();
        const int64_t due = due_ns(scheduled);
        if (pace != Pace::none && due > monotonic_ns() + kEarlyNs) sleep_until(due);
        scheduled += size;
        if (!io && !reconnect()) return;
        if (pace == Pace::audio && due < live_from_ns) return;
        avio_write(io, data, static_cast<int>(size));
        avio_flush(io);
        // A UDP sender sends on while nobody listens, and the kernel may
        // say so after an earlier datagram.
        if (io->error == AVERROR(ECONNREFUSED)) io->error = 0;
        if (io->error < 0) lose(io->error, size);
    }
};

NetworkOutput::NetworkOutput(const std::string &url, Pace pace, int64_t bit_rate,
                             int64_t input_began_ns)
    : impl_(std::make_unique<Impl>(url, pace, bit_rate)) {
    Impl &n = *impl_;
    if (pace == Pace::input) n.start_ns = input_began_ns;
    avformat_network_init();
    const int error = n.open();
    if (error < 0)
        throw Failure(url + ": cannot " + (stop_requested() ? "connect before the stop signal"
                                                             : "open: " + av_text(error)));
    const int packet = n.io->max_packet_size;
    if (packet < int(kTsPacket) || packet % int(kTsPacket) != 0)
        throw Failure(url + ": datagrams of " + std::to_string(packet) +
                      " bytes; a datagram carries whole 188-byte transport packets: give "
                      "pkt_size=1316 (7 packets) or another multiple of 188");
    n.datagram = static_cast<size_t>(packet);
    n.held.resize(n.datagram);
}

NetworkOutput::~NetworkOutput() = default;

void NetworkOutput::write(const void *data, size_t size) {
    Impl &n = *impl_;
    const auto *bytes = static_cast<const uint8_t *>(data);
    while (size > 0) {
        const size_t take = std::min(size, n.datagram - n.used);
        std::memcpy(n.held.data() + n.used, bytes, take);
        n.used += take;
        bytes += take;
        size -= take;
        if (n.used == n.datagram) {
            n.send(n.held.data(), n.used);
            n.used = 0;
        }
    }
}

void NetworkOutput::frame_done() {
    Impl &n = *impl_;
    // Paced by the input, a frame leaves whole as soon as it is complete,
    // in a shorter datagram if need be.
    if (n.pace != Pace::input || n.used == 0) return;
    n.send(n.held.data(), n.used);
    n.used = 0;
}

void NetworkOutput::finish() {
    Impl &n = *impl_;
    if (n.used > 0) n.send(n.held.data(), n.used);
    n.used = 0;
    if (!n.io)
        throw Failure(n.url + ": the listener did not come back: " +
                      seconds(n.stream_seconds(n.lost_at)) + " to " +
                      seconds(n.stream_seconds(n.scheduled)) + " of the stream were not sent");
    if (n.url.rfind("srt://", 0) == 0) sleep_until(monotonic_ns() + kSrtDrainNs);
    avio_closep(&n.io);
}

const std::string &NetworkOutput::name() const { return impl_->url; }

size_t NetworkOutput::datagram_bytes() const { return impl_->datagram; }

}  // namespace pcmtool
