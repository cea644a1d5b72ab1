// SPDX-License-Identifier: BSD-2-Clause
// DVD linear PCM as it lands on the host's stream: the "LPCM" stream header,
// 1/600 s frames of big-endian 16-bit words, the zero-padded last frame, and
// what a failed write leaves behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/host_fakes.h"

namespace {

using fakes::describe_events;
using fakes::hex;
using fakes::Host;
using fakes::make_settings;
using fakes::Message;
using fakes::RecordingStream;

const Message kWriteFailed{"P002:Could not write PCM buffer to audio bufstream", {}};

// The 16-bit words of a frame as the stream carries them: each byte pair
// exchanged unless the input is already big-endian.
std::vector<uint8_t> big_endian_words(std::vector<uint8_t> bytes, bool input_big_endian) {
    if (!input_big_endian) {
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
    }
    return bytes;
}

std::vector<uint8_t> counting_bytes(size_t count, uint8_t first = 1) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

std::vector<uint8_t> slice(const std::vector<uint8_t> &bytes, size_t from, size_t count) {
    return {bytes.begin() + from, bytes.begin() + from + count};
}

// Successful writes after the stream header.
std::vector<std::vector<uint8_t>> frames_written(const RecordingStream &out) {
    std::vector<std::vector<uint8_t>> frames;
    for (const fakes::Event &e : out.events) {
        if (e.kind == fakes::EventKind::write && !e.write_failed) frames.push_back(e.data);
    }
    if (!frames.empty()) frames.erase(frames.begin());
    return frames;
}

using Encoder = fakes::LpcmEncoder;

TEST(DvdLpcm, StreamHeaderBytes) {
    struct Case {
        const char *name;
        pcm_a_settings settings;
        int32_t sample_rate;
        std::vector<uint8_t> header;
    } const cases[] = {
        // Byte 4: b7 mute, b5-6 quantization, b2-4 channels - 1, b1 emphasis,
        // b0 rate other than 48 kHz. Byte 5: dynamic range.
        {"stereo 48k", make_settings(2, 4, 0, 0, 0, 128), 48000,
         {0x4C, 0x50, 0x43, 0x4D, 0x04, 0x80, 0x00, 0x00}},
        {"mono 96k muted", make_settings(1, 4, 0, 0, 1, 128), 96000,
         {0x4C, 0x50, 0x43, 0x4D, 0x81, 0x80, 0x00, 0x00}},
        {"stereo 48k emphasis", make_settings(2, 4, 0, 1, 0, 128), 48000,
         {0x4C, 0x50, 0x43, 0x4D, 0x06, 0x80, 0x00, 0x00}},
        {"mono 48k, range 0", make_settings(1, 4, 0, 0, 0, 0), 48000,
         {0x4C, 0x50, 0x43, 0x4D, 0x00, 0x00, 0x00, 0x00}},
        {"stereo 96k, range 200", make_settings(2, 4, 0, 0, 0, 200), 96000,
         {0x4C, 0x50, 0x43, 0x4D, 0x05, 0xC8, 0x00, 0x00}},
        {"mono 48k, emphasis, muted, range 0x1234 (low byte)", make_settings(1, 4, 0, 1, 1, 0x1234),
         48000, {0x4C, 0x50, 0x43, 0x4D, 0x82, 0x34, 0x00, 0x00}},
        {"stereo 96k muted, range -1", make_settings(2, 4, 0, 0, 1, -1), 96000,
         {0x4C, 0x50, 0x43, 0x4D, 0x85, 0xFF, 0x00, 0x00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Encoder e(c.settings, c.sample_rate);
        ASSERT_NE(e.enc, nullptr);
        // A first call with no bytes writes the header and nothing else;
        // later empty calls write nothing.
        EXPECT_EQ(e.put({}), 0);
        EXPECT_EQ(e.put({}), 0);
        EXPECT_EQ(pcmOutAudioPutBytes(e.enc, nullptr, 0), 0);
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1");
        EXPECT_EQ(hex(e.out.bytes()), hex(c.header));
        EXPECT_EQ(pcmOutAudioDone(e.enc, 0), 0);
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1");
        EXPECT_TRUE(e.host.errors.empty());
    }
}

TEST(DvdLpcm, WordsLeaveBigEndian) {
    struct Case {
        const char *name;
        int32_t input_flags;
        std::vector<uint8_t> first_bytes;  // of the frame on the stream
    } const cases[] = {
        {"little-endian input", 0, {0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07}},
        {"big-endian input", PCM_INPUT_BIG_ENDIAN,
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
        {"bit 0 clear, other bits set", 0x7FFFFFFE,
         {0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07}},
        {"bit 0 and others set", -1, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Encoder e(make_settings(1, 4, 0), 48000, c.input_flags);
        ASSERT_NE(e.enc, nullptr);
        const std::vector<uint8_t> input = counting_bytes(160);  // 01 02 .. A0
        const std::vector<uint8_t> untouched = input;
        ASSERT_EQ(e.put(input), 0);
        EXPECT_EQ(input, untouched);  // the caller's buffer is only read
        const auto frames = frames_written(e.out);
        ASSERT_EQ(frames.size(), 1u);
        ASSERT_EQ(frames[0].size(), 160u);
        EXPECT_EQ(hex(slice(frames[0], 0, 8)), hex(c.first_bytes));
        const bool swapped = c.first_bytes[0] == 0x02;
        EXPECT_EQ(hex(slice(frames[0], 152, 8)),
                  swapped ? "9A 99 9C 9B 9E 9D A0 9F" : "99 9A 9B 9C 9D 9E 9F A0");
    }
}

TEST(DvdLpcm, ExactlyOneFrameLeavesNothingPending) {
    struct Case {
        int32_t channels;
        int32_t sample_rate;
        uint32_t frame;
    } const cases[] = {{1, 48000, 160}, {2, 48000, 320}, {1, 96000, 320}, {2, 96000, 640}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " ch " + std::to_string(c.sample_rate));
        Encoder e(make_settings(c.channels, 4, 0), c.sample_rate);
        ASSERT_NE(e.enc, nullptr);
        const std::vector<uint8_t> input = fakes::random_bytes(c.frame, c.frame);
        ASSERT_EQ(e.put(input), 0);
        EXPECT_EQ(pcmOutAudioDone(e.enc, 0), 0);
        const std::string frame = std::to_string(c.frame);
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W" + frame + " A" + frame + "@0");
        const auto frames = frames_written(e.out);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0], big_endian_words(input, false));
    }
}

TEST(DvdLpcm, FramesAreStampedEvery45000Ticks) {
    Encoder e(make_settings(2, 4, 0), 48000);
    ASSERT_NE(e.enc, nullptr);
    const std::vector<uint8_t> input = fakes::random_bytes(320 * 12, 600);
    ASSERT_EQ(e.put(input), 0);
    ASSERT_EQ(pcmOutAudioDone(e.enc, 0), 0);
    const std::vector<aux_record> aux = e.out.aux_records();
    ASSERT_EQ(aux.size(), 13u);
    for (size_t i = 1; i < aux.size(); ++i) {
        EXPECT_EQ(aux[i].byte_count, 320u) << "frame " << i - 1;
        EXPECT_EQ(aux[i].timestamp, static_cast<int64_t>(i - 1) * 45000) << "frame " << i - 1;
    }
    const auto frames = frames_written(e.out);
    ASSERT_EQ(frames.size(), 12u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i], big_endian_words(slice(input, i * 320, 320), false)) << "frame " << i;
    }
}

