// SPDX-License-Identifier: BSD-2-Clause
// HDMV linear PCM as it lands on the host's stream: the "HDMV" stream header,
// 1/200 s frames each written as a 4-byte frame header and the payload exactly
// as the caller gave it, the zero-padded last frame, and failed writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
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

std::vector<uint8_t> slice(const std::vector<uint8_t> &bytes, size_t from, size_t count) {
    return {bytes.begin() + from, bytes.begin() + from + count};
}

std::vector<std::vector<uint8_t>> successful_writes(const RecordingStream &out) {
    std::vector<std::vector<uint8_t>> writes;
    for (const fakes::Event &e : out.events) {
        if (e.kind == fakes::EventKind::write && !e.write_failed) writes.push_back(e.data);
    }
    return writes;
}

using Encoder = fakes::LpcmEncoder;

// Every admitted format: stream header byte 5 (b5-6 rate, b3-4 quantization,
// b0-2 channels - 1) and the frame header (payload size big-endian; channel
// assignment 3/4/8/10 and sampling frequency 1/4; bits per sample 1/2/3).
struct FormatCase {
    int32_t channels;
    int32_t quantization;
    int32_t sample_rate;
    uint32_t payload;
    uint8_t stream_byte5;
    std::vector<uint8_t> frame_header;
};

const FormatCase kFormats[] = {
    {2, 0, 48000, 960, 0x01, {0x03, 0xC0, 0x31, 0x40}},
    {2, 1, 48000, 1440, 0x09, {0x05, 0xA0, 0x31, 0x80}},
    {2, 2, 48000, 1440, 0x11, {0x05, 0xA0, 0x31, 0xC0}},
    {4, 0, 48000, 1920, 0x03, {0x07, 0x80, 0x41, 0x40}},
    {4, 1, 48000, 2880, 0x0B, {0x0B, 0x40, 0x41, 0x80}},
    {4, 2, 48000, 2880, 0x13, {0x0B, 0x40, 0x41, 0xC0}},
    {6, 0, 48000, 2880, 0x05, {0x0B, 0x40, 0x81, 0x40}},
    {6, 1, 48000, 4320, 0x0D, {0x10, 0xE0, 0x81, 0x80}},
    {6, 2, 48000, 4320, 0x15, {0x10, 0xE0, 0x81, 0xC0}},
    {8, 0, 48000, 3840, 0x07, {0x0F, 0x00, 0xA1, 0x40}},
    {8, 1, 48000, 5760, 0x0F, {0x16, 0x80, 0xA1, 0x80}},
    {8, 2, 48000, 5760, 0x17, {0x16, 0x80, 0xA1, 0xC0}},
    {2, 0, 96000, 1920, 0x21, {0x07, 0x80, 0x34, 0x40}},
    {2, 1, 96000, 2880, 0x29, {0x0B, 0x40, 0x34, 0x80}},
    {2, 2, 96000, 2880, 0x31, {0x0B, 0x40, 0x34, 0xC0}},
    {4, 0, 96000, 3840, 0x23, {0x0F, 0x00, 0x44, 0x40}},
    {4, 1, 96000, 5760, 0x2B, {0x16, 0x80, 0x44, 0x80}},
    {4, 2, 96000, 5760, 0x33, {0x16, 0x80, 0x44, 0xC0}},
    {6, 0, 96000, 5760, 0x25, {0x16, 0x80, 0x84, 0x40}},
    {6, 1, 96000, 8640, 0x2D, {0x21, 0xC0, 0x84, 0x80}},
    {6, 2, 96000, 8640, 0x35, {0x21, 0xC0, 0x84, 0xC0}},
    {8, 0, 96000, 7680, 0x27, {0x1E, 0x00, 0xA4, 0x40}},
    {8, 1, 96000, 11520, 0x2F, {0x2D, 0x00, 0xA4, 0x80}},
    {8, 2, 96000, 11520, 0x37, {0x2D, 0x00, 0xA4, 0xC0}},
};

std::string format_name(const FormatCase &f) {
    return std::to_string(f.channels) + " ch, q" + std::to_string(f.quantization) + ", " +
           std::to_string(f.sample_rate) + " Hz";
}

