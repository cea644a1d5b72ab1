// SPDX-License-Identifier: BSD-2-Clause
// What a host asks of the library beside the stream itself: the allocator
// pair it hands over in either form, the checks through the pcm_host record,
// the HDMV channel assignment, the frame geometry, the version and the texts
// of the check codes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "stream_reader.h"
#include "support/host_fakes.h"

namespace {

using fakes::Host;
using fakes::HostForm;
using fakes::make_settings;
using fakes::Message;
using fakes::RecordingStream;

const Message kInvalidParameter{"P001:Invalid parameter", {}};
constexpr HostForm kForms[] = {HostForm::lookup, HostForm::record};

const char *form_name(HostForm form) { return form == HostForm::lookup ? "lookup" : "record"; }

// Encodes `frames` whole frames of counting bytes and returns the stream.
std::vector<uint8_t> encode_frames(pcm_a_encoder *enc, uint32_t input_bytes) {
    RecordingStream out;
    std::vector<uint8_t> input(input_bytes);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 7 + 1);
    EXPECT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data(), input_bytes), 0);
    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
    return out.bytes();
}

// A block from one allocator must never go back to another: half a pair is
// refused before anything is allocated, in both forms.
TEST(HostInterface, AllocatorPairIsWholeOrAbsent) {
    struct Case {
        const char *name;
        std::set<std::string> withheld;
        bool refused;
        int host_blocks;  // blocks from the host's allocator: object only
    } const cases[] = {
        {"both supplied", {}, false, 1},
        {"free without malloc", {"malloc"}, true, 0},
        {"malloc without free", {"free"}, true, 0},
        {"neither: the C library's pair", {"malloc", "free"}, false, 0},
    };
    const pcm_a_settings settings = make_settings(2, PCM_LAYER_DVD_LPCM, PCM_QUANT_16);
    for (HostForm form : kForms) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(form_name(form)) + ": " + c.name);
            Host host;
            host.form = form;
            host.withheld = c.withheld;
            pcm_a_encoder *enc = host.new_encoder(&settings, 0, 0, 48000);
            EXPECT_EQ(enc == nullptr, c.refused);
            pcmOutAudioFree(enc);
            EXPECT_EQ(host.errors, c.refused ? std::vector<Message>{kInvalidParameter}
                                             : std::vector<Message>{});
            EXPECT_EQ(host.malloc_calls, c.host_blocks);
            EXPECT_EQ(host.free_calls, c.host_blocks);
            EXPECT_TRUE(host.freed_foreign.empty());
        }
    }
}

// The record form's checks send the same messages and return the same code
// as the lookup form's, and a null record or sink drops them.
TEST(HostInterface, ChecksThroughTheRecordMatchTheLookup) {
    const pcm_a_settings bad = make_settings(3, PCM_LAYER_DVD_LPCM, PCM_QUANT_24, 2);
    Host by_lookup;
    const int32_t code = pcmOutAudioChkSettings(by_lookup.lookup(), &bad, PCM_VIDEO_TYPE_DVHS,
                                                44100, PCM_CHECK_REPORT_ALL, 0);
    Host by_record;
    EXPECT_EQ(pcmOutAudioChkSettingsWithHost(by_record.record(), &bad, PCM_VIDEO_TYPE_DVHS,
                                             44100, PCM_CHECK_REPORT_ALL),
              code);
    EXPECT_EQ(by_record.errors, by_lookup.errors);
    EXPECT_GE(by_record.errors.size(), 5u);
    EXPECT_TRUE(by_record.lookups.empty());
    EXPECT_EQ(pcmOutAudioChkSettingsWithHost(nullptr, &bad, 0, 44100, 0), PCM_CHECK_SAMPLE_RATE);
    EXPECT_EQ(pcmOutAudioChkSettingsWithHost(nullptr, nullptr, 0, 48000, 0),
              PCM_CHECK_NULL_SETTINGS);
    by_record.withheld = {"err_printf"};
    const size_t before = by_record.errors.size();
    EXPECT_EQ(pcmOutAudioChkSettingsWithHost(by_record.record(), &bad, 0, 44100, 0),
              PCM_CHECK_SAMPLE_RATE);
    EXPECT_EQ(by_record.errors.size(), before);
}

