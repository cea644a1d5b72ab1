// SPDX-License-Identifier: BSD-2-Clause
// Input edges that real files and real writers have: bytes after the audio,
// big-endian WAV, the placeholders other writers put in a piped header,
// NaN samples, absurd or empty option values, dither at full scale, channel
// masks with --hdmv-pad-last, and input that is no stream at all. The built
// binary (or PCMPACK_TOOL_UNDER_TEST) is run from a shell in a fresh folder.
#include <gtest/gtest.h>

#include "tool_harness.h"

#include <sndfile.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>


namespace {

using tool_harness::Outcome;
using tool_harness::slurp;
using tool_harness::run_script;
using tool_harness::tool;

constexpr int kPeriods = 4800;

// A fresh folder holding the inputs every row may use:
//   in.wav    16-bit stereo noise, 48 kHz; rifx.wav the same big-endian
//   nan.wav   32-bit float stereo noise with two NaNs; nan0.wav with 0 there
//   full.wav  24-bit stereo at positive full scale
//   s51.wav, s71.wav  6 and 8 channels with 5.1 and 7.1 channel masks
class Inputs : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pcmpack-inputs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::mt19937 gen(7);
        std::vector<int> noise(kPeriods * 2);
        for (int &s : noise) s = static_cast<int>(gen()) & ~0xFFFF;
        write("in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, noise);
        write("rifx.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG, 2, noise);
        std::vector<float> floats(kPeriods * 2);
        // A quarter of full scale: resampled, it stays within full scale.
        for (size_t i = 0; i < floats.size(); ++i) floats[i] = float(noise[i]) / 8589934592.0f;
        floats[11] = floats[3000] = 0.0f;
        write_floats("nan0.wav", floats);
        floats[11] = floats[3000] = std::numeric_limits<float>::quiet_NaN();
        write_floats("nan.wav", floats);
        write("full.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2,
              std::vector<int>(kPeriods * 2, 0x7FFFFF00));
        const int map51[] = {SF_CHANNEL_MAP_LEFT,      SF_CHANNEL_MAP_RIGHT,    SF_CHANNEL_MAP_CENTER,
                             SF_CHANNEL_MAP_LFE,       SF_CHANNEL_MAP_REAR_LEFT, SF_CHANNEL_MAP_REAR_RIGHT,
                             SF_CHANNEL_MAP_SIDE_LEFT, SF_CHANNEL_MAP_SIDE_RIGHT};
        write("s51.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 6, std::vector<int>(960 * 6, 1 << 20), map51);
        write("s71.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 8, std::vector<int>(960 * 8, 1 << 20), map51);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    void write(const std::string &name, int format, int channels, const std::vector<int> &samples,
               const int *map = nullptr) const {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = channels;
        info.format = format;
        SNDFILE *f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << name << ": " << sf_strerror(nullptr);
        if (map) {
            ASSERT_EQ(sf_command(f, SFC_SET_CHANNEL_MAP_INFO, const_cast<int *>(map),
                                 int(sizeof(int)) * channels),
                      SF_TRUE);
        }
        sf_writef_int(f, samples.data(), sf_count_t(samples.size()) / channels);
        sf_close(f);
    }

    void write_floats(const std::string &name, const std::vector<float> &samples) const {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE *f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_writef_float(f, samples.data(), sf_count_t(samples.size()) / 2);
        sf_close(f);
    }

    // Runs shell text in the folder with the tool as $P.
    Outcome sh(const std::string &script) const { return run_script(dir_, script); }

    std::string dir_;
};

// ---------------------------------------------------------------------------
// One row per edge. `want` is made from a plain input by the tool: the edge
// must change nothing in the stream (out.es equals want.es byte for byte).

struct EdgeCase {
    const char *name;
    const char *want;     // shell making want.es ("": no stream is compared)
    const char *command;  // the run under test, writing out.es
    int status;
    const char *message;  // in stderr; "" = stderr is empty
};

const EdgeCase kEdges[] = {
    // Bytes after the data chunk are no audio: a 38 KB file holds no size
    // that wrapped at 4 GiB.
    {"zero_padding_after_data", "$P encode in.wav -o want.es -t dvd",
     "cp in.wav t.wav && head -c 1000 /dev/zero >> t.wav && $P encode t.wav -o out.es -t dvd", 0, ""},
    {"id3v1_tag_after_data_pipe", "$P encode in.wav -o want.es -t dvd",
     "(cat in.wav; printf TAG; head -c 125 /dev/zero) | $P encode - -o out.es -t dvd", 0, ""},
    {"id3_chunk_after_data_pipe", "$P encode in.wav -o want.es -t dvd",
     "(cat in.wav; printf 'id3 \\000\\001\\000\\000'; head -c 256 /dev/zero) | $P encode - -o out.es -t dvd",
     0, ""},
    {"rifx", "$P encode in.wav -o want.es -t dvd", "$P encode rifx.wav -o out.es -t dvd", 0, ""},
    {"rifx_pipe", "$P encode in.wav -o want.es -t hdmv", "cat rifx.wav | $P encode - -o out.es -t hdmv", 0,
     ""},
    // NaN is silence, counted; before a resampler too, where it would spread.
    {"float_nan", "$P encode nan0.wav -o want.es -t hdmv --bits 24",
     "$P encode nan.wav -o out.es -t hdmv --bits 24", 0,
     "pcmpack: note: nan.wav: 2 samples were NaN (not a number), written as 0\n"},
    {"float_nan_resampled", "$P encode nan0.wav -o want.es -t hdmv --bits 24 --resample 96000",
     "$P encode nan.wav -o out.es -t hdmv --bits 24 --resample 96000", 0,
     "pcmpack: note: nan.wav: 2 samples were NaN (not a number), written as 0\n"},
    {"frame_rate_absurd", "", "$P encode in.wav -o out.es -t xdcam --frame-rate 999999999999.999999", 1,
     "pcmpack: --frame-rate: 999999999999.999999 is no frame rate; use 24000/1001"},
    {"frame_rate_fraction_absurd", "", "$P encode in.wav -o out.es -t xdcam --frame-rate 999999999999/1", 1,
     "pcmpack: --frame-rate: 999999999999/1 is no frame rate; use 24000/1001"},
    {"bits_empty", "", "$P encode in.wav -o out.es -t hdmv --bits ''", 1, "pcmpack: --bits: the value is empty"},
    {"index_empty", "", "$P encode in.wav -o out.es -t hdmv --index ''", 1,
     "pcmpack: --index: the value is empty"},
    {"resample_empty", "", "$P encode in.wav -o out.es -t hdmv --resample ''", 1,
     "pcmpack: --resample: the value is empty"},
    {"dither_at_full_scale", "", "$P encode full.wav -o out.es -t dvd --bits 16", 0,
     "pcmpack: note: full.wav: dither reached past full scale on "},
    {"hdmv_pad_last_51_mask", "", "$P encode s51.wav -o out.es -t hdmv --hdmv-pad-last", 1,
     "pcmpack: s51.wav: its channel mask names FL FR FC LFE BL BR; --hdmv-pad-last would pack them as 3/2"},
    {"hdmv_pad_last_71_mask", "", "$P encode s71.wav -o out.es -t hdmv --hdmv-pad-last", 1,
     "pcmpack: s71.wav: its channel mask names FL FR FC LFE BL BR SL SR; --hdmv-pad-last would pack them "
     "as 3/4"},
    {"hdmv_pad_last_keep_order", "", "$P encode s51.wav -o out.es -t hdmv --hdmv-pad-last --channel-order keep",
     0, ""},
    // No stream: the first header is impossible, and a device never ends.
    {"inspect_dev_zero", "", "timeout 20 $P inspect /dev/zero", 1,
     "pcmpack: /dev/zero: byte 0: unknown stream tag 00 00 00 00\n"},
    {"inspect_endless_pipe", "", "head -c 100000000 /dev/zero | timeout 20 $P inspect -", 1,
     "pcmpack: stdin: byte 0: unknown stream tag 00 00 00 00\n"},
};

class Edges : public Inputs, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(Edges, AreReadAsTheAudioOrRefusedWithAReason) {
    const EdgeCase &c = GetParam();
    if (*c.want) {
        ASSERT_EQ(sh(c.want).status, 0) << c.want;
    }
    const Outcome r = sh(c.command);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (*c.message) {
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    } else {
        EXPECT_EQ(r.err, "");
    }
    if (c.status != 0) {
        EXPECT_NE(access(path("out.es").c_str(), F_OK), 0) << "a refused run left a stream";
        return;
    }
    EXPECT_EQ(r.err.find("limited to full scale\n"), std::string::npos) << r.err;
    if (*c.want) {
        const std::string want = slurp(path("want.es"));
        ASSERT_GT(want.size(), 8u);
        EXPECT_TRUE(slurp(path("out.es")) == want) << "the stream differs from the plain input's";
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, Edges, ::testing::ValuesIn(kEdges),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// What other writers put in a pipe, read from the pipe. Each writer takes
// headerless audio from a pipe, so it cannot know the length when it writes
// its header. The writers are lossless: the stream must equal the one made
// from in.wav. sox has no RF64 writer; libsndfile writes none of the five
// to a pipe ("this file format does not support pipe write"), so neither
// has a row. sox writes CAF and W64 to a pipe as a header announcing no
// audio, the header again, the audio and a third header: no reader can
// tell where its audio is, and the tool says so.

struct WriterCase {
    const char *name;
    const char *writer;  // turns 16-bit stereo 48 kHz on stdin into a file on stdout
    int status;
    const char *message;  // "" = silent
};

#define RAW_IN "tail -c +45 in.wav | "
#define SOX RAW_IN "sox -t s16 -r 48000 -c 2 - "
#define FFMPEG RAW_IN "ffmpeg -v error -f s16le -ar 48000 -ac 2 -i - "

const WriterCase kWriters[] = {
    {"sox_wav", SOX "-t wav -", 0, ""},
    {"sox_aiff", SOX "-t aiff -", 0, ""},
    {"sox_caf", SOX "-t caf -", 1, "stdin: damaged: its header announces no audio and another header follows it"},
    {"sox_w64", SOX "-t w64 -", 1, "stdin: damaged: its header announces no audio and another header follows it"},
    {"ffmpeg_wav", FFMPEG "-c:a pcm_s16le -f wav -", 0, ""},
    {"ffmpeg_aiff", FFMPEG "-c:a pcm_s16be -f aiff -", 0, ""},
    {"ffmpeg_caf", FFMPEG "-c:a pcm_s16be -f caf -", 0, ""},
    {"ffmpeg_w64", FFMPEG "-c:a pcm_s16le -f w64 -", 0, ""},
    {"ffmpeg_rf64", FFMPEG "-c:a pcm_s16le -rf64 always -f wav -", 0, ""},
};

class Writers : public Inputs, public ::testing::WithParamInterface<WriterCase> {};

TEST_P(Writers, PipedHeadersAreReadToTheEndOfThePipe) {
    const WriterCase &c = GetParam();
    const std::string program = std::string(c.name).substr(0, std::string(c.name).find('_'));
    ASSERT_EQ(sh("command -v " + program).status, 0) << program << " is needed (scripts/install-deps.sh)";
    ASSERT_EQ(sh("$P encode in.wav -o want.es -t hdmv").status, 0);
    // The writers' own notes (sox: "Length in output .wav header will be
    // wrong") are not the tool's.
    const Outcome r = sh("(" + std::string(c.writer) + ") 2>/dev/null | $P encode - -o out.es -t hdmv");
    EXPECT_EQ(r.status, c.status) << r.err;
    if (*c.message) {
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(access(path("out.es").c_str(), F_OK), 0) << "a refused run left a stream";
        return;
    }
    EXPECT_EQ(r.err, "");
    const std::string want = slurp(path("want.es"));
    ASSERT_GT(want.size(), 8u);
    EXPECT_TRUE(slurp(path("out.es")) == want) << "the audio differs from in.wav's";
}

INSTANTIATE_TEST_SUITE_P(Inputs, Writers, ::testing::ValuesIn(kWriters),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
