// SPDX-License-Identifier: BSD-2-Clause
// encode's plan of a programme, in process: a row is its sources (one audio
// track each) and options, and either the whole refusal the user reads, or
// the tracks the plan hands the writer. The plan opens no output, so every
// row checks what is refused before one would be.
#include "commands/encode_programme.h"
#include "plan_sources.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

namespace {

using pcmtool::EncodeOptions;

using plan_test::Source;
constexpr Source kStereo16{48000, 2, SF_FORMAT_PCM_16};
constexpr Source kStereo24{48000, 2, SF_FORMAT_PCM_24};
constexpr Source kSix16{48000, 6, SF_FORMAT_PCM_16};

struct Track {
    int bits, coded_channels, pid;
    const char *language;
};

struct ProgrammeCase {
    const char *name;
    std::vector<Source> sources;  // in1.wav, in2.wav, ...
    const char *output;           // in the row's folder, unless a URL
    void (*options)(EncodeOptions &);
    // "{in1}", "{in2}", "{out}" stand for the paths; null: the plan holds.
    const char *refusal;
    std::vector<Track> tracks;
};

const ProgrammeCase kProgrammes[] = {
    {"list_for_another_track_count", {kStereo16, kStereo16}, "out.m2ts",
     [](EncodeOptions &o) { o.target = "hdmv"; o.track_bits = {24, 16, 20}; o.audio_pids = {0x1100, 0x1101, 0x1102}; },
     "--bits 24,16,20: 3 values for 2 INPUTs; give one for every track or one per track\n"
     "pcmpack: --audio-pid 0x1100,0x1101,0x1102: 3 values for 2 INPUTs; give the first (the others count up) "
     "or one per track", {}},
    {"one_track_options_with_two", {kStereo16, kStereo16}, "out.ts",
     [](EncodeOptions &o) { o.frame_rate = "25"; o.index = "x.csv"; o.data = "x.ac3"; },
     "--data fills a channel pair of one track's AES3 words; it takes one INPUT, not 2\n"
     "pcmpack: --index lists the frames of one track's stream; it takes one INPUT, not 2", {}},
    {"network_sends_one_track", {kStereo16, kStereo16}, "udp://127.0.0.1:9", [](EncodeOptions &o) { o.frame_rate = "25"; },
     "udp://127.0.0.1:9: the network carries one 302M track alone; several INPUTs, --video, --language, "
     "--program-number, --audio-pid and the service options need a .ts file", {}},
    {"elementary_stream_holds_one_track", {kStereo16}, "out.es", [](EncodeOptions &o) { o.languages = {"eng"}; },
     "{out}: an elementary stream carries one audio track alone; several INPUTs, --video, --language, "
     "--program-number, --audio-pid and the service options need a container: .ts, .m2ts or .vob "
     "(or --container ts|m2ts|ps)", {}},
    {"program_stream_has_no_service_data", {kStereo16, kStereo16}, "out.vob",
     [](EncodeOptions &o) { o.target = "dvd"; o.languages = {"eng", "fra"}; o.program_number = 2; o.service_name = "A"; },
     "--language: a DVD program stream carries no language; DVD-Video keeps each audio stream's language in "
     "the IFO, which dvdauthor writes from its XML (<audio lang=\"en\"/>, one for each track in INPUT order)\n"
     "pcmpack: --program-number applies to a transport stream (.ts, .m2ts); a DVD program stream has no "
     "program tables\n"
     "pcmpack: --service-name applies to a transport stream (.ts, .m2ts); a DVD program stream has no "
     "service description", {}},
    // Each track refused on its own terms, a rule of the options said once.
    {"every_track_refused", {{44100, 2, SF_FORMAT_PCM_16}, kSix16, kStereo24}, "out.vob",
     [](EncodeOptions &o) { o.target = "dvd"; },
     "{in1}: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)\n"
     "pcmpack: {in2}: 6 channels; DVD LPCM carries 1 or 2 channels (--downmix 2 mixes them down; HDMV LPCM, "
     "--target hdmv, carries 5.1 and 7.1)\n"
     "pcmpack: {in3}: 24-bit samples; DVD LPCM carries 16-bit words only (--bits 16 shortens them with TPDF "
     "dither)", {}},
    // Each track alone fits the rate; the two together do not.
    {"muxrate_for_every_track", {kStereo16, kStereo16}, "out.ts",
     [](EncodeOptions &o) { o.frame_rate = "25"; o.muxrate = 2500000; },
     "--muxrate 2500000: 2 audio tracks need at least 4176608 bits/s in a transport stream", {}},
    {"option_rule_said_once", {kStereo16, kStereo16}, "out.ts", [](EncodeOptions &) {},
     "SMPTE 302M is cut one frame per video frame: give --frame-rate (24000/1001 (23.976), 24, "
     "25, 30000/1001 (29.97), 30, 50, 60000/1001 (59.94), 60; also written as 25.0, 25/1 or 23.98)", {}},
    {"layout_per_track", {kSix16, kSix16}, "out.m2ts",
     [](EncodeOptions &o) { o.target = "hdmv"; o.track_layouts = {"5.1", "auto"}; },
     "{in2}: 6 channels; HDMV LPCM carries 6 coded channels as the 3/2 layout plus a padding channel, so "
     "channel 6 would be read as padding and lost (pass --hdmv-pad-last if it is padding already, "
     "--hdmv-layout 5.1 for a 5.1 mix in file order)", {}},

    // Plans that hold: each track its own settings, PIDs counting up.
    {"bluray_main_and_commentary", {kSix16, kStereo16}, "out.m2ts",
     [](EncodeOptions &o) {
         o.target = "hdmv"; o.track_layouts = {"5.1", "auto"}; o.track_bits = {24, 16};
         o.languages = {"eng", "fra"}; o.audio_pids = {0x1100};
     },
     nullptr, {{24, 6, 0x1100, "eng"}, {16, 2, 0x1101, "fra"}}},
    {"broadcast_services", {kStereo24, kStereo16}, "out.ts",
     [](EncodeOptions &o) { o.frame_rate = "25"; o.languages = {"deu"}; o.service_name = "One"; },
     nullptr, {{24, 2, 0, "deu"}, {16, 2, 0, "deu"}}},
};

void PrintTo(const ProgrammeCase &c, std::ostream *os) { *os << c.name; }

using Programmes = plan_test::InFolder<ProgrammeCase>;
using plan_test::replaced;

TEST_P(Programmes, RefuseOrHold) {
    const ProgrammeCase &c = GetParam();
    EncodeOptions o;
    for (size_t n = 0; n < c.sources.size(); ++n)
        o.inputs.push_back(plan_test::write_source(dir_ + "/in" + std::to_string(n + 1) + ".wav", c.sources[n]));
    o.output = std::string(c.output).find("://") != std::string::npos ? c.output : dir_ + "/" + c.output;
    c.options(o);
    if (c.refusal) {
        std::string expected = replaced(c.refusal, "{out}", o.output);
        for (size_t n = 0; n < o.inputs.size(); ++n)
            expected = replaced(expected, "{in" + std::to_string(n + 1) + "}", o.inputs[n]);
        try {
            pcmtool::plan_programme(o);
            ADD_FAILURE() << "the plan held";
        } catch (const pcmtool::Failure &failure) {
            EXPECT_EQ(failure.what(), expected);
        }
        return;
    }
    const pcmtool::ProgrammePlan plan = pcmtool::plan_programme(o);
    ASSERT_EQ(plan.tracks.size(), c.tracks.size());
    ASSERT_EQ(plan.audio_tracks.size(), c.tracks.size());
    for (size_t n = 0; n < c.tracks.size(); ++n) {
        EXPECT_EQ(plan.tracks[n].bits, c.tracks[n].bits) << n;
        EXPECT_EQ(plan.audio_tracks[n].shape.params.bits, c.tracks[n].bits) << n;
        EXPECT_EQ(plan.audio_tracks[n].shape.params.channels, c.tracks[n].coded_channels) << n;
        EXPECT_EQ(plan.audio_tracks[n].pid, c.tracks[n].pid) << n;
        EXPECT_EQ(plan.audio_tracks[n].language, c.tracks[n].language) << n;
    }
    EXPECT_EQ(plan.service.name, o.service_name);
    EXPECT_EQ(plan.service.program_number, 1);
}

INSTANTIATE_TEST_SUITE_P(Encode, Programmes, ::testing::ValuesIn(kProgrammes),
                         [](const ::testing::TestParamInfo<ProgrammeCase> &info) { return std::string(info.param.name); });

}  // namespace
