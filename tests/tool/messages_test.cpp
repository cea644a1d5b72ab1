// SPDX-License-Identifier: BSD-2-Clause
// What a user is told when a run cannot go on: a sentence in the user's
// terms, status 1, and none of libsndfile's or the library's own text
// without -v; inspect --json answers with an object whatever failed; unpack
// writes --data-out alone. The built binary (or PCMPACK_TOOL_UNDER_TEST) is
// run from a shell in a fresh folder.
#include <gtest/gtest.h>

#include "tool_harness.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using tool_harness::Outcome;
using tool_harness::slurp;
using tool_harness::run_script;
using tool_harness::tool;

// One row per message. `err` must be a line of stderr, whole; `out` is the
// whole of stdout. Without -v, no text of libsndfile's or the library's own
// may show.
struct MessageCase {
    const char *name;
    const char *command;
    int status;
    const char *err;
    const char *out;
};

// A fresh folder per row, a copy of one the suite makes once (ten runs of
// the tool and two of ffmpeg, which every row would otherwise repeat):
//   in.wav            1 s of the tool's stereo tone
//   s.ac3             1 s of AC-3 from ffmpeg, 48 kHz
//   w4/w6/w8.wav      4, 6 and 8 channels without a channel mask, the AC-3
//                     frames as data bursts in pair 2 (channels 3 and 4)
//   w8.es             the 302M stream they were unpacked from (8 channels)
//   mp2.ts            a transport stream whose only audio is MPEG-1 layer II
class Messages : public ::testing::TestWithParam<MessageCase> {
protected:
    static void SetUpTestSuite() {
        made_ = Outcome();
        char pattern[] = "/tmp/pcmpack-messages-XXXXXX";
        if (!mkdtemp(pattern)) return;
        files_ = pattern;
        made_ = run_script(
            files_,
            "$P tone -o in.wav --seconds 1 &&"
            " ffmpeg -v error -f lavfi -i sine=sample_rate=48000:duration=1 -ac 2 -c:a ac3 s.ac3 &&"
            " ffmpeg -v error -f lavfi -i sine=sample_rate=48000:duration=1 -c:a mp2 mp2.ts &&"
            " for n in 4 6 8; do $P tone -o t$n.wav --channels $n --seconds 1 &&"
            " $P encode t$n.wav -o w$n.es --frame-rate 25 --data s.ac3 --data-pair 2 2>/dev/null &&"
            " $P unpack w$n.es -o w$n.wav || exit 1; done",
            ".out");
    }
    static void TearDownTestSuite() {
        if (!files_.empty()) std::system(("rm -rf '" + files_ + "'").c_str());
    }

