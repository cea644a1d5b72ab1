// SPDX-License-Identifier: BSD-2-Clause
// The stream reader against streams built by hand from the formats: every
// layer read back field by field, and every kind of corruption stopped at
// the byte where it lies.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "groups_302m.h"
#include "stream_reader.h"
#include "support/host_fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using pcmpack_reader::read_stream;
using pcmpack_reader::ReadResult;

ReadResult read(const Bytes &stream, bool want_samples = true) {
    return read_stream(stream.data(), stream.size(), want_samples);
}

Bytes stream_header(const char *tag, uint8_t byte4, uint8_t byte5) {
    return Bytes{static_cast<uint8_t>(tag[0]),
                 static_cast<uint8_t>(tag[1]),
                 static_cast<uint8_t>(tag[2]),
                 static_cast<uint8_t>(tag[3]),
                 byte4,
                 byte5,
                 0,
                 0};
}

void append(Bytes &to, const Bytes &from) { to.insert(to.end(), from.begin(), from.end()); }

// Sample values of `bits` bits, deterministic.
std::vector<uint32_t> sample_values(size_t count, int bits, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint32_t> values(count);
    for (auto &v : values) v = static_cast<uint32_t>(gen()) & ((1u << bits) - 1);
    return values;
}

// --- SMPTE 302M groups, written bit by bit as the format sends them ----------

struct BitWriter {
    Bytes bytes;
    int used = 8;
    void put(unsigned bit) {
        if (used == 8) {
            bytes.push_back(0);
            used = 0;
        }
        if (bit) bytes.back() |= static_cast<uint8_t>(0x80 >> used);
        ++used;
    }
    void sample_lsb_first(uint32_t value, int bits) {
        for (int i = 0; i < bits; ++i) put((value >> i) & 1);
    }
};

Bytes group_302m(uint32_t first, uint32_t second, int bits, bool block_start) {
    BitWriter w;
    w.sample_lsb_first(first, bits);
    w.put(1), w.put(0), w.put(0), w.put(block_start ? 1 : 0);
    w.sample_lsb_first(second, bits);
    w.put(1), w.put(0), w.put(0), w.put(0);
    return w.bytes;
}

// One data block for interleaved values of `channels` channels.
Bytes block_302m(const std::vector<uint32_t> &values, int channels, int bits) {
    const int pairs = channels / 2;
    const size_t groups = values.size() / 2;
    const size_t payload = groups * (2 * bits + 8) / 8;
    Bytes block{static_cast<uint8_t>(payload >> 8), static_cast<uint8_t>(payload),
                static_cast<uint8_t>((pairs - 1) << 6),
                static_cast<uint8_t>(((bits - 16) / 4) << 4)};
    for (size_t g = 0; g < groups; ++g) {
        append(block, group_302m(values[2 * g], values[2 * g + 1], bits, g % 192 == 0));
    }
    return block;
}

// --- D-10 elements ---------------------------------------------------------

Bytes element_d10(const std::vector<uint32_t> &values24, int channels, int step_number) {
    const size_t periods = values24.size() / channels;
    Bytes element{static_cast<uint8_t>(step_number), static_cast<uint8_t>(periods),
                  static_cast<uint8_t>(periods >> 8), static_cast<uint8_t>((1 << channels) - 1)};
    size_t k = 0;
    for (size_t p = 0; p < periods; ++p) {
        for (int slot = 0; slot < 8; ++slot) {
            if (slot >= channels) {
                append(element, {0, 0, 0, 0});
                continue;
            }
            const uint32_t v = values24[k++];
            const uint8_t flag = (slot == 0 && p % 192 == 0) ? 0x08 : 0x00;
            append(element, {static_cast<uint8_t>((v & 0xF0) | flag | slot),
                             static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16), 0});
        }
    }
    return element;
}

// --- planar frames ---------------------------------------------------------

Bytes frame_planar(const std::vector<uint32_t> &values, int channels, int width) {
    const size_t periods = values.size() / channels;
    Bytes frame;
    for (int ch = 0; ch < channels; ++ch) {
        for (size_t p = 0; p < periods; ++p) {
            const uint32_t v = values[p * channels + ch];
            for (int b = 0; b < width; ++b) frame.push_back(static_cast<uint8_t>(v >> (8 * b)));
        }
    }
    return frame;
}

std::vector<int32_t> left_justified(const std::vector<uint32_t> &values, int bits) {
    std::vector<int32_t> out;
    for (uint32_t v : values) out.push_back(static_cast<int32_t>(v << (32 - bits)));
    return out;
}

std::vector<int32_t> frame_timestamps(const ReadResult &r) {
    std::vector<int32_t> t;
    for (const auto &f : r.frames) t.push_back(static_cast<int32_t>(f.timestamp));
    return t;
}

std::vector<uint32_t> frame_sizes(const ReadResult &r) {
    std::vector<uint32_t> s;
    for (const auto &f : r.frames) s.push_back(f.size);
    return s;
}

// --- the builders against the format's own examples --------------------------

