// SPDX-License-Identifier: BSD-2-Clause
// SMPTE 302M data blocks as the library writes them: the 4-byte header, the
// bit-reversed channel-pair groups with their marker nibbles, and the
// block-start bit on every 192nd group of each block.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/host_fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Encodes `input` at layer 10 in one call and flushes; returns the stream.
Bytes encode_302m(int channels, int quantization, int32_t flags, int code, const Bytes &input) {
    return fakes::encode_in_one_call(fakes::make_settings(channels, 10, quantization), flags, code,
                                     input);
}

using fakes::slice;

// A group as the format sends it, bit by bit, most significant bit of each
// byte first: sample one least significant bit first, 1 0 0 b, sample two,
// 1 0 0 0.
Bytes reference_group(uint32_t first, uint32_t second, int bits, bool block_start) {
    Bytes out;
    int used = 8;
    auto put = [&](unsigned bit) {
        if (used == 8) out.push_back(0), used = 0;
        if (bit) out.back() |= static_cast<uint8_t>(0x80 >> used);
        ++used;
    };
    for (int i = 0; i < bits; ++i) put((first >> i) & 1);
    put(1), put(0), put(0), put(block_start);
    for (int i = 0; i < bits; ++i) put((second >> i) & 1);
    put(1), put(0), put(0), put(0);
    return out;
}

// The audio value of the input sample at `p` that the block carries: 16 or
// 24 bits whole, or the 20 most significant of 24.
uint32_t carried_value(const uint8_t *p, int quantization, bool big_endian) {
    if (quantization == 0) return big_endian ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]);
    const uint32_t v =
        big_endian ? (p[0] << 16 | p[1] << 8 | p[2]) : (p[2] << 16 | p[1] << 8 | p[0]);
    return quantization == 1 ? v >> 4 : v;
}

// Payload groups of one block built from the format for the given input.
Bytes reference_groups(const uint8_t *input, size_t periods, int channels, int quantization,
                       bool big_endian) {
    const int width = quantization == 0 ? 2 : 3;
    const int bits = 16 + 4 * quantization;
    Bytes out;
    size_t group = 0;
    for (size_t p = 0; p < periods; ++p) {
        for (int pair = 0; pair < channels / 2; ++pair, ++group) {
            const uint8_t *s = input + (p * channels + 2 * pair) * width;
            const Bytes g = reference_group(carried_value(s, quantization, big_endian),
                                            carried_value(s + width, quantization, big_endian),
                                            bits, group % 192 == 0);
            out.insert(out.end(), g.begin(), g.end());
        }
    }
    return out;
}

TEST(Pack302m, ReferenceGroupsMatchTheFormatExamples) {
    EXPECT_EQ(fakes::hex(reference_group(0x0001, 0x8000, 16, true)), "80 00 90 00 18");
    EXPECT_EQ(fakes::hex(reference_group(0, 0, 20, false)), "00 00 08 00 00 08");
    EXPECT_EQ(fakes::hex(reference_group(0, 0, 24, true)), "00 00 00 90 00 00 08");
}