// Mono, 5.1 and 7.1 ride in the frames of 2.0, 3/2 and 3/4: the code the
// reader finds in the frame headers is the one asked for, while the stream
// header and every frame's size stay those of the channel count.
TEST(HostInterface, HdmvChannelAssignmentInEveryFrameHeader) {
    struct Case {
        int32_t channels;
        int32_t code;
        const char *refusal;  // null: accepted
    } const cases[] = {
        {2, PCM_HDMV_MONO, nullptr},
        {6, PCM_HDMV_5_1, nullptr},
        {8, PCM_HDMV_7_1, nullptr},
        {6, PCM_HDMV_3_2, nullptr},
        {2, PCM_HDMV_5_1, "P028:Invalid HDMV channel assignment (%d) for %d channels"},
        {4, PCM_HDMV_MONO, "P028:Invalid HDMV channel assignment (%d) for %d channels"},
        {6, PCM_HDMV_7_1, "P028:Invalid HDMV channel assignment (%d) for %d channels"},
        {8, PCM_HDMV_5_1, "P028:Invalid HDMV channel assignment (%d) for %d channels"},
        {8, 0, "P028:Invalid HDMV channel assignment (%d) for %d channels"},
    };
    constexpr int kFrames = 3;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, code " + std::to_string(c.code));
        Host host;
        const pcm_a_settings settings = make_settings(c.channels, PCM_LAYER_HDMV_LPCM, PCM_QUANT_24);
        pcm_a_encoder *enc = host.new_encoder(&settings, 0, 0, 48000);
        ASSERT_NE(enc, nullptr);
        const int32_t result = pcmOutAudioSetHdmvChannelAssignment(enc, c.code);
        const uint32_t input_bytes = kFrames * 240 * 3 * static_cast<uint32_t>(c.channels);
        const std::vector<uint8_t> stream = encode_frames(enc, input_bytes);
        pcmOutAudioFree(enc);
        const pcmpack_reader::ReadResult read = pcmpack_reader::read_stream(
            stream.data(), stream.size(), false);
        ASSERT_TRUE(read.ok) << read.error;
        ASSERT_EQ(read.frames.size(), static_cast<size_t>(kFrames));
        EXPECT_EQ(read.info.channels, c.channels);
        if (c.refusal) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(host.errors, (std::vector<Message>{{c.refusal, {c.code, c.channels}}}));
            EXPECT_NE(read.info.hdmv_assignment, c.code);  // the default stays
            continue;
        }
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(host.errors.empty());
        EXPECT_EQ(read.info.hdmv_assignment, c.code);
        for (const pcmpack_reader::FrameInfo &frame : read.frames) {
            EXPECT_EQ(stream[frame.offset + 2] >> 4, c.code) << "frame at " << frame.offset;
            EXPECT_EQ(frame.size, 4 + 240 * 3 * static_cast<uint32_t>(c.channels));
        }
    }
}

TEST(HostInterface, HdmvChannelAssignmentRefusedOutsideLayer13OrAfterInit) {
    Host host;
    const pcm_a_settings aes3 = make_settings(6, PCM_LAYER_AES3_302M, PCM_QUANT_16);
    pcm_a_encoder *enc = host.new_encoder(&aes3, 0, 3, 48000);
    ASSERT_NE(enc, nullptr);
    EXPECT_EQ(pcmOutAudioSetHdmvChannelAssignment(enc, PCM_HDMV_5_1), 1);
    pcmOutAudioFree(enc);
    const pcm_a_settings hdmv = make_settings(6, PCM_LAYER_HDMV_LPCM, PCM_QUANT_16);
    enc = host.new_encoder(&hdmv, 0, 0, 48000);
    ASSERT_NE(enc, nullptr);
    RecordingStream out;
    ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    EXPECT_EQ(pcmOutAudioSetHdmvChannelAssignment(enc, PCM_HDMV_5_1), 1);
    pcmOutAudioFree(enc);
    EXPECT_EQ(pcmOutAudioSetHdmvChannelAssignment(nullptr, PCM_HDMV_5_1), 1);
    EXPECT_EQ(host.errors,
              (std::vector<Message>{
                  {"P027:Invalid HDMV channel assignment (%d) for audio layer %d", {9, 10}},
                  kInvalidParameter}));
}

