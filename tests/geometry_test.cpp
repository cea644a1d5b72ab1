// SPDX-License-Identifier: BSD-2-Clause
// Frame geometry as a host sees it: the buffer sizes asked of its malloc, the
// number of input bytes that completes each frame, the size of every frame
// written and its timestamp, for every layer, every frame rate code and both
// sample rates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/host_fakes.h"

namespace {

using fakes::describe_events;
using fakes::Host;
using fakes::make_settings;
using fakes::RecordingStream;

constexpr int kSteps = 5;
constexpr int kFramesObserved = 6;  // one whole cadence and the first step again

struct Geometry {
    uint32_t frame_buf;
    uint32_t stage_buf;          // 0: none is allocated
    uint32_t input[kSteps];      // input bytes that complete the frame of each step
    uint32_t written[kSteps];    // byte_count of each step's frame on the stream
    int64_t stamps[kFramesObserved];
};

std::string stream_trace(int32_t layer, uint32_t written, int64_t stamp) {
    const std::string aux = "A" + std::to_string(written) + "@" + std::to_string(stamp);
    // HDMV goes out as its 4-byte frame header, then the payload.
    if (layer == PCM_LAYER_HDMV_LPCM) {
        return "W4 W" + std::to_string(written - 4) + " " + aux;
    }
    return "W" + std::to_string(written) + " " + aux;
}

// Feeds each frame as all but its last byte, then the last byte: no frame may
// appear before that byte, and exactly one frame after it.
void expect_geometry(const pcm_a_settings &settings, int32_t rate_code, int32_t sample_rate,
                     const Geometry &g) {
    Host host;
    pcm_a_encoder *enc = host.new_encoder(&settings, 0, rate_code, sample_rate);
    ASSERT_NE(enc, nullptr);
    RecordingStream out;
    ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    std::vector<size_t> buffers = {g.frame_buf};
    if (g.stage_buf != 0) buffers.push_back(g.stage_buf);
    ASSERT_EQ(host.malloc_sizes.size(), 1 + buffers.size());
    EXPECT_EQ(std::vector<size_t>(host.malloc_sizes.begin() + 1, host.malloc_sizes.end()),
              buffers);

    uint32_t largest = 0;
    for (uint32_t n : g.input) largest = std::max(largest, n);
    std::vector<uint8_t> input(largest);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 13 + 5);

    std::string expected = "W8 A8@-1";
    for (int frame = 0; frame < kFramesObserved; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        const int step = frame % kSteps;
        ASSERT_GT(g.input[step], 1u);
        ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data(), g.input[step] - 1), 0);
        ASSERT_EQ(describe_events(out.events), expected);
        ASSERT_EQ(pcmOutAudioPutBytes(enc, input.data() + g.input[step] - 1, 1), 0);
        expected +=
            " " + stream_trace(settings.audio_layer, g.written[step], g.stamps[frame]);
        ASSERT_EQ(describe_events(out.events), expected);
    }
    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);  // nothing pending
    pcmOutAudioFree(enc);
    EXPECT_EQ(describe_events(out.events), expected);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ(host.live_count(), 0u);
    EXPECT_TRUE(host.freed_foreign.empty());
}

// ---------------------------------------------------------------------------
// The worked examples of the format, every number written out.

struct LiteralCase {
    const char *name;
    pcm_a_settings settings;
    int32_t rate_code;
    int32_t sample_rate;
    Geometry geometry;
};

