// SPDX-License-Identifier: BSD-2-Clause
#include "format/st2110.h"

#include <cstdio>

namespace pcmpack_format {

namespace {

void put32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool odd_bits(uint32_t v) {
    v ^= v >> 16;
    v ^= v >> 8;
    v ^= v >> 4;
    v ^= v >> 2;
    v ^= v >> 1;
    return v & 1;
}

bool is_ipv6(const std::string &address) { return address.find(':') != std::string::npos; }

}  // namespace

void write_rtp_header(const RtpHeader &header, uint8_t bytes[kRtpHeaderBytes]) {
    bytes[0] = 0x80;  // version 2
    bytes[1] = uint8_t((header.marker ? 0x80 : 0) | (header.payload_type & 0x7f));
    bytes[2] = uint8_t(header.sequence >> 8);
    bytes[3] = uint8_t(header.sequence);
    put32(bytes + 4, header.timestamp);
    put32(bytes + 8, header.ssrc);
}

bool read_rtp_header(const uint8_t *bytes, size_t size, RtpHeader *header, size_t *payload_offset,
                     size_t *payload_bytes) {
    if (size < kRtpHeaderBytes || (bytes[0] >> 6) != 2) return false;
    size_t offset = kRtpHeaderBytes + 4 * size_t(bytes[0] & 0x0f);  // the CSRC list
    if ((bytes[0] & 0x10) != 0) {  // a header extension: 4 bytes, then its length in words
        if (size < offset + 4) return false;
        offset += 4 + 4 * (size_t(bytes[offset + 2]) << 8 | bytes[offset + 3]);
    }
    size_t padding = (bytes[0] & 0x20) != 0 ? bytes[size - 1] : 0;
    if (size < offset + padding) return false;
    header->marker = (bytes[1] & 0x80) != 0;
    header->payload_type = bytes[1] & 0x7f;
    header->sequence = uint16_t(bytes[2] << 8 | bytes[3]);
    header->timestamp = get32(bytes + 4);
    header->ssrc = get32(bytes + 8);
    *payload_offset = offset;
    *payload_bytes = size - offset - padding;
    return true;
}

int bytes_per_sample(RtpAudio kind) {
    switch (kind) {
    case RtpAudio::l16: return 2;
    case RtpAudio::l24: return 3;
    case RtpAudio::am824: return 4;
    }
    return 0;
}

const char *rtpmap_encoding(RtpAudio kind) {
    switch (kind) {
    case RtpAudio::l16: return "L16";
    case RtpAudio::l24: return "L24";
    case RtpAudio::am824: return "AM824";
    }
    return "";
}

void write_linear(RtpAudio kind, const int32_t *samples, size_t count, uint8_t *out) {
    const int width = bytes_per_sample(kind);
    for (size_t i = 0; i < count; ++i, out += width) {
        const uint32_t s = uint32_t(samples[i]);
        out[0] = uint8_t(s >> 24);
        out[1] = uint8_t(s >> 16);
        if (width == 3) out[2] = uint8_t(s >> 8);
    }
}

void read_linear(RtpAudio kind, const uint8_t *in, size_t count, int32_t *samples) {
    const int width = bytes_per_sample(kind);
    for (size_t i = 0; i < count; ++i, in += width) {
        uint32_t s = uint32_t(in[0]) << 24 | uint32_t(in[1]) << 16;
        if (width == 3) s |= uint32_t(in[2]) << 8;
        samples[i] = int32_t(s);
    }
}

void write_am824(const Am824Subframe &subframe, uint8_t out[4]) {
    const uint32_t word = uint32_t(subframe.word) >> 8;
    uint8_t label = uint8_t((subframe.block_start ? am824::kBlockStart : 0) |
                            (subframe.frame_start ? am824::kFrameStart : 0) |
                            (subframe.channel_status ? am824::kChannelStatus : 0) |
                            (subframe.user ? am824::kUser : 0) | (subframe.invalid ? am824::kValidity : 0));
    if (odd_bits(word ^ (label & 0x07u))) label |= am824::kParity;
    out[0] = label;
    out[1] = uint8_t(word >> 16);
    out[2] = uint8_t(word >> 8);
    out[3] = uint8_t(word);
}

bool read_am824(const uint8_t in[4], Am824Subframe *subframe) {
    const uint8_t label = in[0];
    subframe->block_start = (label & am824::kBlockStart) != 0;
    subframe->frame_start = (label & am824::kFrameStart) != 0;
    subframe->channel_status = (label & am824::kChannelStatus) != 0;
    subframe->user = (label & am824::kUser) != 0;
    subframe->invalid = (label & am824::kValidity) != 0;
    const uint32_t word = uint32_t(in[1]) << 16 | uint32_t(in[2]) << 8 | in[3];
    subframe->word = int32_t(word << 8);
    return !odd_bits(word ^ (label & 0x0fu));
}

uint8_t channel_status_crc(const uint8_t *bytes, size_t count) {
    // The generator taken least significant bit first, as the bits go out.
    uint8_t crc = 0xff;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? uint8_t((crc >> 1) ^ 0xb8) : uint8_t(crc >> 1);
    }
    return crc;
}