TEST(Pack302m, FirstPairOfAFrameInBothByteOrders) {
    struct Case {
        int32_t flags;
        Bytes input;
    };
    const Case cases[] = {
        {0, {0x01, 0x00, 0x00, 0x80}},
        {PCM_INPUT_BIG_ENDIAN, {0x00, 0x01, 0x80, 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags);
        const Bytes stream = encode_302m(2, 0, c.flags, 4, c.input);
        // Header: 1602 periods of one 5-byte group, 8010 = 0x1F4A bytes.
        ASSERT_EQ(stream.size(), 8u + 4u + 8010u);
        EXPECT_EQ(fakes::hex(slice(stream, 8, 4)), "1F 4A 00 00");
        EXPECT_EQ(fakes::hex(slice(stream, 12, 5)), "80 00 90 00 18");
        EXPECT_EQ(fakes::hex(slice(stream, 12 + 5, 5)), "00 00 80 00 08");
    }
}

// The zero-filled tail of the last frame: every group is the marker pattern
// alone, with the block-start bit on groups 0, 192, 384, ...
TEST(Pack302m, ZeroFilledFrameGroups) {
    struct Case {
        int quantization;
        Bytes plain, block_start;
    };
    const Case cases[] = {
        {0, {0x00, 0x00, 0x80, 0x00, 0x08}, {0x00, 0x00, 0x90, 0x00, 0x08}},
        {1, {0x00, 0x00, 0x08, 0x00, 0x00, 0x08}, {0x00, 0x00, 0x09, 0x00, 0x00, 0x08}},
        {2, {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x08}, {0x00, 0x00, 0x00, 0x90, 0x00, 0x00, 0x08}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "quantization " << c.quantization);
        // Four channels at 50 frames/s: 960 periods, two groups each.
        const Bytes stream = encode_302m(4, c.quantization, 0, 6, Bytes(1, 0));
        const size_t group = c.plain.size();
        ASSERT_EQ(stream.size(), 8u + 4u + 960u * 2u * group);
        int block_starts = 0;
        for (size_t g = 0; g < 1920; ++g) {
            const Bytes want = g % 192 == 0 ? c.block_start : c.plain;
            ASSERT_EQ(fakes::hex(slice(stream, 12 + g * group, group)), fakes::hex(want))
                << "group " << g;
            block_starts += g % 192 == 0;
        }
        EXPECT_EQ(block_starts, 10);
    }
}

TEST(Pack302m, HeaderSizePairsAndWordLength) {
    struct Case {
        int channels, quantization, code;
        size_t skip_frames;  // frames before the one examined
        Bytes header;
    };
    const Case cases[] = {
        {2, 0, 4, 0, {0x1F, 0x4A, 0x00, 0x00}},  // 1602 x 5
        {2, 0, 4, 1, {0x1F, 0x45, 0x00, 0x00}},  // 1601 x 5
        {8, 2, 1, 0, {0xDA, 0xF8, 0xC0, 0x20}},  // 2002 x 4 x 7 = 56056
        {6, 1, 3, 0, {0x87, 0x00, 0x80, 0x10}},  // 1920 x 3 x 6
        {4, 0, 7, 2, {0x1F, 0x40, 0x40, 0x00}},  // 800 x 2 x 5
        {8, 1, 8, 0, {0x4B, 0x00, 0xC0, 0x10}},  // 800 x 4 x 6
    };
    const int cadence[9][3] = {{0},
                               {2002, 2002, 2002},
                               {2000, 2000, 2000},
                               {1920, 1920, 1920},
                               {1602, 1601, 1602},
                               {1600, 1600, 1600},
                               {960, 960, 960},
                               {801, 801, 800},
                               {800, 800, 800}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.channels << " channels, quantization " << c.quantization);
        const int pairs = c.channels / 2;
        const int in_pair = c.quantization == 0 ? 4 : 6, out_pair = 5 + c.quantization;
        size_t input = 1, offset = 8;
        for (size_t k = 0; k < c.skip_frames; ++k) {
            input += static_cast<size_t>(cadence[c.code][k]) * pairs * in_pair;
            offset += 4 + static_cast<size_t>(cadence[c.code][k]) * pairs * out_pair;
        }
        const Bytes stream = encode_302m(c.channels, c.quantization, 0, c.code, Bytes(input, 0));
        EXPECT_EQ(fakes::hex(slice(stream, offset, 4)), fakes::hex(c.header));
        const size_t payload = static_cast<size_t>(c.header[0]) << 8 | c.header[1];
        EXPECT_EQ(stream.size(), offset + 4 + payload);
    }
}

// Whole blocks against the format for every pair count, word length and byte
// order, from random audio.
TEST(Pack302m, WholeBlocksMatchTheFormat) {
    std::mt19937 gen(fakes::test_seed());
    for (int channels : {2, 4, 6, 8}) {
        for (int quantization : {0, 1, 2}) {
            for (bool big_endian : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << channels << " channels, quantization " << quantization
                             << (big_endian ? ", big" : ", little"));
                const int width = quantization == 0 ? 2 : 3;
                const size_t periods = 800;  // code 8
                const Bytes input =
                    fakes::random_bytes(periods * channels * width, static_cast<uint32_t>(gen()));
                const Bytes stream = encode_302m(channels, quantization,
                                                 big_endian ? PCM_INPUT_BIG_ENDIAN : 0, 8, input);
                const Bytes groups =
                    reference_groups(input.data(), periods, channels, quantization, big_endian);
                ASSERT_EQ(stream.size(), 12u + groups.size());
                EXPECT_EQ(Bytes(stream.begin() + 12, stream.end()), groups);
            }
        }
    }
}