const LiteralCase kLiteralCases[] = {
    {"DVD stereo 48k: 80 periods of 4 bytes", make_settings(2, 4, 0), 0, 48000,
     {320, 0, {320, 320, 320, 320, 320}, {320, 320, 320, 320, 320},
      {0, 45000, 90000, 135000, 180000, 225000}}},
    {"DVD mono 48k: 80 periods of 2 bytes", make_settings(1, 4, 0), 0, 48000,
     {160, 0, {160, 160, 160, 160, 160}, {160, 160, 160, 160, 160},
      {0, 45000, 90000, 135000, 180000, 225000}}},
    {"DVD mono 96k: 160 periods of 2 bytes", make_settings(1, 4, 0), 0, 96000,
     {320, 0, {320, 320, 320, 320, 320}, {320, 320, 320, 320, 320},
      {0, 45000, 90000, 135000, 180000, 225000}}},
    {"DVD stereo 96k: 160 periods of 4 bytes", make_settings(2, 4, 0), 0, 96000,
     {640, 0, {640, 640, 640, 640, 640}, {640, 640, 640, 640, 640},
      {0, 45000, 90000, 135000, 180000, 225000}}},
    {"HDMV 2ch 24-bit 48k: 240 periods of 6 bytes", make_settings(2, 13, 2), 0, 48000,
     {1444, 0, {1440, 1440, 1440, 1440, 1440}, {1444, 1444, 1444, 1444, 1444},
      {0, 135000, 270000, 405000, 540000, 675000}}},
    {"HDMV 6ch 16-bit 96k: 480 periods of 12 bytes", make_settings(6, 13, 0), 0, 96000,
     {5764, 0, {5760, 5760, 5760, 5760, 5760}, {5764, 5764, 5764, 5764, 5764},
      {0, 135000, 270000, 405000, 540000, 675000}}},
    {"HDMV 8ch 24-bit 96k: the largest HDMV frame", make_settings(8, 13, 2), 0, 96000,
     {11524, 0, {11520, 11520, 11520, 11520, 11520}, {11524, 11524, 11524, 11524, 11524},
      {0, 135000, 270000, 405000, 540000, 675000}}},
    {"302M 2ch 16-bit at 25: 1920 periods, 4 in, 5 out", make_settings(2, 10, 0), 3, 48000,
     {9604, 7680, {7680, 7680, 7680, 7680, 7680}, {9604, 9604, 9604, 9604, 9604},
      {0, 1080000, 2160000, 3240000, 4320000, 5400000}}},
    {"302M 2ch 24-bit at 25: 6 in, 7 out", make_settings(2, 10, 2), 3, 48000,
     {13444, 11520, {11520, 11520, 11520, 11520, 11520}, {13444, 13444, 13444, 13444, 13444},
      {0, 1080000, 2160000, 3240000, 4320000, 5400000}}},
    {"302M 8ch 20-bit at 30000/1001: 24 in, 24 out, cadence", make_settings(8, 10, 1), 4,
     48000,
     {38452, 38448, {38448, 38424, 38448, 38424, 38448}, {38452, 38428, 38452, 38428, 38452},
      {0, 901125, 1801687, 2702812, 3603375, 4504500}}},
    {"D-10 8ch 24-bit at 25: 24 in, 32 out", make_settings(8, 11, 2), 3, 48000,
     {61444, 46080, {46080, 46080, 46080, 46080, 46080}, {61444, 61444, 61444, 61444, 61444},
      {0, 1080000, 2160000, 3240000, 4320000, 5400000}}},
    {"D-10 2ch 20-bit at 60000/1001: 6 in, 32 out, cadence", make_settings(2, 11, 1), 7,
     48000,
     {25636, 4806, {4806, 4806, 4800, 4806, 4806}, {25636, 25636, 25604, 25636, 25636},
      {0, 450562, 901125, 1351125, 1801687, 2252250}}},
    {"planar 6ch 24-bit at 30000/1001: 18 bytes, no header", make_settings(6, 12, 2), 4,
     48000,
     {28836, 28836, {28836, 28818, 28836, 28818, 28836}, {28836, 28818, 28836, 28818, 28836},
      {0, 901125, 1801687, 2702812, 3603375, 4504500}}},
    {"planar 2ch 16-bit at 25, 96k: frames follow the video rate", make_settings(2, 12, 0), 3,
     96000,
     {7680, 7680, {7680, 7680, 7680, 7680, 7680}, {7680, 7680, 7680, 7680, 7680},
      {0, 1080000, 2160000, 3240000, 4320000, 5400000}}},
    {"planar 2ch 16-bit at 25, 48k", make_settings(2, 12, 0), 3, 48000,
     {7680, 7680, {7680, 7680, 7680, 7680, 7680}, {7680, 7680, 7680, 7680, 7680},
      {0, 1080000, 2160000, 3240000, 4320000, 5400000}}},
};

TEST(Geometry, WorkedExamples) {
    for (const LiteralCase &c : kLiteralCases) {
        SCOPED_TRACE(c.name);
        expect_geometry(c.settings, c.rate_code, c.sample_rate, c.geometry);
    }
}

// ---------------------------------------------------------------------------
// The sweep: the format's tables, row by row, crossed with each other.

// Sample periods per frame of each cadence step and the timestamps of the
// first six frames, by MPEG frame rate code. Durations are sample periods
// times 562.5 ticks; the 1001 rates carry half ticks that the running sum
// keeps and the timestamp truncates.
struct RateRow {
    int32_t code;
    const char *rate;
    uint32_t samples[kSteps];
    int64_t stamps[kFramesObserved];
};

