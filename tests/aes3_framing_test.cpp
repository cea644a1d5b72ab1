// SPDX-License-Identifier: BSD-2-Clause
// The AES3 framing as a host sees it: the "AES3" stream header, one frame
// per video frame following the five-frame cadence of the 1001 rates, the
// running timestamp, the zero-filled last frame, write failures that leave
// the cadence where it was, and independence from how the input is split.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/host_fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Sample periods per frame at each cadence step, by frame rate code 1..8.
const int kCadence[9][5] = {
    {0, 0, 0, 0, 0},
    {2002, 2002, 2002, 2002, 2002},  // 24000/1001
    {2000, 2000, 2000, 2000, 2000},  // 24
    {1920, 1920, 1920, 1920, 1920},  // 25
    {1602, 1601, 1602, 1601, 1602},  // 30000/1001
    {1600, 1600, 1600, 1600, 1600},  // 30
    {960, 960, 960, 960, 960},       // 50
    {801, 801, 800, 801, 801},       // 60000/1001
    {800, 800, 800, 800, 800},       // 60
};

// Input and output bytes per sample period, and the frame header size.
struct Layout {
    int input_period, output_period, header;
};

Layout layout_of(int layer, int channels, int quantization) {
    const int pairs = channels / 2;
    switch (layer) {
    case 10: return {pairs * (quantization == 0 ? 4 : 6), pairs * (5 + quantization), 4};
    case 11: return {3 * channels, 32, 4};
    default:
        return {channels * (quantization == 0 ? 2 : 3), channels * (quantization == 0 ? 2 : 3), 0};
    }
}

// One encoder with its own host. Each Host is "current" while it lives, so
// an encoder created later takes over the host functions: a test that keeps
// two alive finishes the first before it creates the second.
struct Encoder {
    fakes::Host host;
    fakes::RecordingStream out;
    pcm_a_encoder *enc = nullptr;

    Encoder(const pcm_a_settings &settings, int32_t flags, int32_t code, int32_t rate = 48000) {
        enc = host.new_encoder(&settings, flags, code, rate);
        EXPECT_NE(enc, nullptr);
        if (enc) {
            EXPECT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
        }
    }
    ~Encoder() {
        if (!enc) return;
        pcmOutAudioDone(enc, 1);  // no-op when the test already finished the stream
        pcmOutAudioFree(enc);
    }
    int put(const Bytes &data) {
        return pcmOutAudioPutBytes(enc, data.data(), static_cast<uint32_t>(data.size()));
    }
    int put(const uint8_t *data, size_t size) {
        return pcmOutAudioPutBytes(enc, data, static_cast<uint32_t>(size));
    }
    int done(int32_t abort_flag = 0) { return pcmOutAudioDone(enc, abort_flag); }
};

std::vector<int64_t> timestamps(const std::vector<aux_record> &aux) {
    std::vector<int64_t> t;
    for (const aux_record &a : aux) t.push_back(a.timestamp);
    return t;
}

std::vector<uint32_t> byte_counts(const std::vector<aux_record> &aux) {
    std::vector<uint32_t> c;
    for (const aux_record &a : aux) c.push_back(a.byte_count);
    return c;
}

