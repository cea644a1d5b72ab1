// SPDX-License-Identifier: BSD-2-Clause
// Planar frames through libavcodec's planar little-endian PCM decoders
// (pcm_s16le_planar for 16-bit, pcm_s24le_planar for 20- and 24-bit), one
// frame per packet, with the channel count and rate given from outside as a
// container would: the frames carry no header. Every sample comes back
// exactly; 20-bit samples keep all three bytes, low nibble included,
// because this layer carries them unchanged.
#include <gtest/gtest.h>

#include <tuple>

#include "interop/libav_decoder.h"
#include "interop/stream_frames.h"

namespace {

using interop::Decoded;
using interop::Encoded;

using interop::kCadence;

using Case = std::tuple<int /*channels*/, int /*quantization*/, int /*frame rate code*/,
                        bool /*big-endian input*/>;

class PlanarDecoder : public ::testing::TestWithParam<Case> {};

TEST_P(PlanarDecoder, RecoversTheAudioExactly) {
    const auto [channels, quantization, code, big_endian] = GetParam();
    const int bits = quantization == 0 ? 16 : 24;
    const int width = quantization == 0 ? 2 : 3;
    size_t periods = 0;
    for (int step = 0; step < 5; ++step) periods += kCadence[code][step];
    periods += 99;  // a padded sixth frame
    const uint32_t seed = 12000u + channels * 100u + quantization * 10u + code + big_endian;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<int32_t> audio = interop::make_audio(periods, channels, bits, seed);
    const pcm_a_settings settings{channels - 1, PCM_LAYER_AES3_PLANAR, 0, 0, quantization, 128};
    const Encoded enc = interop::encode(settings, big_endian ? PCM_INPUT_BIG_ENDIAN : 0, code,
                                        48000, interop::to_bytes(audio, width, big_endian));
    ASSERT_TRUE(enc.ok) << enc.failure;
    ASSERT_EQ(enc.frames.size(), 6u);

    const Decoded dec = interop::decode(quantization == 0 ? "pcm_s16le_planar" : "pcm_s24le_planar",
                                        enc.frames, channels, 48000);
    ASSERT_TRUE(dec.opened) << "libavcodec has no planar PCM decoder";
    ASSERT_TRUE(dec.consistent);
    EXPECT_EQ(dec.sample_format, quantization == 0 ? "s16p" : "s32p");
    EXPECT_EQ(dec.channels, channels);
    ASSERT_EQ(dec.packets.size(), 6u);
    size_t total = 0;
    for (size_t i = 0; i < dec.packets.size(); ++i) {
        EXPECT_EQ(dec.packets[i].send_result, 0) << "frame " << i;
        EXPECT_EQ(dec.packets[i].samples, kCadence[code][i % 5]) << "frame " << i;
        total += kCadence[code][i % 5];
    }
    ASSERT_EQ(dec.samples.size(), total * channels);
    size_t mismatches = 0;
    for (size_t i = 0; i < dec.samples.size(); ++i) {
        const int32_t fed = i < audio.size() ? audio[i] : 0;
        const int32_t want =
            quantization == 0 ? fed : static_cast<int32_t>(static_cast<uint32_t>(fed) << 8);
        if (dec.samples[i] != want && ++mismatches <= 5) {
            ADD_FAILURE() << "sample period " << i / channels << " channel " << i % channels
                          << ": decoded " << dec.samples[i] << ", expected " << want;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ChannelsBitsRates, PlanarDecoder,
    ::testing::Values(Case{1, 0, 3, false}, Case{2, 0, 4, false}, Case{8, 0, 7, true},
                      Case{3, 1, 4, false}, Case{2, 1, 1, true}, Case{6, 2, 4, false},
                      Case{8, 2, 8, true}, Case{5, 2, 7, false}),
    [](const ::testing::TestParamInfo<Case> &info) {
        return std::to_string(std::get<0>(info.param)) + "ch_" +
               std::to_string(16 + 4 * std::get<1>(info.param)) + "bit_code" +
               std::to_string(std::get<2>(info.param)) +
               (std::get<3>(info.param) ? "_big_endian" : "");
    });

}  // namespace
