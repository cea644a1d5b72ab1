// SPDX-License-Identifier: BSD-2-Clause
#include "format/sdp_read.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace pcmpack_format {

namespace {

// The encodings a receiver takes, as a=rtpmap names them.
constexpr RtpAudio kEncodings[] = {RtpAudio::l16, RtpAudio::l24, RtpAudio::am824};

std::vector<std::string> words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool whole_number(const std::string &text, long &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return *end == '\0';
}

// "c=IN IP4 239.1.1.1/32": the address without a TTL or count.
bool connection(const std::string &value, RtpSession &s) {
    const std::vector<std::string> w = words(value);
    if (w.size() != 3 || w[0] != "IN" || (w[1] != "IP4" && w[1] != "IP6")) return false;
    s.ipv6 = w[1] == "IP6";
    s.address = w[2].substr(0, w[2].find('/'));
    return true;
}

// "a=rtpmap:97 L24/48000/8": the channel count defaults to one.
bool rtpmap(const std::string &value, RtpSession &s, std::string &error) {
    const std::vector<std::string> w = words(value);
    long pt = -1;
    if (w.size() != 2 || !whole_number(w[0], pt) || pt != s.payload_type) return true;
    std::vector<std::string> parts;
    std::istringstream in(w[1]);
    for (std::string p; std::getline(in, p, '/');) parts.push_back(p);
    const RtpAudio *found = nullptr;
    for (const RtpAudio &e : kEncodings)
        if (!parts.empty() && parts[0] == rtpmap_encoding(e)) found = &e;
    long rate = 0, channels = 1;
    if (!found) {
        error = "the payload is " + w[1] + "; pcmpack receives L16, L24 and AM824";
        return false;
    }
    if (parts.size() < 2 || !whole_number(parts[1], rate) || rate < 8000 || rate > 384000 ||
        (parts.size() > 2 && (!whole_number(parts[2], channels) || channels < 1 || channels > 64))) {
        error = "a=rtpmap:" + value + " names no clock rate and channel count pcmpack takes";
        return false;
    }
    s.encoding = *found;
    s.rate = int(rate);
    s.channels = int(channels);
    return true;
}

// "a=source-filter: incl IN IP4 239.1.1.1 192.0.2.10": the first source
// of an inclusive filter; an exclusive one admits all but some, as a
// receiver without a filter does.
void source_filter(const std::string &value, RtpSession &s) {
    const std::vector<std::string> w = words(value);
    if (w.size() >= 5 && w[0] == "incl" && w[1] == "IN") s.source = w[4];
}

bool attribute(const std::string &value, RtpSession &s, std::string &error) {
    const size_t colon = value.find(':');
    const std::string name = value.substr(0, colon);
    const std::string rest = colon == std::string::npos ? "" : value.substr(colon + 1);
    if (name == "rtpmap") return rtpmap(rest, s, error);
    if (name == "source-filter") source_filter(rest, s);
    if (name == "ptime") {
        const double ms = std::atof(rest.c_str());
        if (ms <= 0 || ms > 1000) {
            error = "a=ptime:" + rest + " is no packet time";
            return false;
        }
        s.ptime_ns = int64_t(ms * 1e6 + 0.5);
    } else if (name == "mediaclk" && rest.rfind("direct=", 0) == 0) {
        s.clock_offset = uint32_t(std::strtoul(rest.c_str() + 7, nullptr, 10));
    }
    return true;
}

// "m=audio 5004 RTP/AVP 97": the first payload type is the one read.
bool media(const std::string &value, RtpSession &s) {
    const std::vector<std::string> w = words(value);
    long port = 0, pt = -1;
    if (w.size() < 4 || w[0] != "audio" || !whole_number(w[1], port) || port < 1 || port > 65535 ||
        !whole_number(w[3], pt) || pt < 0 || pt > 127)
        return false;
    s.port = int(port);
    s.payload_type = int(pt);
    return true;
}

}  // namespace

bool read_sdp(const std::string &text, RtpSession &session, std::string &error) {
    RtpSession s;
    std::istringstream in(text);
    bool in_audio = false, done = false;
    for (std::string line; !done && std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 2 || line[1] != '=') continue;
        const std::string value = line.substr(2);
        if (line[0] == 'm') {
            done = in_audio;
            in_audio = !done && media(value, s);
        } else if (line[0] == 'c' && (in_audio || s.port == 0) && !connection(value, s)) {
            error = "c=" + value + " is no IPv4 or IPv6 address";
            return false;
        } else if (line[0] == 'a' && in_audio && !attribute(value, s, error)) {
            return false;
        } else if (line[0] == 'a' && s.port == 0 && value.rfind("source-filter:", 0) == 0) {
            source_filter(value.substr(14), s);  // for every media section
        }
    }
    if (s.port == 0) error = "no audio media section (m=audio PORT RTP/AVP TYPE)";
    else if (s.address.empty()) error = "no connection address (c=IN IP4 ADDRESS)";
    else if (s.rate == 0) error = "no a=rtpmap for payload type " + std::to_string(s.payload_type);
    if (!error.empty()) return false;
    session = s;
    return true;
}

}  // namespace pcmpack_format