TEST(Aes3Framing, StreamHeaderBytes) {
    struct Case {
        int layer, channels, quantization, code;
        Bytes header;
    };
    const Case cases[] = {
        {10, 2, 0, 4, {0x41, 0x45, 0x53, 0x33, 0x0A, 0x61, 0x00, 0x00}},
        {10, 8, 2, 3, {0x41, 0x45, 0x53, 0x33, 0x0A, 0x57, 0x00, 0x00}},
        {10, 6, 2, 1, {0x41, 0x45, 0x53, 0x33, 0x0A, 0x15, 0x00, 0x00}},
        {11, 1, 1, 7, {0x41, 0x45, 0x53, 0x33, 0x0B, 0xC8, 0x00, 0x00}},
        {11, 4, 2, 2, {0x41, 0x45, 0x53, 0x33, 0x0B, 0x33, 0x00, 0x00}},
        {12, 8, 0, 8, {0x41, 0x45, 0x53, 0x33, 0x0C, 0xE7, 0x00, 0x00}},
        {12, 3, 1, 5, {0x41, 0x45, 0x53, 0x33, 0x0C, 0x8A, 0x00, 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "layer " << c.layer << " code " << c.code);
        Encoder e(fakes::make_settings(c.channels, c.layer, c.quantization), 0, c.code);
        // A first call with nothing to encode still opens the stream.
        ASSERT_EQ(e.put(nullptr, 0), 0);
        EXPECT_EQ(fakes::hex(e.out.bytes()), fakes::hex(c.header));
        const auto aux = e.out.aux_records();
        ASSERT_EQ(aux.size(), 1u);
        EXPECT_EQ(aux[0].byte_count, 8u);
        EXPECT_EQ(aux[0].timestamp, -1);
        EXPECT_EQ(e.put(nullptr, 0), 0);
        EXPECT_EQ(e.out.write_calls, 1);
        EXPECT_EQ(e.done(), 0);
        EXPECT_EQ(e.out.write_calls, 1);
    }
}

// Six frames of every frame rate code in every AES3 layer: frame sizes follow
// the cadence steps 0..4, 0, and each timestamp is the running sum of the
// durations before it (562.5 ticks per sample), truncated.
TEST(Aes3Framing, CadenceSizesAndTimestampsForEveryCode) {
    struct Setting {
        int layer, channels, quantization;
    };
    const Setting settings[] = {{10, 2, 0}, {11, 1, 2}, {12, 1, 0}};
    for (const Setting &s : settings) {
        const Layout l = layout_of(s.layer, s.channels, s.quantization);
        for (int code = 1; code <= 8; ++code) {
            SCOPED_TRACE(testing::Message() << "layer " << s.layer << " code " << code);
            Encoder e(fakes::make_settings(s.channels, s.layer, s.quantization), 0, code);
            size_t input = 0;
            std::vector<uint32_t> sizes;
            std::vector<int64_t> stamps;
            double elapsed = 0;
            for (int k = 0; k < 6; ++k) {
                const int n = kCadence[code][k % 5];
                input += static_cast<size_t>(n) * l.input_period;
                sizes.push_back(static_cast<uint32_t>(n * l.output_period + l.header));
                stamps.push_back(static_cast<int64_t>(elapsed));
                elapsed += n * 562.5;
            }
            ASSERT_EQ(e.put(fakes::random_bytes(input, static_cast<uint32_t>(code))), 0);
            EXPECT_EQ(e.done(), 0);
            auto aux = e.out.aux_records();
            ASSERT_EQ(aux.size(), 7u);
            aux.erase(aux.begin());
            EXPECT_EQ(byte_counts(aux), sizes);
            EXPECT_EQ(timestamps(aux), stamps);
            std::vector<size_t> writes(sizes.begin(), sizes.end());
            writes.insert(writes.begin(), 8);
            EXPECT_EQ(e.out.write_sizes(), writes);
        }
    }
}

TEST(Aes3Framing, TimestampsOfThe1001RatesKeepTheHalfTicks) {
    struct Case {
        int code;
        std::vector<int64_t> stamps;
    };
    const Case cases[] = {
        {4, {0, 901125, 1801687, 2702812, 3603375, 4504500}},
        {7, {0, 450562, 901125, 1351125, 1801687, 2252250}},
        {1, {0, 1126125, 2252250, 3378375, 4504500, 5630625}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code);
        Encoder e(fakes::make_settings(1, 12, 0), 0, c.code);
        size_t samples = 0;
        for (int k = 0; k < 6; ++k) samples += kCadence[c.code][k % 5];
        ASSERT_EQ(e.put(Bytes(2 * samples, 0x5A)), 0);
        auto aux = e.out.aux_records();
        ASSERT_EQ(aux.size(), 7u);
        aux.erase(aux.begin());
        EXPECT_EQ(timestamps(aux), c.stamps);
    }
}

TEST(Aes3Framing, ExactFrameInputMovesToTheNextStep) {
    // 302M, stereo 16-bit, 30000/1001: 1602 periods of 4 input bytes, then 1601.
    Encoder e(fakes::make_settings(2, 10, 0), 0, 4);
    ASSERT_EQ(e.put(Bytes(1602 * 4, 1)), 0);
    EXPECT_EQ(e.out.write_sizes(), (std::vector<size_t>{8, 8014}));
    ASSERT_EQ(e.put(Bytes(1601 * 4, 2)), 0);
    EXPECT_EQ(e.out.write_sizes(), (std::vector<size_t>{8, 8014, 8009}));
    // Nothing is pending: the flush writes nothing.
    EXPECT_EQ(e.done(), 0);
    EXPECT_EQ(e.out.write_calls, 3);
}

// The flush of a partial last frame writes the full frame of the current
// cadence step, its missing input as zero samples, with the next timestamp.
TEST(Aes3Framing, PartialLastFrameAtShortAndLongSteps) {
    struct Case {
        const char *name;
        int code;
        int full_frames;  // written before the partial one
        int partial_step;
    };
    const Case cases[] = {
        {"short step of 30000/1001", 4, 1, 1}, {"long step of 30000/1001", 4, 2, 2},
        {"first step of 30000/1001", 4, 0, 0}, {"short step of 60000/1001", 7, 2, 2},
        {"long step after a wrap", 7, 5, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Planar mono 16-bit little-endian: every frame is its input unchanged.
        Encoder e(fakes::make_settings(1, 12, 0), 0, c.code);
        size_t full = 0;
        double stamp = 0;
        for (int k = 0; k < c.full_frames; ++k) {
            full += 2 * kCadence[c.code][k];
            stamp += kCadence[c.code][k] * 562.5;
        }
        const size_t partial = 2 * 37 + 1;  // odd: half a sample pending too
        const Bytes input = fakes::random_bytes(full + partial, 7);
        ASSERT_EQ(e.put(input), 0);
        ASSERT_EQ(e.out.write_sizes().size(), static_cast<size_t>(1 + c.full_frames));
        ASSERT_EQ(e.done(), 0);
        const size_t frame = 2 * static_cast<size_t>(kCadence[c.code][c.partial_step]);
        const Bytes written = e.out.bytes();
        Bytes expected(written.begin(), written.begin() + 8);
        expected.insert(expected.end(), input.begin(), input.end());
        expected.resize(8 + full + frame, 0);
        EXPECT_EQ(e.out.bytes(), expected);
        const auto aux = e.out.aux_records();
        ASSERT_EQ(aux.size(), static_cast<size_t>(2 + c.full_frames));
        EXPECT_EQ(aux.back().byte_count, frame);
        EXPECT_EQ(aux.back().timestamp, static_cast<int64_t>(stamp));
    }
}

TEST(Aes3Framing, FailedFrameWriteLeavesStepAndTimestamp) {
    // 302M stereo 16-bit at 30000/1001; write 1 is the header, write 3 the
    // frame of step 1 (1601 periods).
    Encoder e(fakes::make_settings(2, 10, 0), 0, 4);
    e.out.fail_write_call = 3;
    ASSERT_EQ(e.put(Bytes(1602 * 4, 0x11)), 0);
    EXPECT_EQ(e.put(Bytes(1601 * 4, 0x22)), 1);
    ASSERT_EQ(e.host.errors.size(), 1u);
    EXPECT_EQ(e.host.errors[0].format, "P002:Could not write PCM buffer to audio bufstream");
    EXPECT_TRUE(e.host.errors[0].args.empty());
    EXPECT_EQ(e.out.aux_records().size(), 2u);  // header and frame 0 only
    // The same step is gathered again: 1601 periods, then 1602 at step 2.
    ASSERT_EQ(e.put(Bytes(1601 * 4 + 1602 * 4, 0x33)), 0);
    const auto aux = e.out.aux_records();
    ASSERT_EQ(aux.size(), 4u);
    EXPECT_EQ(byte_counts(aux), (std::vector<uint32_t>{8, 8014, 8009, 8014}));
    EXPECT_EQ(timestamps(aux), (std::vector<int64_t>{-1, 0, 901125, 1801687}));
    EXPECT_EQ(e.out.write_sizes(), (std::vector<size_t>{8, 8014, 8009, 8014}));
    EXPECT_EQ(e.done(), 0);
}

TEST(Aes3Framing, FailedCompletionKeepsThePendingInput) {
    // Planar mono 16-bit at 60000/1001: 1602-byte frames at step 0.
    const Bytes input = fakes::random_bytes(1602 + 1602, 3);
    Encoder reference(fakes::make_settings(1, 12, 0), 0, 7);
    ASSERT_EQ(reference.put(input), 0);
    ASSERT_EQ(reference.done(), 0);

    Encoder e(fakes::make_settings(1, 12, 0), 0, 7);
    e.out.fail_write_call = 2;
    ASSERT_EQ(e.put(input.data(), 1000), 0);
    EXPECT_EQ(e.put(input.data() + 1000, input.size() - 1000), 1);
    // The 1000 pending bytes are still there: the host repeats the rest.
    ASSERT_EQ(e.put(input.data() + 1000, input.size() - 1000), 0);
    EXPECT_EQ(e.out.bytes(), reference.out.bytes());
    EXPECT_EQ(timestamps(e.out.aux_records()), timestamps(reference.out.aux_records()));
}

// A frame that arrives in pieces is packed as its sample periods arrive; the
// piece that ends the pending input here cuts a sample period in two. When the
// write that completes the frame fails, the host repeats the rest and gets the
// stream it would have had.
TEST(Aes3Framing, FailedCompletionAfterACutSamplePeriodIsRepeatedExactly) {
    struct Case {
        const char *name;
        pcm_a_settings settings;
        int32_t input_flags;
        int32_t frame_rate_code;
        uint32_t pending;  // not a whole number of sample periods
    };
    const Case cases[] = {
        {"302M 2ch 24-bit", fakes::make_settings(2, 10, 2), 0, 4, 6 * 700 + 4},
        {"302M 8ch 20-bit BE", fakes::make_settings(8, 10, 1), PCM_INPUT_BIG_ENDIAN, 7, 24 * 300 + 13},
        {"D-10 8ch 24-bit", fakes::make_settings(8, 11, 2), 0, 3, 24 * 191 + 23},
        {"D-10 3ch 20-bit BE", fakes::make_settings(3, 11, 1), PCM_INPUT_BIG_ENDIAN, 4, 9 * 193 + 1},
        {"planar 6ch 24-bit", fakes::make_settings(6, 12, 2), 0, 4, 18 * 900 + 7},
        {"planar 2ch 16-bit BE", fakes::make_settings(2, 12, 0), PCM_INPUT_BIG_ENDIAN, 6, 4 * 500 + 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes input = fakes::random_bytes(200000, 11);
        Encoder reference(c.settings, c.input_flags, c.frame_rate_code);
        ASSERT_EQ(reference.put(input), 0);
        ASSERT_EQ(reference.done(), 0);

        Encoder e(c.settings, c.input_flags, c.frame_rate_code);
        e.out.fail_write_call = 2;  // the first frame, completed from pending input
        ASSERT_EQ(e.put(input.data(), c.pending), 0);
        EXPECT_EQ(e.put(input.data() + c.pending, 50000), 1);
        ASSERT_EQ(e.put(input.data() + c.pending, static_cast<uint32_t>(input.size() - c.pending)), 0);
        ASSERT_EQ(e.done(), 0);
        EXPECT_EQ(e.out.bytes(), reference.out.bytes());
        EXPECT_EQ(timestamps(e.out.aux_records()), timestamps(reference.out.aux_records()));
    }
}

TEST(Aes3Framing, FailedFlushReportsAndKeepsTheTimestampLine) {
    Encoder e(fakes::make_settings(4, 11, 1), PCM_INPUT_BIG_ENDIAN, 7);
    e.out.fail_write_call = 3;
    ASSERT_EQ(e.put(Bytes(801 * 12 + 5, 0x40)), 0);
    EXPECT_EQ(e.done(), 1);
    ASSERT_EQ(e.host.errors.size(), 1u);
    EXPECT_EQ(e.host.errors[0].format, "P002:Could not write PCM buffer to audio bufstream");
    EXPECT_EQ(byte_counts(e.out.aux_records()), (std::vector<uint32_t>{8, 4 + 801 * 32}));
    EXPECT_EQ(e.host.live_count(), 1u);  // the encoder; Done released both buffers
}

TEST(Aes3Framing, FailedStreamHeaderTakesNoInput) {
    const Bytes input = fakes::random_bytes(960 * 4 + 10, 5);
    Encoder reference(fakes::make_settings(2, 12, 0), 0, 6);
    ASSERT_EQ(reference.put(input), 0);
    ASSERT_EQ(reference.done(), 0);

    Encoder e(fakes::make_settings(2, 12, 0), 0, 6);
    e.out.fail_write_call = 1;
    EXPECT_EQ(e.put(input), 1);
    EXPECT_TRUE(e.out.aux_records().empty());
    ASSERT_EQ(e.put(input), 0);
    ASSERT_EQ(e.done(), 0);
    EXPECT_EQ(e.out.bytes(), reference.out.bytes());
}

// A second Init binds a new stream and drops the partial frame, but the AES3
// time and cadence carry on, and no second stream header is written.
TEST(Aes3Framing, SecondInitCarriesOnTimeAndCadence) {
    // 302M stereo 16-bit at 30000/1001: steps of 1602 and 1601 periods.
    Encoder e(fakes::make_settings(2, 10, 0), 0, 4);
    ASSERT_EQ(e.put(Bytes(1602 * 4 + 100, 0x11)), 0);
    fakes::RecordingStream second;
    ASSERT_EQ(pcmOutAudioInit(e.enc, second.stream()), 0);
    ASSERT_EQ(e.put(Bytes(1601 * 4, 0x22)), 0);
    EXPECT_EQ(e.done(), 0);
    EXPECT_EQ(fakes::describe_events(e.out.events), "W8 A8@-1 W8014 A8014@0");
    EXPECT_EQ(fakes::describe_events(second.events), "W8009 A8009@901125");
}

TEST(Aes3Framing, SampleRatePlaysNoPart) {
    const Bytes input = fakes::random_bytes(1920 * 6 * 2 + 100, 9);
    Encoder at48(fakes::make_settings(2, 10, 2), 0, 3, 48000);
    ASSERT_EQ(at48.put(input), 0);
    ASSERT_EQ(at48.done(), 0);
    Encoder at96(fakes::make_settings(2, 10, 2), 0, 3, 96000);
    ASSERT_EQ(at96.put(input), 0);
    ASSERT_EQ(at96.done(), 0);
    // Two whole frames of 1920 periods (6 input bytes each) and a flushed third.
    EXPECT_EQ(at48.out.write_sizes(), (std::vector<size_t>{8, 13444, 13444, 13444}));
    EXPECT_EQ(at48.out.bytes(), at96.out.bytes());
    EXPECT_EQ(timestamps(at48.out.aux_records()), timestamps(at96.out.aux_records()));
}

// One byte per call and one call for everything give the same writes, the
// same records, in the same order, for every layer and frame rate code.
TEST(Aes3Framing, OneBytePerCallEqualsOneCall) {
    std::mt19937 gen(fakes::test_seed());
    struct Setting {
        int layer, channels, quantization;
        int32_t flags;
    };
    const Setting settings[] = {{10, 2, 1, 0}, {11, 2, 2, PCM_INPUT_BIG_ENDIAN}, {12, 1, 0, 0}};
    for (const Setting &s : settings) {
        const Layout l = layout_of(s.layer, s.channels, s.quantization);
        for (int code = 1; code <= 8; ++code) {
            SCOPED_TRACE(testing::Message() << "layer " << s.layer << " code " << code);
            // Two frames and a part of the third.
            const size_t frames =
                static_cast<size_t>(kCadence[code][0] + kCadence[code][1]) * l.input_period;
            const size_t size =
                frames + 1 + gen() % (static_cast<size_t>(kCadence[code][2]) * l.input_period - 1);
            const Bytes input = fakes::random_bytes(size, static_cast<uint32_t>(gen()));

            Encoder whole(fakes::make_settings(s.channels, s.layer, s.quantization), s.flags, code);
            ASSERT_EQ(whole.put(input), 0);
            ASSERT_EQ(whole.done(), 0);

            Encoder bytewise(fakes::make_settings(s.channels, s.layer, s.quantization), s.flags,
                             code);
            for (size_t i = 0; i < input.size(); ++i) ASSERT_EQ(bytewise.put(&input[i], 1), 0);
            ASSERT_EQ(bytewise.done(), 0);

            ASSERT_EQ(whole.out.events.size(),
                      8u);  // header and three frames, each with its record
            ASSERT_EQ(bytewise.out.events.size(), whole.out.events.size());
            for (size_t i = 0; i < whole.out.events.size(); ++i) {
                const fakes::Event &a = whole.out.events[i];
                const fakes::Event &b = bytewise.out.events[i];
                ASSERT_EQ(a.kind, b.kind) << "event " << i;
                EXPECT_EQ(a.data, b.data) << "event " << i;
                EXPECT_EQ(a.aux.byte_count, b.aux.byte_count) << "event " << i;
                EXPECT_EQ(a.aux.timestamp, b.aux.timestamp) << "event " << i;
            }
        }
    }
}

}  // namespace
