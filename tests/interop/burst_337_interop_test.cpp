// SPDX-License-Identifier: BSD-2-Clause
// The 16-bit mode against an independent writer: ffmpeg's spdif muxer wraps
// the same AC-3 file, one burst per 1536 sample periods, as 16-bit
// little-endian words of one channel pair. Its words and ours must agree
// byte for byte, Pc's bitstream mode included.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pcmpack.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Burst337Interop, SixteenBitModeEqualsFfmpegSpdifMuxer) {
    const std::string dir = testing::TempDir();
    const std::string ac3 = dir + "burst337.ac3", spdif = dir + "burst337.spdif";
    for (const char *rate : {"96k", "448k"}) {
        SCOPED_TRACE(rate);
        const std::string make = std::string(PCMPACK_TEST_FFMPEG) +
                                 " -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                                 "sine=f=997:d=1:r=48000 -ac 2 -c:a ac3 -b:a " + rate +
                                 " -f ac3 " + ac3 + " && " + PCMPACK_TEST_FFMPEG +
                                 " -nostdin -hide_banner -loglevel error -y -f ac3 -i " + ac3 +
                                 " -c copy -f spdif " + spdif;
        ASSERT_EQ(std::system(make.c_str()), 0) << make;
        const Bytes frames = read_file(ac3), expected = read_file(spdif);
        ASSERT_FALSE(frames.empty());

        Bytes ours;
        size_t bursts = 0;
        for (size_t at = 0; at < frames.size();) {
            pcm_burst_frame info{};
            ASSERT_EQ(pcmOutAudioBurstFrame(frames.data() + at, frames.size() - at, &info), 0)
                << "at byte " << at;
            ASSERT_LE(at + info.frame_bytes, frames.size());
            Bytes period(info.burst_period * 4u, 0xEE);
            ASSERT_EQ(pcmOutAudioBurstWrite(frames.data() + at, info.frame_bytes, PCM_QUANT_16, 0,
                                            2, 0, 0, period.data(), period.size()),
                      0);
            ours.insert(ours.end(), period.begin(), period.end());
            at += info.frame_bytes;
            ++bursts;
        }
        EXPECT_GT(bursts, 30u);
        ASSERT_EQ(ours.size(), expected.size());
        EXPECT_TRUE(ours == expected);
    }
}

}  // namespace