void write_channel_status(const ChannelStatus &status, uint8_t block[kChannelStatusBytes]) {
    for (size_t i = 0; i < kChannelStatusBytes; ++i) block[i] = 0;
    // Byte 0: professional use (bit 0), non-audio (bit 1), no emphasis
    // (bits 2-4 = 100), the source locked (bit 5 = 0), then the rate in bits 6-7.
    block[0] = uint8_t(0x01 | (status.non_audio ? 0x02 : 0) | 0x04);
    switch (status.sample_rate) {
    case 48000: block[0] |= 0x80; break;   // 01
    case 44100: block[0] |= 0x40; break;   // 10
    case 32000: block[0] |= 0xc0; break;   // 11
    case 96000: block[4] |= 0x10; break;   // byte 0 says "not indicated"; byte 4 bits 3-6 = 0100
    default: break;
    }
    block[1] = 0x08;  // bits 0-3 = 0001: two-channel mode
    // Byte 2: the auxiliary bits carry audio (bits 0-2 = 001, words up to
    // 24 bits) for 24-bit words, then the word length in bits 3-5.
    if (status.bits == 24) block[2] = 0x04 | 0x28;  // 001, 101: 24 bits
    if (status.bits == 20) block[2] = 0x28;         // 000, 101: 20 bits
    if (status.bits == 16) block[2] = 0x20;         // 000, 001: 16 bits
    block[23] = channel_status_crc(block, kChannelStatusBytes - 1);
}

bool channel_status_bit(const uint8_t block[kChannelStatusBytes], int frame) {
    return (block[frame / 8] >> (frame % 8)) & 1;
}

int samples_per_packet(int sample_rate, int ptime_us) {
    const int64_t product = int64_t(sample_rate) * ptime_us;
    return product % 1'000'000 == 0 ? int(product / 1'000'000) : 0;
}

size_t rtp_packet_bytes(RtpAudio kind, int channels, int samples) {
    return kRtpHeaderBytes + size_t(bytes_per_sample(kind)) * size_t(channels) * size_t(samples);
}

int64_t media_clock_ticks_ceil(int64_t tai_ns, int sample_rate) {
    // Split at whole seconds so that the product never overflows.
    const int64_t seconds = tai_ns / 1'000'000'000, rest = tai_ns % 1'000'000'000;
    return seconds * sample_rate + (rest * sample_rate + 999'999'999) / 1'000'000'000;
}

uint32_t media_clock_timestamp(int64_t tai_ns, int sample_rate) {
    const int64_t seconds = tai_ns / 1'000'000'000, rest = tai_ns % 1'000'000'000;
    return uint32_t(uint64_t(seconds * sample_rate + rest * sample_rate / 1'000'000'000));
}

int64_t media_clock_instant_ns(int64_t ticks, int sample_rate) {
    const int64_t seconds = ticks / sample_rate, rest = ticks % sample_rate;
    return seconds * 1'000'000'000 + rest * 1'000'000'000 / sample_rate;
}

std::string channel_order(int channels, bool surround) {
    if (channels == 1) return "M";
    if (surround && channels == 6) return "51";
    if (surround && channels == 8) return "71";
    std::string order;
    for (int c = 0; c < channels; c += 2) {
        if (!order.empty()) order += ',';
        order += c + 1 < channels ? "ST" : "M";
    }
    return order;
}

std::string write_sdp(const SdpSession &s) {
    const bool v6 = is_ipv6(s.destination);
    const char *family = v6 ? "IP6" : "IP4";
    const std::string origin = s.origin_address.empty() ? (v6 ? "::" : "0.0.0.0") : s.origin_address;
    char ptime[16];
    if (s.ptime_us % 1000 == 0)
        std::snprintf(ptime, sizeof ptime, "%d", s.ptime_us / 1000);
    else
        std::snprintf(ptime, sizeof ptime, "%.3f", s.ptime_us / 1000.0);
    const std::string pt = std::to_string(s.payload_type);
    std::string t;
    t += "v=0\r\n";
    t += "o=- " + std::to_string(s.session_id) + " 0 IN " + family + " " + origin + "\r\n";
    t += "s=" + s.session_name + "\r\n";
    t += "t=0 0\r\n";
    t += "m=audio " + std::to_string(s.port) + " RTP/AVP " + pt + "\r\n";
    t += std::string("c=IN ") + family + " " + s.destination + (s.multicast && !v6 ? "/32" : "") + "\r\n";
    // A filter on an unknown sender would admit no datagram: without its
    // address, a group's receivers take any source.
    const bool sender_known = !s.origin_address.empty() && s.origin_address != "0.0.0.0" && s.origin_address != "::";
    if (s.multicast && sender_known)
        t += std::string("a=source-filter: incl IN ") + family + " " + s.destination + " " + origin + "\r\n";
    t += "a=rtpmap:" + pt + " " + rtpmap_encoding(s.kind) + "/" + std::to_string(s.sample_rate) + "/" +
         std::to_string(s.channels) + "\r\n";
    if (!s.channel_order.empty())
        t += "a=fmtp:" + pt + " channel-order=SMPTE2110.(" + s.channel_order + ")\r\n";
    t += std::string("a=ptime:") + ptime + "\r\n";
    if (s.ptp_grandmaster.empty())
        t += "a=ts-refclk:localmac=" + s.local_mac + "\r\n";
    else
        t += "a=ts-refclk:ptp=IEEE1588-2008:" + s.ptp_grandmaster + "\r\n";
    t += "a=mediaclk:direct=0\r\n";
    return t;
}

}  // namespace pcmpack_format
