// SPDX-License-Identifier: BSD-2-Clause
// The tool's stream description: every header it reads it writes back byte
// for byte, and its timestamps are the running sum of the cadence.
#include <gtest/gtest.h>

#include "format/stream_format.h"

#include <cstring>

namespace {

using namespace pcmpack_format;

TEST(StreamFormat, EveryHeaderReadIsWrittenBackAsItWas) {
    int valid = 0;
    for (const char *tag : {"LPCM", "HDMV", "AES3"}) {
        for (int b4 = 0; b4 < 256; ++b4) {
            for (int b5 = 0; b5 < 256; ++b5) {
                uint8_t header[kStreamHeaderBytes] = {};
                std::memcpy(header, tag, 4);
                header[4] = static_cast<uint8_t>(b4);
                header[5] = static_cast<uint8_t>(b5);
                StreamParams params;
                HeaderFault fault;
                if (!decode_stream_header(header, &params, &fault)) {
                    EXPECT_FALSE(fault.text.empty());
                    EXPECT_LT(fault.offset, kStreamHeaderBytes);
                    continue;
                }
                ++valid;
                uint8_t again[kStreamHeaderBytes];
                encode_stream_header(params, again);
                ASSERT_EQ(0, std::memcmp(header, again, sizeof again))
                    << tag << " " << b4 << " " << b5;
                EXPECT_GT(frame_bytes(params, 0), 0u);
            }
        }
    }
    // DVD: 2 channel counts x 2 rates x emphasis (48 kHz only) x mute x 256
    // dynamic ranges; HDMV: 4 x 2 x 3; AES3: 3 layers x 8 rates x 3 or 2
    // word lengths x their channel counts.
    EXPECT_EQ(valid, 2 * 3 * 2 * 256 + 4 * 2 * 3 + 8 * (3 * 4 + 2 * 8 + 3 * 8));
}

TEST(StreamFormat, TimestampsAreTheCadencesRunningSumTruncated) {
    for (const FrameRate *rate = frame_rates_begin(); rate != frame_rates_end(); ++rate) {
        StreamParams params;
        params.layer = kLayer302m;
        params.frame_rate_code = rate->code;
        double ticks = 0.0;
        for (int64_t frame = 0; frame < 3000; ++frame) {
            ASSERT_EQ(frame_timestamp(params, frame), static_cast<int64_t>(ticks))
                << rate->exact << " frame " << frame;
            ticks += frame_periods(params, static_cast<int>(frame % kCadenceSteps)) * (27e6 / 48000);
        }
    }
}

}  // namespace