TEST(DvdLpcm, DonePadsThePartialFrameWithZeros) {
    struct Case {
        const char *name;
        int32_t input_flags;
        size_t whole_frames;
        std::vector<uint8_t> tail;        // the bytes left pending
        std::vector<uint8_t> frame_head;  // first bytes of the padded frame
        int64_t stamp;
    } const cases[] = {
        {"one byte", 0, 0, {0xAB}, {0x00, 0xAB, 0x00, 0x00}, 0},
        {"one byte, big-endian input", 1, 0, {0xAB}, {0xAB, 0x00, 0x00, 0x00}, 0},
        {"six bytes after two frames", 0, 2, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66},
         {0x22, 0x11, 0x44, 0x33, 0x66, 0x55, 0x00, 0x00}, 90000},
        {"six bytes, big-endian input", 1, 1, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66},
         {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x00, 0x00}, 45000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Encoder e(make_settings(2, 4, 0), 48000, c.input_flags);
        ASSERT_NE(e.enc, nullptr);
        std::vector<uint8_t> input = fakes::random_bytes(320 * c.whole_frames, 7);
        input.insert(input.end(), c.tail.begin(), c.tail.end());
        ASSERT_EQ(e.put(input), 0);
        EXPECT_EQ(e.out.aux_records().size(), 1 + c.whole_frames);  // the tail waits
        ASSERT_EQ(pcmOutAudioDone(e.enc, 0), 0);
        const auto frames = frames_written(e.out);
        ASSERT_EQ(frames.size(), c.whole_frames + 1);
        const std::vector<uint8_t> &last = frames.back();
        ASSERT_EQ(last.size(), 320u);
        EXPECT_EQ(hex(slice(last, 0, c.frame_head.size())), hex(c.frame_head));
        EXPECT_EQ(last, [&] {
            std::vector<uint8_t> padded = c.tail;
            padded.resize(320, 0);
            return big_endian_words(padded, c.input_flags == 1);
        }());
        const aux_record aux = e.out.aux_records().back();
        EXPECT_EQ(aux.byte_count, 320u);
        EXPECT_EQ(aux.timestamp, c.stamp);
    }
}

