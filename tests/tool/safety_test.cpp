// SPDX-License-Identifier: BSD-2-Clause
// The tool never loses audio and never says "done" when it did not: the
// built binary is run the way users run it (files, pipes, links, devices,
// signals), and its status, messages and the files it leaves are checked.
#include <gtest/gtest.h>

#include "tool_harness.h"

#include <sndfile.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#ifndef PCMPACK_NO_TMPFILE_SHIM
#error "PCMPACK_NO_TMPFILE_SHIM must name the library that refuses O_TMPFILE"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// A fresh folder per test. Commands are shell text run in it, with the tool
// as $P; stdout and stderr are collected.
class Safety : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pcmpack-safety-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    Outcome sh(const std::string &script) const {
        write_file(path(".script"), "P='" + tool_harness::tool() + "'\n" + script + "\n");
        const std::string cmd = "cd '" + dir_ + "' && sh .script </dev/null >.out 2>.err";
        Outcome r;
        const int raw = std::system(cmd.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        r.out = slurp(path(".out"));
        r.err = slurp(path(".err"));
        for (const char *f : {".script", ".out", ".err"}) unlink(path(f).c_str());
        return r;
    }

    // Name and contents of every file in the folder, hidden ones included.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        DIR *d = opendir(dir_.c_str());
        while (dirent *e = d ? readdir(d) : nullptr) {
            const std::string n = e->d_name;
            struct stat st;
            if (n == "." || n == ".." || lstat(path(n).c_str(), &st) != 0) continue;
            // A FIFO or a link is listed, not opened.
            files[n] = S_ISREG(st.st_mode) ? slurp(path(n)) : std::string("(special)");
        }
        if (d) closedir(d);
        return files;
    }

    // A 16-bit stereo 48 kHz WAV of noise with the plain 44-byte header.
    std::string make_wav(const std::string &name, size_t periods, uint32_t seed = 1) const {
        std::mt19937 gen(seed);
        std::vector<short> samples(periods * 2);
        for (short &s : samples) s = static_cast<short>(gen());
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE *f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr);
        sf_writef_short(f, samples.data(), sf_count_t(periods));
        sf_close(f);
        const std::string bytes = slurp(path(name));
        EXPECT_EQ(bytes.substr(36, 4), "data");
        return bytes;
    }

    std::string dir_;
};

void put_le32(std::string &bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + size_t(i)] = char(v >> (8 * i));
}

// ---------------------------------------------------------------------------
// An output never destroys an input

struct SharedCase {
    const char *name;
    const char *setup;    // shell commands run before (in.wav and s.es exist)
    const char *command;
    const char *message;  // in stderr
};

const SharedCase kShared[] = {
    {"stream_is_input", "", "$P encode in.wav -o in.wav -t dvd",
     "pcmpack: in.wav: is the same file as the input in.wav"},
    {"other_spelling", "mkdir d", "$P encode in.wav -o d/../in.wav -t dvd",
     "d/../in.wav: is the same file as the input in.wav"},
    {"hard_link", "ln in.wav hard.wav", "$P encode in.wav -o hard.wav -t dvd",
     "hard.wav: is the same file as the input in.wav"},
    {"symbolic_link", "ln -s in.wav soft.wav", "$P encode in.wav -o soft.wav -t dvd",
     "soft.wav: is the same file as the input in.wav"},
    {"stdin_is_output", "", "$P encode - -o in.wav -t dvd < in.wav",
     "in.wav: is the same file as the input stdin"},
    {"index_is_input", "", "$P encode in.wav -o out.es --index in.wav -t dvd",
     "in.wav: is the same file as the input in.wav"},
    {"index_is_stream", "", "$P encode in.wav -o new.es --index ./new.es -t dvd",
     "./new.es: is the same file as the stream new.es"},
    {"stdout_twice", "", "$P encode in.wav -o - --index - -t dvd",
     "standard output cannot take both stream and index"},
    {"unpack_over_stream", "", "$P unpack s.es -o s.es", "s.es: is the same file as the stream s.es"},
};

