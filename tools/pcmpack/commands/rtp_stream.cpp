// SPDX-License-Identifier: BSD-2-Clause
#include "commands/rtp_stream.h"

#include "common.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace pcmtool {

namespace {

using pcmpack_format::RtpAudio;
using pcmpack_format::RtpSession;

// Datagrams held past a missing one for one overtaken on the way to take its
// place: 32 ms of 1 ms packets, 4 ms of 125 us ones.
constexpr size_t kReorderDepth = 32;
// The socket is polled this often for the stop signals and the interval's end.
constexpr int kWaitMs = 50;

// The packet times ST 2110-30 names, as the options spell them.
struct PacketTime {
    const char *name;
    int64_t ns;
};
constexpr PacketTime kPacketTimes[] = {{"1ms", 1000000}, {"125us", 125000}};

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

RtpSession from_sdp(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw Failure(path + ": cannot read the session description");
    std::stringstream text;
    text << in.rdbuf();
    RtpSession session;
    std::string error;
    if (!pcmpack_format::read_sdp(text.str(), session, error)) throw Failure(path + ": " + error);
    return session;
}

// rtp://HOST:PORT, rtp://[IPv6]:PORT.
void url_address(const std::string &url, RtpSession &s) {
    std::string rest = url.substr(6);
    rest = rest.substr(0, rest.find_first_of("/?"));
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon + 1 == rest.size())
        throw Failure(url + ": the URL names no port (rtp://HOST:PORT)");
    s.address = rest.substr(0, colon);
    if (s.address.size() > 2 && s.address.front() == '[' && s.address.back() == ']')
        s.address = s.address.substr(1, s.address.size() - 2);
    s.ipv6 = s.address.find(':') != std::string::npos;
    const std::string port = rest.substr(colon + 1);
    s.port = port.find_first_not_of("0123456789") == std::string::npos ? std::atoi(port.c_str()) : 0;
    if (s.port < 1 || s.port > 65535) throw Failure(url + ": " + port + " is no port");
}

RtpSession from_url(const std::string &url, const RtpOptions &o) {
    if (o.st2110 == 31 && o.bits)
        throw Failure(url + ": --bits is -30's word length; -31 carries 24-bit AM824 words");
    RtpSession s;
    url_address(url, s);
    s.encoding = o.st2110 == 31 ? RtpAudio::am824 : o.bits == 16 ? RtpAudio::l16 : RtpAudio::l24;
    s.channels = o.channels ? o.channels : 2;
    s.rate = o.rate ? o.rate : 48000;
    for (const PacketTime &p : kPacketTimes)
        if (o.ptime == p.name) s.ptime_ns = p.ns;
    s.source = o.source;
    return s;
}

}  // namespace

std::vector<Word> st2110_words() { return {{"30", "PCM", {}}, {"31", "AES3", {}}}; }

void add_rtp_options(CLI::App &command, RtpOptions &o) {
    command.add_option("--st2110", o.st2110, "rtp:// stream: 30 (L16/L24 PCM, default) or 31 (AM824)")
        ->transform(one_of_titled("ST 2110 format", st2110_words()));
    command.add_option("--channels", o.channels, "rtp:// stream: channels, default 2")->check(CLI::Range(1, 64));
    command.add_option("--bits", o.bits, "rtp:// stream: -30's word length, 16 or 24 (default)")
        ->transform(one_of("word length of ST 2110-30", {"16", "24"}));
    command.add_option("--rate", o.rate, "rtp:// stream: media clock rate, default 48000")
        ->transform(one_of("media clock rate", {"44100", "48000", "96000"}));
    command.add_option("--ptime", o.ptime, "rtp:// stream: packet time expected, 1ms or 125us")
        ->transform(one_of("packet time", {"1ms", "125us"}));
    command.add_option("--source", o.source,
                       "rtp:// multicast stream: admit only this sender's datagrams (a source-specific join)");
    command.add_option("--interface", o.interface_name,
                       "rtp:// or SDP multicast stream: the network interface to join the group on; "
                       "default: the one the routing table gives");
}

bool is_rtp_input(const std::string &input) {
    return input.rfind("rtp://", 0) == 0 || ends_with(input, ".sdp");
}

RtpSession rtp_session(const std::string &input, const RtpOptions &o) {
    if (input.rfind("rtp://", 0) == 0) return from_url(input, o);
    if (o.describes())
        throw Failure(input + ": the session description says what the stream is; --st2110, "
                              "--channels, --bits, --rate, --ptime and --source describe an rtp:// URL");
    return from_sdp(input);
}

std::string describe_session(const RtpSession &s) {
    return std::string(pcmpack_format::rtpmap_encoding(s.encoding)) + "/" + std::to_string(s.rate) + "/" +
           std::to_string(s.channels);
}