TEST(DvdLpcm, LongestPartialFrameIsPadded) {
    Encoder e(make_settings(2, 4, 0), 96000);
    ASSERT_NE(e.enc, nullptr);
    const std::vector<uint8_t> input = fakes::random_bytes(639, 639);
    ASSERT_EQ(e.put(input), 0);
    EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1");
    ASSERT_EQ(pcmOutAudioDone(e.enc, 0), 0);
    EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W640 A640@0");
    std::vector<uint8_t> padded = input;
    padded.push_back(0);
    EXPECT_EQ(frames_written(e.out).at(0), big_endian_words(padded, false));
    EXPECT_EQ(frames_written(e.out).at(0)[638], 0x00);  // the missing byte, now high
}

// A write that returns anything but the frame size fails the call; the rest
// of the call's bytes are neither written nor kept, and the next frame takes
// the failed frame's place in time.
TEST(DvdLpcm, FailedWriteInTheWholeFrameLoop) {
    const uint32_t results[] = {0, 319, 321, 640};
    for (uint32_t result : results) {
        SCOPED_TRACE("write returns " + std::to_string(result));
        Encoder e(make_settings(2, 4, 0), 48000);
        ASSERT_NE(e.enc, nullptr);
        e.out.fail_write_call = 3;  // header, frame 0, frame 1
        e.out.fail_result = result;
        const std::vector<uint8_t> input = fakes::random_bytes(1000, 1000);
        EXPECT_EQ(e.put(input), 1);
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W320 A320@0 W320!");
        EXPECT_EQ(e.host.errors, std::vector<Message>{kWriteFailed});

        const std::vector<uint8_t> next = fakes::random_bytes(320, 320);
        EXPECT_EQ(e.put(next), 0);
        EXPECT_EQ(pcmOutAudioDone(e.enc, 0), 0);  // nothing of the failed call kept
        EXPECT_EQ(describe_events(e.out.events),
                  "W8 A8@-1 W320 A320@0 W320! W320 A320@45000");
        const auto frames = frames_written(e.out);
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0], big_endian_words(slice(input, 0, 320), false));
        EXPECT_EQ(frames[1], big_endian_words(next, false));
        EXPECT_EQ(e.host.errors.size(), 1u);
    }
}

