// SPDX-License-Identifier: BSD-2-Clause
// Which container a run writes, which layer each container carries, and how
// a stream file's first bytes name its container, in process.
#include "common.h"
#include "containers/container.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pcmtool::Container;

const char *name_of(Container c) {
    switch (c) {
    case Container::elementary: return "es";
    case Container::transport: return "ts";
    case Container::bdav: return "m2ts";
    case Container::program: return "ps";
    }
    return "?";
}

// --container wins over the output's extension; the extension is matched
// whole, at the end of the name, in any case.
struct ChoiceRow {
    const char *option, *output;
    const char *chosen;  // the container, or the whole refusal
};

const ChoiceRow kChoices[] = {
    {"", "out.es", "es"},        {"", "out.ts", "ts"},          {"", "OUT.TS", "ts"},
    {"", "out.m2ts", "m2ts"},    {"", "out.mts", "m2ts"},       {"", "out.M2Ts", "m2ts"},
    {"", "out.vob", "ps"},       {"", "out.mpg", "ps"},         {"", "out.MPEG", "ps"},
    {"", "out", "es"},           {"", "-", "es"},               {"", "ts", "es"},
    {"", "out.ts.es", "es"},     {"", "out.tsx", "es"},         {"", "out_ts", "es"},
    {"", "out.mpeg2", "es"},     {"", ".ts", "ts"},             {"", "dir.ts/out", "es"},
    {"", "udp://127.0.0.1:5004", "es"},
    {"", "out.WAV", "out.WAV: .wav names a WAV file, which encode does not write: it writes an elementary "
                    "stream (under another name, or this one with --container es), a .ts, an .m2ts or a .vob"},
    {"", "film.mp4", "film.mp4: .mp4 names an MP4 file, which encode does not write: it writes an elementary "
                     "stream (under another name, or this one with --container es), a .ts, an .m2ts or a .vob"},
    {"", "out.wav.es", "es"},    {"es", "out.mkv", "es"},       {"ts", "out.mxf", "ts"},
    {"es", "out.ts", "es"},      {"ts", "out.es", "ts"},        {"m2ts", "out.vob", "m2ts"},
    {"ps", "out.m2ts", "ps"},    {"ts", "-", "ts"},
    {"mkv", "out.es", "--container: mkv is no container; use es, ts, m2ts or ps"},
    {"TS", "out.ts", "--container: TS is no container; use es, ts, m2ts or ps"},
    {"mts", "out.es", "--container: mts is no container; use es, ts, m2ts or ps"},
};

TEST(Container, TheOptionOrTheExtensionChooses) {
    for (const ChoiceRow &row : kChoices) {
        std::string chosen;
        try {
            chosen = name_of(pcmtool::choose_container(row.option, row.output));
        } catch (const pcmtool::Failure &refused) {
            chosen = refused.what();
        }
        EXPECT_EQ(chosen, row.chosen) << "--container '" << row.option << "' -o " << row.output;
    }
}

// Each container carries one layer, the elementary stream all; a refusal
// names the container's layer and the containers the run's layer has.
struct FitRow {
    Container container;
    int layer;
    const char *output;
    const char *refusal;  // "" when it fits
};

const FitRow kFits[] = {
    {Container::elementary, 4, "out.es", ""},  {Container::elementary, 10, "out.es", ""},
    {Container::elementary, 11, "out.es", ""}, {Container::elementary, 12, "out.es", ""},
    {Container::elementary, 13, "out.es", ""}, {Container::transport, 10, "out.ts", ""},
    {Container::bdav, 13, "out.m2ts", ""},     {Container::program, 4, "out.vob", ""},
    {Container::transport, 4, "out.ts",
     "out.ts: an MPEG transport stream (.ts) carries SMPTE 302M only; DVD LPCM is written as an elementary stream or an MPEG program stream (.vob, .mpg, .mpeg) "
     "(--container es|ps)"},
    {Container::bdav, 10, "out.M2TS",
     "out.M2TS: a BDAV transport stream (.m2ts, .mts) carries HDMV LPCM only; "
     "SMPTE 302M is written as an elementary stream or an MPEG transport stream (.ts) "
     "(--container es|ts)"},
    {Container::program, 13, "out.vob",
     "out.vob: an MPEG program stream (.vob, .mpg, .mpeg) carries DVD LPCM only; "
     "HDMV LPCM is written as an elementary stream or a BDAV transport stream (.m2ts, .mts) "
     "(--container es|m2ts)"},
    {Container::program, 11, "out.mpg",
     "out.mpg: an MPEG program stream (.vob, .mpg, .mpeg) carries DVD LPCM only; "
     "D-10 AES3 is written as an elementary stream (--container es); its frame index comes "
     "with --index"},
    {Container::transport, 12, "-",
     "stdout: an MPEG transport stream (.ts) carries SMPTE 302M only; planar AES3 is written as an elementary stream (--container es); its frame index comes "
     "with --index"},
    {Container::bdav, 4, "out.es",
     "out.es: a BDAV transport stream (.m2ts, .mts) carries HDMV LPCM only; DVD LPCM is written as an elementary stream or an MPEG program stream (.vob, .mpg, "
     ".mpeg) (--container es|ps)"},
};