class SharedFile : public Safety, public ::testing::WithParamInterface<SharedCase> {};

TEST_P(SharedFile, IsRefusedBeforeAnythingIsWritten) {
    const SharedCase &c = GetParam();
    make_wav("in.wav", 4000);
    ASSERT_EQ(sh("$P encode in.wav -o s.es -t dvd").status, 0);
    ASSERT_EQ(sh(c.setup).status, 0);
    const auto before = snapshot();
    const Outcome r = sh(c.command);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(snapshot() == before) << "a file changed";
}

INSTANTIATE_TEST_SUITE_P(Outputs, SharedFile, ::testing::ValuesIn(kShared),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Links and special files as outputs

struct OutputKindCase {
    const char *name;
    const char *command;  // writes the stream of in.wav somewhere; then `check` runs
    const char *check;    // shell test that must succeed afterwards
};

const OutputKindCase kOutputKinds[] = {
    // The link stays a link; its target gets the stream.
    {"through_link", "ln -s real.es link.es && $P encode in.wav -o link.es -t dvd",
     "test -L link.es && cmp real.es want.es"},
    {"through_dangling_link_chain", "ln -s mid.es link.es && ln -s real.es mid.es && "
                                    "$P encode in.wav -o link.es -t dvd",
     "test -L link.es && test -L mid.es && cmp real.es want.es"},
    {"dev_stdout_pipe", "$P encode in.wav -o /dev/stdout -t dvd | cat > got.es",
     "cmp got.es want.es"},
    {"dev_stdout_file", "$P encode in.wav -o /dev/stdout -t dvd > got.es", "cmp got.es want.es"},
    {"fifo", "mkfifo f && { cat f > got.es & } && $P encode in.wav -o f -t dvd && wait",
     "test -p f && cmp got.es want.es"},
    {"dev_null", "$P encode in.wav -o /dev/null -t dvd --index /dev/null", "true"},
    {"replaced_file_keeps_mode", "echo old > got.es && chmod 640 got.es && $P encode in.wav -o got.es -t dvd -y",
     "cmp got.es want.es && test \"$(stat -c %a got.es)\" = 640"},
};

class OutputKind : public Safety, public ::testing::WithParamInterface<OutputKindCase> {};

TEST_P(OutputKind, GetsTheWholeStreamAndNothingElseIsLeft) {
    const OutputKindCase &c = GetParam();
    make_wav("in.wav", 4000);
    ASSERT_EQ(sh("$P encode in.wav -o want.es -t dvd").status, 0);
    const Outcome r = sh(c.command);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sh(c.check).status, 0) << c.check;
    for (const auto &[name, bytes] : snapshot())
        EXPECT_EQ(name.find(".pcmpack-"), std::string::npos) << "left behind: " << name;
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputKind, ::testing::ValuesIn(kOutputKinds),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// WAV size fields: placeholders, wrapped sizes, truncated copies

struct SizeCase {
    const char *name;
    bool pipe;            // fed through `cat |`
    int64_t data_size;    // the header's data size; -1: the true one
    size_t keep_periods;  // audio kept (the file may be cut short)
    bool list_chunk;      // a LIST chunk follows the audio
    int status;
    const char *message;     // in stderr ("" = silent)
    size_t encoded_periods;  // the audio the stream must hold when status is 0
};

constexpr size_t kPeriods = 4800;

const SizeCase kSizes[] = {
    {"pipe_placeholder_ones", true, 0xFFFFFFFF, kPeriods, false, 0, "", kPeriods},
    {"pipe_placeholder_zero", true, 0, kPeriods, false, 0, "", kPeriods},
    {"file_placeholder_ones", false, 0xFFFFFFFF, kPeriods, false, 0, "", kPeriods},
    {"pipe_placeholder_cut", true, 0xFFFFFFFF, kPeriods / 2, false, 0, "", kPeriods / 2},
    // Bytes past the data size of a file under 4 GiB cannot be audio of a
    // size that wrapped: the header's size holds.
    {"pipe_size_too_small", true, kPeriods, kPeriods, false, 0, "", kPeriods / 4},
    {"file_size_wrapped", false, kPeriods, kPeriods, false, 0, "", kPeriods / 4},
    {"file_trailing_chunk", false, -1, kPeriods, true, 0, "", kPeriods},
    {"pipe_trailing_chunk", true, -1, kPeriods, true, 0, "", kPeriods},
    {"file_truncated", false, -1, kPeriods - 100, false, 1,
     "in.wav: damaged: its header announces 19200 bytes of audio, the file holds 18800", 0},
    {"pipe_truncated", true, -1, kPeriods - 100, false, 1,
     "stdin: damaged: ends after 18800 of the 19200 bytes of audio its header announces", 0},
};

class WavSizes : public Safety, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(WavSizes, AreReadToTheEndOfTheAudioOrRefused) {
    const SizeCase &c = GetParam();
    std::string wav = make_wav("orig.wav", kPeriods, 3);
    ASSERT_EQ(sh("$P encode orig.wav -o want.es -t dvd").status, 0);
    wav.resize(44 + c.keep_periods * 4);
    if (c.list_chunk) wav += std::string("LIST\x04\x00\x00\x00INFO", 12);
    if (c.data_size >= 0) put_le32(wav, 40, uint32_t(c.data_size));
    if (c.data_size == 0xFFFFFFFF || c.data_size == 0) put_le32(wav, 4, uint32_t(c.data_size));
    write_file(path("in.wav"), wav);
    const Outcome r = sh(c.pipe ? "cat in.wav | $P encode - -o out.es -t dvd"
                                : "$P encode in.wav -o out.es -t dvd");
    EXPECT_EQ(r.status, c.status) << r.err;
    if (*c.message) {
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    } else {
        EXPECT_EQ(r.err, "");
    }
    if (c.status != 0) {
        EXPECT_NE(access(path("out.es").c_str(), F_OK), 0) << "an output was left";
        EXPECT_EQ(slurp(path("in.wav")), wav);
        return;
    }
    // DVD frames of 80 periods: the stream holds the audio, the last frame
    // padded with silence.
    const std::string got = slurp(path("out.es")), want = slurp(path("want.es"));
    const size_t frames = (c.encoded_periods + 79) / 80;
    ASSERT_EQ(got.size(), 8 + frames * 320);
    EXPECT_EQ(got.substr(0, 8 + c.encoded_periods * 4), want.substr(0, 8 + c.encoded_periods * 4));
}

INSTANTIATE_TEST_SUITE_P(Headers, WavSizes, ::testing::ValuesIn(kSizes),
                         [](const auto &info) { return std::string(info.param.name); });

// Every container that states the length of its audio: the same audio
// encodes as from WAV, and a copy cut short is refused, from a file or a pipe.
struct ContainerCase {
    const char *name;
    const char *file;
    int format;         // libsndfile's, 16-bit unless it says otherwise
    size_t cut;         // bytes cut off the end (0: the whole file)
    bool pipe;          // fed through `cat |`
    const char *args;   // more options for encode
    const char *message;  // in stderr when refused ("": encodes as the WAV does)
};

const ContainerCase kContainers[] = {
    {"aiff", "in.aiff", SF_FORMAT_AIFF, 0, false, "", ""},
    {"w64", "in.w64", SF_FORMAT_W64, 0, true, "", ""},
    {"caf", "in.caf", SF_FORMAT_CAF, 0, false, "", ""},
    {"rf64", "in.rf64", SF_FORMAT_RF64, 0, false, "", ""},
    {"flac", "in.flac", SF_FORMAT_FLAC, 0, true, "", ""},
    // Written to a pipe: the ds64 chunk gives no size, the audio runs to the end.
    {"rf64_size_unknown", "in.rf64", SF_FORMAT_RF64, 0, true, "", ""},
    {"aiff_cut", "in.aiff", SF_FORMAT_AIFF, 400, false, "",
     "in.aiff: damaged: its header announces 19200 bytes of audio, the file holds 18800"},
    {"w64_cut", "in.w64", SF_FORMAT_W64, 400, false, "",
     "in.w64: damaged: its header announces 19200 bytes of audio, the file holds 18800"},
    {"caf_cut_by_a_period", "in.caf", SF_FORMAT_CAF, 4, false, "",
     "in.caf: damaged: its header announces 19200 bytes of audio, the file holds 19196"},
    {"caf_cut", "in.caf", SF_FORMAT_CAF, 400, false, "", "in.caf: damaged"},
    {"rf64_cut", "in.rf64", SF_FORMAT_RF64, 400, false, "",
     "in.rf64: damaged: its header announces 19200 bytes of audio, the file holds 18800"},
    {"flac_cut", "in.flac", SF_FORMAT_FLAC, 400, false, "", "in.flac: read failed"},
    {"aiff_pipe_cut", "in.aiff", SF_FORMAT_AIFF, 400, true, "",
     "stdin: damaged: ends after 18800 of the 19200 bytes of audio its header announces"},
    {"caf_pipe_cut", "in.caf", SF_FORMAT_CAF, 400, true, "",
     "stdin: damaged: ends after 18800 of the 19200 bytes"},
    {"flac_pipe_cut", "in.flac", SF_FORMAT_FLAC, 400, true, "",
     "stdin: damaged: ends after 4096 of the 4800 sample periods of audio its header announces"},
    {"float_pipe_cut_resampled", "in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 400, true,
     "--bits 16 --resample 96000", "stdin: damaged: ends after 38000 of the 38400 bytes"},
};

class Containers : public Safety, public ::testing::WithParamInterface<ContainerCase> {};

TEST_P(Containers, EncodeAsTheWavOrAreRefusedWhenCutShort) {
    const ContainerCase &c = GetParam();
    make_wav("orig.wav", kPeriods, 5);
    ASSERT_EQ(sh(std::string("$P encode orig.wav -o want.es -t dvd ") + c.args).status, 0);
    SF_INFO info{};
    SNDFILE *from = sf_open(path("orig.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(from, nullptr);
    std::vector<short> samples(kPeriods * 2);
    sf_readf_short(from, samples.data(), sf_count_t(kPeriods));
    sf_close(from);
    info.format = (c.format & SF_FORMAT_SUBMASK) ? c.format : c.format | SF_FORMAT_PCM_16;
    SNDFILE *to = sf_open(path(c.file).c_str(), SFM_WRITE, &info);
    ASSERT_NE(to, nullptr) << c.name;
    sf_writef_short(to, samples.data(), sf_count_t(kPeriods));
    sf_close(to);
    std::string bytes = slurp(path(c.file));
    if (std::string(c.name) == "rf64_size_unknown") {
        ASSERT_EQ(bytes.substr(12, 4), "ds64");
        bytes.replace(20, 24, std::string(24, '\0'));  // RIFF, data and sample counts
    }
    write_file(path(c.file), bytes.substr(0, bytes.size() - c.cut));
    const auto before = snapshot();
    const Outcome r = sh(std::string(c.pipe ? "cat " : "$P encode ") + c.file +
                         (c.pipe ? " | $P encode -" : "") + " -o out.es -t dvd " + c.args);
    if (!*c.message) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(slurp(path("out.es")) == slurp(path("want.es")));
        return;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(snapshot() == before) << "an output was left or the input changed";
}

INSTANTIATE_TEST_SUITE_P(Headers, Containers, ::testing::ValuesIn(kContainers),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Options that do not fit the input or the layer

struct OptionCase {
    const char *name;
    const char *command;
    int status;
    const char *message;  // in stderr; for status 0 a note ("" = silent)
};

const OptionCase kOptions[] = {
    {"raw_options_on_wav", "$P encode in.wav -o out.es -t dvd --rate 48000 --channels 2", 1,
     "in.wav: starts with a RIFF (WAV) header; --rate, --channels, --bits and --endian describe "
     "headerless PCM only"},
    {"raw_options_on_aiff", "$P encode in.aiff -o out.es -t dvd --rate 48000 --channels 2", 1,
     "in.aiff: starts with an IFF (AIFF) header"},
    {"raw_options_on_flac_pipe", "cat in.flac | $P encode - -o out.es -t dvd --rate 48000 --channels 2",
     1, "stdin: starts with a FLAC header"},
    {"raw_options_on_stream", "$P encode s.es -o out.es -t dvd --rate 48000 --channels 2", 1,
     "s.es: starts with a pcmpack DVD LPCM stream header"},
    {"frame_rate_for_dvd", "$P encode in.wav -o out.es -t dvd --frame-rate 25", 1,
     "--frame-rate applies to the AES3 formats (302M, D-10, planar) only; DVD LPCM"},
    {"frame_rate_code_for_hdmv", "$P encode in.wav -o out.es -t hdmv --frame-rate-code 3", 1,
     "--frame-rate-code applies to the AES3 formats (302M, D-10, planar) only; HDMV LPCM"},
    {"pad_last_outside_hdmv", "$P encode in.wav -o out.es -t dvd --hdmv-pad-last", 1,
     "--hdmv-pad-last applies to HDMV LPCM only"},
    {"index_format_without_index", "$P encode in.wav -o out.es -t dvd --index-format json", 1,
     "--index-format requires --index"},
    {"bare_code_is_no_rate", "$P encode in.wav -o out.es -t xdcam --frame-rate 5", 1,
     "--frame-rate: 5 is no frame rate; use 24000/1001 (23.976), 24, 25"},
    {"rounded_too_far", "$P encode in.wav -o out.es -t xdcam --frame-rate 23.9", 1,
     "--frame-rate: 23.9 is no frame rate; did you mean 23.976 or 24?"},
    {"code_out_of_range", "$P encode in.wav -o out.es -t xdcam --frame-rate-code 9", 1,
     "pcmpack: --frame-rate-code: 9 is out of range; give 1 to 8"},
    {"unknown_option", "$P encode in.wav -o out.es --speed 2", 1, "pcmpack: "},
    {"layer_replaced", "$P encode in.wav -o out.es -t xdcam --layer 10 --frame-rate 25", 0,
     "pcmpack: note: --layer 10 replaces the target's planar AES3 with SMPTE 302M"},
    {"d10_keeps_20_bits", "$P encode in24.wav -o out.es --layer 11 --frame-rate 25", 0,
     "a D-10 element carries 20 bits of each 24-bit sample: the 20 most significant bits, what "
     "--bits 20 would give"},
};

class Options : public Safety, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(Options, AreRefusedOrNotedWithTheReason) {
    const OptionCase &c = GetParam();
    make_wav("in.wav", 2000);
    ASSERT_EQ(sh("$P encode in.wav -o s.es -t dvd && $P tone -o in24.wav --bits 24 --seconds 0.1 && "
                 "cp in.wav in.aiff")
                  .status,
              0);
    for (const auto &[name, format] : {std::pair<const char *, int>{"in.aiff", SF_FORMAT_AIFF},
                                       {"in.flac", SF_FORMAT_FLAC}}) {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = format | SF_FORMAT_PCM_16;
        SNDFILE *f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        const short silence[4] = {};
        sf_writef_short(f, silence, 2);
        sf_close(f);
    }
    const auto before = snapshot();
    const Outcome r = sh(c.command);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err.rfind("pcmpack: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    if (c.status != 0) {
        EXPECT_TRUE(snapshot() == before) << "a file changed";
    }
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Options, ::testing::ValuesIn(kOptions),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Safety, InspectOfABadHeaderInventsNoFields) {
    // "LPCM" with 3 channels coded: the layer is named, its fields are not.
    write_file(path("bad.es"), std::string("LPCM\x08\x80\x00\x00", 8) + std::string(640, '\0'));
    const Outcome text = sh("$P inspect bad.es");
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.out, "");
    EXPECT_NE(text.err.find("bad.es: byte 4: DVD LPCM stream header codes 3 channels"), std::string::npos)
        << text.err;
    const Outcome json = sh("$P inspect bad.es --json");
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.out, "{\"file\":\"bad.es\",\"ok\":false,\"error\":\"DVD LPCM stream header codes 3 "
                        "channels, at most 2\",\"error_offset\":4,\"header\":\"4C 50 43 4D 08 80 00 "
                        "00\",\"bytes\":648}\n");
}

// A regular output reaches the disk before it gets its name, and its name
// the disk before the run says "done". The system's answer is made to fail
// (strace injects the error into the real call): the tool says so with
// status 1, and the name keeps what it held before.
TEST_F(Safety, AFailedSyncToDiskIsAnError) {
    if (sh("strace -qq -o /dev/null true").status != 0) GTEST_SKIP() << "strace cannot trace here";
    make_wav("in.wav", 4800);
    write_file(path("old.es"), "old");
    const struct {
        const char *call, *output, *message;
    } cases[] = {
        {"fdatasync", "new.es", "pcmpack: new.es: sync to disk failed: Input/output error"},
        {"fdatasync", "old.es", "pcmpack: old.es: sync to disk failed: Input/output error"},
        {"fsync", "new2.es", "pcmpack: cannot sync the folder of new2.es to disk (fsync: "
                             "Input/output error); new2.es was left as it was"},
        {"fsync", "old.es", "pcmpack: cannot sync the folder of old.es to disk"},
    };
    ASSERT_EQ(sh("$P encode in.wav -o want.es -t dvd").status, 0);
    for (const auto &c : cases) {
        // LeakSanitizer cannot run under a tracer.
        const Outcome r = sh(std::string("ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "
                                         "strace -f -qq -o /dev/null -e inject=") +
                             c.call + ":error=EIO $P encode in.wav -o " + c.output + " -t dvd -y");
        EXPECT_EQ(r.status, 1) << c.output;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        const std::string before = std::string(c.output) == "old.es" ? "old" : "";
        EXPECT_EQ(slurp(path(c.output)), before) << c.output;
    }
    for (const auto &[name, bytes] : snapshot())
        EXPECT_EQ(name.find(".pcmpack-"), std::string::npos) << "left behind: " << name;
}

// ---------------------------------------------------------------------------
// Signals and write errors

struct SignalCase {
    const char *name;
    const char *ignored;  // signals the parent ignores ("" none)
    const char *sent;
    int status;  // of the tool
};

// Every signal whose default action ends a process; the faults of a bug
// (SEGV, BUS, FPE, ILL) are left to core dumps and sanitizers. 34 and 64
// are the first and last real-time signals glibc leaves to programs.
const SignalCase kSignals[] = {
    {"ignored_hup_stays_ignored", "HUP", "HUP", 0},
    {"ignored_int_stays_ignored", "INT", "INT", 0},
    {"ignored_quit_stays_ignored", "QUIT", "QUIT", 0},
    {"ignored_usr1_stays_ignored", "USR1", "USR1", 0},
    {"hup_stops_and_cleans", "", "HUP", 128 + SIGHUP},
    {"int_stops_and_cleans", "", "INT", 128 + SIGINT},
    {"term_stops_and_cleans", "", "TERM", 128 + SIGTERM},
    {"quit_stops_and_cleans", "", "QUIT", 128 + SIGQUIT},
    {"pipe_stops_and_cleans", "", "PIPE", 128 + SIGPIPE},
    {"usr1_stops_and_cleans", "", "USR1", 128 + SIGUSR1},
    {"usr2_stops_and_cleans", "", "USR2", 128 + SIGUSR2},
    {"alrm_stops_and_cleans", "", "ALRM", 128 + SIGALRM},
    {"vtalrm_stops_and_cleans", "", "VTALRM", 128 + SIGVTALRM},
    {"prof_stops_and_cleans", "", "PROF", 128 + SIGPROF},
    {"io_stops_and_cleans", "", "IO", 128 + SIGIO},
    {"pwr_stops_and_cleans", "", "PWR", 128 + SIGPWR},
    {"stkflt_stops_and_cleans", "", "16", 128 + SIGSTKFLT},
    {"xcpu_stops_and_cleans", "", "XCPU", 128 + SIGXCPU},
    {"xfsz_stops_and_cleans", "", "XFSZ", 128 + SIGXFSZ},
    {"abrt_stops_and_cleans", "", "ABRT", 128 + SIGABRT},
    {"trap_stops_and_cleans", "", "TRAP", 128 + SIGTRAP},
    {"sys_stops_and_cleans", "", "SYS", 128 + SIGSYS},
    {"rtmin_stops_and_cleans", "", "34", 128 + 34},
    {"rtmax_stops_and_cleans", "", "64", 128 + 64},
};

class Signals : public Safety, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(Signals, IgnoredOnesStayIgnoredOthersLeaveNothing) {
    const SignalCase &c = GetParam();
    // A run started under nohup inherits SIGHUP ignored, and a shell starts
    // a background command with SIGINT and SIGQUIT ignored, which no shell
    // can undo: env starts the tool with the signal in its default state,
    // unless the row ignores it. Named temporary files (O_TMPFILE refused)
    // are what a signal could leave behind.
    make_wav("in.wav", 48000);
    ASSERT_EQ(sh("$P encode in.wav -o want.es -t hdmv && mkfifo feed").status, 0);
    // The tool waits on a pipe that delivers the audio only after the signal.
    const std::string start =
        *c.ignored ? std::string("trap '' ") + c.ignored + "; env" : "env --default-signal";
    const Outcome r = sh("ulimit -c 0; " + start + " LD_PRELOAD=" PCMPACK_NO_TMPFILE_SHIM
                         " ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 "
                         "$P encode - -o out.es -t hdmv < feed & pid=$!\n"
                                "exec 3>feed; sleep 0.3; kill -" + c.sent + " $pid; sleep 0.2\n"
                                "cat in.wav >&3 2>/dev/null; exec 3>&-; wait $pid; echo $?");
    EXPECT_EQ(r.out, std::to_string(c.status) + "\n") << r.err;
    if (c.status == 0) {
        EXPECT_EQ(slurp(path("out.es")), slurp(path("want.es")));
    } else {
        EXPECT_NE(access(path("out.es").c_str(), F_OK), 0);
    }
    for (const auto &[name, bytes] : snapshot())
        EXPECT_EQ(name.find(".pcmpack-"), std::string::npos) << "left behind: " << name;
}

INSTANTIATE_TEST_SUITE_P(Parent, Signals, ::testing::ValuesIn(kSignals),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Safety, AFailedWriteToStandardOutputIsAnError) {
    make_wav("in.wav", 4800);
    ASSERT_EQ(sh("$P encode in.wav -o s.es -t dvd").status, 0);
    const std::pair<const char *, const char *> cases[] = {
        {"$P inspect s.es --frames > /dev/full", "pcmpack: stdout: write failed"},
        {"$P inspect s.es --json --frames > /dev/full", "pcmpack: stdout: write failed"},
        {"$P presets > /dev/full", "pcmpack: stdout: write failed"},
        {"$P presets --json > /dev/full", "pcmpack: stdout: write failed"},
        {"$P encode in.wav -o - -t dvd > /dev/full", "pcmpack: stdout: write failed"},
    };
    for (const auto &[command, message] : cases) {
        const Outcome r = sh(command);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_NE(r.err.find(message), std::string::npos) << command << ": " << r.err;
    }
}

}  // namespace
