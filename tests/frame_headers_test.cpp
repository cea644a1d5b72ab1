// SPDX-License-Identifier: BSD-2-Clause
// The frame headers of the tool's format module against their bytes as the
// formats lay them out: each row decodes to its fields and encodes back to
// its bytes, the row cut short is refused, and every header read is written
// back as it was, reserved bits and all.
#include <gtest/gtest.h>

#include "format/frame_headers.h"

#include <vector>

namespace {

using namespace pcmpack_format;

// Fields in header order.
std::vector<int> fields(const HdmvFrameHeader &h) {
    return {int(h.payload_bytes), h.assignment, h.rate_code, h.bits_code, h.reserved};
}
std::vector<int> fields(const S302mFrameHeader &h) {
    return {int(h.payload_bytes), h.channels, h.channel_id, h.bits_code, h.alignment};
}
std::vector<int> fields(const D10ElementHeader &h) { return {h.step, h.sample_periods, h.channel_mask}; }
std::vector<int> fields(const DvdFrameHeader &h) {
    return {h.emphasis, h.mute, h.reserved_flag, h.frame_number, h.bits_code,
            h.rate_code, h.reserved_rate, h.channels, h.dynamic_range};
}

template <typename Header>
struct Codec {
    bool (*decode)(const uint8_t *, size_t, Header *);
    void (*encode)(const Header &, uint8_t *);
};
const Codec<HdmvFrameHeader> kHdmv{decode_hdmv_frame_header, encode_hdmv_frame_header};
const Codec<S302mFrameHeader> k302m{decode_302m_frame_header, encode_302m_frame_header};
const Codec<D10ElementHeader> kD10{decode_d10_element_header, encode_d10_element_header};
const Codec<DvdFrameHeader> kDvd{decode_dvd_frame_header, encode_dvd_frame_header};

struct Row {
    const char *name;
    std::vector<uint8_t> bytes;
    std::vector<int> fields;
};

template <typename Header>
void check_rows(const Codec<Header> &codec, const std::vector<Row> &rows) {
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Header h;
        ASSERT_TRUE(codec.decode(r.bytes.data(), r.bytes.size(), &h));
        EXPECT_EQ(fields(h), r.fields);
        std::vector<uint8_t> again(r.bytes.size());
        codec.encode(h, again.data());
        EXPECT_EQ(again, r.bytes);
        // Cut short, in a buffer of exactly the bytes left, so that a read
        // past them shows under the sanitizers.
        for (size_t size = 0; size < r.bytes.size(); ++size) {
            const std::vector<uint8_t> cut(r.bytes.begin(), r.bytes.begin() + std::ptrdiff_t(size));
            Header untouched;
            EXPECT_FALSE(codec.decode(cut.data(), size, &untouched)) << size;
            EXPECT_EQ(fields(untouched), fields(Header{}));
        }
    }
}

TEST(FormatFrameHeaders, RowsDecodeEncodeAndAreRefusedCutShort) {
    // payload, assignment, rate, word length, reserved
    check_rows(kHdmv, {{"2.0, 16 bits, 48 kHz: 240 periods", {0x03, 0xC0, 0x31, 0x40}, {960, 3, 1, 1, 0}},
                       {"7.1, 20 bits, 192 kHz", {0xFF, 0xFF, 0xB5, 0x80}, {65535, 11, 5, 2, 0}},
                       {"reserved bits and codes kept", {0x00, 0x00, 0xFF, 0x3F}, {0, 15, 15, 0, 63}}});
    // payload, channels, identification, word length, alignment
    check_rows(k302m, {{"8 channels, 24 bits, 1602 periods", {0xAF, 0x38, 0xC0, 0x20}, {44856, 8, 0, 2, 0}},
                       {"identification across bytes 2 and 3", {0x00, 0x12, 0x69, 0x5F}, {18, 4, 0xA5, 1, 15}},
                       {"reserved word length", {0x00, 0x00, 0x00, 0x30}, {0, 2, 0, 3, 0}}});
    // step, sample periods, channel mask
    check_rows(kD10, {{"8 channels, step 2 of 30000/1001", {0x02, 0x41, 0x06, 0xFF}, {2, 1601, 255}}});
    // emphasis, mute, reserved, frame number, word length, rate, reserved, channels, range
    check_rows(kDvd, {{"libavcodec's, stereo 48 kHz", {0x0C, 0x01, 0x80}, {0, 0, 0, 12, 0, 0, 0, 2, 128}},
                      {"emphasis, mute, frame 31, 96 kHz", {0xDF, 0x10, 0x00}, {1, 1, 0, 31, 0, 1, 0, 1, 0}},
                      {"reserved bits, 24 bits, 8 channels", {0x20, 0x8F, 0xFF}, {0, 0, 1, 0, 2, 0, 1, 8, 255}}});
}

// Every code of each field: what it stands for (0 for the codes the formats
// reserve), and the code found again from its value.
TEST(FormatFrameHeaders, CodesAndWhatTheyStandFor) {
    struct Table {
        const char *name;
        int (*value)(int code);
        int (*code)(int value);
        std::vector<int> values;  // by code
    };
    const Table tables[] = {
        {"HDMV sampling frequency", hdmv_sample_rate, hdmv_rate_code,
         {0, 48000, 0, 0, 96000, 192000, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"HDMV word length", hdmv_bits, hdmv_bits_code, {0, 16, 20, 24}},
        {"DVD sampling frequency", dvd_sample_rate, dvd_rate_code, {48000, 96000, 0, 0}},
        {"quantization", word_length_bits, word_length_code, {16, 20, 24, 28}},
    };
    for (const Table &t : tables) {
        SCOPED_TRACE(t.name);
        for (int code = 0; code < int(t.values.size()); ++code) {
            EXPECT_EQ(t.value(code), t.values[size_t(code)]) << code;
            if (t.values[size_t(code)] != 0) {
                EXPECT_EQ(t.code(t.values[size_t(code)]), code);
            }
        }
    }
    EXPECT_EQ(hdmv_rate_code(44100), -1);
    EXPECT_EQ(dvd_rate_code(44100), -1);
}

template <typename Header>
bool written_back(const Codec<Header> &codec, const std::vector<uint8_t> &bytes) {
    Header h;
    std::vector<uint8_t> again(bytes.size());
    if (!codec.decode(bytes.data(), bytes.size(), &h)) return false;
    codec.encode(h, again.data());
    return again == bytes;
}

// No bit is dropped, and no two fields share one: every pair of values of
// two bytes, with the others varying along (the 302M channel identification
// spans bytes 2 and 3).
TEST(FormatFrameHeaders, EveryHeaderIsWrittenBackAsItWasRead) {
    for (uint32_t v = 0; v < (1u << 16); ++v) {
        const uint8_t a = uint8_t(v >> 8), b = uint8_t(v), c = uint8_t(v * 37);
        ASSERT_TRUE(written_back(kDvd, {a, b, c})) << v;
        ASSERT_TRUE(written_back(kHdmv, {c, b, a, b})) << v;
        ASSERT_TRUE(written_back(k302m, {c, a, a, b})) << v;
        ASSERT_TRUE(written_back(kD10, {a, b, c, a})) << v;
    }
}

}  // namespace