TEST(Container, EachCarriesItsLayerAndARefusalNamesTheLayersHomes) {
    for (const FitRow &row : kFits) {
        std::string refusal;
        try {
            pcmtool::check_container_fits(row.container, row.layer, row.output);
        } catch (const pcmtool::Failure &refused) {
            refusal = refused.what();
        }
        EXPECT_EQ(refusal, row.refusal) << name_of(row.container) << " layer " << row.layer;
    }
    EXPECT_STREQ(pcmtool::container_title(Container::elementary), "an elementary stream");
}

// Two sync bytes a transport packet apart (188 bytes, or 192 with BDAV's
// 4-byte arrival stamp in front) or a pack start code; anything else is
// taken for an elementary stream, whose reader then names what is wrong.
struct SniffRow {
    const char *name;
    std::vector<std::pair<size_t, uint8_t>> bytes;  // set in a zeroed buffer
    size_t size;
    Container container;
};

const SniffRow kSniffs[] = {
    {"transport", {{0, 0x47}, {188, 0x47}}, 376, Container::transport},
    {"transport_one_packet_and_a_byte", {{0, 0x47}, {188, 0x47}}, 189, Container::transport},
    {"transport_cut_at_one_packet", {{0, 0x47}}, 188, Container::elementary},
    {"one_sync_byte_by_chance", {{0, 0x47}, {188, 0x48}}, 376, Container::elementary},
    {"bdav", {{4, 0x47}, {196, 0x47}}, 384, Container::bdav},
    {"bdav_cut_short", {{4, 0x47}}, 196, Container::elementary},
    {"bdav_read_as_188", {{4, 0x47}, {192, 0x47}}, 384, Container::elementary},
    {"program", {{2, 0x01}, {3, 0xBA}}, 4, Container::program},
    {"program_cut", {{2, 0x01}}, 3, Container::elementary},
    {"other_start_code", {{2, 0x01}, {3, 0xBB}}, 2048, Container::elementary},
    {"stream_header", {{0, 'A'}, {1, 'E'}, {2, 'S'}, {3, '3'}}, 400, Container::elementary},
};

TEST(Container, FirstBytesNameTheContainer) {
    for (const SniffRow &row : kSniffs) {
        std::vector<uint8_t> data(row.size, 0);
        for (const auto &[at, value] : row.bytes) data[at] = value;
        EXPECT_EQ(name_of(pcmtool::sniff_container(data.data(), data.size())),
                  std::string(name_of(row.container)))
            << row.name;
    }
}

// What a programme's container cannot carry is refused before an output is
// opened, every PID, number and language problem in one message, each with
// its fix.
struct ProgrammeCheckRow {
    const char *name;
    Container container;
    std::vector<int> layers;       // one audio track each
    std::vector<int> pids;         // given, by track; missing: default
    std::vector<const char *> languages;
    int video_pid, program_number;
    const char *service_name;
    const char *refusal;  // "" when it fits
};

