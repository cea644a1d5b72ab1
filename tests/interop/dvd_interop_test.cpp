// SPDX-License-Identifier: BSD-2-Clause
// DVD linear PCM frames through libavcodec's pcm_dvd decoder. On a disc each
// frame travels in a private stream packet whose payload opens with a 3-byte
// LPCM header; a multiplexer builds it from the fields of our "LPCM" stream
// header, and so does this test:
//   byte 0: emphasis (bit 7), mute (bit 6), audio frame number (bits 4-0)
//   byte 1: quantization (bits 7-6), sampling frequency 0 = 48 kHz,
//           1 = 96 kHz (bits 5-4), channels - 1 (bits 2-0)
//   byte 2: dynamic range
// The decoder plays the 16-bit samples back exactly. It acts on none of the
// emphasis, mute and dynamic range fields: the samples come out unchanged
// whatever they say.
#include <gtest/gtest.h>

#include <tuple>

#include "interop/libav_decoder.h"
#include "interop/stream_frames.h"

namespace {

using interop::Decoded;
using interop::Encoded;

// The 3-byte LPCM packet header, from our stream header's byte 4 (bit 0:
// 96 kHz, bit 1: emphasis, bits 4-2: channels - 1, bits 6-5: quantization,
// bit 7: mute) and byte 5 (dynamic range).
std::vector<uint8_t> lpcm_packet_header(const std::vector<uint8_t> &stream_header,
                                        int frame_number) {
    const uint8_t b4 = stream_header[4];
    const int rate_96k = b4 & 1, emphasis = (b4 >> 1) & 1, channels_minus_one = (b4 >> 2) & 7,
              quantization = (b4 >> 5) & 3, mute = (b4 >> 7) & 1;
    return {static_cast<uint8_t>(emphasis << 7 | mute << 6 | (frame_number % 20)),
            static_cast<uint8_t>(quantization << 6 | rate_96k << 4 | channels_minus_one),
            stream_header[5]};
}

struct DvdCase {
    const char *name;
    int channels;
    int rate;
    int emphasis, mute, dynamic_range;
    bool big_endian;
};

class DvdDecoder : public ::testing::TestWithParam<DvdCase> {};

TEST_P(DvdDecoder, RecoversTheAudioExactly) {
    const DvdCase &c = GetParam();
    const int per_frame = c.rate == 48000 ? 80 : 160;
    const size_t periods = 7 * per_frame + 31;  // seven frames and a padded eighth
    const uint32_t seed = 4000u + c.channels * 10u + (c.rate == 96000) + c.mute * 2u +
                          c.emphasis * 4u + c.big_endian * 8u;
    SCOPED_TRACE(std::string("seed ") + std::to_string(seed));
    const std::vector<int32_t> audio = interop::make_audio(periods, c.channels, 16, seed);

    const pcm_a_settings settings{c.channels - 1, PCM_LAYER_DVD_LPCM, c.emphasis, c.mute, 0,
                                  c.dynamic_range};
    const Encoded enc = interop::encode(settings, c.big_endian ? PCM_INPUT_BIG_ENDIAN : 0, 0,
                                        c.rate, interop::to_bytes(audio, 2, c.big_endian));
    ASSERT_TRUE(enc.ok) << enc.failure;
    ASSERT_EQ(enc.frames.size(), 8u);

    std::vector<std::vector<uint8_t>> packets;
    for (size_t i = 0; i < enc.frames.size(); ++i) {
        std::vector<uint8_t> packet = lpcm_packet_header(enc.stream_header, static_cast<int>(i));
        packet.insert(packet.end(), enc.frames[i].begin(), enc.frames[i].end());
        packets.push_back(packet);
    }
    // The header this test builds says what the settings say.
    EXPECT_EQ(packets[0][0] >> 6, c.emphasis << 1 | c.mute);
    EXPECT_EQ(packets[0][1], (c.rate == 96000 ? 0x10 : 0x00) | (c.channels - 1));
    EXPECT_EQ(packets[0][2], c.dynamic_range & 0xFF);

    const Decoded dec = interop::decode("pcm_dvd", packets);
    ASSERT_TRUE(dec.opened) << "libavcodec has no pcm_dvd decoder";
    ASSERT_TRUE(dec.consistent);
    EXPECT_EQ(dec.sample_format, "s16");
    EXPECT_EQ(dec.channels, c.channels);
    EXPECT_EQ(dec.sample_rate, c.rate);
    ASSERT_EQ(dec.packets.size(), 8u);
    for (size_t i = 0; i < dec.packets.size(); ++i) {
        EXPECT_EQ(dec.packets[i].send_result, 0) << "frame " << i;
        EXPECT_EQ(dec.packets[i].samples, per_frame) << "frame " << i;
    }
    ASSERT_EQ(dec.samples.size(), static_cast<size_t>(8 * per_frame * c.channels));
    size_t mismatches = 0;
    for (size_t i = 0; i < dec.samples.size(); ++i) {
        const int32_t want = i < audio.size() ? audio[i] : 0;
        if (dec.samples[i] != want && ++mismatches <= 5) {
            ADD_FAILURE() << "sample period " << i / c.channels << " channel " << i % c.channels
                          << ": decoded " << dec.samples[i] << ", expected " << want;
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

const DvdCase kCases[] = {
    {"Stereo48k", 2, 48000, 0, 0, 128, false},
    {"Mono48k", 1, 48000, 0, 0, 128, false},
    {"Stereo96k", 2, 96000, 0, 0, 128, false},
    {"Mono96k", 1, 96000, 0, 0, 128, false},
    {"Stereo48kBigEndianInput", 2, 48000, 0, 0, 128, true},
    {"Stereo48kEmphasis", 2, 48000, 1, 0, 128, false},
    {"Stereo96kMuted", 2, 96000, 0, 1, 128, false},
    {"Mono48kEmphasisMutedDynamicRange", 1, 48000, 1, 1, 0x55, true},
};

INSTANTIATE_TEST_SUITE_P(Streams, DvdDecoder, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DvdCase> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
