// SPDX-License-Identifier: BSD-2-Clause
// Planar AES3 frames as the library writes them: no header, one
// little-endian plane per channel, each as long as the frame's own cadence
// step, the zero fill of the last frame at the planes' tails.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/host_fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode_planar(int channels, int quantization, int32_t flags, int code, const Bytes &input) {
    return fakes::encode_in_one_call(fakes::make_settings(channels, 12, quantization), flags, code,
                                     input);
}

using fakes::slice;

TEST(PackPlanar, TwoChannelsTwoSamplePeriods) {
    // 50 frames/s: planes of 960 samples of 2 bytes.
    const Bytes input = {0xA0, 0xA1, 0xB0, 0xB1, 0xA2, 0xA3, 0xB2, 0xB3};
    struct Case {
        int32_t flags;
        const char *left, *right;
    };
    const Case cases[] = {
        {0, "A0 A1 A2 A3 00 00", "B0 B1 B2 B3 00 00"},
        {PCM_INPUT_BIG_ENDIAN, "A1 A0 A3 A2 00 00", "B1 B0 B3 B2 00 00"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags);
        const Bytes stream = encode_planar(2, 0, c.flags, 6, input);
        ASSERT_EQ(stream.size(), 8u + 2u * 960u * 2u);
        EXPECT_EQ(fakes::hex(slice(stream, 8, 6)), c.left);
        EXPECT_EQ(fakes::hex(slice(stream, 8 + 1920, 6)), c.right);
        // The zero-filled tails run to the end of each plane.
        EXPECT_EQ(slice(stream, 8 + 4, 1916), Bytes(1916, 0));
        EXPECT_EQ(slice(stream, 8 + 1920 + 4, 1916), Bytes(1916, 0));
    }
}

TEST(PackPlanar, ThreeByteSamplesLeaveLittleEndian) {
    struct Case {
        int quantization;
        int32_t flags;
        Bytes sample;
        const char *written;
    };
    const Case cases[] = {
        {2, PCM_INPUT_BIG_ENDIAN, {0x12, 0x34, 0x56}, "56 34 12"},
        {2, 0, {0x12, 0x34, 0x56}, "12 34 56"},
        // 20-bit samples keep their low four bits.
        {1, 0, {0x1F, 0x34, 0x56}, "1F 34 56"},
        {1, PCM_INPUT_BIG_ENDIAN, {0x12, 0x34, 0x5F}, "5F 34 12"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.written);
        const Bytes stream = encode_planar(1, c.quantization, c.flags, 8, c.sample);
        ASSERT_EQ(stream.size(), 8u + 800u * 3u);
        EXPECT_EQ(fakes::hex(slice(stream, 8, 6)), std::string(c.written) + " 00 00 00");
    }
}

// Every byte of random frames against the layout, for one and eight
// channels, all word lengths and both byte orders, across a 1602/1601
// cadence so that the short frames' planes are checked too.
TEST(PackPlanar, PlanesFollowEachFramesOwnLength) {
    std::mt19937 gen(fakes::test_seed());
    const size_t cadence[] = {1602, 1601, 1602};
    for (int channels : {1, 8}) {
        for (int quantization : {0, 1, 2}) {
            for (int32_t flags : {0, PCM_INPUT_BIG_ENDIAN}) {
                SCOPED_TRACE(testing::Message() << channels << " channels, quantization "
                                                << quantization << ", flags " << flags);
                const size_t w = quantization == 0 ? 2 : 3;
                const size_t input_size = (1602 + 1601 + 1602) * channels * w;
                const Bytes input = fakes::random_bytes(input_size, static_cast<uint32_t>(gen()));
                const Bytes stream = encode_planar(channels, quantization, flags, 4, input);
                ASSERT_EQ(stream.size(), 8 + input_size);
                size_t in = 0, out = 8;
                for (size_t n : cadence) {
                    const size_t plane = n * w;
                    for (size_t p = 0; p < n; ++p) {
                        for (int ch = 0; ch < channels; ++ch, in += w) {
                            for (size_t b = 0; b < w; ++b) {
                                const uint8_t want = input[in + (flags ? w - 1 - b : b)];
                                ASSERT_EQ(stream[out + ch * plane + p * w + b], want)
                                    << "frame at " << out << ", period " << p << ", channel " << ch;
                            }
                        }
                    }
                    out += plane * channels;
                }
            }
        }
    }
}

TEST(PackPlanar, ShortCadenceFrameHasShortPlanes) {
    // Eight 16-bit channels at 30000/1001; the second frame has 1601 periods.
    // Channel ch's samples are all 0x0ch0, so each plane is uniform.
    Bytes input;
    for (int p = 0; p < 1602 + 1601; ++p) {
        for (int ch = 0; ch < 8; ++ch)
            input.insert(input.end(), {static_cast<uint8_t>(ch << 4), 0x0A});
    }
    const Bytes stream = encode_planar(8, 0, 0, 4, input);
    const size_t second = 8 + 1602 * 16;
    ASSERT_EQ(stream.size(), second + 1601 * 16);
    for (int ch = 0; ch < 8; ++ch) {
        const size_t start = second + static_cast<size_t>(ch) * 1601 * 2;
        EXPECT_EQ(fakes::hex(slice(stream, start, 2)),
                  fakes::hex({static_cast<uint8_t>(ch << 4), 0x0A}))
            << "channel " << ch;
        EXPECT_EQ(fakes::hex(slice(stream, start + 1600 * 2, 2)),
                  fakes::hex({static_cast<uint8_t>(ch << 4), 0x0A}))
            << "channel " << ch;
    }
}

TEST(PackPlanar, LastFrameTailsAreZeroSamples) {
    // Three 24-bit channels at 60 frames/s, 10 sample periods given.
    const Bytes input = fakes::random_bytes(10 * 9, 41);
    const Bytes stream = encode_planar(3, 2, 0, 8, input);
    ASSERT_EQ(stream.size(), 8u + 800u * 9u);
    for (size_t ch = 0; ch < 3; ++ch) {
        const size_t plane = 8 + ch * 2400;
        EXPECT_EQ(fakes::hex(slice(stream, plane + 9 * 3, 3)),
                  fakes::hex(slice(input, 9 * 9 + ch * 3, 3)));
        EXPECT_EQ(slice(stream, plane + 30, 2400 - 30), Bytes(2400 - 30, 0)) << "channel " << ch;
    }
}

}  // namespace
