// SPDX-License-Identifier: BSD-2-Clause
// HDMV frames (frame header and payload, one frame per packet) through
// libavcodec's pcm_bluray decoder, fed big-endian samples as a disc authoring
// host does: the payload passes through the encoder unchanged and the disc
// format is big-endian.
//
// The channel assignment codes the encoder writes by default for 4, 6 and 8 channels
// (4, 8 and 10) name the layouts 3/0, 3/2 and 3/4, each carried in an even
// number of channels with one padding channel at the end. A reader that
// follows the codes therefore plays 3, 5 and 7 channels and drops the last
// coded channel; for 3/4 it also reorders the surround channels into its
// own speaker order. The tests pin down exactly which input channel each
// decoded channel carries.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <tuple>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "interop/libav_decoder.h"
#include "interop/stream_frames.h"

namespace {

using interop::Decoded;
using interop::Encoded;

struct ChannelReading {
    const char *name;
    int coded_channels;
    int assignment;  // channel assignment code asked for; 0 = the library's default
    int decoded_channels;
    uint64_t layout;
    // Input channel that each decoded channel carries, in decoded order.
    std::vector<int> source;
};

// Mono, 5.1 and 7.1 ride in the frames of 2.0, 3/2 and 3/4, coded as FC and
// padding, FL FR FC Ls Rs LFE, and FL FR FC SL BL BR SR LFE; the decoder
// gives them back in its own speaker order (the LFE after FC).
const ChannelReading kReadings[] = {
    {"2ch", 2, 0, 2, AV_CH_LAYOUT_STEREO, {0, 1}},
    {"4ch", 4, 0, 3, AV_CH_LAYOUT_SURROUND, {0, 1, 2}},
    {"6ch", 6, 0, 5, AV_CH_LAYOUT_5POINT0, {0, 1, 2, 3, 4}},
    {"8ch", 8, 0, 7, AV_CH_LAYOUT_7POINT0, {0, 1, 2, 4, 5, 3, 6}},
    {"mono", 2, PCM_HDMV_MONO, 1, AV_CH_LAYOUT_MONO, {0}},
    {"5_1", 6, PCM_HDMV_5_1, 6, AV_CH_LAYOUT_5POINT1, {0, 1, 2, 5, 3, 4}},
    {"7_1", 8, PCM_HDMV_7_1, 8, AV_CH_LAYOUT_7POINT1, {0, 1, 2, 7, 4, 5, 3, 6}},
};

constexpr int kReadingCount = static_cast<int>(std::size(kReadings));

using Case = std::tuple<int /*index into kReadings*/, int /*quantization*/, int /*sample rate*/>;

class HdmvDecoder : public ::testing::TestWithParam<Case> {};

TEST_P(HdmvDecoder, RecoversTheAudioOfTheAssignedChannels) {
    const auto [reading_index, quantization, rate] = GetParam();
    const ChannelReading &reading = kReadings[reading_index];
    const int channels = reading.coded_channels;
    const int bits = quantization == 0 ? 16 : 24;
    const int width = quantization == 0 ? 2 : 3;
    const int per_frame = rate == 48000 ? 240 : 480;
    const size_t periods = 3 * per_frame + 77;  // three frames and a padded fourth
    const uint32_t seed = 13000u + reading_index * 100u + quantization * 10u + (rate == 96000);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<int32_t> audio = interop::make_audio(periods, channels, bits, seed);

    const pcm_a_settings settings{channels - 1, PCM_LAYER_HDMV_LPCM, 0, 0, quantization, 128};
    const Encoded enc = interop::encode(settings, PCM_INPUT_BIG_ENDIAN, 0, rate,
                                        interop::to_bytes(audio, width, true),
                                        reading.assignment);
    ASSERT_TRUE(enc.ok) << enc.failure;
    ASSERT_EQ(enc.frames.size(), 4u);

    const Decoded dec = interop::decode("pcm_bluray", enc.frames);
    ASSERT_TRUE(dec.opened) << "libavcodec has no pcm_bluray decoder";
    ASSERT_TRUE(dec.consistent);
    EXPECT_EQ(dec.sample_format, quantization == 0 ? "s16" : "s32");
    ASSERT_EQ(dec.channels, reading.decoded_channels);
    EXPECT_EQ(dec.channel_mask, reading.layout);
    EXPECT_EQ(dec.sample_rate, rate);
    ASSERT_EQ(dec.packets.size(), 4u);
    for (size_t i = 0; i < dec.packets.size(); ++i) {
        EXPECT_EQ(dec.packets[i].send_result, 0) << "frame " << i;
        EXPECT_EQ(dec.packets[i].samples, per_frame) << "frame " << i;
    }
    const int out_channels = reading.decoded_channels;
    ASSERT_EQ(dec.samples.size(), static_cast<size_t>(4 * per_frame * out_channels));
    size_t mismatches = 0;
    for (size_t p = 0; p < 4u * per_frame; ++p) {
        for (int c = 0; c < out_channels; ++c) {
            const size_t in = p * channels + reading.source[c];
            const int32_t fed = p < periods ? audio[in] : 0;
            const int32_t want =
                quantization == 0 ? fed : static_cast<int32_t>(static_cast<uint32_t>(fed) << 8);
            const int32_t got = dec.samples[p * out_channels + c];
            if (got != want && ++mismatches <= 5) {
                ADD_FAILURE() << "sample period " << p << " decoded channel " << c
                              << " (input channel " << reading.source[c] << "): decoded " << got
                              << ", expected " << want;
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ChannelsBitsRates, HdmvDecoder,
    ::testing::Combine(::testing::Range(0, kReadingCount), ::testing::Values(0, 2),
                       ::testing::Values(48000, 96000)),
    [](const ::testing::TestParamInfo<Case> &info) {
        return std::string(kReadings[std::get<0>(info.param)].name) + "_" +
               std::to_string(16 + 4 * std::get<1>(info.param)) + "bit_" +
               std::to_string(std::get<2>(info.param) / 1000) + "k";
    });

// The bits-per-sample code 2 that 20-bit frames carry names no word length
// this decoder plays: it refuses every such frame and yields no audio.
TEST(HdmvDecoder, RefusesTwentyBitFrames) {
    for (int channels : {2, 8}) {
        SCOPED_TRACE(std::to_string(channels) + " channels");
        const std::vector<int32_t> audio = interop::make_audio(480, channels, 24, 20u + channels);
        const pcm_a_settings settings{channels - 1, PCM_LAYER_HDMV_LPCM, 0, 0, PCM_QUANT_20, 128};
        const Encoded enc = interop::encode(settings, PCM_INPUT_BIG_ENDIAN, 0, 48000,
                                            interop::to_bytes(audio, 3, true));
        ASSERT_TRUE(enc.ok) << enc.failure;
        ASSERT_EQ(enc.frames.size(), 2u);
        ASSERT_EQ(enc.frames[0][3], 0x80);  // bits-per-sample code 2
        const Decoded dec = interop::decode("pcm_bluray", enc.frames);
        ASSERT_TRUE(dec.opened);
        ASSERT_EQ(dec.packets.size(), 2u);
        for (const interop::DecodedPacket &packet : dec.packets) {
            EXPECT_LT(packet.send_result, 0);
            EXPECT_EQ(packet.samples, 0);
        }
        EXPECT_TRUE(dec.samples.empty());
    }
}

}  // namespace
