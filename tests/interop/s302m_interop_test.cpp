// SPDX-License-Identifier: BSD-2-Clause
// SMPTE 302M blocks through libavcodec's s302m decoder: the stream header
// stripped, one block per packet, as a transport stream demultiplexer hands
// them over. The decoder must give back the audio that went in: 16-bit
// samples exactly, 24-bit samples exactly (in the top 24 bits of a 32-bit
// word), 20-bit samples as the 20 most significant bits of the 24 fed.
#include <gtest/gtest.h>

#include <tuple>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "interop/libav_decoder.h"
#include "interop/stream_frames.h"

namespace {

using interop::Decoded;
using interop::Encoded;

using interop::kCadence;

// What the decoder calls each channel count (our channels are in order 0..n-1
// and it keeps that order).
uint64_t layout_for(int channels) {
    switch (channels) {
    case 2: return AV_CH_LAYOUT_STEREO;
    case 4: return AV_CH_LAYOUT_QUAD;
    case 6: return AV_CH_LAYOUT_5POINT1_BACK;
    default: return AV_CH_LAYOUT_5POINT1_BACK | AV_CH_LAYOUT_STEREO_DOWNMIX;
    }
}

// The value the decoder yields for an input sample: 16-bit as is; 20- and
// 24-bit left-justified in 32 bits, 20-bit without the 4 bits it drops.
int32_t recovered(int32_t input, int quantization) {
    if (quantization == 0) return input;
    uint32_t u = static_cast<uint32_t>(input) << 8;
    if (quantization == 1) u &= 0xFFFFF000u;
    return static_cast<int32_t>(u);
}

using Case = std::tuple<int /*channels*/, int /*quantization*/, int /*frame rate code*/,
                        bool /*big-endian input*/>;

class S302mDecoder : public ::testing::TestWithParam<Case> {};

TEST_P(S302mDecoder, RecoversTheAudio) {
    const auto [channels, quantization, code, big_endian] = GetParam();
    const int bits = quantization == 0 ? 16 : 24;
    const int width = quantization == 0 ? 2 : 3;
    // Five whole frames (a full cadence) and a partial sixth, which the
    // encoder pads with silence.
    size_t periods = 0;
    for (int step = 0; step < 5; ++step) periods += kCadence[code][step];
    periods += 333;
    const uint32_t seed = 302u * 1000u + channels * 100u + quantization * 10u + code;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<int32_t> audio = interop::make_audio(periods, channels, bits, seed);

    const pcm_a_settings settings{channels - 1, PCM_LAYER_AES3_302M, 0, 0, quantization, 128};
    const Encoded enc = interop::encode(settings, big_endian ? PCM_INPUT_BIG_ENDIAN : 0, code,
                                        48000, interop::to_bytes(audio, width, big_endian));
    ASSERT_TRUE(enc.ok) << enc.failure;
    ASSERT_EQ(enc.frames.size(), 6u);

    const Decoded dec = interop::decode("s302m", enc.frames);
    ASSERT_TRUE(dec.opened) << "libavcodec has no s302m decoder";
    ASSERT_TRUE(dec.consistent);
    EXPECT_EQ(dec.sample_format, quantization == 0 ? "s16" : "s32");
    EXPECT_EQ(dec.channels, channels);
    EXPECT_EQ(dec.channel_mask, layout_for(channels));
    EXPECT_EQ(dec.sample_rate, 48000);
    EXPECT_EQ(dec.bits_per_raw_sample, 16 + 4 * quantization);
    ASSERT_EQ(dec.packets.size(), 6u);
    for (size_t i = 0; i < dec.packets.size(); ++i) {
        EXPECT_EQ(dec.packets[i].send_result, 0) << "block " << i;
        EXPECT_EQ(dec.packets[i].samples, kCadence[code][i % 5]) << "block " << i;
    }
    size_t total = 0;
    for (int step = 0; step < 6; ++step) total += kCadence[code][step % 5];
    ASSERT_EQ(dec.samples.size(), total * channels);
    size_t mismatches = 0;
    for (size_t i = 0; i < dec.samples.size(); ++i) {
        const int32_t want = i < audio.size() ? recovered(audio[i], quantization) : 0;
        if (dec.samples[i] != want && ++mismatches <= 5) {
            ADD_FAILURE() << "sample period " << i / channels << " channel " << i % channels
                          << ": decoded " << dec.samples[i] << ", fed " << audio[i]
                          << ", expected " << want;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ChannelsBitsRates, S302mDecoder,
    ::testing::Combine(::testing::Values(2, 4, 6, 8), ::testing::Values(0, 1, 2),
                       ::testing::Values(1, 3, 4, 7), ::testing::Values(false)),
    [](const ::testing::TestParamInfo<Case> &info) {
        return std::to_string(std::get<0>(info.param)) + "ch_" +
               std::to_string(16 + 4 * std::get<1>(info.param)) + "bit_code" +
               std::to_string(std::get<2>(info.param)) +
               (std::get<3>(info.param) ? "_big_endian" : "");
    });

// Big-endian host samples give the same blocks, so the same decoded audio.
INSTANTIATE_TEST_SUITE_P(
    BigEndianInput, S302mDecoder,
    ::testing::Values(Case{2, 0, 8, true}, Case{4, 1, 5, true}, Case{8, 2, 2, true},
                      Case{6, 2, 6, true}),
    [](const ::testing::TestParamInfo<Case> &info) {
        return std::to_string(std::get<0>(info.param)) + "ch_" +
               std::to_string(16 + 4 * std::get<1>(info.param)) + "bit_code" +
               std::to_string(std::get<2>(info.param)) + "_big_endian";
    });

}  // namespace