// The geometry a host plans with is the geometry of the frames written, as
// the independent reader finds them: for every layer at every frame rate
// code (and both sample rates for the linear PCM layers), two whole cadence
// cycles fed in one piece.
TEST(HostInterface, FrameGeometryMatchesTheFramesWritten) {
    struct Layer {
        pcm_a_settings settings;
        uint32_t input_period_bytes;
    } const layers[] = {
        {make_settings(2, PCM_LAYER_DVD_LPCM, PCM_QUANT_16), 4},
        {make_settings(6, PCM_LAYER_AES3_302M, PCM_QUANT_20), 18},
        {make_settings(3, PCM_LAYER_AES3_D10, PCM_QUANT_24), 9},
        {make_settings(5, PCM_LAYER_AES3_PLANAR, PCM_QUANT_16), 10},
        {make_settings(8, PCM_LAYER_HDMV_LPCM, PCM_QUANT_24), 24},
    };
    int checked = 0;
    for (const Layer &layer : layers) {
        for (int32_t sample_rate : {48000, 96000}) {
            for (int32_t code = 1; code <= 8; ++code) {
                const bool aes3 = layer.settings.audio_layer >= PCM_LAYER_AES3_302M &&
                                  layer.settings.audio_layer <= PCM_LAYER_AES3_PLANAR;
                if (aes3 && sample_rate != 48000) continue;
                SCOPED_TRACE("layer " + std::to_string(layer.settings.audio_layer) + " rate " +
                             std::to_string(sample_rate) + " code " + std::to_string(code));
                pcm_frame_geometry g;
                ASSERT_EQ(pcmOutAudioFrameGeometry(&layer.settings, code, sample_rate, &g), 0);
                ASSERT_TRUE(g.cadence_steps == 1 || g.cadence_steps == 5);
                const int frames = 2 * static_cast<int>(g.cadence_steps);
                uint32_t input_bytes = 0;
                for (int i = 0; i < frames; ++i) {
                    input_bytes += g.sample_periods[i % g.cadence_steps] * layer.input_period_bytes;
                }
                Host host;
                pcm_a_encoder *enc = host.new_encoder(&layer.settings, 0, code, sample_rate);
                ASSERT_NE(enc, nullptr);
                const std::vector<uint8_t> stream = encode_frames(enc, input_bytes);
                pcmOutAudioFree(enc);
                const pcmpack_reader::ReadResult read =
                    pcmpack_reader::read_stream(stream.data(), stream.size(), false);
                ASSERT_TRUE(read.ok) << read.error;
                ASSERT_EQ(read.frames.size(), static_cast<size_t>(frames));
                EXPECT_EQ(read.frames[0].offset, g.stream_header_bytes);
                std::set<uint32_t> sizes;
                for (int i = 0; i < frames; ++i) {
                    const pcmpack_reader::FrameInfo &f = read.frames[static_cast<size_t>(i)];
                    EXPECT_EQ(f.size, g.frame_bytes[i % g.cadence_steps]) << "frame " << i;
                    EXPECT_EQ(f.sample_periods, g.sample_periods[i % g.cadence_steps]);
                    sizes.insert(f.size);
                }
                // Five steps only where the frames do differ.
                EXPECT_EQ(sizes.size() > 1, g.cadence_steps == 5);
                for (uint32_t i = g.cadence_steps; i < PCM_CADENCE_STEPS_MAX; ++i) {
                    EXPECT_EQ(g.frame_bytes[i] | g.sample_periods[i], 0u);
                }
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 3 * 8 + 2 * 2 * 8);
}

TEST(HostInterface, FrameGeometryRefusesWhatNewRefuses) {
    const pcm_a_settings ok = make_settings(2, PCM_LAYER_AES3_302M, PCM_QUANT_16);
    const pcm_a_settings mono_302m = make_settings(1, PCM_LAYER_AES3_302M, PCM_QUANT_16);
    pcm_frame_geometry g;
    g.stream_header_bytes = 12345;
    EXPECT_EQ(pcmOutAudioFrameGeometry(nullptr, 3, 48000, &g), 1);
    EXPECT_EQ(pcmOutAudioFrameGeometry(&ok, 3, 48000, nullptr), 1);
    EXPECT_EQ(pcmOutAudioFrameGeometry(&ok, 9, 48000, &g), 1);
    EXPECT_EQ(pcmOutAudioFrameGeometry(&ok, 3, 44100, &g), 1);
    EXPECT_EQ(pcmOutAudioFrameGeometry(&mono_302m, 3, 48000, &g), 1);
    EXPECT_EQ(g.stream_header_bytes, 12345u);
}

// The version of the library loaded is the project's (CMakeLists.txt).
TEST(HostInterface, VersionIsTheProjects) {
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(PCMPACK_TEST_PROJECT_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
    EXPECT_EQ(pcmOutAudioVersionNumber(), major * 10000 + minor * 100 + patch);
    EXPECT_STREQ(pcmOutAudioVersionString(), PCMPACK_TEST_PROJECT_VERSION);
}

// Every code the checks return has its own text; any other code one text
// that says so.
TEST(HostInterface, EveryCheckCodeHasItsOwnText) {
    const int32_t codes[] = {
        PCM_CHECK_OK, PCM_CHECK_NULL_SETTINGS, PCM_CHECK_VCD_NEEDS_MPEG,
        PCM_CHECK_SVCD_NEEDS_MPEG, PCM_CHECK_DVD_NEEDS_PCM, PCM_CHECK_DVDVR_CHANNELS,
        PCM_CHECK_DVDVR_QUANTIZATION, PCM_CHECK_DVDVR_SAMPLE_RATE, PCM_CHECK_DVHS_NEEDS_AES3,
        PCM_CHECK_DVHS_CHANNELS, PCM_CHECK_DVHS_EMPHASIS, PCM_CHECK_DVHS_QUANTIZATION,
        PCM_CHECK_DVHS_SAMPLE_RATE, PCM_CHECK_HDV_NEEDS_MPEG, PCM_CHECK_LAYER,
        PCM_CHECK_SAMPLE_RATE, PCM_CHECK_CHANNELS, PCM_CHECK_MUTE, PCM_CHECK_QUANTIZATION,
        PCM_CHECK_EMPHASIS,
    };
    const std::string unknown = pcmOutAudioCheckText(1);
    EXPECT_EQ(pcmOutAudioCheckText(PCM_CHECK_REFUSE_LIMIT), unknown);
    EXPECT_EQ(pcmOutAudioCheckText(-1), unknown);
    std::set<std::string> texts;
    for (int32_t code : codes) {
        const std::string text = pcmOutAudioCheckText(code);
        EXPECT_NE(text, unknown) << code;
        EXPECT_FALSE(text.empty()) << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), std::size(codes));
}

}  // namespace
