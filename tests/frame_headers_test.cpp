// SPDX-License-Identifier: BSD-2-Clause
// The frame headers of the tool's format module against their bytes as the
// formats lay them out: each row decodes to its fields and encodes back to
// its bytes; a header cut short is refused; every header read is written
// back as it was, reserved bits and all.
#include <gtest/gtest.h>

#include "format/frame_headers.h"

#include <cstring>
#include <vector>

namespace {

using namespace pcmpack_format;

// Fields as a row shows them, in header order.
std::vector<int> fields(const HdmvFrameHeader &h) {
    return {int(h.payload_bytes), h.assignment, h.rate_code, h.bits_code, h.reserved};
}
std::vector<int> fields(const S302mFrameHeader &h) {
    return {int(h.payload_bytes), h.channels, h.channel_id, h.bits_code, h.alignment};
}
std::vector<int> fields(const D10ElementHeader &h) {
    return {h.step, h.sample_periods, h.channel_mask};
}
std::vector<int> fields(const DvdFrameHeader &h) {
    return {h.emphasis, h.mute, h.reserved_flag, h.frame_number, h.bits_code,
            h.rate_code, h.reserved_rate, h.channels, h.dynamic_range};
}

// A header's bytes, and its fields in header order.
struct Row {
    const char *name;
    std::vector<uint8_t> bytes;
    std::vector<int> fields;
};

template <typename Header>
using Decoder = bool (*)(const uint8_t *, size_t, Header *);
template <typename Header>
using Encoder = void (*)(const Header &, uint8_t *);

template <typename Header>
void check_rows(const std::vector<Row> &rows, Decoder<Header> decode, Encoder<Header> encode) {
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Header h;
        ASSERT_TRUE(decode(r.bytes.data(), r.bytes.size(), &h));
        EXPECT_EQ(fields(h), r.fields);
        std::vector<uint8_t> again(r.bytes.size());
        encode(h, again.data());
        EXPECT_EQ(again, r.bytes);
    }
}

TEST(FormatFrameHeaders, RowsDecodeAndEncode) {
    // payload, assignment, rate, word length, reserved
    check_rows<HdmvFrameHeader>(
        {
            {"2.0, 16 bits, 48 kHz: 240 periods", {0x03, 0xC0, 0x31, 0x40}, {960, 3, 1, 1, 0}},
            {"5.1, 24 bits, 96 kHz: 480 periods", {0x21, 0xC0, 0x94, 0xC0}, {8640, 9, 4, 3, 0}},
            {"7.1, 20 bits, 192 kHz", {0xFF, 0xFF, 0xB5, 0x80}, {65535, 11, 5, 2, 0}},
            {"reserved bits and codes kept", {0x00, 0x00, 0xFF, 0x3F}, {0, 15, 15, 0, 63}},
        },
        decode_hdmv_frame_header, encode_hdmv_frame_header);
    // payload, channels, identification, word length, alignment
    check_rows<S302mFrameHeader>(
        {
            {"2 channels, 16 bits, 1920 periods", {0x25, 0x80, 0x00, 0x00}, {9600, 2, 0, 0, 0}},
            {"6 channels, 20 bits", {0x00, 0x12, 0x80, 0x10}, {18, 6, 0, 1, 0}},
            {"8 channels, 24 bits, 1602 periods", {0xAF, 0x38, 0xC0, 0x20}, {44856, 8, 0, 2, 0}},
            {"identification across bytes 2 and 3", {0x00, 0x00, 0x69, 0x5F}, {0, 4, 0xA5, 1, 15}},
            {"reserved word length", {0x00, 0x00, 0x00, 0x30}, {0, 2, 0, 3, 0}},
        },
        decode_302m_frame_header, encode_302m_frame_header);
    // step, sample periods, channel mask
    check_rows<D10ElementHeader>(
        {
            {"8 channels, step 2 of 30000/1001: 1601 periods", {0x02, 0x41, 0x06, 0xFF}, {2, 1601, 255}},
            {"4 channels at 25 Hz: 1920 periods", {0x00, 0x80, 0x07, 0x0F}, {0, 1920, 15}},
        },
        decode_d10_element_header, encode_d10_element_header);
    // emphasis, mute, reserved, frame number, word length, rate, reserved, channels, range
    check_rows<DvdFrameHeader>(
        {
            {"libavcodec's, stereo 48 kHz", {0x0C, 0x01, 0x80}, {0, 0, 0, 12, 0, 0, 0, 2, 128}},
            {"emphasis, mute, frame 31, mono 96 kHz", {0xDF, 0x10, 0x00}, {1, 1, 0, 31, 0, 1, 0, 1, 0}},
            {"24 bits, 8 channels", {0x00, 0x87, 0xFF}, {0, 0, 0, 0, 2, 0, 0, 8, 255}},
            {"reserved bits", {0x20, 0x08, 0x00}, {0, 0, 1, 0, 0, 0, 1, 1, 0}},
            {"reserved codes", {0x00, 0xF0, 0x00}, {0, 0, 0, 0, 3, 3, 0, 1, 0}},
        },
        decode_dvd_frame_header, encode_dvd_frame_header);
}

