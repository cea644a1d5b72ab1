// SPDX-License-Identifier: BSD-2-Clause
// What only the encoder's own state can reach. Streams that run for weeks: the
// frame counts pass 2^31 and 2^32 and the timestamps stay exact. The encoder
// is started late through an internal hook, since nobody feeds 41 days of
// audio to a test; the expected times are n / 600 s (DVD), n / 200 s (HDMV)
// and, for AES3, the samples of the first n frames of the cadence times 562.5
// ticks, truncated. And a layer without a descriptor is never packed as
// another layer.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/encoder.h"
#include "support/host_fakes.h"

namespace {

struct LongStream {
    const char *name;
    pcm_a_settings settings;
    int32_t frame_rate_code;
    int64_t start_frame;
    uint32_t input_bytes;  // exactly the next three frames
    aux_record frames[3];
};

const LongStream kLongStreams[] = {
    {"dvd past 2^31", fakes::make_settings(2, PCM_LAYER_DVD_LPCM, PCM_QUANT_16), 0,
     2147483647, 3 * 320,
     {{320, 0, 96636764115000}, {320, 0, 96636764160000}, {320, 0, 96636764205000}}},
    {"hdmv past 2^32", fakes::make_settings(2, PCM_LAYER_HDMV_LPCM, PCM_QUANT_16), 0,
     4294967295, 3 * 960,
     {{964, 0, 579820584825000}, {964, 0, 579820584960000}, {964, 0, 579820585095000}}},
    // 30000/1001: 1602, 1601, 1602, 1601, 1602 samples; 2^32 - 1 is a cycle start.
    {"302m past 2^32", fakes::make_settings(2, PCM_LAYER_AES3_302M, PCM_QUANT_16), 4,
     4294967295, (1602 + 1601 + 1602) * 4,
     {{8014, 0, 3869336036065500}, {8009, 0, 3869336036966625}, {8014, 0, 3869336037867187}}},
    // 60000/1001: 801, 801, 800, 801, 801 samples; 2^31 - 2 is step 1.
    {"d10 past 2^31", fakes::make_settings(2, PCM_LAYER_AES3_D10, PCM_QUANT_24), 7,
     2147483646, (801 + 800 + 801) * 6,
     {{25636, 0, 967334008340812}, {25604, 0, 967334008791375}, {25636, 0, 967334009241375}}},
    {"planar beyond 2^32", fakes::make_settings(2, PCM_LAYER_AES3_PLANAR, PCM_QUANT_16), 1,
     4294967299, 3 * 2002 * 4,
     {{8008, 0, 4836670049586375}, {8008, 0, 4836670050712500}, {8008, 0, 4836670051838625}}},
};

TEST(LongStream, TimestampsStayExactPastTwoToThe31And32Frames) {
    for (const LongStream &c : kLongStreams) {
        SCOPED_TRACE(c.name);
        fakes::Host host;
        fakes::RecordingStream out;
        pcm_a_encoder *enc =
            pcmOutAudioNew(host.lookup(), &c.settings, 0, c.frame_rate_code, 48000);
        ASSERT_NE(enc, nullptr);
        ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
        pcmpack::continue_after_frames(*enc, c.start_frame);
        const std::vector<uint8_t> input(c.input_bytes);
        EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), c.input_bytes), 0);
        EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
        pcmOutAudioFree(enc);

        const std::vector<aux_record> records = out.aux_records();
        ASSERT_EQ(records.size(), 4u);  // the stream header, then the frames
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(records[k + 1].byte_count, c.frames[k].byte_count) << "frame " << k;
            EXPECT_EQ(records[k + 1].timestamp, c.frames[k].timestamp) << "frame " << k;
        }
    }
}

// Validation admits only layers with a descriptor; should one ever slip
// through, Init stops a debug build and refuses in a release build.
TEST(UnknownLayer, InitRefusesALayerWithoutADescriptor) {
    fakes::Host host;
    fakes::RecordingStream out;
    const pcm_a_settings settings = fakes::make_settings(2, PCM_LAYER_AES3_302M, PCM_QUANT_16);
    pcm_a_encoder *enc = pcmOutAudioNew(host.lookup(), &settings, 0, 3, 48000);
    ASSERT_NE(enc, nullptr);
    enc->audio_layer = 5;
    [[maybe_unused]] int32_t result = 0;
    EXPECT_DEBUG_DEATH(result = pcmOutAudioInit(enc, out.stream()), "");
#ifdef NDEBUG
    EXPECT_EQ(result, 1);
    EXPECT_EQ(host.errors, (std::vector<fakes::Message>{{"P001:Invalid parameter", {}}}));
    EXPECT_EQ(host.malloc_calls, 1);  // no buffer
#endif
    const std::vector<uint8_t> input(7680);
    EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), 7680), 1);
    pcmOutAudioFree(enc);
    EXPECT_TRUE(out.events.empty());
}

}  // namespace
