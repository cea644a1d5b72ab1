// SPDX-License-Identifier: BSD-2-Clause
#include "format/frame_headers.h"

namespace pcmpack_format {

namespace {

constexpr size_t kHeaderBytes = 4;  // HDMV, 302M and D-10

// A code and what it stands for; codes missing from a table are reserved.
struct CodeRow {
    int code;
    int value;
};

constexpr CodeRow kHdmvRates[] = {{1, 48000}, {4, 96000}, {5, 192000}};
constexpr CodeRow kHdmvBits[] = {{1, 16}, {2, 20}, {3, 24}};
constexpr CodeRow kDvdRates[] = {{0, 48000}, {1, 96000}};

template <size_t N>
int value_of(const CodeRow (&rows)[N], int code) {
    for (const CodeRow &r : rows)
        if (r.code == code) return r.value;
    return 0;
}

template <size_t N>
int code_of(const CodeRow (&rows)[N], int value) {
    for (const CodeRow &r : rows)
        if (r.value == value) return r.code;
    return -1;
}

}  // namespace

uint32_t coded_payload_bytes(const uint8_t b[2]) { return uint32_t{b[0]} << 8 | b[1]; }

int word_length_bits(int bits_code) { return 16 + 4 * bits_code; }
int word_length_code(int bits) { return (bits - 16) / 4; }

// byte 0-1  payload size
// byte 2    channel assignment (4 bits), sampling frequency (4 bits)
// byte 3    word length (2 bits), reserved (6 bits)
bool decode_hdmv_frame_header(const uint8_t *b, size_t size, HdmvFrameHeader *h) {
    if (size < kHeaderBytes) return false;
    h->payload_bytes = coded_payload_bytes(b);
    h->assignment = b[2] >> 4;
    h->rate_code = b[2] & 15;
    h->bits_code = b[3] >> 6;
    h->reserved = b[3] & 0x3F;
    return true;
}

void encode_hdmv_frame_header(const HdmvFrameHeader &h, uint8_t b[4]) {
    b[0] = static_cast<uint8_t>(h.payload_bytes >> 8);
    b[1] = static_cast<uint8_t>(h.payload_bytes);
    b[2] = static_cast<uint8_t>(h.assignment << 4 | h.rate_code);
    b[3] = static_cast<uint8_t>(h.bits_code << 6 | h.reserved);
}

int hdmv_sample_rate(int rate_code) { return value_of(kHdmvRates, rate_code); }
int hdmv_rate_code(int sample_rate) { return code_of(kHdmvRates, sample_rate); }
int hdmv_bits(int bits_code) { return value_of(kHdmvBits, bits_code); }
int hdmv_bits_code(int bits) { return code_of(kHdmvBits, bits); }

// byte 0-1  payload size
// byte 2    channel pairs less one (2 bits), channel identification (high 6 bits)
// byte 3    channel identification (low 2 bits), word length (2 bits), alignment (4 bits)
bool decode_302m_frame_header(const uint8_t *b, size_t size, S302mFrameHeader *h) {
    if (size < kHeaderBytes) return false;
    h->payload_bytes = coded_payload_bytes(b);
    h->channels = 2 * ((b[2] >> 6) + 1);
    h->channel_id = (b[2] & 0x3F) << 2 | b[3] >> 6;
    h->bits_code = (b[3] >> 4) & 3;
    h->alignment = b[3] & 15;
    return true;
}

void encode_302m_frame_header(const S302mFrameHeader &h, uint8_t b[4]) {
    b[0] = static_cast<uint8_t>(h.payload_bytes >> 8);
    b[1] = static_cast<uint8_t>(h.payload_bytes);
    b[2] = static_cast<uint8_t>((h.channels / 2 - 1) << 6 | h.channel_id >> 2);
    b[3] = static_cast<uint8_t>((h.channel_id & 3) << 6 | h.bits_code << 4 | h.alignment);
}

// byte 0    step number
// byte 1-2  sample periods, least significant byte first
// byte 3    channel mask
bool decode_d10_element_header(const uint8_t *b, size_t size, D10ElementHeader *h) {
    if (size < kHeaderBytes) return false;
    h->step = b[0];
    h->sample_periods = b[1] | b[2] << 8;
    h->channel_mask = b[3];
    return true;
}

void encode_d10_element_header(const D10ElementHeader &h, uint8_t b[4]) {
    b[0] = static_cast<uint8_t>(h.step);
    b[1] = static_cast<uint8_t>(h.sample_periods);
    b[2] = static_cast<uint8_t>(h.sample_periods >> 8);
    b[3] = static_cast<uint8_t>(h.channel_mask);
}

// byte 0  emphasis, mute, reserved, audio frame number (5 bits)
// byte 1  quantization (2 bits), sampling frequency (2 bits), reserved, channels less one (3 bits)
// byte 2  dynamic range
bool decode_dvd_frame_header(const uint8_t *b, size_t size, DvdFrameHeader *h) {
    if (size < kDvdFrameHeaderBytes) return false;
    h->emphasis = b[0] >> 7;
    h->mute = (b[0] >> 6) & 1;
    h->reserved_flag = (b[0] >> 5) & 1;
    h->frame_number = b[0] & 31;
    h->bits_code = b[1] >> 6;
    h->rate_code = (b[1] >> 4) & 3;
    h->reserved_rate = (b[1] >> 3) & 1;
    h->channels = (b[1] & 7) + 1;
    h->dynamic_range = b[2];
    return true;
}

void encode_dvd_frame_header(const DvdFrameHeader &h, uint8_t b[kDvdFrameHeaderBytes]) {
    b[0] = static_cast<uint8_t>(h.emphasis << 7 | h.mute << 6 | h.reserved_flag << 5 | h.frame_number);
    b[1] = static_cast<uint8_t>(h.bits_code << 6 | h.rate_code << 4 | h.reserved_rate << 3 |
                                (h.channels - 1));
    b[2] = static_cast<uint8_t>(h.dynamic_range);
}

int dvd_sample_rate(int rate_code) { return value_of(kDvdRates, rate_code); }
int dvd_rate_code(int sample_rate) { return code_of(kDvdRates, sample_rate); }

bool same_dvd_track(const DvdFrameHeader &a, const DvdFrameHeader &b) {
    return a.emphasis == b.emphasis && a.mute == b.mute && a.bits_code == b.bits_code &&
           a.rate_code == b.rate_code && a.reserved_rate == b.reserved_rate &&
           a.channels == b.channels && a.dynamic_range == b.dynamic_range;
}

}  // namespace pcmpack_format