const ProgrammeCheckRow kProgrammeChecks[] = {
    {"ts_two_defaults", Container::transport, {10, 10}, {}, {"eng", "fra"}, 0, 1, "", ""},
    {"m2ts_thirty_two", Container::bdav, std::vector<int>(32, 13), {}, {}, 0, 1, "", ""},
    {"vob_eight", Container::program, std::vector<int>(8, 4), {}, {}, 0, 1, "", ""},
    {"ts_highest_pids", Container::transport, {10}, {0x1FFE}, {}, 0x0010, 65535, "News", ""},
    {"vob_nine", Container::program, std::vector<int>(9, 4), {}, {}, 0, 1, "",
     "out.vob: a DVD program stream takes 8 audio tracks at most, not 9: write the others to a "
     "second file"},
    {"m2ts_thirty_three", Container::bdav, std::vector<int>(33, 13), {}, {}, 0, 1, "",
     "out.vob: a BDAV transport stream takes 32 audio tracks at most, not 33: write the others to "
     "a second file"},
    {"ts_second_track_hdmv", Container::transport, {10, 13}, {}, {}, 0, 1, "",
     "out.vob: an MPEG transport stream (.ts) carries SMPTE 302M only; HDMV LPCM is written as an elementary stream or a BDAV transport stream (.m2ts, .mts) "
     "(--container es|m2ts)"},
    {"es_holds_no_programme", Container::elementary, {4}, {}, {}, 0, 1, "",
     "out.vob: an elementary stream holds one audio track and no video: write .ts, .m2ts or .vob "
     "for a programme"},
    {"ts_table_pid", Container::transport, {10}, {0x1000}, {}, 0, 1, "",
     "out.vob: audio track 1: PID 0x1000 is not a stream's: choose one of 0x0010 to 0x1FFE but "
     "0x1000, the programme table's"},
    {"m2ts_table_pid_and_reserved", Container::bdav, {13, 13}, {0x0100, 0x000F}, {}, 0x1FFF, 1, "",
     "out.vob: the video: PID 0x1FFF is not a stream's: choose one of 0x0010 to 0x1FFE but "
     "0x0100, the programme table's; audio track 1: PID 0x0100 is not a stream's: choose one of "
     "0x0010 to 0x1FFE but 0x0100, the programme table's; audio track 2: PID 0x000F is not a "
     "stream's: choose one of 0x0010 to 0x1FFE but 0x0100, the programme table's"},
    {"ts_given_meets_default", Container::transport, {10, 10}, {0x0101}, {}, 0, 1, "",
     "out.vob: audio track 2: PID 0x0101 is taken by another stream: give each stream its own"},
    {"m2ts_video_on_audio_default", Container::bdav, {13}, {}, {}, 0x1100, 1, "",
     "out.vob: audio track 1: PID 0x1100 is taken by another stream: give each stream its own"},
    {"vob_pids_and_service", Container::program, {4, 4}, {0, 0xA1}, {"eng", "fra"}, 0, 2, "Film",
     "out.vob: audio track 2: a program stream has no PIDs (DVD players choose audio by stream "
     "number, 0xA0 on): leave the PID out; a program stream has no program number, service name "
     "or provider: leave them out"},
    {"ts_number_and_languages", Container::transport, {10, 10, 10}, {}, {"EN", "", "fr1"}, 0, 0, "",
     "out.vob: audio track 1: language 'EN' is not an ISO 639-2 code: give three lowercase "
     "letters, as eng or fra; audio track 3: language 'fr1' is not an ISO 639-2 code: give three "
     "lowercase letters, as eng or fra; program number 0 is out of range: choose 1 to 65535"},
    {"ts_number_too_high", Container::transport, {10}, {}, {}, 0, 65536, "",
     "out.vob: program number 65536 is out of range: choose 1 to 65535"},
};

TEST(Container, AProgrammeIsRefusedWhatItsContainerCannotCarry) {
    for (const ProgrammeCheckRow &row : kProgrammeChecks) {
        std::vector<pcmtool::AudioTrackSpec> tracks(row.layers.size());
        for (size_t i = 0; i < tracks.size(); ++i) {
            tracks[i].shape.params.layer = row.layers[i];
            if (i < row.pids.size()) tracks[i].pid = row.pids[i];
            if (i < row.languages.size()) tracks[i].language = row.languages[i];
        }
        pcmtool::ServiceSpec service;
        service.video_pid = row.video_pid;
        service.program_number = row.program_number;
        service.name = row.service_name;
        std::string refusal;
        try {
            pcmtool::check_programme(row.container, tracks, nullptr, service, "out.vob");
        } catch (const pcmtool::Failure &refused) {
            refusal = refused.what();
        }
        EXPECT_EQ(refusal, row.refusal) << row.name;
    }
}

}  // namespace