// A header cut short decodes nothing. The bytes sit in a buffer of exactly
// their size, so that a read past them shows under the sanitizers.
TEST(FormatFrameHeaders, HeadersCutShortAreRefused) {
    for (size_t size = 0; size < 4; ++size) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> bytes(size, 0xFF);
        const uint8_t *p = bytes.empty() ? nullptr : bytes.data();
        HdmvFrameHeader hdmv;
        S302mFrameHeader s302m;
        D10ElementHeader d10;
        DvdFrameHeader dvd;
        EXPECT_FALSE(decode_hdmv_frame_header(p, size, &hdmv));
        EXPECT_FALSE(decode_302m_frame_header(p, size, &s302m));
        EXPECT_FALSE(decode_d10_element_header(p, size, &d10));
        EXPECT_EQ(size == 3, decode_dvd_frame_header(p, size, &dvd));
        EXPECT_EQ(fields(hdmv), fields(HdmvFrameHeader{}));
        EXPECT_EQ(fields(s302m), fields(S302mFrameHeader{}));
        EXPECT_EQ(fields(d10), fields(D10ElementHeader{}));
        if (size < 3) {
            EXPECT_EQ(fields(dvd), fields(DvdFrameHeader{}));
        }
    }
}

// Every code of each field: what it stands for, 0 for the codes the formats
// reserve, and the code found again from its value.
TEST(FormatFrameHeaders, CodesAndWhatTheyStandFor) {
    struct Row {
        const char *name;
        int (*value)(int code);
        int (*code)(int value);
        int codes;
        std::vector<int> values;  // by code
    };
    const Row rows[] = {
        {"HDMV sampling frequency", hdmv_sample_rate, hdmv_rate_code, 16,
         {0, 48000, 0, 0, 96000, 192000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"HDMV word length", hdmv_bits, hdmv_bits_code, 4, {0, 16, 20, 24}},
        {"DVD sampling frequency", dvd_sample_rate, dvd_rate_code, 4, {48000, 96000, 0, 0}},
        {"quantization", word_length_bits, word_length_code, 4, {16, 20, 24, 28}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<int> values;
        for (int code = 0; code < r.codes; ++code) {
            values.push_back(r.value(code));
            if (values.back() != 0) {
                EXPECT_EQ(r.code(values.back()), code);
            }
        }
        EXPECT_EQ(values, r.values);
    }
    EXPECT_EQ(hdmv_rate_code(44100), -1);
    EXPECT_EQ(hdmv_bits_code(12), -1);
    EXPECT_EQ(dvd_rate_code(44100), -1);
}

// Packets of one DVD track differ only in the audio frame number and the
// reserved bit beside it.
TEST(FormatFrameHeaders, DvdPacketsOfOneTrack) {
    struct Row {
        const char *name;
        uint8_t xor_mask[3];
        bool same;
    };
    const Row rows[] = {
        {"frame number", {0x1F, 0, 0}, true},     {"reserved flag", {0x20, 0, 0}, true},
        {"emphasis", {0x80, 0, 0}, false},        {"mute", {0x40, 0, 0}, false},
        {"word length", {0, 0x40, 0}, false},     {"rate", {0, 0x10, 0}, false},
        {"reserved rate bit", {0, 0x08, 0}, false}, {"channels", {0, 0x01, 0}, false},
        {"dynamic range", {0, 0, 0x01}, false},
    };
    const uint8_t first[3] = {0x0C, 0x01, 0x80};
    DvdFrameHeader a;
    ASSERT_TRUE(decode_dvd_frame_header(first, 3, &a));
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        uint8_t next[3];
        for (int i = 0; i < 3; ++i) next[i] = first[i] ^ r.xor_mask[i];
        DvdFrameHeader b;
        ASSERT_TRUE(decode_dvd_frame_header(next, 3, &b));
        EXPECT_EQ(same_dvd_track(a, b), r.same);
    }
}

template <typename Header>
bool written_back(const std::vector<uint8_t> &bytes, Decoder<Header> decode, Encoder<Header> encode) {
    Header h;
    std::vector<uint8_t> again(bytes.size());
    if (!decode(bytes.data(), bytes.size(), &h)) return false;
    encode(h, again.data());
    return again == bytes;
}

// Every header decodes to fields that encode back to its bytes: no bit is
// dropped, and no two fields share one. The DVD header's third byte is one
// field: every pair of the first two bytes, with a dynamic range that
// varies along; the HDMV and 302M headers' fields beyond the payload size
// lie in bytes 2 and 3, and the D-10 header's in all four.
TEST(FormatFrameHeaders, EveryHeaderIsWrittenBackAsItWasRead) {
    for (uint32_t v = 0; v < (1u << 16); ++v) {
        const std::vector<uint8_t> dvd = {uint8_t(v >> 8), uint8_t(v), uint8_t(v * 37)};
        ASSERT_TRUE(written_back<DvdFrameHeader>(dvd, decode_dvd_frame_header, encode_dvd_frame_header)) << v;
        for (uint32_t payload : {0u, 0x1234u, 0xFFFFu}) {
            const std::vector<uint8_t> bytes = {uint8_t(payload >> 8), uint8_t(payload), uint8_t(v >> 8),
                                                uint8_t(v)};
            ASSERT_TRUE(written_back<HdmvFrameHeader>(bytes, decode_hdmv_frame_header,
                                                      encode_hdmv_frame_header)) << v;
            ASSERT_TRUE(written_back<S302mFrameHeader>(bytes, decode_302m_frame_header,
                                                       encode_302m_frame_header)) << v;
            ASSERT_TRUE(written_back<D10ElementHeader>(bytes, decode_d10_element_header,
                                                       encode_d10_element_header)) << v;
        }
    }
}

}  // namespace