// Two frames and a partial one per format: the header bytes, the frame
// header before every payload, the payload untouched whatever the byte-order
// flag says, the padded last frame and the timestamps.
TEST(HdmvLpcm, EveryFormatHeaderAndFrame) {
    for (const FormatCase &f : kFormats) {
        for (int32_t input_flags : {0, PCM_INPUT_BIG_ENDIAN}) {
            SCOPED_TRACE(format_name(f) + ", input_flags " + std::to_string(input_flags));
            Encoder e(make_settings(f.channels, 13, f.quantization), f.sample_rate, input_flags);
            ASSERT_NE(e.enc, nullptr);
            EXPECT_EQ(e.host.malloc_sizes.at(1), f.payload + 4);
            const uint32_t tail = 7;
            const std::vector<uint8_t> input =
                fakes::random_bytes(2 * f.payload + tail, f.payload + input_flags);
            const std::vector<uint8_t> untouched = input;
            ASSERT_EQ(e.put(input), 0);
            EXPECT_EQ(input, untouched);
            ASSERT_EQ(pcmOutAudioDone(e.enc, 0), 0);

            const std::string p = std::to_string(f.payload);
            const std::string a = std::to_string(f.payload + 4);
            EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W4 W" + p + " A" + a + "@0 W4 W" +
                                                         p + " A" + a + "@135000 W4 W" + p +
                                                         " A" + a + "@270000");
            const auto writes = successful_writes(e.out);
            ASSERT_EQ(writes.size(), 7u);
            const std::vector<uint8_t> stream_header = {0x48, 0x44, 0x4D, 0x56,
                                                        0x0D, f.stream_byte5, 0x00, 0x00};
            EXPECT_EQ(hex(writes[0]), hex(stream_header));
            for (size_t frame = 0; frame < 3; ++frame) {
                EXPECT_EQ(hex(writes[1 + 2 * frame]), hex(f.frame_header)) << "frame " << frame;
            }
            EXPECT_EQ(writes[2], slice(input, 0, f.payload));
            EXPECT_EQ(writes[4], slice(input, f.payload, f.payload));
            std::vector<uint8_t> padded = slice(input, 2 * f.payload, tail);
            padded.resize(f.payload, 0);
            EXPECT_EQ(writes[6], padded);
            EXPECT_TRUE(e.host.errors.empty());
        }
    }
}

TEST(HdmvLpcm, EmptyCallsWriteOnlyTheHeader) {
    Encoder e(make_settings(2, 13, 0), 48000);
    ASSERT_NE(e.enc, nullptr);
    EXPECT_EQ(e.put({}), 0);
    EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1");
    EXPECT_EQ(hex(e.out.bytes()), "48 44 4D 56 0D 01 00 00");
    EXPECT_EQ(e.put({}), 0);
    EXPECT_EQ(pcmOutAudioPutBytes(e.enc, nullptr, 0), 0);
    EXPECT_EQ(pcmOutAudioDone(e.enc, 0), 0);
    EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1");
}

TEST(HdmvLpcm, ExactlyOneFrameLeavesNothingPending) {
    Encoder e(make_settings(2, 13, 0), 48000);
    ASSERT_NE(e.enc, nullptr);
    const std::vector<uint8_t> input = fakes::random_bytes(960, 960);
    ASSERT_EQ(e.put(input), 0);
    ASSERT_EQ(pcmOutAudioDone(e.enc, 0), 0);
    EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W4 W960 A964@0");
    std::vector<uint8_t> expected = {0x48, 0x44, 0x4D, 0x56, 0x0D, 0x01, 0x00, 0x00,
                                     0x03, 0xC0, 0x31, 0x40};
    expected.insert(expected.end(), input.begin(), input.end());
    EXPECT_EQ(e.out.bytes(), expected);
}

TEST(HdmvLpcm, FramesAreStampedEvery135000Ticks) {
    Encoder e(make_settings(8, 13, 2), 96000);
    ASSERT_NE(e.enc, nullptr);
    const std::vector<uint8_t> input = fakes::random_bytes(11520 * 9, 200);
    ASSERT_EQ(e.put(input), 0);
    const std::vector<aux_record> aux = e.out.aux_records();
    ASSERT_EQ(aux.size(), 10u);
    for (size_t i = 1; i < aux.size(); ++i) {
        EXPECT_EQ(aux[i].byte_count, 11524u) << "frame " << i - 1;
        EXPECT_EQ(aux[i].timestamp, static_cast<int64_t>(i - 1) * 135000) << "frame " << i - 1;
    }
    EXPECT_EQ(pcmOutAudioDone(e.enc, 0), 0);
    EXPECT_EQ(e.out.aux_records().size(), 10u);
}