// A frame completed from pending bytes whose write fails keeps those bytes as
// the caller gave them, not byte-swapped: a later call that supplies the rest
// of the frame again writes correct audio.
TEST(DvdLpcm, PendingBytesStayUnswappedWhenTheirFrameWriteFails) {
    for (int32_t input_flags : {0, PCM_INPUT_BIG_ENDIAN}) {
        SCOPED_TRACE("input_flags " + std::to_string(input_flags));
        Encoder e(make_settings(2, 4, 0), 48000, input_flags);
        ASSERT_NE(e.enc, nullptr);
        const std::vector<uint8_t> frame = counting_bytes(320, 0x10);  // 10 11 12 ..
        const bool big_endian = input_flags == PCM_INPUT_BIG_ENDIAN;
        ASSERT_EQ(e.put(slice(frame, 0, 100)), 0);

        e.out.fail_write_call = e.out.write_calls + 1;
        EXPECT_EQ(e.put(slice(frame, 100, 220)), 1);
        EXPECT_EQ(e.host.errors, std::vector<Message>{kWriteFailed});
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W320!");

        ASSERT_EQ(e.put(slice(frame, 100, 220)), 0);
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W320! W320 A320@0");
        const auto frames = frames_written(e.out);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(hex(slice(frames[0], 0, 4)), big_endian ? "10 11 12 13" : "11 10 13 12");
        EXPECT_EQ(hex(slice(frames[0], 98, 4)), big_endian ? "72 73 74 75" : "73 72 75 74");
        EXPECT_EQ(frames[0], big_endian_words(frame, big_endian));
        EXPECT_EQ(pcmOutAudioDone(e.enc, 0), 0);
        EXPECT_EQ(e.out.aux_records().size(), 2u);
    }
}

// After the failed completion the pending count is the old one: Done pads
// from there, so the frame holds only the bytes that were pending before.
TEST(DvdLpcm, DoneAfterAFailedCompletionFlushesTheOldPendingBytes) {
    Encoder e(make_settings(1, 4, 0), 48000);
    ASSERT_NE(e.enc, nullptr);
    const std::vector<uint8_t> frame = counting_bytes(160, 0x40);
    ASSERT_EQ(e.put(slice(frame, 0, 4)), 0);  // 40 41 42 43
    e.out.fail_write_call = e.out.write_calls + 1;
    EXPECT_EQ(e.put(slice(frame, 4, 156)), 1);
    ASSERT_EQ(pcmOutAudioDone(e.enc, 0), 0);
    EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W160! W160 A160@0");
    const auto frames = frames_written(e.out);
    ASSERT_EQ(frames.size(), 1u);
    std::vector<uint8_t> expected = {0x41, 0x40, 0x43, 0x42};
    expected.resize(160, 0);
    EXPECT_EQ(hex(frames[0]), hex(expected));
}

TEST(DvdLpcm, FailedWriteWhileAddingToAPendingFrameThatStaysPartial) {
    // A call too short to complete the pending frame writes nothing, so it
    // cannot fail however the stream behaves.
    Encoder e(make_settings(2, 4, 0), 48000);
    ASSERT_NE(e.enc, nullptr);
    ASSERT_EQ(e.put(counting_bytes(100)), 0);
    e.out.fail_writes_from = e.out.write_calls + 1;
    EXPECT_EQ(e.put(counting_bytes(219, 101)), 0);
    EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1");
    e.out.fail_writes_from = 0;
    ASSERT_EQ(e.put(counting_bytes(1, 64)), 0);  // byte 320 of the frame: 0x40
    const auto frames = frames_written(e.out);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(hex(slice(frames[0], 316, 4)), "3E 3D 40 3F");
    EXPECT_TRUE(e.host.errors.empty());
}

}  // namespace
