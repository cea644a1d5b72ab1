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
    {"es", "out.ts", "es"},      {"ts", "out.es", "ts"},        {"m2ts", "out.vob", "m2ts"},
    {"ps", "out.m2ts", "ps"},    {"ts", "-", "ts"},
    {"mkv", "out.es", "--container mkv: not a container; use es, ts, m2ts or ps"},
    {"TS", "out.ts", "--container TS: not a container; use es, ts, m2ts or ps"},
    {"mts", "out.es", "--container mts: not a container; use es, ts, m2ts or ps"},
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
     "out.ts: an MPEG transport stream (.ts) carries layer 10 (SMPTE 302M) only; layer 4 (DVD "
     "LPCM) is written as an elementary stream or an MPEG program stream (.vob, .mpg, .mpeg) "
     "(--container es|ps)"},
    {Container::bdav, 10, "out.M2TS",
     "out.M2TS: a BDAV transport stream (.m2ts, .mts) carries layer 13 (HDMV LPCM) only; layer "
     "10 (SMPTE 302M) is written as an elementary stream or an MPEG transport stream (.ts) "
     "(--container es|ts)"},
    {Container::program, 13, "out.vob",
     "out.vob: an MPEG program stream (.vob, .mpg, .mpeg) carries layer 4 (DVD LPCM) only; layer "
     "13 (HDMV LPCM) is written as an elementary stream or a BDAV transport stream (.m2ts, .mts) "
     "(--container es|m2ts)"},
    {Container::program, 11, "out.mpg",
     "out.mpg: an MPEG program stream (.vob, .mpg, .mpeg) carries layer 4 (DVD LPCM) only; layer "
     "11 (D-10 AES3) is written as an elementary stream (--container es); its frame index comes "
     "with --index"},
    {Container::transport, 12, "-",
     "stdout: an MPEG transport stream (.ts) carries layer 10 (SMPTE 302M) only; layer 12 "
     "(planar AES3) is written as an elementary stream (--container es); its frame index comes "
     "with --index"},
    {Container::bdav, 4, "out.es",
     "out.es: a BDAV transport stream (.m2ts, .mts) carries layer 13 (HDMV LPCM) only; layer 4 "
     "(DVD LPCM) is written as an elementary stream or an MPEG program stream (.vob, .mpg, "
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

}  // namespace