// The frame header write fails: no payload follows, no record, and the next
// frame keeps the failed frame's timestamp.
TEST(HdmvLpcm, FrameHeaderWriteFailure) {
    for (uint32_t result : {0u, 3u, 5u}) {
        SCOPED_TRACE("write returns " + std::to_string(result));
        Encoder e(make_settings(2, 13, 0), 48000);
        ASSERT_NE(e.enc, nullptr);
        e.out.fail_write_call = 4;  // header, frame 0 header, payload, frame 1 header
        e.out.fail_result = result;
        const std::vector<uint8_t> input = fakes::random_bytes(960 * 3 + 5, 3);
        EXPECT_EQ(e.put(input), 1);
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W4 W960 A964@0 W4!");
        EXPECT_EQ(e.host.errors, std::vector<Message>{kWriteFailed});
        EXPECT_EQ(pcmOutAudioDone(e.enc, 0), 0);  // the rest of the call was dropped
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W4 W960 A964@0 W4!");
    }
}

// The payload write fails after its frame header went out: the header stays
// on the stream, no record follows.
TEST(HdmvLpcm, PayloadWriteFailureLeavesTheFrameHeader) {
    for (uint32_t result : {0u, 959u, 961u, 964u}) {
        SCOPED_TRACE("write returns " + std::to_string(result));
        Encoder e(make_settings(2, 13, 0), 48000);
        ASSERT_NE(e.enc, nullptr);
        e.out.fail_write_call = 3;
        e.out.fail_result = result;
        const std::vector<uint8_t> input = fakes::random_bytes(960 * 2, 4);
        EXPECT_EQ(e.put(input), 1);
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W4 W960!");
        EXPECT_EQ(e.host.errors, std::vector<Message>{kWriteFailed});
        EXPECT_EQ(hex(e.out.bytes()), "48 44 4D 56 0D 01 00 00 03 C0 31 40");

        // The next frame is stamped 0: the failed one never counted.
        const std::vector<uint8_t> next = fakes::random_bytes(960, 5);
        EXPECT_EQ(e.put(next), 0);
        EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W4 W960! W4 W960 A964@0");
        EXPECT_EQ(successful_writes(e.out).back(), next);
    }
}

// Completing a pending frame fails: the pending bytes are kept, so feeding
// the rest of the frame again writes the whole frame as given.
TEST(HdmvLpcm, FailedCompletionKeepsThePendingBytes) {
    for (int failing_write : {1, 2}) {  // the frame header, then the payload
        SCOPED_TRACE("failing write " + std::to_string(failing_write));
        Encoder e(make_settings(2, 13, 0), 48000);
        ASSERT_NE(e.enc, nullptr);
        const std::vector<uint8_t> frame = fakes::random_bytes(960, 9);
        ASSERT_EQ(e.put(slice(frame, 0, 100)), 0);
        e.out.fail_write_call = e.out.write_calls + failing_write;
        EXPECT_EQ(e.put(slice(frame, 100, 860)), 1);
        EXPECT_EQ(e.host.errors, std::vector<Message>{kWriteFailed});
        EXPECT_EQ(e.out.aux_records().size(), 1u);

        ASSERT_EQ(e.put(slice(frame, 100, 860)), 0);
        EXPECT_EQ(e.out.aux_records().size(), 2u);
        EXPECT_EQ(e.out.aux_records().back().timestamp, 0);
        EXPECT_EQ(successful_writes(e.out).back(), frame);
        EXPECT_EQ(pcmOutAudioDone(e.enc, 0), 0);
        EXPECT_EQ(e.out.aux_records().size(), 2u);
    }
}

TEST(HdmvLpcm, FailedFlushKeepsNothingAndReportsP002) {
    Encoder e(make_settings(6, 13, 2), 96000);
    ASSERT_NE(e.enc, nullptr);
    ASSERT_EQ(e.put(fakes::random_bytes(100, 1)), 0);
    e.out.fail_write_call = e.out.write_calls + 2;  // the padded payload
    EXPECT_EQ(pcmOutAudioDone(e.enc, 0), 1);
    EXPECT_EQ(describe_events(e.out.events), "W8 A8@-1 W4 W8640!");
    EXPECT_EQ(hex(slice(e.out.bytes(), 8, 4)), "21 C0 84 C0");
    EXPECT_EQ(e.host.errors, std::vector<Message>{kWriteFailed});
}

}  // namespace
