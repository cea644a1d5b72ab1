// SPDX-License-Identifier: BSD-2-Clause
// Past 4 GiB (label `long`): a WAV whose sizes a 32-bit header cannot count
// is written as RF64, which ffprobe and the tool read back whole. The audio
// goes from tone through encode and inspect over pipes, so only the WAV
// itself takes room on disk (4.3 GB, removed at the end).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#ifndef PCMPACK_TOOL
#error "PCMPACK_TOOL must name the built pcmpack binary"
#endif

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Long, ToneWritesRf64PastFourGibibytesAndEveryReaderSeesItAll) {
    char pattern[] = "/tmp/pcmpack-long-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern, wav = dir + "/big.wav";
    // 8 channels of 24 bits at 48 kHz: 1152000 bytes a second, so 3729 s
    // are 4295.8 MB, past 2^32 bytes.
    const long long periods = 3729LL * 48000;
    const std::string tool = PCMPACK_TOOL;
    int status = std::system((tool + " tone -o " + wav + " --seconds 3729 --channels 8 --bits 24").c_str());
    ASSERT_EQ(status, 0);
    const std::string head = [&] {
        std::ifstream in(wav, std::ios::binary);
        char b[4] = {};
        in.read(b, 4);
        return std::string(b, 4);
    }();
    EXPECT_EQ(head, "RF64");
    const std::string probe = dir + "/probe.txt";
    status = std::system(("ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 " + wav +
                          " > " + probe)
                             .c_str());
    if (status == 0) {
        EXPECT_EQ(slurp(probe), std::to_string(periods) + "\n");
    }
    const std::string summary = dir + "/summary.json";
    status = std::system(("cat " + wav + " | " + tool + " encode - -o - -t xdcam --frame-rate 25 | " +
                          tool + " inspect - --json > " + summary)
                             .c_str());
    EXPECT_EQ(status, 0);
    // 25 fps frames of 1920 periods: 93225 whole frames.
    EXPECT_NE(slurp(summary).find("\"frames\":93225,\"sample_periods\":" + std::to_string(periods)),
              std::string::npos)
        << slurp(summary);
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
