// SPDX-License-Identifier: BSD-2-Clause
// encode's plan, in process: a row is the options and the source the test
// writes, and either the refusal the user reads (every line of it, in
// order) or a few facts of the plan. The plan opens no output here, so the
// rows check what is refused before one would be.
#include "commands/encode_plan.h"
#include "plan_sources.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

namespace {

using pcmtool::Container;
using pcmtool::EncodeOptions;
using pcmtool::EncodePlan;

// The source written for a row; no channels: no INPUT at all.
using plan_test::Source;

// What a plan that holds must say.
struct Facts {
    int layer, bits, rate, coded_channels;
    Container container;
    int frame_rate_code = -1;  // -1: not checked
};

struct PlanCase {
    const char *name;
    Source source;
    const char *output;  // in the row's folder, unless a URL
    void (*options)(EncodeOptions &);
    // Expected refusal, "{in}" standing for the source's path; null: the
    // plan holds and `facts` are checked.
    const char *refusal;
    Facts facts;
};

constexpr Source kStereo16{48000, 2, SF_FORMAT_PCM_16};
constexpr Source kNone{48000, 0, 0};

const PlanCase kPlans[] = {
    // Options the layer or the output does not take.
    {"no_input", kNone, "out.es", [](EncodeOptions &) {},
     "encode needs an INPUT (an audio file, or '-'), or --data with compressed audio", {}},
    {"video_type_without_preset", kStereo16, "out.es", [](EncodeOptions &o) { o.video_type = 1; },
     "--video-type 1 (VCD) has no preset; give --layer (see `pcmpack presets`)", {}},
    {"frame_rate_for_dvd", kStereo16, "out.es",
     [](EncodeOptions &o) { o.target = "dvd"; o.frame_rate = "25"; },
     "--frame-rate applies to the AES3 formats (302M, D-10, planar) only; DVD LPCM has frames of "
     "1/600 s whatever the video", {}},
    {"frame_rate_code_for_hdmv", kStereo16, "out.es",
     [](EncodeOptions &o) { o.target = "hdmv"; o.frame_rate_code = 3; },
     "--frame-rate-code applies to the AES3 formats (302M, D-10, planar) only; HDMV LPCM has frames "
     "of 1/200 s whatever the video", {}},
    {"pad_last_for_dvd", kStereo16, "out.es",
     [](EncodeOptions &o) { o.target = "dvd"; o.hdmv_pad_last = true; },
     "--hdmv-pad-last applies to HDMV LPCM only, not to DVD LPCM", {}},
    {"network_takes_302m_only", kStereo16, "udp://127.0.0.1:9", [](EncodeOptions &o) { o.target = "dvd"; },
     "udp://127.0.0.1:9: the network carries SMPTE 302M, the format with a transport-stream "
     "mapping for contribution, not DVD LPCM", {}},
    {"pace_for_a_file", kStereo16, "out.es", [](EncodeOptions &o) { o.target = "dvd"; o.pace = "audio"; },
     "--pace applies to a udp:// or srt:// output only", {}},
    {"unknown_frame_rate", kStereo16, "out.es", [](EncodeOptions &o) { o.frame_rate = "20"; },
     "--frame-rate: 20 is no frame rate; use 24000/1001 (23.976), 24, 25, 30000/1001 (29.97), "
     "30, 50, 60000/1001 (59.94), 60; also written as 25.0, 25/1 or 23.98 (or --frame-rate-code 1..8)", {}},
    {"302m_without_frame_rate", kStereo16, "out.es", [](EncodeOptions &) {},
     "SMPTE 302M is cut one frame per video frame: give --frame-rate (24000/1001 (23.976), "
     "24, 25, 30000/1001 (29.97), 30, 50, 60000/1001 (59.94), 60; also written as 25.0, 25/1 or 23.98)", {}},
    {"d10_cuts_24_bit_data", kNone, "out.es",
     [](EncodeOptions &o) { o.data = "none.ac3"; o.layer = 11; o.frame_rate = "25"; o.bits = 24; },
     "--data: D-10 AES3 carries 20 bits of each 24-bit word, which would cut every burst of the "
     "24-bit mode; give --bits 16 or 20", {}},
    {"muxrate_for_an_elementary_stream", kStereo16, "out.es",
     [](EncodeOptions &o) { o.target = "dvd"; o.muxrate = 100000; },
     "--muxrate applies to a transport stream of 302M (.ts, udp://, srt://), not to an elementary stream", {}},

    // A video's frame rate is the AES3 layers' own.
    {"frame_rate_not_the_videos", kStereo16, "out.ts",
     [](EncodeOptions &o) { o.frame_rate = "25"; o.video_rate = {"v.ts", 30000, 1001}; },
     "--frame-rate 25: v.ts runs at 30000/1001 (29.97) frames a second, not 25; the audio's frames fall on "
     "the video's (leave --frame-rate out to take its rate)", {}},
    {"video_rate_without_cadence", kStereo16, "out.ts", [](EncodeOptions &o) { o.video_rate = {"v.ts", 25, 2}; },
     "v.ts: 12.5 frames a second; SMPTE 302M is cut one frame per video frame, at 24000/1001 "
     "(23.976), 24, 25, 30000/1001 (29.97), 30, 50, 60000/1001 (59.94), 60 only", {}},

    // The source against the settings: every rule broken, one line each.
    {"float_without_bits", {48000, 2, SF_FORMAT_FLOAT}, "out.es", [](EncodeOptions &o) { o.target = "dvd"; },
     "{in}: floating-point WAV (Microsoft) samples have no word length the layers carry; choose one "
     "with --bits 16, 20 or 24", {}},
    {"dvd_breaks_three_rules", {44100, 6, SF_FORMAT_PCM_24}, "out.es", [](EncodeOptions &o) { o.target = "dvd"; },
     "{in}: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)\n"
     "pcmpack: {in}: 24-bit samples; DVD LPCM carries 16-bit words only (--bits 16 shortens them with "
     "TPDF dither)\n"
     "pcmpack: {in}: 6 channels; DVD LPCM carries 1 or 2 channels (--downmix 2 mixes them down; HDMV LPCM, "
     "--target hdmv, carries 5.1 and 7.1)", {}},
    {"aes3_at_44100", {44100, 2, SF_FORMAT_PCM_16}, "out.es", [](EncodeOptions &o) { o.frame_rate = "25"; },
     "{in}: 44100 Hz; the AES3 formats (302M, D-10, planar) carry 48000 Hz only (--resample 48000 converts it)", {}},
    {"aes3_resampled_to_96000", kStereo16, "out.es",
     [](EncodeOptions &o) { o.frame_rate = "25"; o.resample = 96000; },
     "--resample 96000: the AES3 formats (302M, D-10, planar) carry 48000 Hz only", {}},
    {"d10_takes_no_16_bit_words", kStereo16, "out.es", [](EncodeOptions &o) { o.layer = 11; o.frame_rate = "25"; },
     "{in}: 16-bit samples; D-10 AES3 carries 20- or 24-bit words (--bits 24 widens 16-bit samples exactly)", {}},
    {"layout_refused_after_the_rate", {44100, 6, SF_FORMAT_PCM_16}, "out.es",
     [](EncodeOptions &o) { o.target = "hdmv"; o.hdmv_layout = "7.1"; },
     "{in}: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)\n"
     "pcmpack: --hdmv-layout 7.1 takes 8 channels; {in} has 6 (--hdmv-layout 5.1 takes 6 channels)", {}},
    {"downmix_without_input", kNone, "out.es",
     [](EncodeOptions &o) { o.data = "none.ac3"; o.frame_rate = "25"; o.downmix = "2"; },
     "--downmix mixes the channels of an INPUT; --data alone has none", {}},
    {"downmix_refused_with_the_rate", {44100, 6, SF_FORMAT_PCM_16}, "out.es",
     [](EncodeOptions &o) { o.target = "dvd"; o.downmix = "2"; },
     "{in}: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)\n"
     "pcmpack: {in}: 6 channels and no channel mask to say which speaker each one feeds, which --downmix 2 "
     "needs; --channel-layout names the speakers in channel order (5.1, 7.1, quad, FL+FR+FC+LFE+BL+BR, ...); "
     "--channel-layout 5.1 takes them in WAV order", {}},
    {"program_stream_takes_dvd_only", kStereo16, "out.vob", [](EncodeOptions &o) { o.frame_rate = "25"; },
     "{out}: an MPEG program stream (.vob, .mpg, .mpeg) carries DVD LPCM only; SMPTE 302M is written as an elementary stream or an MPEG transport stream (.ts) (--container es|ts)", {}},

    // Plans that hold.
    {"dvd_stereo", kStereo16, "out.es", [](EncodeOptions &o) { o.target = "dvd"; }, nullptr,
     {4, 16, 48000, 2, Container::elementary}},
    {"hdmv_three_channels_padded", {48000, 3, SF_FORMAT_PCM_16}, "out.m2ts",
     [](EncodeOptions &o) { o.target = "hdmv"; }, nullptr, {13, 16, 48000, 4, Container::bdav}},
    {"dvd_resampled", {44100, 2, SF_FORMAT_PCM_16}, "out.vob",
     [](EncodeOptions &o) { o.target = "dvd"; o.resample = 48000; }, nullptr, {4, 16, 48000, 2, Container::program}},
    {"302m_sent_live", {48000, 4, SF_FORMAT_PCM_24}, "udp://127.0.0.1:9", [](EncodeOptions &o) { o.frame_rate = "25"; },
     nullptr, {10, 24, 48000, 4, Container::transport}},
    {"dvd_from_a_5_1_downmix", {44100, 6, SF_FORMAT_PCM_16}, "out.vob",
     [](EncodeOptions &o) { o.target = "dvd"; o.downmix = "2"; o.channel_layout = "5.1"; o.resample = 48000; },
     nullptr, {4, 16, 48000, 2, Container::program}},
    {"hdmv_5_1_from_a_7_1_downmix", {48000, 8, SF_FORMAT_PCM_24}, "out.m2ts",
     [](EncodeOptions &o) { o.target = "hdmv"; o.downmix = "5.1"; o.channel_layout = "7.1"; },
     nullptr, {13, 24, 48000, 6, Container::bdav}},
    {"302m_on_the_videos_frames", kStereo16, "out.ts", [](EncodeOptions &o) { o.video_rate = {"v.ts", 60000, 2002}; },
     nullptr, {10, 16, 48000, 2, Container::transport, 4}},
};

void PrintTo(const PlanCase &c, std::ostream *os) { *os << c.name; }

using Plans = plan_test::InFolder<PlanCase>;
using plan_test::replaced;

TEST_P(Plans, RefuseOrHold) {
    const PlanCase &c = GetParam();
    EncodeOptions o;
    if (c.source.channels) o.input = plan_test::write_source(dir_ + "/in.wav", c.source);
    o.output = std::string(c.output).find("://") != std::string::npos ? c.output : dir_ + "/" + c.output;
    c.options(o);
    if (c.refusal) {
        try {
            pcmtool::plan_encode(o);
            ADD_FAILURE() << "the plan held";
        } catch (const pcmtool::Failure &failure) {
            EXPECT_EQ(failure.what(), replaced(replaced(c.refusal, "{in}", o.input), "{out}", o.output));
        }
        return;
    }
    const EncodePlan plan = pcmtool::plan_encode(o);
    EXPECT_EQ(plan.layer, c.facts.layer);
    EXPECT_EQ(plan.bits, c.facts.bits);
    EXPECT_EQ(plan.rate, c.facts.rate);
    EXPECT_EQ(plan.coded_channels, c.facts.coded_channels);
    EXPECT_EQ(plan.container, c.facts.container);
    EXPECT_EQ(plan.settings.channels_minus_one + 1, c.facts.coded_channels);
    EXPECT_EQ(plan.converter != nullptr, c.source.rate != c.facts.rate || !o.downmix.empty());
    if (c.facts.frame_rate_code >= 0) {
        EXPECT_EQ(plan.frame_rate_code, c.facts.frame_rate_code);
    }
}

INSTANTIATE_TEST_SUITE_P(Encode, Plans, ::testing::ValuesIn(kPlans),
                         [](const ::testing::TestParamInfo<PlanCase> &info) { return std::string(info.param.name); });

}  // namespace
