// SPDX-License-Identifier: BSD-2-Clause
// The stream a DVD authoring host gets for stereo 16-bit audio at 48 kHz,
// byte for byte: header, three frames, the padded last frame.
#include <gtest/gtest.h>

#include "support/host_fakes.h"

namespace {

using fakes::EventKind;

TEST(TypicalStream, DvdStereo48kThousandBytesThenDone) {
    fakes::Host host;
    pcm_a_settings settings;
    ASSERT_STREQ(pcmOutAudioDefaults(&settings, PCM_VIDEO_TYPE_DVD), "DVD, PCM Audio");
    pcm_a_encoder *enc = host.new_encoder(&settings, 0, 0, 48000);
    ASSERT_NE(enc, nullptr);
    fakes::RecordingStream out;
    ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    ASSERT_EQ(host.malloc_sizes.size(), 2u);
    EXPECT_EQ(host.malloc_sizes[1], 320u);

    std::vector<uint8_t> input(1000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), 1000), 0);
    ASSERT_EQ(pcmOutAudioDone(enc, 0), 0);
    pcmOutAudioFree(enc);

    std::vector<uint8_t> expected = {'L', 'P', 'C', 'M', 0x04, 0x80, 0, 0};
    std::vector<uint8_t> padded = input;
    padded.resize(1280, 0);
    for (size_t i = 0; i < padded.size(); i += 2) {
        expected.push_back(padded[i + 1]);
        expected.push_back(padded[i]);
    }
    EXPECT_EQ(out.bytes(), expected);
    EXPECT_EQ(out.write_sizes(), (std::vector<size_t>{8, 320, 320, 320, 320}));

    const std::vector<aux_record> aux = out.aux_records();
    ASSERT_EQ(aux.size(), 5u);
    const int64_t stamps[] = {-1, 0, 45000, 90000, 135000};
    const uint32_t counts[] = {8, 320, 320, 320, 320};
    for (size_t i = 0; i < aux.size(); ++i) {
        EXPECT_EQ(aux[i].byte_count, counts[i]) << "record " << i;
        EXPECT_EQ(aux[i].timestamp, stamps[i]) << "record " << i;
    }
    // Each write is followed by its record before the next write.
    for (size_t i = 0; i + 1 < out.events.size(); i += 2) {
        EXPECT_EQ(out.events[i].kind, EventKind::write);
        EXPECT_EQ(out.events[i + 1].kind, EventKind::aux);
        EXPECT_EQ(out.events[i + 1].aux_id, static_cast<uint32_t>(AUX_FRAME_INFO_ID));
        EXPECT_EQ(out.events[i + 1].aux_size, 16u);
        EXPECT_EQ(out.events[i + 1].aux_offset, 0u);
    }
    EXPECT_EQ(host.live_count(), 0u);
    EXPECT_TRUE(host.errors.empty());
}

}  // namespace
