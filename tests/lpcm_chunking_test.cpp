// SPDX-License-Identifier: BSD-2-Clause
// The linear PCM streams depend only on the bytes fed, never on how the host
// cut them into calls: one byte per call, one big call and random pieces all
// give the same writes and records, and those match the frames built here
// from the format.
//
// The pieces are random; a failure prints the PCMPACK_TEST_SEED that replays it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/host_fakes.h"

namespace {

using fakes::Event;
using fakes::EventKind;
using fakes::Host;
using fakes::make_settings;
using fakes::RecordingStream;

struct Format {
    const char *name;
    pcm_a_settings settings;
    int32_t sample_rate;
    uint32_t frame_input;        // input bytes per frame
    std::vector<uint8_t> header;  // the stream header
    std::vector<uint8_t> frame_header;  // HDMV only
    int64_t duration;
};

const Format kFormats[] = {
    {"DVD mono 48k", make_settings(1, 4, 0), 48000, 160,
     {0x4C, 0x50, 0x43, 0x4D, 0x00, 0x80, 0x00, 0x00}, {}, 45000},
    {"DVD stereo 48k, emphasis", make_settings(2, 4, 0, 1, 0, 128), 48000, 320,
     {0x4C, 0x50, 0x43, 0x4D, 0x06, 0x80, 0x00, 0x00}, {}, 45000},
    {"DVD stereo 96k, muted", make_settings(2, 4, 0, 0, 1, 7), 96000, 640,
     {0x4C, 0x50, 0x43, 0x4D, 0x85, 0x07, 0x00, 0x00}, {}, 45000},
    {"HDMV 2ch 16-bit 48k", make_settings(2, 13, 0), 48000, 960,
     {0x48, 0x44, 0x4D, 0x56, 0x0D, 0x01, 0x00, 0x00}, {0x03, 0xC0, 0x31, 0x40}, 135000},
    {"HDMV 4ch 20-bit 96k", make_settings(4, 13, 1), 96000, 5760,
     {0x48, 0x44, 0x4D, 0x56, 0x0D, 0x2B, 0x00, 0x00}, {0x16, 0x80, 0x44, 0x80}, 135000},
    {"HDMV 6ch 24-bit 48k", make_settings(6, 13, 2), 48000, 4320,
     {0x48, 0x44, 0x4D, 0x56, 0x0D, 0x15, 0x00, 0x00}, {0x10, 0xE0, 0x81, 0xC0}, 135000},
};

// The stream the format prescribes for `input`: header, then every frame
// (the last one zero-padded), each followed by its record.
std::vector<Event> expected_events(const Format &f, const std::vector<uint8_t> &input,
                                   int32_t input_flags) {
    std::vector<Event> events;
    auto write = [&](std::vector<uint8_t> data) {
        Event e{EventKind::write, std::move(data)};
        events.push_back(std::move(e));
    };
    auto aux = [&](uint32_t count, int64_t stamp) {
        Event e{EventKind::aux, {}};
        e.aux.byte_count = count;
        e.aux.timestamp = stamp;
        e.aux_id = AUX_FRAME_INFO_ID;
        e.aux_size = 16;
        events.push_back(std::move(e));
    };
    write(f.header);
    aux(8, -1);
    const bool hdmv = f.settings.audio_layer == PCM_LAYER_HDMV_LPCM;
    const bool swap = !hdmv && (input_flags & 1) == 0;
    for (size_t start = 0, n = 0; start < input.size(); start += f.frame_input, ++n) {
        std::vector<uint8_t> frame(f.frame_input, 0);
        for (size_t i = 0; i < f.frame_input && start + i < input.size(); ++i) {
            frame[i] = input[start + i];
        }
        if (swap) {
            for (size_t i = 0; i + 1 < frame.size(); i += 2) std::swap(frame[i], frame[i + 1]);
        }
        if (hdmv) write(f.frame_header);
        write(std::move(frame));
        aux(f.frame_input + (hdmv ? 4 : 0), static_cast<int64_t>(n) * f.duration);
    }
    return events;
}

// Feeds `input` in pieces of the given sizes (which add up to its length),
// then Done.
std::vector<Event> encode(const Format &f, int32_t input_flags, const std::vector<uint8_t> &input,
                          const std::vector<uint32_t> &pieces) {
    Host host;
    pcm_a_encoder *enc = host.new_encoder(&f.settings, input_flags, 0, f.sample_rate);
    EXPECT_NE(enc, nullptr);
    if (!enc) return {};
    RecordingStream out;
    EXPECT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    size_t at = 0;
    for (uint32_t piece : pieces) {
        EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data() + at, piece), 0);
        at += piece;
    }
    EXPECT_EQ(at, input.size());
    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
    pcmOutAudioFree(enc);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ(host.live_count(), 0u);
    EXPECT_TRUE(host.freed_foreign.empty());
    return out.events;
}