// Where the block-start bit lies: with more than one pair it marks only the
// pair of channels 0 and 1, every 192 / pairs sample periods.
TEST(Pack302m, BlockStartPositions) {
    struct Case {
        int channels;
        std::vector<int> periods;
    };
    const Case cases[] = {
        {2, {0, 192, 384, 576, 768}},
        {4, {0, 96, 192, 288, 384, 480, 576, 672, 768}},
        {6, {0, 64, 128, 192, 256, 320, 384, 448, 512, 576, 640, 704, 768}},
        {8, {0, 48, 96, 144, 192, 240, 288, 336, 384, 432, 480, 528, 576, 624, 672, 720, 768}},
    };
    for (const Case &c : cases) {
        for (int quantization : {0, 1, 2}) {
            SCOPED_TRACE(testing::Message()
                         << c.channels << " channels, quantization " << quantization);
            const int width = quantization == 0 ? 2 : 3;
            const Bytes input = fakes::random_bytes(800u * c.channels * width, 13);
            const Bytes stream = encode_302m(c.channels, quantization, 0, 8, input);
            const size_t group = 5 + quantization;
            // The b bit: last of the first marker nibble.
            const size_t b_byte = quantization == 2 ? 3 : 2;
            const uint8_t b_mask = quantization == 1 ? 0x01 : 0x10;
            std::vector<int> periods;
            for (int p = 0; p < 800; ++p) {
                for (int pair = 0; pair < c.channels / 2; ++pair) {
                    const size_t at =
                        12 + (static_cast<size_t>(p) * (c.channels / 2) + pair) * group;
                    ASSERT_LT(at + group, stream.size() + 1);
                    if (stream[at + b_byte] & b_mask) {
                        EXPECT_EQ(pair, 0) << "period " << p;
                        periods.push_back(p);
                    }
                }
            }
            EXPECT_EQ(periods, c.periods);
        }
    }
}

TEST(Pack302m, TwentyBitDropsTheLowFourInputBits) {
    for (bool big_endian : {false, true}) {
        SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
        const Bytes input = fakes::random_bytes(800 * 6 * 4, 17);
        Bytes changed = input;
        const size_t lsb = big_endian ? 2 : 0;
        for (size_t i = lsb; i < changed.size(); i += 3) changed[i] ^= 0x0F;
        const int32_t flags = big_endian ? PCM_INPUT_BIG_ENDIAN : 0;
        const Bytes a = encode_302m(4, 1, flags, 8, input);
        const Bytes b = encode_302m(4, 1, flags, 8, changed);
        ASSERT_FALSE(a.empty());
        EXPECT_EQ(a, b);
        // The 24-bit layout carries those bits.
        EXPECT_NE(encode_302m(4, 2, flags, 8, input), encode_302m(4, 2, flags, 8, changed));
    }
}

TEST(Pack302m, EveryBlockStartsANewRunOf192) {
    // 60000/1001, stereo 16-bit: blocks of 801, 801, 800 groups.
    const Bytes input = fakes::random_bytes((801 + 801 + 10) * 4, 19);
    const Bytes stream = encode_302m(2, 0, 0, 7, input);
    const size_t starts[] = {8, 8 + 4 + 4005, 8 + 2 * (4 + 4005)};
    ASSERT_EQ(stream.size(), starts[2] + 4 + 4000);
    for (size_t block : starts) {
        SCOPED_TRACE(testing::Message() << "block at " << block);
        for (size_t g = 0; g < 400; ++g) {
            const bool b = stream[block + 4 + g * 5 + 2] & 0x10;
            EXPECT_EQ(b, g % 192 == 0) << "group " << g;
        }
    }
}

}  // namespace
