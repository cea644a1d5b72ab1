// SPDX-License-Identifier: BSD-2-Clause
// Audio over RTP as SMPTE ST 2110-30 (AES67: linear PCM, L16 or L24) and
// ST 2110-31 (AES3 transparent: AM824 subframes) carry it: the RTP fixed
// header (RFC 3550), the payloads, the AES3 channel-status block of a
// channel pair, the packet geometry and the SDP that describes a stream.
// Pure functions, no I/O: the sender and the receiver both use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcmpack_format {

// --- RTP fixed header ----------------------------------------------------------

constexpr size_t kRtpHeaderBytes = 12;

struct RtpHeader {
    int payload_type = 97;  // 7 bits; dynamic types are 96..127
    bool marker = false;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;  // media clock ticks of the packet's first sample
    uint32_t ssrc = 0;
};

// Writes version 2, no padding, no extension, no CSRC.
void write_rtp_header(const RtpHeader &header, uint8_t bytes[kRtpHeaderBytes]);
// Reads the header of a datagram and where its payload begins (past any
// CSRC list and header extension); the padding at the end is left out of
// *payload_bytes. False for a datagram too short for what its header
// declares or of a version other than 2.
bool read_rtp_header(const uint8_t *bytes, size_t size, RtpHeader *header, size_t *payload_offset,
                     size_t *payload_bytes);

// --- Payloads --------------------------------------------------------------------

enum class RtpAudio {
    l16,    // ST 2110-30: 16-bit big-endian samples, interleaved
    l24,    // ST 2110-30: 24-bit big-endian samples, interleaved
    am824,  // ST 2110-31: one AM824 subframe (4 bytes) a sample, interleaved
};

int bytes_per_sample(RtpAudio kind);  // 2, 3, 4
const char *rtpmap_encoding(RtpAudio kind);  // "L16", "L24", "AM824"

// L16 and L24: each of `count` samples, left-justified in 32 bits (the
// tool's sample words), as its 2 or 3 most significant bytes, first first.
void write_linear(RtpAudio kind, const int32_t *samples, size_t count, uint8_t *out);
// The reverse, into left-justified 32-bit words.
void read_linear(RtpAudio kind, const uint8_t *in, size_t count, int32_t *samples);

// The AM824 label: the first byte of a subframe. Bits from the most
// significant: two zero bits, B (the subframe that opens a 192-frame
// channel-status block: the AES3 Z preamble), F (the first subframe of an
// AES3 frame), then the AES3 parity, channel-status, user and validity bits.
namespace am824 {
constexpr uint8_t kBlockStart = 0x20;
constexpr uint8_t kFrameStart = 0x10;
constexpr uint8_t kParity = 0x08;
constexpr uint8_t kChannelStatus = 0x04;
constexpr uint8_t kUser = 0x02;
constexpr uint8_t kValidity = 0x01;
}  // namespace am824

struct Am824Subframe {
    bool block_start = false;
    bool frame_start = false;
    bool channel_status = false;  // C
    bool user = false;            // U
    bool invalid = false;         // V: set when the word is not fit to convert
    int32_t word = 0;             // the 24-bit audio or data word, left-justified in 32 bits
};

// The parity bit is computed (even parity over the word and V, U, C, as
// AES3 keeps over time slots 4 to 31) and not taken from the record.
void write_am824(const Am824Subframe &subframe, uint8_t out[4]);
// Reads a subframe; the return is whether its parity bit is right.
bool read_am824(const uint8_t in[4], Am824Subframe *subframe);

// --- AES3 channel status --------------------------------------------------------

constexpr int kChannelStatusFrames = 192;  // one bit a frame: a block of 24 bytes
constexpr size_t kChannelStatusBytes = 24;

struct ChannelStatus {
    int sample_rate = 48000;  // 32000, 44100, 48000 in byte 0; 96000 in byte 4
    int bits = 24;            // 16, 20 or 24: the word length in byte 2
    bool non_audio = false;   // the pair carries data bursts, not PCM
};