// Compares call by call, naming the first difference.
void expect_same_events(const std::vector<Event> &expected, const std::vector<Event> &actual,
                        const char *feeding) {
    SCOPED_TRACE(feeding);
    ASSERT_EQ(fakes::describe_events(actual), fakes::describe_events(expected));
    for (size_t i = 0; i < expected.size(); ++i) {
        if (expected[i].kind == EventKind::write) {
            ASSERT_EQ(actual[i].data, expected[i].data) << "write at event " << i;
        }
    }
}

TEST(LpcmChunking, PieceSizesDoNotChangeTheStream) {
    constexpr int kSeedsPerCase = 4;
    int compared = 0;
    for (const Format &f : kFormats) {
        for (int32_t input_flags : {0, PCM_INPUT_BIG_ENDIAN}) {
            for (int round = 0; round < kSeedsPerCase; ++round) {
                SCOPED_TRACE(std::string(f.name) + ", input_flags " +
                             std::to_string(input_flags) + ", round " + std::to_string(round));
                std::mt19937 gen(fakes::test_seed() + static_cast<uint32_t>(compared) * 7919u);
                // Up to four frames and a partial one; round 0 ends on a frame
                // boundary so that Done has nothing to flush. Never empty: a
                // host that feeds nothing makes no call to compare.
                const uint32_t frames = round == 0 ? 1 + gen() % 4 : gen() % 4;
                const uint32_t tail = round == 0 ? 0 : 1 + gen() % (f.frame_input - 1);
                const std::vector<uint8_t> input =
                    fakes::random_bytes(frames * f.frame_input + tail, gen());

                const std::vector<Event> expected = expected_events(f, input, input_flags);

                const std::vector<uint32_t> whole = {static_cast<uint32_t>(input.size())};
                expect_same_events(expected, encode(f, input_flags, input, whole), "one call");

                const std::vector<uint32_t> bytewise(input.size(), 1);
                expect_same_events(expected, encode(f, input_flags, input, bytewise),
                                   "one byte per call");

                std::vector<uint32_t> random_pieces;
                for (size_t left = input.size(); left > 0;) {
                    // Empty calls, short ones, and ones longer than a frame.
                    const uint32_t longest = 2 * f.frame_input + 1;
                    const uint32_t piece =
                        std::min<uint32_t>(static_cast<uint32_t>(left), gen() % (longest + 1));
                    random_pieces.push_back(piece);
                    left -= piece;
                }
                expect_same_events(expected, encode(f, input_flags, input, random_pieces),
                                   "random pieces");
                ++compared;
            }
        }
    }
    EXPECT_EQ(compared, 6 * 2 * kSeedsPerCase);
}

// Frame-sized and off-by-one pieces around each frame boundary.
TEST(LpcmChunking, PiecesAroundFrameBoundaries) {
    int compared = 0;
    for (const Format &f : kFormats) {
        const uint32_t n = f.frame_input;
        const std::vector<std::vector<uint32_t>> piecings = {
            {n - 1, 1, n, n + 1, n - 1},
            {1, n - 1, n - 1, 1, 2 * n},
            {n + 1, n - 2, 0, 1, 0, n},
            {2 * n - 1, 2, 2 * n - 1},
        };
        for (const std::vector<uint32_t> &pieces : piecings) {
            uint32_t total = 0;
            for (uint32_t p : pieces) total += p;
            SCOPED_TRACE(std::string(f.name) + ", " + std::to_string(total) + " bytes");
            const std::vector<uint8_t> input = fakes::random_bytes(total, total);
            expect_same_events(expected_events(f, input, 0), encode(f, 0, input, pieces),
                               "boundary pieces");
            ++compared;
        }
    }
    EXPECT_EQ(compared, 6 * 4);
}

}  // namespace