const RateRow kRates[] = {
    {1, "24000/1001", {2002, 2002, 2002, 2002, 2002},
     {0, 1126125, 2252250, 3378375, 4504500, 5630625}},
    {2, "24", {2000, 2000, 2000, 2000, 2000}, {0, 1125000, 2250000, 3375000, 4500000, 5625000}},
    {3, "25", {1920, 1920, 1920, 1920, 1920}, {0, 1080000, 2160000, 3240000, 4320000, 5400000}},
    {4, "30000/1001", {1602, 1601, 1602, 1601, 1602},
     {0, 901125, 1801687, 2702812, 3603375, 4504500}},
    {5, "30", {1600, 1600, 1600, 1600, 1600}, {0, 900000, 1800000, 2700000, 3600000, 4500000}},
    {6, "50", {960, 960, 960, 960, 960}, {0, 540000, 1080000, 1620000, 2160000, 2700000}},
    {7, "60000/1001", {801, 801, 800, 801, 801}, {0, 450562, 901125, 1351125, 1801687, 2252250}},
    {8, "60", {800, 800, 800, 800, 800}, {0, 450000, 900000, 1350000, 1800000, 2250000}},
};

// Bytes per sample period, all channels, for every admitted combination of
// layer, channel count and word length.
struct PeriodRow {
    int32_t layer;
    int32_t channels;
    int32_t quantization;
    uint32_t input;
    uint32_t output;
};

const PeriodRow kPeriods[] = {
    // DVD LPCM: 16-bit words, one or two channels.
    {4, 1, 0, 2, 2}, {4, 2, 0, 4, 4},
    // 302M: one 5/6/7-byte group per channel pair, from two 2- or 3-byte samples.
    {10, 2, 0, 4, 5},   {10, 4, 0, 8, 10},  {10, 6, 0, 12, 15}, {10, 8, 0, 16, 20},
    {10, 2, 1, 6, 6},   {10, 4, 1, 12, 12}, {10, 6, 1, 18, 18}, {10, 8, 1, 24, 24},
    {10, 2, 2, 6, 7},   {10, 4, 2, 12, 14}, {10, 6, 2, 18, 21}, {10, 8, 2, 24, 28},
    // D-10: 3 input bytes per channel, always eight 4-byte channel words out.
    {11, 1, 1, 3, 32},  {11, 2, 1, 6, 32},  {11, 3, 1, 9, 32},  {11, 4, 1, 12, 32},
    {11, 5, 1, 15, 32}, {11, 6, 1, 18, 32}, {11, 7, 1, 21, 32}, {11, 8, 1, 24, 32},
    {11, 1, 2, 3, 32},  {11, 2, 2, 6, 32},  {11, 3, 2, 9, 32},  {11, 4, 2, 12, 32},
    {11, 5, 2, 15, 32}, {11, 6, 2, 18, 32}, {11, 7, 2, 21, 32}, {11, 8, 2, 24, 32},
    // Planar: as wide out as in, 2 bytes per 16-bit sample, 3 per 20/24-bit.
    {12, 1, 0, 2, 2},   {12, 2, 0, 4, 4},   {12, 3, 0, 6, 6},   {12, 4, 0, 8, 8},
    {12, 5, 0, 10, 10}, {12, 6, 0, 12, 12}, {12, 7, 0, 14, 14}, {12, 8, 0, 16, 16},
    {12, 1, 1, 3, 3},   {12, 2, 1, 6, 6},   {12, 3, 1, 9, 9},   {12, 4, 1, 12, 12},
    {12, 5, 1, 15, 15}, {12, 6, 1, 18, 18}, {12, 7, 1, 21, 21}, {12, 8, 1, 24, 24},
    {12, 1, 2, 3, 3},   {12, 2, 2, 6, 6},   {12, 3, 2, 9, 9},   {12, 4, 2, 12, 12},
    {12, 5, 2, 15, 15}, {12, 6, 2, 18, 18}, {12, 7, 2, 21, 21}, {12, 8, 2, 24, 24},
    // HDMV: as planar, even channel counts only.
    {13, 2, 0, 4, 4},   {13, 4, 0, 8, 8},   {13, 6, 0, 12, 12}, {13, 8, 0, 16, 16},
    {13, 2, 1, 6, 6},   {13, 4, 1, 12, 12}, {13, 6, 1, 18, 18}, {13, 8, 1, 24, 24},
    {13, 2, 2, 6, 6},   {13, 4, 2, 12, 12}, {13, 6, 2, 18, 18}, {13, 8, 2, 24, 24},
};

// 302M and D-10 frames carry a 4-byte element header; HDMV frames a 4-byte
// frame header, for which the frame buffer keeps room too.
uint32_t header_bytes(int32_t layer) { return layer == 10 || layer == 11 || layer == 13 ? 4 : 0; }

std::string row_name(const PeriodRow &p, int32_t rate_code, int32_t sample_rate) {
    return "layer " + std::to_string(p.layer) + ", " + std::to_string(p.channels) + " ch, q" +
           std::to_string(p.quantization) + ", code " + std::to_string(rate_code) + ", " +
           std::to_string(sample_rate) + " Hz";
}