    void SetUp() override {
        ASSERT_EQ(made_.status, 0) << made_.err;
        char pattern[] = "/tmp/pcmpack-messages-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(std::system(("cp -p '" + files_ + "'/* '" + dir_ + "'").c_str()), 0);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Runs shell text in the folder with the tool as $P; standard input is
    // empty, standard output goes to .out.
    Outcome sh(const std::string &script) const { return run_script(dir_, script, ".out"); }

    static inline Outcome made_;
    static inline std::string files_;
    std::string dir_;
};

// The refusal of 4, 6 and 8 channels without a mask, whose pair 2 holds
// data bursts: the layout's rule, never a split of the pair.
#define PAD_RULE(n, coded, fix)                                                                  \
    "pcmpack: w" #n ".wav: " #n " channels; HDMV LPCM carries " #n " coded channels as the " coded \
    " layout plus a padding channel, so channel " #n " would be read as padding and lost (pass "    \
    "--hdmv-pad-last if it is padding already" fix ")\n"

const MessageCase kMessages[] = {
    {"inspect_json_missing", "$P inspect --json nosuch.ts", 1,
     "pcmpack: nosuch.ts: cannot open: No such file or directory\n",
     "{\"file\":\"nosuch.ts\",\"ok\":false,\"error\":\"nosuch.ts: cannot open: No such file or "
     "directory\"}\n"},
    {"inspect_json_no_track", "$P inspect --json mp2.ts", 1,
     "pcmpack: mp2.ts: read as an MPEG transport stream (.ts), but it has no SMPTE 302M track\n",
     "{\"file\":\"mp2.ts\",\"ok\":false,\"error\":\"mp2.ts: read as an MPEG transport stream "
     "(.ts), but it has no SMPTE 302M track\"}\n"},
    {"inspect_json_live_option_on_file", "$P inspect --json in.wav --every 2", 1,
     "pcmpack: in.wav: --every, --duration and --fail-fast watch a live stream (udp://, srt://); "
     "this is a file\n",
     "{\"file\":\"in.wav\",\"ok\":false,\"error\":\"in.wav: --every, --duration and --fail-fast "
     "watch a live stream (udp://, srt://); this is a file\"}\n"},
    {"headerless_without_rate", "head -c 4800 /dev/zero > x.raw; $P encode x.raw -o out.es -t dvd", 1,
     "pcmpack: x.raw: not an audio file libsndfile recognises; for headerless PCM give --rate and "
     "--channels\n",
     ""},
    {"empty_file", ": > empty.wav; $P encode empty.wav -o out.es -t dvd", 1,
     "pcmpack: empty.wav: the input is empty\n", ""},
    {"empty_stdin", "$P encode - -o out.es -t dvd", 1, "pcmpack: stdin: the input is empty\n", ""},
    {"empty_stdin_raw", "$P encode - -o out.es -t dvd --rate 48000 --channels 2", 1,
     "pcmpack: stdin: the input is empty\n", ""},
    // More than a block of output, so that the library's write fails.
    {"write_failed", "$P tone -o long.wav --seconds 8 && $P encode long.wav -o /dev/full -t dvd", 1,
     "pcmpack: /dev/full: write failed: No space left on device\n", ""},
    {"write_failed_verbose", "$P tone -o long.wav --seconds 8 && $P encode long.wav -o /dev/full -t dvd -v",
     1,
     "pcmpack: P002:Could not write PCM buffer to audio bufstream\n", ""},
    // The muxer's refusal of a frame packed into its packet stops the library.
    {"write_failed_muxed_verbose",
     "$P tone -o long.wav --seconds 8 && $P encode long.wav -o /dev/full -t dvd --container ps -v", 1,
     "pcmpack: P030:Could not hand the PCM frame to the host\n", ""},
    {"hdmv_4_maskless_bursts", "$P encode w4.wav -o out.m2ts -t hdmv", 1, PAD_RULE(4, "3/0", ""), ""},
    {"hdmv_6_maskless_bursts", "$P encode w6.wav -o out.m2ts -t hdmv", 1,
     PAD_RULE(6, "3/2", ", --hdmv-layout 5.1 for a 5.1 mix in file order"), ""},
    {"hdmv_8_maskless_bursts", "$P encode w8.wav -o out.m2ts -t hdmv", 1,
     PAD_RULE(8, "3/4", ", --hdmv-layout 7.1 for a 7.1 mix in file order"), ""},
    {"hdmv_8_maskless_bursts_kept_order", "$P encode w8.wav -o out.m2ts -t hdmv --channel-order keep", 1,
     PAD_RULE(8, "3/4", ", --hdmv-layout 7.1 for a 7.1 mix in file order"), ""},
    {"unpack_nothing_to_write", "$P unpack w8.es", 1,
     "pcmpack: w8.es: nothing to write: give -o FILE for the audio as WAV, --data-out FILE for the "
     "payloads of a pair's data bursts, or both\n",
     ""},
    // The payloads alone, byte for byte the AC-3 that went in, and no WAV.
    {"unpack_data_out_alone",
     "$P unpack w8.es --data-out got.ac3 --data-pair 2 && cmp got.ac3 s.ac3 >&2 && ls", 0, "",
     "got.ac3\nin.wav\nmp2.ts\ns.ac3\nt4.wav\nt6.wav\nt8.wav\nw4.es\nw4.wav\nw6.es\nw6.wav\nw8.es\nw8.wav\n"},
};

TEST_P(Messages, SayWhatToDoInTheUsersTerms) {
    const MessageCase &c = GetParam();
    const Outcome r = sh(c.command);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (*c.err) {
        EXPECT_NE(("\n" + r.err).find(std::string("\n") + c.err), std::string::npos) << r.err;
    } else {
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(slurp(path(".out")), c.out);
    const bool verbose = std::string(c.command).find(" -v") != std::string::npos;
    for (const char *internal : {"SF_INFO", "Internal error", "P00", "Format not recognised", "split"}) {
        if (!verbose) {
            EXPECT_EQ(r.err.find(internal), std::string::npos) << internal << " in: " << r.err;
        }
    }
    if (c.status != 0) {
        EXPECT_NE(access(path("out.es").c_str(), F_OK), 0) << "a refused run left a stream";
        EXPECT_NE(access(path("out.m2ts").c_str(), F_OK), 0) << "a refused run left a stream";
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, Messages, ::testing::ValuesIn(kMessages),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