// A professional-format block, CRC in byte 23 (x^8 + x^4 + x^3 + x^2 + 1,
// preset to ones, over bytes 0 to 22 in the order their bits are sent).
void write_channel_status(const ChannelStatus &status, uint8_t block[kChannelStatusBytes]);
uint8_t channel_status_crc(const uint8_t *bytes, size_t count);
// The C bit of `frame` (0..191) of a block: bit frame % 8 of byte frame / 8,
// least significant first, as AES3 sends them.
bool channel_status_bit(const uint8_t block[kChannelStatusBytes], int frame);

// --- Packet geometry ------------------------------------------------------------

// The largest UDP payload (RTP header and audio) ST 2110-10 allows without
// its extended size: the datagram stays inside a 1500-byte Ethernet frame.
constexpr size_t kMaxRtpPacketBytes = 1460;

// Sample periods in a packet of `ptime_us` (1000 or 125) at `sample_rate`;
// 0 when the packet time is not a whole number of sample periods.
int samples_per_packet(int sample_rate, int ptime_us);
// RTP header and payload.
size_t rtp_packet_bytes(RtpAudio kind, int channels, int samples);

// RTP timestamps count modulo 2^32, and wrap on purpose: a timestamp
// `periods` on, and the periods from `earlier` to `later` the short way
// forward.
constexpr uint32_t timestamp_after(uint32_t timestamp, uint64_t periods) {
    return uint32_t((timestamp + periods) & 0xFFFFFFFFu);
}
constexpr uint32_t timestamp_distance(uint32_t earlier, uint32_t later) {
    return uint32_t((uint64_t{later} + (uint64_t{1} << 32) - earlier) & 0xFFFFFFFFu);
}

// The RTP timestamp of the sampling instant `tai_ns` (nanoseconds of
// CLOCK_TAI since 1970-01-01 TAI, the PTP epoch): the media clock counts
// sample periods from the epoch and the timestamp is its low 32 bits, so
// every sender locked to the same clock stamps a given instant alike.
uint32_t media_clock_timestamp(int64_t tai_ns, int sample_rate);
// The media clock tick (full count since the epoch) at or after `tai_ns`.
int64_t media_clock_ticks_ceil(int64_t tai_ns, int sample_rate);
// The instant of media clock tick `ticks`, in TAI nanoseconds (rounded down).
int64_t media_clock_instant_ns(int64_t ticks, int sample_rate);

// --- SDP --------------------------------------------------------------------------

struct SdpSession {
    std::string session_name = "pcmpack";
    uint64_t session_id = 0;     // o= line
    std::string origin_address;  // the sender's address; "" takes the destination's family's any
    std::string destination;     // IPv4 or IPv6 literal
    int port = 5004;
    bool multicast = false;      // adds the TTL and source-filter
    RtpAudio kind = RtpAudio::l24;
    int payload_type = 97;
    int sample_rate = 48000;
    int channels = 2;
    int ptime_us = 1000;
    std::string channel_order;   // "ST,ST", "51", ...: inside SMPTE2110.( ); "" leaves fmtp out
    // ts-refclk: the PTP grandmaster ("39-A7-94-FF-FE-07-CB-D0:0", its
    // EUI-64 and domain) when known, otherwise the sender's MAC address.
    std::string ptp_grandmaster;
    std::string local_mac = "00-00-00-00-00-00";
};

// The session description, lines ended by CRLF.
std::string write_sdp(const SdpSession &session);

// The channel grouping of `channels` channels for the fmtp channel-order:
// "M" for one, "ST" for a pair, "51" for six, "71" for eight when the
// source said 5.1 or 7.1 (`surround`), otherwise a stereo pair ("ST") for
// every two and "M" for an odd last channel.
std::string channel_order(int channels, bool surround);

}  // namespace pcmpack_format