void RtpWindow::add(const RtpWindow &o) {
    counts.add(o.counts);
    rejected += o.rejected;
    timestamp_jumps += o.timestamp_jumps;
    sender_changes += o.sender_changes;
    periods += o.periods;
    if (o.samples_per_packet) samples_per_packet = o.samples_per_packet;
    if (o.offset.count) {
        offset.least = offset.count ? std::min(offset.least, o.offset.least) : o.offset.least;
        offset.most = offset.count ? std::max(offset.most, o.offset.most) : o.offset.most;
        offset.count += o.offset.count;
        offset.sum += o.offset.sum;
    }
}

RtpStream::RtpStream(const std::string &name, const RtpSession &session, const std::string &interface,
                     Samples samples)
    : name_(name), session_(session),
      period_bytes_(size_t(session.channels) * size_t(pcmpack_format::bytes_per_sample(session.encoding))),
      samples_(std::move(samples)), input_(name, session, interface),
      order_(kReorderDepth, [this](const RtpPacket &p, bool lost) { release(p, lost); }) {}

void RtpStream::receive_until(int64_t until_ns, const std::function<bool()> &stop) {
    for (int64_t now = monotonic_ns(); now < until_ns && !stop(); now = monotonic_ns()) {
        const int wait = int(std::min<int64_t>(kWaitMs, (until_ns - now) / 1000000 + 1));
        int64_t arrival = 0;
        const long size = input_.receive(datagram_.data(), datagram_.size(), wait, arrival);
        if (size >= 0) datagram(size_t(size), arrival);
    }
    // What had arrived before the stop is still read: a stop sent once the
    // sender is done ends the run with all it sent.
    int64_t arrival = 0;
    for (long size = 0; stop() && size >= 0;) {
        size = input_.receive(datagram_.data(), datagram_.size(), 0, arrival);
        if (size >= 0) datagram(size_t(size), arrival);
    }
}

void RtpStream::datagram(size_t size, int64_t arrival_ns) {
    pcmpack_format::RtpHeader header;
    size_t offset = 0, bytes = 0;
    if (!pcmpack_format::read_rtp_header(datagram_.data(), size, &header, &offset, &bytes) ||
        (session_.payload_type >= 0 && header.payload_type != session_.payload_type) || bytes == 0 ||
        bytes % period_bytes_ != 0) {
        ++window_.rejected;
        ++rejected_;
        return;
    }
    const RtpPacket p{header.sequence, header.timestamp, datagram_.data() + offset, bytes};
    // A restarted or replaced sender numbers and stamps its datagrams
    // afresh: followed from here on, neither a loss nor a jump.
    if (arrived_ && header.ssrc != ssrc_) {
        order_.restart();
        released_ = false;
        ++window_.sender_changes;
    }
    ssrc_ = header.ssrc;
    arrived_ = true;
    window_.offset.add(media_clock_offset_ns(arrival_ns, p.timestamp, session_.rate, session_.clock_offset));
    order_.arrive(p);
}

// The payload as left-justified samples; AM824's flags are left behind, its
// 24-bit word is the sample or the data word of a burst.
void RtpStream::release(const RtpPacket &p, bool lost) {
    const size_t periods = lost ? window_.samples_per_packet : p.size / period_bytes_;
    if (released_ && p.timestamp != expected_timestamp_) ++window_.timestamp_jumps;
    released_ = true;
    expected_timestamp_ = pcmpack_format::timestamp_after(p.timestamp, uint64_t(periods));
    words_.assign(periods * size_t(session_.channels), 0);
    if (!lost && session_.encoding != RtpAudio::am824)
        pcmpack_format::read_linear(session_.encoding, p.payload, words_.size(), words_.data());
    for (size_t k = 0; !lost && session_.encoding == RtpAudio::am824 && k < words_.size(); ++k) {
        pcmpack_format::Am824Subframe subframe;
        (void)pcmpack_format::read_am824(p.payload + 4 * k, &subframe);
        words_[k] = subframe.word;
    }
    if (!lost) window_.samples_per_packet = uint32_t(periods);
    window_.periods += periods;
    samples_(words_.data(), periods, lost);
}

void RtpStream::check_arrived() const {
    if (arrived_) return;
    if (rejected_ == 0) throw Failure(name_ + ": no RTP datagram arrived");
    throw Failure(name_ + ": " + std::to_string(rejected_) +
                  " datagrams arrived, none of this session: RTP version 2" +
                  (session_.payload_type >= 0 ? ", payload type " + std::to_string(session_.payload_type) : "") +
                  ", and whole sample periods of " + describe_session(session_) +
                  " were expected (the SDP, or --st2110, --channels and --bits, say otherwise)");
}

RtpWindow RtpStream::take_window() {
    RtpWindow w = window_;
    w.counts = order_.take_window();
    window_ = RtpWindow{};
    window_.samples_per_packet = w.samples_per_packet;
    return w;
}

}  // namespace pcmtool