TEST(Geometry, AesLayersFollowTheFrameRateCodeAtBothSampleRates) {
    int checked = 0;
    for (const PeriodRow &p : kPeriods) {
        if (p.layer == 4 || p.layer == 13) continue;
        for (const RateRow &r : kRates) {
            for (int32_t sample_rate : {48000, 96000}) {
                SCOPED_TRACE(row_name(p, r.code, sample_rate) + " (" + r.rate + ")");
                Geometry g{};
                g.frame_buf = p.output * r.samples[0] + header_bytes(p.layer);
                g.stage_buf = p.input * r.samples[0];
                for (int i = 0; i < kSteps; ++i) {
                    g.input[i] = p.input * r.samples[i];
                    g.written[i] = p.output * r.samples[i] + header_bytes(p.layer);
                }
                for (int i = 0; i < kFramesObserved; ++i) g.stamps[i] = r.stamps[i];
                expect_geometry(make_settings(p.channels, p.layer, p.quantization), r.code,
                                sample_rate, g);
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 52 * 8 * 2);
}

TEST(Geometry, LpcmLayersFollowTheSampleRateAndIgnoreTheFrameRateCode) {
    struct LpcmRate {
        int32_t layer;
        int32_t sample_rate;
        uint32_t samples;
        int64_t duration;
    } const rates[] = {
        {4, 48000, 80, 45000},    // 1/600 s
        {4, 96000, 160, 45000},
        {13, 48000, 240, 135000},  // 1/200 s
        {13, 96000, 480, 135000},
    };
    int checked = 0;
    for (const PeriodRow &p : kPeriods) {
        if (p.layer != 4 && p.layer != 13) continue;
        for (const LpcmRate &r : rates) {
            if (r.layer != p.layer) continue;
            for (int32_t rate_code : {0, 1, 4, 7, 9}) {
                SCOPED_TRACE(row_name(p, rate_code, r.sample_rate));
                Geometry g{};
                g.frame_buf = p.output * r.samples + header_bytes(p.layer);
                for (int i = 0; i < kSteps; ++i) {
                    g.input[i] = p.input * r.samples;
                    g.written[i] = p.output * r.samples + header_bytes(p.layer);
                }
                for (int i = 0; i < kFramesObserved; ++i) g.stamps[i] = i * r.duration;
                expect_geometry(make_settings(p.channels, p.layer, p.quantization), rate_code,
                                r.sample_rate, g);
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, (2 + 12) * 2 * 5);
}

// The running timestamp is a sum of durations, never a product that loses
// the half ticks: after 1000 frames at 60000/1001 (200 cadences of 4004
// samples) the stream stands at exactly 200 x 2252250 ticks.
TEST(Geometry, CadenceTimestampsDoNotDriftOverLongStreams) {
    struct Case {
        const char *name;
        pcm_a_settings settings;
        int32_t rate_code;
        uint32_t input_per_cadence;  // input bytes of five frames
        int frames;
        int64_t last_stamp;  // timestamp of the frame numbered `frames`
    } const cases[] = {
        // 4004 stereo 16-bit periods per cadence: 16016 bytes; frame 1000 at 200 cadences.
        {"planar 60000/1001", make_settings(2, 12, 0), 7, 16016, 1000, 450450000},
        // 8008 periods of 4 bytes: 32032 bytes; frame 500 at 100 cadences of 4504500.
        {"302M 30000/1001", make_settings(2, 10, 0), 4, 32032, 500, 450450000},
        // DVD: frame 1000 starts at 1000 x 45000.
        {"DVD", make_settings(2, 4, 0), 0, 5 * 320, 1000, 45000000},
        // HDMV: frame 1000 starts at 1000 x 135000.
        {"HDMV", make_settings(2, 13, 0), 0, 5 * 960, 1000, 135000000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Host host;
        pcm_a_encoder *enc = host.new_encoder(&c.settings, 0, c.rate_code, 48000);
        ASSERT_NE(enc, nullptr);
        RecordingStream out;
        ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
        const std::vector<uint8_t> cadence(c.input_per_cadence, 0x5A);
        for (int i = 0; i < c.frames / 5; ++i) {
            ASSERT_EQ(pcmOutAudioPutBytes(enc, cadence.data(), c.input_per_cadence), 0);
        }
        ASSERT_EQ(pcmOutAudioPutBytes(enc, cadence.data(), 1), 0);
        ASSERT_EQ(pcmOutAudioDone(enc, 0), 0);
        pcmOutAudioFree(enc);
        const std::vector<aux_record> aux = out.aux_records();
        ASSERT_EQ(aux.size(), 1u + c.frames + 1);  // header, whole frames, padded frame
        EXPECT_EQ(aux.back().timestamp, c.last_stamp);
        EXPECT_EQ(host.live_count(), 0u);
    }
}

}  // namespace