TEST(ReaderBuilders, GroupsMatchTheFormatExamples) {
    struct Case {
        uint32_t first, second;
        int bits;
        bool block_start;
        Bytes group;
    };
    const Case cases[] = {
        {0x0001, 0x8000, 16, true, {0x80, 0x00, 0x90, 0x00, 0x18}},
        {0, 0, 16, false, {0x00, 0x00, 0x80, 0x00, 0x08}},
        {0, 0, 20, false, {0x00, 0x00, 0x08, 0x00, 0x00, 0x08}},
        {0, 0, 20, true, {0x00, 0x00, 0x09, 0x00, 0x00, 0x08}},
        {0, 0, 24, false, {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x08}},
        {0, 0, 24, true, {0x00, 0x00, 0x00, 0x90, 0x00, 0x00, 0x08}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(fakes::hex(group_302m(c.first, c.second, c.bits, c.block_start)),
                  fakes::hex(c.group))
            << c.bits << " bits";
    }
    // 0x123456 little-endian 56 34 12 in slot 0 of a block start.
    const Bytes element = element_d10({0x123456, 0xABCDEF}, 2, 0);
    EXPECT_EQ(fakes::hex(Bytes(element.begin() + 4, element.begin() + 12)),
              "58 34 12 00 E1 CD AB 00");
}

// --- stream headers ----------------------------------------------------------

TEST(Reader, StreamHeadersDecode) {
    struct Case {
        Bytes header;
        int layer, channels, bits, rate, code, emphasis, mute, dynamic_range;
    };
    const Case cases[] = {
        {stream_header("LPCM", 0x04, 0x80), 4, 2, 16, 48000, 0, 0, 0, 128},
        {stream_header("LPCM", 0x81, 0x00), 4, 1, 16, 96000, 0, 0, 1, 0},
        {stream_header("LPCM", 0x06, 0x7F), 4, 2, 16, 48000, 0, 1, 0, 127},
        {stream_header("HDMV", 0x0D, 0x01), 13, 2, 16, 48000, 0, 0, 0, 0},
        {stream_header("HDMV", 0x0D, 0x37), 13, 8, 24, 96000, 0, 0, 0, 0},
        {stream_header("HDMV", 0x0D, 0x0D), 13, 6, 20, 48000, 0, 0, 0, 0},
        {stream_header("AES3", 0x0A, 0x61), 10, 2, 16, 48000, 4, 0, 0, 0},
        {stream_header("AES3", 0x0A, 0x57), 10, 8, 24, 48000, 3, 0, 0, 0},
        {stream_header("AES3", 0x0B, 0xC8), 11, 1, 20, 48000, 7, 0, 0, 0},
        {stream_header("AES3", 0x0C, 0xE7), 12, 8, 16, 48000, 8, 0, 0, 0},
        {stream_header("AES3", 0x0C, 0x00), 12, 1, 16, 48000, 1, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(fakes::hex(c.header));
        const ReadResult r = read(c.header);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(r.frames.empty());
        EXPECT_EQ(r.info.layer, c.layer);
        EXPECT_EQ(r.info.channels, c.channels);
        EXPECT_EQ(r.info.bits, c.bits);
        EXPECT_EQ(r.info.sample_rate, c.rate);
        EXPECT_EQ(r.info.frame_rate_code, c.code);
        EXPECT_EQ(r.info.emphasis, c.emphasis);
        EXPECT_EQ(r.info.mute, c.mute);
        EXPECT_EQ(r.info.dynamic_range, c.dynamic_range);
        EXPECT_EQ(Bytes(r.info.header, r.info.header + 8), c.header);
    }
}

TEST(Reader, BadStreamHeadersStopAtTheirByte) {
    struct Case {
        const char *name;
        Bytes stream;
        uint64_t offset;
        const char *words;
    };
    Bytes lpcm_tail = stream_header("LPCM", 0x04, 0x80);
    lpcm_tail[7] = 1;
    Bytes hdmv_byte6 = stream_header("HDMV", 0x0D, 0x01);
    hdmv_byte6[6] = 0x20;
    const Case cases[] = {
        {"empty", {}, 0, "truncated stream header"},
        {"five bytes", {'A', 'E', 'S', '3', 0x0A}, 0, "truncated stream header"},
        {"unknown tag", stream_header("LPCN", 0x04, 0x80), 0, "unknown stream tag"},
        {"AES3 layer 13", stream_header("AES3", 0x0D, 0x01), 4, "layer 13"},
        {"AES3 layer 9", stream_header("AES3", 0x09, 0x01), 4, "layer 9"},
        {"byte 7 set", lpcm_tail, 7, "not zero"},
        {"byte 6 set", hdmv_byte6, 6, "not zero"},
        {"DVD three channels", stream_header("LPCM", 0x08, 0x80), 4, "3 channels"},
        {"DVD 20 bits", stream_header("LPCM", 0x24, 0x80), 4, "quantization 1"},
        {"DVD emphasis at 96 kHz", stream_header("LPCM", 0x07, 0x80), 4, "emphasis"},
        {"HDMV byte 4", stream_header("HDMV", 0x0C, 0x01), 4, "byte 4"},
        {"HDMV three channels", stream_header("HDMV", 0x0D, 0x02), 5, "3 channels"},
        {"HDMV rate code 2", stream_header("HDMV", 0x0D, 0x41), 5, "sample rate"},
        {"HDMV quantization 3", stream_header("HDMV", 0x0D, 0x19), 5, "quantization 3"},
        {"HDMV bit 7", stream_header("HDMV", 0x0D, 0x81), 5, "bit 7"},
        {"AES3 quantization 3", stream_header("AES3", 0x0C, 0x19), 5, "quantization 3"},
        {"302M one channel", stream_header("AES3", 0x0A, 0x00), 5, "1 channels"},
        {"D-10 16 bits", stream_header("AES3", 0x0B, 0x01), 5, "16 bits"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const ReadResult r = read(c.stream);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error_offset, c.offset) << r.error;
        EXPECT_NE(r.error.find(c.words), std::string::npos) << r.error;
        EXPECT_TRUE(r.frames.empty());
    }
}

// --- DVD LPCM ----------------------------------------------------------------

TEST(Reader, DvdStereoFramesAndSamples) {
    Bytes stream = stream_header("LPCM", 0x04, 0x80);
    const Bytes payload = fakes::random_bytes(3 * 320, 11);
    append(stream, payload);
    const ReadResult r = read(stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(frame_sizes(r), (std::vector<uint32_t>{320, 320, 320}));
    EXPECT_EQ(frame_timestamps(r), (std::vector<int32_t>{0, 45000, 90000}));
    ASSERT_EQ(r.frames.size(), 3u);
    EXPECT_EQ(r.frames[2].offset, 8u + 640u);
    EXPECT_EQ(r.frames[0].sample_periods, 80u);
    ASSERT_EQ(r.samples.size(), 480u);
    for (size_t i = 0; i < r.samples.size(); ++i) {
        const int32_t big_endian =
            static_cast<int32_t>(static_cast<uint32_t>(payload[2 * i]) << 24 |
                                 static_cast<uint32_t>(payload[2 * i + 1]) << 16);
        ASSERT_EQ(r.samples[i], big_endian) << "sample " << i;
    }
    // The same stream without samples: the same frames.
    const ReadResult bare = read(stream, false);
    EXPECT_TRUE(bare.ok);
    EXPECT_EQ(bare.frames.size(), 3u);
    EXPECT_TRUE(bare.samples.empty());
}

TEST(Reader, DvdMono96kFramesAre320Bytes) {
    Bytes stream = stream_header("LPCM", 0x81, 0x00);
    append(stream, Bytes(640, 0x11));
    const ReadResult r = read(stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(frame_sizes(r), (std::vector<uint32_t>{320, 320}));
    EXPECT_EQ(r.frames[1].sample_periods, 160u);
    EXPECT_EQ(r.samples.size(), 320u);
    EXPECT_EQ(r.samples[0], 0x11110000);
}

// --- HDMV LPCM ---------------------------------------------------------------

Bytes hdmv_stereo16_stream(int frames) {
    Bytes stream = stream_header("HDMV", 0x0D, 0x01);
    for (int k = 0; k < frames; ++k) {
        append(stream, {0x03, 0xC0, 0x31, 0x40});
        append(stream, fakes::random_bytes(960, 20 + k));
    }
    return stream;
}

TEST(Reader, HdmvFramesAndBigEndianSamples) {
    const Bytes stream = hdmv_stereo16_stream(2);
    const ReadResult r = read(stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(frame_sizes(r), (std::vector<uint32_t>{964, 964}));
    EXPECT_EQ(frame_timestamps(r), (std::vector<int32_t>{0, 135000}));
    EXPECT_EQ(r.frames[1].offset, 8u + 964u);
    EXPECT_EQ(r.frames[0].sample_periods, 240u);
    ASSERT_EQ(r.samples.size(), 960u);
    const uint8_t *second = stream.data() + 8 + 964 + 4;
    EXPECT_EQ(r.samples[480], static_cast<int32_t>(static_cast<uint32_t>(second[0]) << 24 |
                                                   static_cast<uint32_t>(second[1]) << 16));
}

TEST(Reader, HdmvEightChannels24Bit96k) {
    Bytes stream = stream_header("HDMV", 0x0D, 0x37);
    append(stream, {0x2D, 0x00, 0xA4, 0xC0});
    Bytes payload(11520, 0);
    payload[0] = 0x12, payload[1] = 0x34, payload[2] = 0x56;     // channel 0
    payload[21] = 0xFE, payload[22] = 0xDC, payload[23] = 0xBA;  // channel 7
    append(stream, payload);
    const ReadResult r = read(stream);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.frames[0].sample_periods, 480u);
    ASSERT_EQ(r.samples.size(), 3840u);
    EXPECT_EQ(r.samples[0], 0x12345600);
    EXPECT_EQ(static_cast<uint32_t>(r.samples[7]), 0xFEDCBA00u);
}

// --- SMPTE 302M ----------------------------------------------------------------

// Two channels, 16 bits, 60000/1001: blocks of 801, 801, 800 sample periods.
Bytes stream_302m_code7(std::vector<uint32_t> *values_out) {
    Bytes stream = stream_header("AES3", 0x0A, 0xC1);
    const int periods[] = {801, 801, 800};
    std::vector<uint32_t> all;
    for (int k = 0; k < 3; ++k) {
        std::vector<uint32_t> values = sample_values(2 * periods[k], 16, 30 + k);
        if (k == 0) values[0] = 0x0001, values[1] = 0x8000;
        append(stream, block_302m(values, 2, 16));
        all.insert(all.end(), values.begin(), values.end());
    }
    if (values_out) *values_out = all;
    return stream;
}

TEST(Reader, Smpte302mCadenceSizesTimestampsAndSamples) {
    std::vector<uint32_t> values;
    const Bytes stream = stream_302m_code7(&values);
    // 801 periods of one 5-byte group: payload 4005 = 0x0FA5.
    EXPECT_EQ(fakes::hex(Bytes(stream.begin() + 8, stream.begin() + 17)),
              "0F A5 00 00 80 00 90 00 18");
    const ReadResult r = read(stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(frame_sizes(r), (std::vector<uint32_t>{4009, 4009, 4004}));
    EXPECT_EQ(frame_timestamps(r), (std::vector<int32_t>{0, 450562, 901125}));
    EXPECT_EQ(r.frames[2].cadence_step, 2);
    EXPECT_EQ(r.frames[2].sample_periods, 800u);
    EXPECT_EQ(r.samples, left_justified(values, 16));
    EXPECT_EQ(r.samples[0], 0x00010000);
}

TEST(Reader, Smpte302mEveryPairCountAndWordLength) {
    struct Case {
        int channels, bits, code, periods;
    };
    // Stream header byte 5 from code, word length and channels.
    const Case cases[] = {{4, 16, 6, 960}, {6, 20, 8, 800}, {8, 24, 5, 1600}, {2, 20, 2, 2000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.bits << " bits");
        const uint8_t b5 =
            static_cast<uint8_t>((c.code - 1) << 5 | ((c.bits - 16) / 4) << 3 | (c.channels - 1));
        Bytes stream = stream_header("AES3", 0x0A, b5);
        const std::vector<uint32_t> values =
            sample_values(static_cast<size_t>(c.channels) * c.periods, c.bits, 40 + c.channels);
        append(stream, block_302m(values, c.channels, c.bits));
        const ReadResult r = read(stream);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(r.frames.size(), 1u);
        EXPECT_EQ(r.frames[0].size, 4u + c.periods * c.channels / 2 * (2 * c.bits + 8) / 8);
        EXPECT_EQ(r.samples, left_justified(values, c.bits));
    }
}

struct Corruption {
    const char *name;
    size_t byte;   // offset of the byte changed
    uint8_t flip;  // xor mask
    uint64_t expected_offset;
    const char *words;
};

void check_corruptions(const Bytes &valid, const std::vector<Corruption> &cases) {
    for (const Corruption &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes stream = valid;
        ASSERT_LT(c.byte, stream.size());
        stream[c.byte] ^= c.flip;
        const ReadResult r = read(stream);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error_offset, c.expected_offset) << r.error;
        EXPECT_NE(r.error.find(c.words), std::string::npos) << r.error;
        for (const auto &f : r.frames) EXPECT_LE(f.offset + f.size, c.expected_offset);
    }
}

TEST(Reader, Smpte302mCorruptionsStopAtTheirByte) {
    const Bytes valid = stream_302m_code7(nullptr);
    const size_t f1 = 8 + 4009;            // second block
    const size_t g192 = f1 + 4 + 192 * 5;  // group 192 of the second block
    const std::vector<Corruption> cases = {
        {"payload size", f1 + 1, 0x01, f1, "payload size"},
        {"payload size of the short step", 8 + 4009 * 2 + 1, 0x05, 8 + 4009 * 2, "payload size"},
        {"pair count", f1 + 2, 0x40, f1 + 2, "byte 2"},
        {"channel identification", f1 + 2, 0x01, f1 + 2, "byte 2"},
        {"word length", f1 + 3, 0x10, f1 + 3, "byte 3"},
        {"alignment bits", f1 + 3, 0x01, f1 + 3, "byte 3"},
        {"block start missing", f1 + 4 + 2, 0x10, f1 + 4, "block-start bit missing"},
        {"block start missing at group 192", g192 + 2, 0x10, g192, "block-start bit missing"},
        {"block start off a block start", f1 + 4 + 5 + 2, 0x10, f1 + 9, "off a block start"},
        {"first marker", f1 + 4 + 10 + 2, 0x80, f1 + 14, "first sample"},
        {"first marker zero bit", f1 + 4 + 10 + 2, 0x40, f1 + 14, "first sample"},
        {"second marker", f1 + 4 + 15 + 4, 0x08, f1 + 19, "second sample"},
        {"second marker trailing bit", f1 + 4 + 15 + 4, 0x01, f1 + 19, "second sample"},
    };
    check_corruptions(valid, cases);
}

// Two channels, 16 bits, 48 kHz: each field of a frame's header.
TEST(Reader, HdmvFrameHeaderCorruptionsStopAtTheirByte) {
    const size_t f0 = 8, f1 = 8 + 964;
    const std::vector<Corruption> cases = {
        {"payload size", f1 + 1, 0x01, f1, "payload size 961"},
        {"assignment of no layout of 2 channels", f0 + 2, 0x10, f0 + 2, "assignment 2, expected 3 or 1"},
        {"assignment other than the first frame's", f1 + 2, 0x20, f1 + 2, "the first frame has 3"},
        {"sampling frequency", f1 + 2, 0x05, f1 + 2, "frequency code 4, expected 1"},
        {"word length", f1 + 3, 0x80, f1 + 3, "byte 3 is C0, expected 40"},
        {"reserved bit after the word length", f1 + 3, 0x20, f1 + 3, "byte 3 is 60"},
        {"last reserved bit", f1 + 3, 0x01, f1 + 3, "byte 3 is 41"},
    };
    check_corruptions(hdmv_stereo16_stream(2), cases);
}

TEST(Reader, Smpte302mTwentyBitMarkersSitInTheLowNibble) {
    // With 20 bits the first marker nibble is the low half of group byte 2.
    Bytes stream = stream_header("AES3", 0x0A, 0xE9);  // code 8, 20 bits, 2 channels
    append(stream, block_302m(sample_values(1600, 20, 5), 2, 20));
    ASSERT_TRUE(read(stream).ok);
    const std::vector<Corruption> cases = {
        {"block start", 8 + 4 + 2, 0x01, 12, "block-start bit missing"},
        {"marker", 8 + 4 + 6 + 2, 0x08, 18, "first sample"},
        {"second marker", 8 + 4 + 6 + 5, 0x08, 18, "second sample"},
    };
    check_corruptions(stream, cases);
}

// The vector loops at each level against the portable loops, on streams of
// every word length with frames of every remainder of 192 and of the loops'
// widths, and on the same streams with one bit changed anywhere.
TEST(Reader, Smpte302mVectorLoopsReadAsThePortableLoops) {
    using pcmpack_reader::VectorLevel;
    struct Case {
        int channels, bits, code;
        std::vector<int> periods;
    };
    const Case cases[] = {{2, 16, 7, {801, 801, 800}}, {4, 20, 4, {1602, 1601}},
                          {6, 24, 3, {1920}},          {8, 24, 7, {801, 801, 800}},
                          {8, 16, 6, {960}},           {2, 24, 4, {1602, 1601, 1602}},
                          {6, 20, 8, {800}}};
    std::mt19937 gen(fakes::test_seed());
    int refused = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.bits << " bits");
        const uint8_t b5 =
            static_cast<uint8_t>((c.code - 1) << 5 | ((c.bits - 16) / 4) << 3 | (c.channels - 1));
        Bytes valid = stream_header("AES3", 0x0A, b5);
        for (int periods : c.periods) {
            append(valid, block_302m(sample_values(static_cast<size_t>(c.channels) * periods,
                                                   c.bits, static_cast<uint32_t>(gen())),
                                     c.channels, c.bits));
        }
        std::vector<Bytes> streams(24, valid);
        for (size_t k = 1; k < streams.size(); ++k) {
            streams[k][8 + gen() % (valid.size() - 8)] ^= static_cast<uint8_t>(1u << gen() % 8);
        }
        for (const Bytes &s : streams) {
            for (bool want : {true, false}) {
                const ReadResult portable =
                    read_stream(s.data(), s.size(), want, VectorLevel::portable);
                refused += portable.ok ? 0 : 1;
                for (VectorLevel level : {VectorLevel::ssse3, VectorLevel::avx2}) {
                    const ReadResult r = read_stream(s.data(), s.size(), want, level);
                    EXPECT_EQ(r.ok, portable.ok);
                    EXPECT_EQ(r.error, portable.error);
                    EXPECT_EQ(r.error_offset, portable.error_offset);
                    EXPECT_EQ(r.frames.size(), portable.frames.size());
                    EXPECT_EQ(r.samples, portable.samples);
                }
            }
        }
    }
    EXPECT_GT(refused, 0) << "no changed bit fell on a marker";
#if defined(__x86_64__)
    EXPECT_NE(pcmpack_reader::vector_302m_decoder(24, VectorLevel::avx2), nullptr);
#endif
}

// --- D-10 ----------------------------------------------------------------------

// Two channels, 24 bits, 30000/1001: elements of 1602 and 1601 sample periods.
Bytes stream_d10_code4(std::vector<uint32_t> *values_out) {
    Bytes stream = stream_header("AES3", 0x0B, 0x71);
    std::vector<uint32_t> all;
    const int periods[] = {1602, 1601};
    for (int k = 0; k < 2; ++k) {
        const std::vector<uint32_t> values = sample_values(2 * periods[k], 24, 50 + k);
        append(stream, element_d10(values, 2, k + 1));
        all.insert(all.end(), values.begin(), values.end());
    }
    if (values_out) *values_out = all;
    return stream;
}

TEST(Reader, D10ElementsDropTheLowFourBits) {
    std::vector<uint32_t> values;
    const Bytes stream = stream_d10_code4(&values);
    EXPECT_EQ(fakes::hex(Bytes(stream.begin() + 8, stream.begin() + 12)), "01 42 06 03");
    const ReadResult r = read(stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(frame_sizes(r), (std::vector<uint32_t>{4 + 1602 * 32, 4 + 1601 * 32}));
    EXPECT_EQ(frame_timestamps(r), (std::vector<int32_t>{0, 901125}));
    ASSERT_EQ(r.samples.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(r.samples[i], static_cast<int32_t>((values[i] & 0xFFFFF0u) << 8)) << i;
    }
}

TEST(Reader, D10StepNumberIsZeroAwayFromThe1001Rates) {
    Bytes stream = stream_header("AES3", 0x0B, 0x4F);  // code 3, 20 bits, 8 channels
    append(stream, element_d10(sample_values(8 * 1920, 24, 60), 8, 0));
    EXPECT_EQ(fakes::hex(Bytes(stream.begin() + 8, stream.begin() + 12)), "00 80 07 FF");
    const ReadResult r = read(stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.info.bits, 20);
    EXPECT_EQ(r.samples.size(), 8u * 1920u);
    stream[8] = 1;
    const ReadResult bad = read(stream);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.error_offset, 8u);
}

TEST(Reader, D10CorruptionsStopAtTheirByte) {
    const Bytes valid = stream_d10_code4(nullptr);
    const size_t e1 = 8 + 4 + 1602 * 32;  // second element
    const size_t w = e1 + 4;              // its first channel word
    const size_t p192 = w + 192 * 32;     // slot 0 of sample period 192
    const std::vector<Corruption> cases = {
        {"step number", e1, 0x03, e1, "step number"},
        {"sample count", e1 + 1, 0x01, e1 + 1, "sample periods"},
        {"sample count high byte", e1 + 2, 0x01, e1 + 1, "sample periods"},
        {"channel mask", e1 + 3, 0x04, e1 + 3, "channel mask"},
        {"slot number", w + 4, 0x02, w + 4, "slot number"},
        {"block start missing", w, 0x08, w, "flag missing"},
        {"block start missing at period 192", p192, 0x08, p192, "flag missing"},
        {"block start in slot 1", w + 4, 0x08, w + 4, "flag set"},
        {"block start off a block start", w + 32, 0x08, w + 32, "flag set"},
        {"word byte 3", w + 32 + 4 + 3, 0x80, w + 32 + 4 + 3, "byte 3"},
        {"empty slot", w + 8 + 1, 0x01, w + 8, "empty slot 2"},
        {"last empty slot", w + 28 + 3, 0x01, w + 28, "empty slot 7"},
    };
    check_corruptions(valid, cases);
}

// --- planar ---------------------------------------------------------------------

TEST(Reader, PlanarFramesFollowTheCadence) {
    // One 16-bit channel at 60000/1001: planes of 801, 801, 800 samples.
    Bytes stream = stream_header("AES3", 0x0C, 0xC0);
    std::vector<uint32_t> all;
    for (int k = 0; k < 3; ++k) {
        const int periods = k == 2 ? 800 : 801;
        const std::vector<uint32_t> values = sample_values(periods, 16, 70 + k);
        append(stream, frame_planar(values, 1, 2));
        all.insert(all.end(), values.begin(), values.end());
    }
    const ReadResult r = read(stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(frame_sizes(r), (std::vector<uint32_t>{1602, 1602, 1600}));
    EXPECT_EQ(frame_timestamps(r), (std::vector<int32_t>{0, 450562, 901125}));
    EXPECT_EQ(r.samples, left_justified(all, 16));
}

TEST(Reader, PlanarEightChannels24Bit) {
    Bytes stream = stream_header("AES3", 0x0C, 0xF7);  // code 8, 24 bits, 8 channels
    const std::vector<uint32_t> values = sample_values(8 * 800 * 2, 24, 80);
    const std::vector<uint32_t> first(values.begin(), values.begin() + 6400);
    const std::vector<uint32_t> second(values.begin() + 6400, values.end());
    append(stream, frame_planar(first, 8, 3));
    append(stream, frame_planar(second, 8, 3));
    // Plane 1 of the first frame starts 800 samples of 3 bytes in.
    EXPECT_EQ(stream[8 + 2400], static_cast<uint8_t>(values[1]));
    const ReadResult r = read(stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(frame_sizes(r), (std::vector<uint32_t>{19200, 19200}));
    EXPECT_EQ(frame_timestamps(r), (std::vector<int32_t>{0, 450000}));
    EXPECT_EQ(r.samples, left_justified(values, 24));
}

// --- truncation and arbitrary bytes --------------------------------------------------

struct NamedStream {
    const char *name;
    Bytes bytes;
};

std::vector<NamedStream> valid_streams() {
    std::vector<NamedStream> streams;
    Bytes dvd = stream_header("LPCM", 0x04, 0x80);
    append(dvd, fakes::random_bytes(3 * 320, 90));
    streams.push_back({"DVD", dvd});
    streams.push_back({"HDMV", hdmv_stereo16_stream(3)});
    streams.push_back({"302M", stream_302m_code7(nullptr)});
    streams.push_back({"D-10", stream_d10_code4(nullptr)});
    Bytes planar = stream_header("AES3", 0x0C, 0xC1);  // code 7, 16 bits, 2 channels
    for (int periods : {801, 801, 800})
        append(planar, frame_planar(sample_values(2 * periods, 16, 91), 2, 2));
    streams.push_back({"planar", planar});
    return streams;
}

TEST(Reader, TruncatedFramesStopAtTheFrameStart) {
    for (const NamedStream &s : valid_streams()) {
        SCOPED_TRACE(s.name);
        const ReadResult whole = read(s.bytes, false);
        ASSERT_TRUE(whole.ok) << whole.error;
        ASSERT_EQ(whole.frames.size(), 3u - (std::string(s.name) == "D-10"));
        std::vector<size_t> cuts;
        for (const auto &f : whole.frames) {
            for (size_t d = 1; d <= 6; ++d) {
                cuts.push_back(f.offset + d);
                cuts.push_back(f.offset + f.size - d);
            }
        }
        for (size_t cut : cuts) {
            const Bytes part(s.bytes.begin(), s.bytes.begin() + cut);
            const ReadResult r = read(part, false);
            size_t frame = 0;
            while (whole.frames[frame].offset + whole.frames[frame].size <= cut) ++frame;
            EXPECT_FALSE(r.ok) << "cut " << cut;
            EXPECT_EQ(r.error_offset, whole.frames[frame].offset)
                << "cut " << cut << ": " << r.error;
            EXPECT_NE(r.error.find("truncated frame"), std::string::npos) << r.error;
            EXPECT_EQ(r.frames.size(), frame) << "cut " << cut;
        }
        // Cut on a frame boundary: a shorter, valid stream.
        const auto &last = whole.frames.back();
        const ReadResult shorter =
            read(Bytes(s.bytes.begin(), s.bytes.begin() + last.offset), false);
        EXPECT_TRUE(shorter.ok) << shorter.error;
        EXPECT_EQ(shorter.frames.size(), whole.frames.size() - 1);
    }
}

// Arbitrary damage never leads the reader outside the buffer (the sanitizer
// build checks that), and what it reports is self-consistent.
TEST(Reader, DamagedStreamsAreReadSafely) {
    std::mt19937 gen(fakes::test_seed());
    int failures_seen = 0;
    for (const NamedStream &s : valid_streams()) {
        for (int round = 0; round < 40; ++round) {
            Bytes stream = s.bytes;
            const int damage = static_cast<int>(gen() % 4);
            if (damage == 0) {
                stream.resize(gen() % (stream.size() + 1));
            } else if (damage == 1) {
                for (int i = 0; i < 3; ++i)
                    stream[gen() % stream.size()] ^= static_cast<uint8_t>(1 + gen() % 255);
            } else if (damage == 2) {
                stream.erase(stream.begin() + gen() % stream.size());
            } else {
                stream[8 + gen() % 8] = static_cast<uint8_t>(gen());  // the first frame header
            }
            // A copy of exactly the right size, so any overread is caught.
            std::vector<uint8_t> exact(stream);
            exact.shrink_to_fit();
            const ReadResult r = read_stream(exact.empty() ? nullptr : exact.data(), exact.size());
            const uint64_t end =
                r.frames.empty() ? 8 : r.frames.back().offset + r.frames.back().size;
            for (size_t i = 1; i < r.frames.size(); ++i) {
                ASSERT_EQ(r.frames[i].offset, r.frames[i - 1].offset + r.frames[i - 1].size)
                    << s.name << " round " << round;
            }
            if (r.ok) {
                ASSERT_EQ(end, exact.size()) << s.name << " round " << round;
            } else {
                ++failures_seen;
                ASSERT_FALSE(r.error.empty());
                ASSERT_LE(r.error_offset, exact.size()) << s.name << " round " << round;
                if (exact.size() >= 8) {
                    ASSERT_GE(r.error_offset, end > 8 ? end : 0) << r.error;
                }
            }
        }
    }
    EXPECT_GT(failures_seen, 0);
}

}  // namespace

namespace {

// Collects what an IncrementalReader hands on.
struct Collected : pcmpack_reader::FrameSink {
    std::vector<pcmpack_reader::FrameInfo> frames;
    std::vector<int32_t> samples;
    void on_frame(const pcmpack_reader::FrameInfo &f, const int32_t *s, size_t n) override {
        frames.push_back(f);
        samples.insert(samples.end(), s, s + n);
    }
};

// The tool feeds streams in blocks as they are read and a demuxer feeds
// access units: any cut into pieces, of valid and of damaged streams, gives
// the frames, samples and first error of the whole stream read at once.
TEST(Reader, PiecesOfAnySizeReadAsTheWholeStream) {
    std::mt19937 gen(fakes::test_seed());
    for (const NamedStream &s : valid_streams()) {
        for (int round = 0; round < 20; ++round) {
            Bytes stream = s.bytes;
            if (round % 2) stream[gen() % stream.size()] ^= static_cast<uint8_t>(1 + gen() % 255);
            if (round % 3 == 2) stream.resize(gen() % (stream.size() + 1));
            const ReadResult whole = read_stream(stream.data(), stream.size());
            Collected got;
            pcmpack_reader::IncrementalReader reader(got, true);
            // Pieces of 1 byte up to a few frames.
            const size_t largest = round < 5 ? 1 : 1 + gen() % 20000;
            for (size_t at = 0; at < stream.size();) {
                const size_t n = std::min(stream.size() - at, 1 + gen() % largest);
                if (!reader.feed(stream.data() + at, n)) break;
                at += n;
            }
            reader.finish();
            ASSERT_EQ(reader.ok(), whole.ok) << s.name << " round " << round;
            EXPECT_EQ(reader.error(), whole.error) << s.name << " round " << round;
            EXPECT_EQ(reader.error_offset(), whole.error_offset) << s.name;
            ASSERT_EQ(got.frames.size(), whole.frames.size()) << s.name << " round " << round;
            for (size_t i = 0; i < got.frames.size(); ++i) {
                EXPECT_EQ(got.frames[i].offset, whole.frames[i].offset);
                EXPECT_EQ(got.frames[i].timestamp, whole.frames[i].timestamp);
            }
            EXPECT_TRUE(got.samples == whole.samples) << s.name << " round " << round;
        }
    }
}

}  // namespace

namespace {

// Another encoder's groups: its AES3 input's validity, user and channel
// status bits (here all 0), the frame bit every 192 sample periods of the
// whole stream, not of each block.
Bytes block_302m_of_another_writer(const std::vector<uint32_t> &values, int channels, int bits,
                                   size_t periods_before) {
    Bytes block = block_302m(values, channels, bits);
    block.resize(4);
    const size_t pairs = size_t(channels / 2);
    for (size_t g = 0; g < values.size() / 2; ++g) {
        BitWriter w;
        w.sample_lsb_first(values[2 * g], bits);
        w.put(0), w.put(0), w.put(0), w.put((periods_before + g / pairs) % 192 == 0);
        w.sample_lsb_first(values[2 * g + 1], bits);
        w.put(0), w.put(0), w.put(0), w.put(0);
        append(block, w.bytes);
    }
    return block;
}

// A container's 302M track whose blocks follow no video frame: each frame
// as long as its header says, in whole sample periods, timed by the periods
// before it; the marker nibbles held to ours only when the first frame has
// them; a fault named with the time of its frame.
TEST(Reader, Smpte302mFramesOfAnyLengthFromAContainer) {
    struct Case {
        const char *name;
        int channels, bits;
        std::vector<uint32_t> periods;  // of each frame
        std::vector<bool> ours;         // whose markers each frame carries
        int damage;       // 0 none, 1 last payload one byte over, 2 last payload 0, 3 last cut short
        bool ok;
        const char *error;
        double error_seconds;
    };
    const Case cases[] = {
        {"ffmpeg_lengths_ours", 2, 16, {1098, 1115, 1114, 17}, {true, true, true, true}, 0, true, "", -1},
        {"ffmpeg_lengths_theirs", 4, 20, {1098, 1115, 1114, 17}, {false, false, false, false}, 0, true, "", -1},
        {"fixed_1920_theirs", 8, 24, {1920, 1920, 1920}, {false, false, false}, 0, true, "", -1},
        {"ours_then_theirs", 2, 24, {1098, 1115}, {true, false}, 0, false, "302M group 0", 1098 / 48000.0},
        {"payload_not_whole_periods", 2, 16, {1098, 1115}, {false, false}, 1, false,
         "302M header gives payload size 5576, not whole sample periods of 5 bytes", 1098 / 48000.0},
        {"payload_empty", 6, 20, {1098, 1115}, {false, false}, 2, false,
         "302M header gives payload size 0, not whole sample periods of 18 bytes", 1098 / 48000.0},
        {"last_cut_short", 2, 16, {1098, 1115, 1114}, {false, false, false}, 3, false,
         "truncated frame: 5574 bytes expected, 100 left", 2213 / 48000.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes track;
        std::vector<uint32_t> all;
        std::vector<uint64_t> offsets;
        size_t before = 0;
        for (size_t k = 0; k < c.periods.size(); ++k) {
            const std::vector<uint32_t> values =
                sample_values(c.periods[k] * size_t(c.channels), c.bits, uint32_t(k + 1));
            offsets.push_back(8 + track.size());
            append(track, c.ours[k] ? block_302m(values, c.channels, c.bits)
                                    : block_302m_of_another_writer(values, c.channels, c.bits, before));
            all.insert(all.end(), values.begin(), values.end());
            before += c.periods[k];
        }
        const size_t last = offsets.back() - 8;
        if (c.damage == 1) ++track[last + 1];
        if (c.damage == 2) track[last] = track[last + 1] = 0;
        if (c.damage == 3) track.resize(last + 100);
        pcmpack_format::StreamParams params;
        params.layer = pcmpack_format::kLayer302m;
        params.channels = c.channels;
        params.bits = c.bits;
        params.sample_rate = 48000;
        params.frame_rate_code = pcmpack_format::kNoFrameRate;
        Collected got;
        pcmpack_reader::IncrementalReader reader(got, true);
        ASSERT_TRUE(reader.begin(params)) << reader.error();
        // In access units as a demuxer hands them.
        for (size_t k = 0; k < offsets.size(); ++k) {
            const size_t from = offsets[k] - 8;
            const size_t to = k + 1 < offsets.size() ? offsets[k + 1] - 8 : track.size();
            if (!reader.feed(track.data() + from, to - from)) break;
        }
        reader.finish();
        ASSERT_EQ(reader.ok(), c.ok) << reader.error();
        if (!c.ok) {
            EXPECT_NE(reader.error().find(c.error), std::string::npos) << reader.error();
            EXPECT_EQ(reader.error_offset(), offsets[got.frames.size()] + (c.damage ? 0 : 4));
            EXPECT_DOUBLE_EQ(reader.error_seconds(), c.error_seconds);
            continue;
        }
        ASSERT_EQ(got.frames.size(), c.periods.size());
        uint64_t periods = 0;
        for (size_t k = 0; k < got.frames.size(); ++k) {
            EXPECT_EQ(got.frames[k].offset, offsets[k]);
            EXPECT_EQ(got.frames[k].sample_periods, c.periods[k]);
            EXPECT_EQ(got.frames[k].timestamp, int64_t(periods * 562.5));
            periods += c.periods[k];
        }
        EXPECT_TRUE(got.samples == left_justified(all, c.bits)) << "samples differ";
    }
}

}  // namespace
