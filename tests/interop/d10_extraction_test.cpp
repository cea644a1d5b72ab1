// SPDX-License-Identifier: BSD-2-Clause
// D-10 audio elements through the sample extraction that open-source MXF
// readers apply to them: skip the 4-byte element header; then, for every
// sample period, read one little-endian 32-bit word per channel, take the
// 24-bit sample from word bits 4 to 27, and skip the words of the unused
// slots up to eight.
//
// Our channel word holds the input sample's 20 most significant bits in
// word bits 4 to 23 and zero in bits 24 to 27. Such a reader therefore
// recovers the input sample shifted right by 4 bits with the top nibble
// clear: the audio 24 dB down, and every negative sample read as a large
// positive one, since the sign bit lands in bit 19. The 20 most significant
// bits are all there: read as a 20-bit sample (bits 4 to 23, sign in bit 23)
// the word gives them back exactly.
#include <gtest/gtest.h>

#include <iterator>
#include <tuple>

#include "interop/stream_frames.h"
#include "support/host_fakes.h"

namespace {

using interop::Encoded;

using interop::kCadence;

uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The MXF readers' extraction, as described above: 24-bit samples, unsigned
// as read, interleaved.
std::vector<uint32_t> mxf_extract_24(const std::vector<uint8_t> &element, int channels) {
    std::vector<uint32_t> samples;
    const uint8_t *p = element.data() + 4;
    const uint8_t *end = element.data() + element.size();
    while (end - p >= channels * 4) {
        for (int c = 0; c < channels; ++c, p += 4) samples.push_back((le32(p) >> 4) & 0xFFFFFF);
        p += 32 - channels * 4;  // an element always stores eight slots
    }
    return samples;
}

// The same words read as 20-bit samples: bits 4 to 23, sign-extended.
int32_t as_20_bit(const std::vector<uint8_t> &element, size_t period, int slot) {
    const uint32_t word = le32(element.data() + 4 + period * 32 + slot * 4);
    const int32_t v = static_cast<int32_t>((word >> 4) & 0xFFFFF);
    return v >= 0x80000 ? v - 0x100000 : v;
}

using Case = std::tuple<int /*channels*/, int /*quantization*/, int /*frame rate code*/>;

class D10Extraction : public ::testing::TestWithParam<Case> {};

TEST_P(D10Extraction, RecoversTheTopTwentyBitsFourBitsDown) {
    const auto [channels, quantization, code] = GetParam();
    size_t periods = 0;
    for (int step = 0; step < 5; ++step) periods += kCadence[code][step];
    const uint32_t seed = 11000u + channels * 100u + quantization * 10u + code;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<int32_t> audio = interop::make_audio(periods, channels, 24, seed);
    const pcm_a_settings settings{channels - 1, PCM_LAYER_AES3_D10, 0, 0, quantization, 128};
    const Encoded enc = interop::encode(settings, 0, code, 48000, interop::to_bytes(audio, 3, false));
    ASSERT_TRUE(enc.ok) << enc.failure;
    ASSERT_EQ(enc.frames.size(), 5u);

    size_t first_period = 0, mismatches = 0;
    for (size_t e = 0; e < enc.frames.size(); ++e) {
        const std::vector<uint8_t> &element = enc.frames[e];
        const size_t n = kCadence[code][e];
        ASSERT_EQ(element.size(), 4 + n * 32) << "element " << e;
        const std::vector<uint32_t> got = mxf_extract_24(element, channels);
        ASSERT_EQ(got.size(), n * channels) << "element " << e;
        for (size_t i = 0; i < got.size(); ++i) {
            const size_t period = i / channels;
            const int slot = static_cast<int>(i % channels);
            const int32_t fed = audio[(first_period + period) * channels + slot];
            const uint32_t want = (static_cast<uint32_t>(fed) & 0xFFFFFF) >> 4;
            const int32_t top20 = fed >> 4;  // arithmetic: the signed 20-bit value
            if ((got[i] != want || as_20_bit(element, period, slot) != top20) &&
                ++mismatches <= 5) {
                ADD_FAILURE() << "element " << e << " sample period " << period << " channel "
                              << slot << ": read " << got[i] << ", expected " << want
                              << " (fed " << fed << ")";
            }
            // Bit 23 of what the reader gets is never set: no sample reads negative.
            if ((got[i] & 0x800000) && ++mismatches <= 5) ADD_FAILURE() << "negative read";
        }
        first_period += n;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(first_period, periods);
}

INSTANTIATE_TEST_SUITE_P(
    ChannelsBitsRates, D10Extraction,
    ::testing::Combine(::testing::Values(1, 2, 4, 8), ::testing::Values(1, 2),
                       ::testing::Values(3, 4, 7)),
    [](const ::testing::TestParamInfo<Case> &info) {
        return std::to_string(std::get<0>(info.param)) + "ch_" +
               std::to_string(16 + 4 * std::get<1>(info.param)) + "bit_code" +
               std::to_string(std::get<2>(info.param));
    });

// What a reader makes of a few samples, written out: full scale, the most
// negative value, -1 and a small positive value, on two 24-bit channels.
TEST(D10Extraction, LevelAndSignOfTypicalSamples) {
    struct Row {
        int32_t fed;
        uint32_t read;
    };
    const Row rows[] = {
        {0x7FFFFF, 0x07FFFF},   // full scale: 1/16 of it, 24 dB down
        {-0x800000, 0x080000},  // most negative: read as +524288
        {-1, 0x0FFFFF},         // -1: read as +1048575, near the reader's full scale / 8
        {0x000123, 0x000012},   // the low nibble is lost
    };
    std::vector<int32_t> audio;
    for (const Row &row : rows) {
        audio.push_back(row.fed);
        audio.push_back(row.fed);
    }
    audio.resize(1920 * 2, 0);
    const pcm_a_settings settings{1, PCM_LAYER_AES3_D10, 0, 0, PCM_QUANT_24, 128};
    const Encoded enc = interop::encode(settings, 0, 3, 48000, interop::to_bytes(audio, 3, false));
    ASSERT_TRUE(enc.ok) << enc.failure;
    ASSERT_EQ(enc.frames.size(), 1u);
    // Element header 00 80 07 03, then slot 0 of the first period with its
    // block-start flag: F8 FF 7F 00, slot 1: F1 FF 7F 00, six empty slots.
    const std::vector<uint8_t> start(enc.frames[0].begin(), enc.frames[0].begin() + 16);
    EXPECT_EQ(fakes::hex(start), "00 80 07 03 F8 FF 7F 00 F1 FF 7F 00 00 00 00 00");
    const std::vector<uint32_t> got = mxf_extract_24(enc.frames[0], 2);
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(got[2 * i], rows[i].read) << "row " << i;
        EXPECT_EQ(got[2 * i + 1], rows[i].read) << "row " << i;
    }
}

}  // namespace
