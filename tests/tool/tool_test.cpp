// SPDX-License-Identifier: BSD-2-Clause
// The pcmpack tool as a user meets it: the built binary is run on generated
// files, and its exit status, its messages and the files it leaves behind
// are checked.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef PCMPACK_TOOL
#error "PCMPACK_TOOL must name the built pcmpack binary"
#endif

namespace {

std::string quote(const std::string &s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> read_bytes(const std::string &path) {
    const std::string s = slurp(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string hex(const std::vector<uint8_t> &bytes, size_t from, size_t count) {
    std::string out;
    char b[4];
    for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i == from ? "%02X" : " %02X", bytes[i]);
        out += b;
    }
    return out;
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// A fresh folder per test; every file a test makes lives in it.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pcmpack-tool-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + quote(dir_)).c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Runs the tool with the arguments given as one shell word list; `stdin_file`
    // is fed to its standard input when not empty.
    Outcome run(const std::string &args, const std::string &stdin_file = "") const {
        const std::string out = path(".stdout"), err = path(".stderr");
        std::string cmd = "cd " + quote(dir_) + " && " + quote(PCMPACK_TOOL) + " " + args;
        cmd += stdin_file.empty() ? " </dev/null" : " <" + quote(stdin_file);
        cmd += " >" + quote(out) + " 2>" + quote(err);
        Outcome r;
        const int raw = std::system(cmd.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        r.out = slurp(out);
        r.err = slurp(err);
        unlink(out.c_str());
        unlink(err.c_str());
        return r;
    }

    // Runs the tool with its file size limited to `blocks` of 1 KiB and
    // SIGXFSZ ignored, so that a write past the limit fails as on a full
    // disk.
    Outcome run_limited(const std::string &args, const std::string &blocks) const {
        const std::string out = path(".stdout"), err = path(".stderr");
        const std::string cmd = "cd " + quote(dir_) + " && sh -c " +
                                quote("trap '' XFSZ; ulimit -f " + blocks + "; exec " +
                                      quote(PCMPACK_TOOL) + " " + args) +
                                " </dev/null >" + quote(out) + " 2>" + quote(err);
        Outcome r;
        const int raw = std::system(cmd.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        r.out = slurp(out);
        r.err = slurp(err);
        unlink(out.c_str());
        unlink(err.c_str());
        return r;
    }

    // Names in the folder, hidden ones included (a leftover temporary file
    // would be hidden).
    std::set<std::string> listing() const {
        std::set<std::string> names;
        DIR *d = opendir(dir_.c_str());
        while (dirent *e = d ? readdir(d) : nullptr) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.insert(n);
        }
        if (d) closedir(d);
        return names;
    }

    std::string dir_;
};

// A WAV of random samples, `bits` significant bits per sample (20-bit
// samples travel in 24-bit words with the low four bits zero), each
// `headroom` bits below full scale. The samples are returned left-justified
// in 32 bits, as libsndfile reads them back.
std::vector<int32_t> make_wav(const std::string &file, int channels, int bits, int rate,
                              size_t periods, uint32_t seed, int headroom = 0) {
    std::mt19937 gen(seed);
    std::vector<int32_t> samples(periods * size_t(channels));
    for (int32_t &s : samples) {
        uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(gen()) >> headroom);
        v &= bits == 16 ? 0xFFFF0000u : bits == 20 ? 0xFFFFF000u : 0xFFFFFF00u;
        s = static_cast<int32_t>(v);
    }
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    SNDFILE *f = sf_open(file.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << file;
    if (!f) return {};
    EXPECT_EQ(sf_writef_int(f, samples.data(), sf_count_t(periods)), sf_count_t(periods));
    sf_close(f);
    return samples;
}

struct Wav {
    SF_INFO info{};
    std::vector<int32_t> samples;
};

Wav read_wav(const std::string &file) {
    Wav w;
    SNDFILE *f = sf_open(file.c_str(), SFM_READ, &w.info);
    EXPECT_NE(f, nullptr) << file << ": " << sf_strerror(nullptr);
    if (!f) return w;
    w.samples.resize(size_t(w.info.frames) * size_t(w.info.channels));
    EXPECT_EQ(sf_readf_int(f, w.samples.data(), w.info.frames), w.info.frames);
    sf_close(f);
    return w;
}

// ---------------------------------------------------------------------------
// encode, inspect and unpack, for every layer

struct LayerCase {
    const char *name;
    const char *args;            // encode options besides input and output
    int channels, bits, rate;    // the source
    const char *stream_header;   // the 8 bytes every stream opens with
    const char *frame_header;    // first 4 bytes of the first frame ("" for none)
    int frame_bytes;             // first frame, its own header included
    int coded_channels;          // channels unpack gives back
    uint32_t carried_mask;       // bits of a left-justified sample the layer carries
};

// Stream header bytes as the formats define them: "LPCM" + (channels-1)<<2,
// dynamic range; "HDMV" + layer 13, rate<<5 | quantization<<3 | channels-1;
// "AES3" + layer, (frame rate code - 1)<<5 | quantization<<3 | channels-1.
const LayerCase kLayers[] = {
    {"dvd_stereo_16", "--target dvd", 2, 16, 48000, "4C 50 43 4D 04 80 00 00", "", 320, 2,
     0xFFFF0000u},
    {"dvd_mono_96k", "--target dvd", 1, 16, 96000, "4C 50 43 4D 01 80 00 00", "", 320, 1,
     0xFFFF0000u},
    {"hdmv_stereo_16", "--target hdmv", 2, 16, 48000, "48 44 4D 56 0D 01 00 00", "03 C0 31 40",
     964, 2, 0xFFFF0000u},
    {"hdmv_six_24_96k", "--target hdmv --hdmv-pad-last", 6, 24, 96000,
     "48 44 4D 56 0D 35 00 00", "21 C0 84 C0", 8644, 6, 0xFFFFFF00u},
    {"hdmv_3_2_20", "--target hdmv --bits 20", 5, 20, 48000, "48 44 4D 56 0D 0D 00 00", "10 E0 81 80",
     4324, 6, 0xFFFFF000u},
    {"302m_stereo_16_25", "--target xdcam-imx --frame-rate 25", 2, 16, 48000,
     "41 45 53 33 0A 41 00 00", "25 80 00 00", 9604, 2, 0xFFFF0000u},
    {"302m_eight_24_23976", "--layer 10 --frame-rate 24000/1001", 8, 24, 48000,
     "41 45 53 33 0A 17 00 00", "DA F8 C0 20", 56060, 8, 0xFFFFFF00u},
    {"302m_four_20_2997", "--layer 10 --frame-rate-code 4 --bits 20", 4, 20, 48000, "41 45 53 33 0A 6B 00 00",
     "4B 18 40 10", 19228, 4, 0xFFFFF000u},
    {"d10_stereo_24_2997", "--layer 11 --frame-rate 30000/1001", 2, 24, 48000,
     "41 45 53 33 0B 71 00 00", "01 42 06 03", 51268, 2, 0xFFFFF000u},
    {"d10_four_20_25", "--layer 11 --frame-rate 25 --bits 20", 4, 20, 48000, "41 45 53 33 0B 4B 00 00",
     "00 80 07 0F", 61444, 4, 0xFFFFF000u},
    {"planar_stereo_16_50", "--target xdcam --frame-rate 50", 2, 16, 48000,
     "41 45 53 33 0C A1 00 00", "", 3840, 2, 0xFFFF0000u},
    {"planar_three_24_5994", "--target xdcam --frame-rate 59.94", 3, 24, 48000,
     "41 45 53 33 0C D2 00 00", "", 7209, 3, 0xFFFFFF00u},
};

void PrintTo(const LayerCase &c, std::ostream *os) { *os << c.name; }

class LayerRoundTrip : public ToolTest, public ::testing::WithParamInterface<LayerCase> {};

TEST_P(LayerRoundTrip, EncodeInspectUnpackGivesTheAudioBack) {
    const LayerCase &c = GetParam();
    const uint32_t seed = 0x5eed0000u + uint32_t(c.channels * 100 + c.bits);
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Not a whole number of frames, so that the padded last frame is met.
    const size_t periods = size_t(c.rate) * 3 / 10 + 7;
    const std::vector<int32_t> input = make_wav(path("in.wav"), c.channels, c.bits, c.rate, periods, seed);

    Outcome enc = run(std::string("encode in.wav -o out.es ") + c.args);
    ASSERT_EQ(enc.status, 0) << enc.err;
    // Success is silent (no progress line either: stderr is not a terminal),
    // except for the note on an added HDMV padding channel and notes on what
    // an option changes ("pcmpack: note: ...").
    if (c.coded_channels == c.channels) {
        std::string other;
        std::istringstream lines(enc.err);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("pcmpack: note: ", 0) != 0) other += line + "\n";
        EXPECT_EQ(other, "");
    }
    const std::vector<uint8_t> stream = read_bytes(path("out.es"));
    ASSERT_GT(stream.size(), 8u + size_t(c.frame_bytes));
    EXPECT_EQ(hex(stream, 0, 8), c.stream_header);
    if (*c.frame_header) {
        EXPECT_EQ(hex(stream, 8, 4), c.frame_header);
    }

    Outcome ins = run("inspect out.es --frames");
    EXPECT_EQ(ins.status, 0) << ins.err;
    EXPECT_NE(ins.out.find("word length      " + std::to_string(c.bits) + " bits"), std::string::npos)
        << ins.out;
    EXPECT_NE(ins.out.find(std::to_string(c.frame_bytes) + " bytes"), std::string::npos) << ins.out;
    EXPECT_EQ(ins.err, "");

    Outcome unp = run("unpack out.es -o back.wav");
    ASSERT_EQ(unp.status, 0) << unp.err;
    const Wav back = read_wav(path("back.wav"));
    EXPECT_EQ(back.info.channels, c.coded_channels);
    EXPECT_EQ(back.info.samplerate, c.rate);
    ASSERT_GE(size_t(back.info.frames), periods);
    // The source comes back in the bits the layer carries; a padding channel
    // and the padded tail of the last frame are silent.
    size_t mismatches = 0;
    for (size_t p = 0; p < size_t(back.info.frames); ++p) {
        for (int ch = 0; ch < c.coded_channels; ++ch) {
            const int32_t got = back.samples[p * size_t(c.coded_channels) + size_t(ch)];
            const int32_t want = p < periods && ch < c.channels
                ? int32_t(uint32_t(input[p * size_t(c.channels) + size_t(ch)]) & c.carried_mask)
                : 0;
            if (got != want && mismatches++ < 5)
                ADD_FAILURE() << "period " << p << " channel " << ch << ": got " << got
                              << ", want " << want;
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(listing(), (std::set<std::string>{"in.wav", "out.es", "back.wav"}));
}

INSTANTIATE_TEST_SUITE_P(EveryLayer, LayerRoundTrip, ::testing::ValuesIn(kLayers),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ToolTest, DvdFramesCarryBigEndianWords) {
    // Left 0x1234 and right 0xABCD, little-endian in the WAV, leave as
    // 12 34 AB CD in every sample period of a DVD frame.
    std::vector<int32_t> samples;
    for (int p = 0; p < 80; ++p) {
        samples.push_back(int32_t(0x12340000u));
        samples.push_back(int32_t(0xABCD0000u));
    }
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path("in.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_int(f, samples.data(), 80);
    sf_close(f);
    ASSERT_EQ(run("encode in.wav -o out.lpcm -t dvd").status, 0);
    const std::vector<uint8_t> out = read_bytes(path("out.lpcm"));
    ASSERT_EQ(out.size(), 8u + 320u);
    EXPECT_EQ(hex(out, 8, 8), "12 34 AB CD 12 34 AB CD");
    EXPECT_EQ(hex(out, 8 + 316, 4), "12 34 AB CD");
}

TEST_F(ToolTest, HdmvPayloadIsBigEndian) {
    // HDMV readers take big-endian words; the library passes them through.
    std::vector<int32_t> samples = {int32_t(0x12345600u), int32_t(0xABCDEF00u)};
    samples.resize(240 * 2, 0);
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE *f = sf_open(path("in.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_int(f, samples.data(), 240);
    sf_close(f);
    ASSERT_EQ(run("encode in.wav -o out.hdmv -t hdmv").status, 0);
    const std::vector<uint8_t> out = read_bytes(path("out.hdmv"));
    ASSERT_EQ(out.size(), 8u + 4u + 1440u);
    EXPECT_EQ(hex(out, 8, 4), "05 A0 31 C0");
    EXPECT_EQ(hex(out, 12, 6), "12 34 56 AB CD EF");
}

TEST_F(ToolTest, FloatingPointInputNeedsBitsAndMapsFullScaleToFullScale) {
    // 0.5 and -0.5 are half scale; 1.5 and -2.0 lie beyond it and clip.
    const float samples[] = {0.5f, -0.5f, 1.5f, -2.0f};
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path("in.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_command(f, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    sf_writef_float(f, samples, 2);
    sf_close(f);
    Outcome refused = run("encode in.wav -o out.lpcm -t dvd");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("in.wav: floating-point"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--bits 16, 20 or 24"), std::string::npos) << refused.err;
    EXPECT_FALSE(exists(path("out.lpcm")));
    Outcome r = run("encode in.wav -o out.lpcm -t dvd --bits 16");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> out = read_bytes(path("out.lpcm"));
    ASSERT_EQ(out.size(), 8u + 320u);
    EXPECT_EQ(hex(out, 8, 10), "40 00 C0 00 7F FF 80 00 00 00");
}

// Conversions happen only when asked for, say what they do with --verbose,
// and are the same run after run.
struct ConversionCase {
    const char *name;
    int bits, rate;             // of the source
    const char *args;           // encode options
    const char *plain;          // options whose output must be identical ("" = none)
    const char *verbose;        // what --verbose says ("" = nothing)
    int out_bits, out_rate;     // of the stream
};

const ConversionCase kConversions[] = {
    {"dither_without_reduction", 16, 48000, "-t dvd --dither tpdf", "-t dvd", "", 16, 48000},
    {"resample_to_same_rate", 24, 48000, "-t hdmv --resample 48000", "-t hdmv", "", 24, 48000},
    {"widen_16_to_24", 16, 48000, "-t hdmv --bits 24", "",
     "16-bit samples widened to 24-bit words (low bits zero)", 24, 48000},
    {"twenty_bit_words_in_24", 20, 48000, "-t hdmv --bits 20", "-t hdmv --bits 20 --dither none",
     "24-bit samples to 20-bit words with TPDF dither", 20, 48000},
    {"dither_24_to_16", 24, 48000, "-t dvd --bits 16", "",
     "24-bit samples to 16-bit words with TPDF dither", 16, 48000},
    {"truncate_24_to_16", 24, 48000, "-t dvd --bits 16 --dither none", "",
     "24-bit samples to 16-bit words by truncation (no dither)", 16, 48000},
    {"resample_44100", 24, 44100, "-t dvd --resample 48000 --bits 16", "",
     "44100 Hz converted to 48000 Hz (libsoxr, very-high quality); 24-bit samples to 16-bit "
     "words with TPDF dither", 16, 48000},
    {"resample_quick", 16, 48000, "-t hdmv --resample 96000 --resample-quality quick", "",
     "48000 Hz converted to 96000 Hz (libsoxr, quick quality); 16-bit samples to 16-bit words "
     "by rounding", 16, 96000},
};

void PrintTo(const ConversionCase &c, std::ostream *os) { *os << c.name; }

class Conversion : public ToolTest, public ::testing::WithParamInterface<ConversionCase> {};

TEST_P(Conversion, HappensOnRequestOnlyAndSaysWhat) {
    const ConversionCase &c = GetParam();
    // Rate conversion of full-scale noise overshoots; 6 dB of headroom keeps
    // this case free of clipping.
    const std::vector<int32_t> in = make_wav(path("in.wav"), 2, c.bits, c.rate, 4000, 21, 1);
    Outcome r = run(std::string("encode in.wav -o out.es -v ") + c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, *c.verbose ? "pcmpack: note: in.wav: " + std::string(c.verbose) + "\n" : "");
    ASSERT_EQ(run(std::string("encode in.wav -o again.es ") + c.args).status, 0);
    EXPECT_EQ(read_bytes(path("again.es")), read_bytes(path("out.es"))) << "not reproducible";
    if (*c.plain) {
        ASSERT_EQ(run(std::string("encode in.wav -o plain.es ") + c.plain).status, 0);
        EXPECT_EQ(read_bytes(path("plain.es")), read_bytes(path("out.es")));
    }
    ASSERT_EQ(run("unpack out.es -o back.wav").status, 0);
    const Wav back = read_wav(path("back.wav"));
    EXPECT_EQ(back.info.samplerate, c.out_rate);
    EXPECT_EQ(back.info.format & SF_FORMAT_SUBMASK, c.out_bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    if (c.rate != c.out_rate) return;
    // Without rate conversion each sample lands near the source's: dither
    // adds at most one output step to half a step of rounding; truncation
    // lands at or below it, by less than a step.
    const bool truncated = std::string(c.args).find("none") != std::string::npos;
    const int64_t step = int64_t(1) << (32 - c.out_bits);
    size_t changed = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const int64_t delta = int64_t(back.samples[i]) - int64_t(in[i]);
        if (truncated)
            EXPECT_TRUE(delta <= 0 && delta > -step) << i;
        else
            EXPECT_LT(2 * std::abs(delta), 3 * step) << i;  // TPDF: under 1.5 steps
        changed += delta != 0;
    }
    EXPECT_EQ(changed > 0, c.out_bits < c.bits);
}

INSTANTIATE_TEST_SUITE_P(Encode, Conversion, ::testing::ValuesIn(kConversions),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ToolTest, ClippedFloatingPointSamplesAreCountedOnce) {
    // 1.5 and -2.0 lie beyond full scale; one of each per period, for 1000
    // periods spread over many reads.
    std::vector<float> samples;
    for (int p = 0; p < 1000; ++p) {
        samples.push_back(p % 2 ? 1.5f : 0.25f);
        samples.push_back(p % 2 ? -2.0f : -0.25f);
    }
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path("in.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_float(f, samples.data(), 1000);
    sf_close(f);
    Outcome r = run("encode in.wav -o out.es -t hdmv --bits 24");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "pcmpack: note: in.wav: 1000 samples were limited to full scale\n");
    const std::vector<uint8_t> out = read_bytes(path("out.es"));
    ASSERT_GE(out.size(), 8u + 4u + 12u);
    // 0.25, -0.25, then the clipped pair, as big-endian 24-bit words.
    EXPECT_EQ(hex(out, 12, 12), "20 00 00 E0 00 00 7F FF FF 80 00 00");
}

// ---------------------------------------------------------------------------
// input and output paths

TEST_F(ToolTest, StdinAndStdoutGiveTheSameStreamAsFiles) {
    make_wav(path("in.wav"), 2, 16, 48000, 5000, 7);
    ASSERT_EQ(run("encode in.wav -o file.es -t hdmv").status, 0);
    Outcome piped = run("encode - -o - -t hdmv", path("in.wav"));
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, slurp(path("file.es")));
    EXPECT_EQ(listing(), (std::set<std::string>{"in.wav", "file.es"}));
    Outcome ins = run("inspect - --json", path("file.es"));
    EXPECT_EQ(ins.status, 0);
    EXPECT_NE(ins.out.find("\"file\":\"stdin\",\"ok\":true"), std::string::npos) << ins.out;
    EXPECT_NE(ins.out.find("\"layer\":13"), std::string::npos) << ins.out;
}

struct RawCase {
    int bits;
    const char *endian;
};

TEST_F(ToolTest, RawPcmGivesTheSameStreamAsTheWav) {
    const RawCase cases[] = {{16, "little"}, {16, "big"}, {24, "little"}, {24, "big"}};
    for (const RawCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " " + c.endian);
        const std::vector<int32_t> s = make_wav(path("in.wav"), 2, c.bits, 48000, 4000, 11);
        std::vector<uint8_t> raw;
        const int width = c.bits / 8;
        const bool big = std::string(c.endian) == "big";
        for (int32_t v : s) {
            const uint32_t u = uint32_t(v);
            for (int b = 0; b < width; ++b) {
                const int shift = big ? 24 - 8 * b : 32 - 8 * width + 8 * b;
                raw.push_back(uint8_t(u >> shift));
            }
        }
        write_file(path("in.raw"), raw);
        ASSERT_EQ(run("encode -y in.wav -o wav.es -t xdcam --frame-rate 25").status, 0);
        const std::string args = "encode -y in.raw -o raw.es -t xdcam --frame-rate 25 --rate 48000 "
                                 "--channels 2 --bits " + std::to_string(c.bits) + " --endian " +
                                 c.endian;
        Outcome r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_bytes(path("raw.es")), read_bytes(path("wav.es")));
    }
}

// Samples stored as the layer's words reach the library as they are read
// (turned round for HDMV, or handed on big-endian); FLAC is decoded and
// converted word by word. Every container and layer must give the stream
// the converted path gives.
TEST_F(ToolTest, StoredWordsGiveTheSameStreamAsConvertedSamples) {
    // libsndfile gives 6-channel RF64 a 5.1 mask, which --hdmv-pad-last
    // refuses to scramble: the channels are taken in the order given.
    const char *const targets[] = {"-t hdmv --hdmv-pad-last --channel-order keep", "-t dvd", "--layer 10 --frame-rate 25",
                                   "--layer 11 --frame-rate 25 --bits 24", "-t xdcam --frame-rate 25"};
    const std::pair<const char *, int> containers[] = {
        {"in.wav", SF_FORMAT_WAV}, {"in.aiff", SF_FORMAT_AIFF}, {"in.w64", SF_FORMAT_W64},
        {"in.caf", SF_FORMAT_CAF | SF_ENDIAN_BIG}, {"in.rf64", SF_FORMAT_RF64}};
    for (int bits : {16, 24}) {
        for (int channels : {2, 6}) {
            const std::vector<int32_t> s = make_wav(path("in.wav"), channels, bits, 48000, 4000, 5);
            const auto write_as = [&](const char *name, int format) {
                SF_INFO info{};
                info.samplerate = 48000;
                info.channels = channels;
                info.format = format | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
                SNDFILE *f = sf_open(path(name).c_str(), SFM_WRITE, &info);
                ASSERT_NE(f, nullptr) << name;
                sf_writef_int(f, s.data(), 4000);
                sf_close(f);
            };
            write_as("in.flac", SF_FORMAT_FLAC);
            for (const auto &[name, format] : containers) write_as(name, format);
            for (const char *target : targets) {
                // DVD LPCM carries 16-bit words of one or two channels only.
                if (std::string(target) == "-t dvd" && (channels > 2 || bits > 16)) continue;
                SCOPED_TRACE(std::string(target) + ", " + std::to_string(channels) + " channels, " +
                             std::to_string(bits) + " bits");
                const std::string options = std::string(" ") + target;
                ASSERT_EQ(run("encode -y in.flac -o ref.es" + options).status, 0);
                for (const auto &container : containers) {
                    const Outcome r = run(std::string("encode -y ") + container.first + " -o out.es" + options);
                    ASSERT_EQ(r.status, 0) << container.first << ": " << r.err;
                    EXPECT_EQ(read_bytes(path("out.es")), read_bytes(path("ref.es"))) << container.first;
                }
            }
        }
    }
}

// encode turns a WAV's little-endian words round for HDMV in vector steps
// of 16 bytes (eight 2-byte words) or 15 (five 3-byte words), two steps at
// a time with AVX2, and the words after them one at a time: lengths that end
// in every kind of remainder give the stream the FLAC path gives.
TEST_F(ToolTest, HdmvWordsTurnedRoundWhateverTheLength) {
    struct Row {
        int channels, bits, periods;
    };
    const Row rows[] = {{2, 16, 1},  {2, 16, 3},  {2, 16, 4},  {2, 16, 7},  {2, 16, 9},
                        {2, 16, 17}, {6, 16, 5},  {2, 24, 1},  {2, 24, 3},  {2, 24, 5},
                        {2, 24, 8},  {2, 24, 13}, {6, 24, 7},  {2, 24, 241}};
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.channels) + " channels, " + std::to_string(row.bits) +
                     " bits, " + std::to_string(row.periods) + " periods");
        const std::vector<int32_t> s =
            make_wav(path("in.wav"), row.channels, row.bits, 48000, row.periods, 11);
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = row.channels;
        info.format = SF_FORMAT_FLAC | (row.bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
        SNDFILE *f = sf_open(path("in.flac").c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_writef_int(f, s.data(), row.periods);
        sf_close(f);
        const std::string options = " -t hdmv --hdmv-pad-last --channel-order keep";
        ASSERT_EQ(run("encode -y in.flac -o ref.es" + options).status, 0);
        const Outcome r = run("encode -y in.wav -o out.es" + options);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_bytes(path("out.es")), read_bytes(path("ref.es")));
    }
}

TEST_F(ToolTest, IndexListsEveryWriteAsCsvOrJson) {
    make_wav(path("in.wav"), 2, 16, 48000, 160, 3);  // two DVD frames
    ASSERT_EQ(run("encode -y in.wav -o out.es -t dvd --index idx.csv").status, 0);
    EXPECT_EQ(slurp(path("idx.csv")),
              "offset,bytes,ticks,seconds\n"
              "0,8,-1,\n"
              "8,320,0,0.000000000\n"
              "328,320,45000,0.001666667\n");
    ASSERT_EQ(run("encode -y in.wav -o out.es -t hdmv --index idx.json --index-format json").status, 0);
    EXPECT_EQ(slurp(path("idx.json")),
              "{\"offset\":0,\"bytes\":8,\"ticks\":-1,\"seconds\":null}\n"
              "{\"offset\":8,\"bytes\":964,\"ticks\":0,\"seconds\":0.000000000}\n");
    // 30000/1001: the running time advances by 1602 and 1601 sample periods.
    make_wav(path("in.wav"), 2, 16, 48000, 1602 + 1601 + 1602, 3);
    ASSERT_EQ(run("encode -y in.wav -o out.es --layer 12 --frame-rate-code 4 --index idx.csv").status, 0);
    EXPECT_EQ(slurp(path("idx.csv")),
              "offset,bytes,ticks,seconds\n"
              "0,8,-1,\n"
              "8,6408,0,0.000000000\n"
              "6416,6404,901125,0.033375000\n"
              "12820,6408,1801687,0.066729148\n");
}

// ---------------------------------------------------------------------------
// HDMV channel layouts: a run per kind of plan (padding added, refused,
// padding kept, a named layout), each carried through to the stream and
// back; the plans themselves are core_channels_test.cpp's table.

struct HdmvCase {
    int channels;
    const char *extra;
    int status;
    int coded;                  // coded channels when accepted
    const char *message;        // in stderr
};

TEST_F(ToolTest, HdmvLayoutsPadOddSourcesAndRefuseAmbiguousOnes) {
    const HdmvCase cases[] = {
        {3, "", 0, 4, "3 channels packed as HDMV 3/0 in 4 coded channels; channel 4 is silent padding"},
        {4, "", 1, 0, "in.wav: 4 channels; HDMV LPCM carries 4 coded channels as the 3/0 layout plus a padding channel, so channel 4 would be read as padding and lost"},
        {4, "--hdmv-pad-last", 0, 4, ""},
        // Without a mask the channels are in WAV order, whose 5.1 surrounds
        // are the back pair, as the README names them.
        {6, "--hdmv-layout 5.1 -v", 0, 6,
         "coded 4 Ls <- source 5 (BL)\n  coded 5 Rs <- source 6 (BR)\n  coded 6 LFE <- source 4 (LFE)"},
    };
    for (const HdmvCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels " + c.extra);
        make_wav(path("in.wav"), c.channels, 16, 48000, 300, 5);
        unlink(path("out.es").c_str());
        Outcome r = run(std::string("encode -y in.wav -o out.es -t hdmv ") + c.extra);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        if (c.status != 0) {
            EXPECT_FALSE(exists(path("out.es")));
            continue;
        }
        const std::vector<uint8_t> out = read_bytes(path("out.es"));
        ASSERT_GE(out.size(), 8u);
        EXPECT_EQ(out[5] & 7, c.coded - 1);
        Outcome u = run("unpack -y out.es -o back.wav");
        ASSERT_EQ(u.status, 0) << u.err;
        const Wav back = read_wav(path("back.wav"));
        EXPECT_EQ(back.info.channels, c.coded);
        if (c.coded > c.channels) {
            bool silent = true;
            for (size_t p = 0; p < size_t(back.info.frames); ++p)
                silent = silent && back.samples[p * size_t(c.coded) + size_t(c.coded - 1)] == 0;
            EXPECT_TRUE(silent) << "the padding channel carries sound";
        }
    }
}

// ---------------------------------------------------------------------------
// failures: a message naming the file and the problem, status 1, no output

struct ErrorCase {
    const char *name;
    const char *setup;  // tone options for in.wav; "" = no in.wav
    const char *args;
    const char *message;
    const char *file_limit = nullptr;  // KiB the tool may write to a file, as on a full disk
};

const ErrorCase kErrors[] = {
    {"missing_input", "", "encode nosuch.wav -o out.es -t dvd", "nosuch.wav: cannot open"},
    {"not_audio", "text", "encode in.wav -o out.es -t dvd", "in.wav: not an audio file"},
    {"rate_44100", "--rate 44100", "encode in.wav -o out.es -t dvd",
     "in.wav: 44100 Hz; this target needs 48000 or 96000 Hz"},
    {"rate_44100_coded_message", "--rate 44100", "encode in.wav -o out.es -t hdmv -v",
     "P006: the target takes 48000 or 96000 Hz, this source has 44100 Hz"},
    {"aes3_at_96k", "--rate 96000", "encode in.wav -o out.es -t xdcam --frame-rate 25",
     "in.wav: 96000 Hz; the AES3 formats (302M, D-10, planar) carry 48000 Hz only (--resample 48000"},
    {"rate_44100_names_resample", "--rate 44100", "encode in.wav -o out.es -t hdmv",
     "in.wav: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)"},
    {"resample_aes3_to_96k", "", "encode in.wav -o out.es -t xdcam --frame-rate 25 --resample 96000",
     "--resample 96000: the AES3 formats (302M, D-10, planar) carry 48000 Hz only"},
    {"resample_dvdvr_to_96k", "", "encode in.wav -o out.es --video-type 14 --resample 96000",
     "in.wav: 96000 Hz; DVD-VR needs 48000 Hz (give --resample 48000)"},
    {"dvd_three_channels", "--channels 3", "encode in.wav -o out.es -t dvd",
     "in.wav: 3 channels; DVD LPCM carries 1 or 2 channels"},
    {"302m_odd_channels", "--channels 3", "encode in.wav -o out.es -t xdcam-imx --frame-rate 25",
     "in.wav: 3 channels; SMPTE 302M carries channel pairs: 2, 4, 6 or 8 channels"},
    {"dvd_24_bit", "--bits 24", "encode in.wav -o out.es -t dvd",
     "in.wav: 24-bit samples; DVD LPCM carries 16-bit words only"},
    {"d10_16_bit", "", "encode in.wav -o out.es --layer 11 --frame-rate 25",
     "in.wav: 16-bit samples; D-10 AES3 carries 20- or 24-bit words"},
    {"aes3_without_frame_rate", "", "encode in.wav -o out.es -t xdcam",
     "planar AES3 is cut one frame per video frame: give --frame-rate"},
    {"bad_frame_rate", "", "encode in.wav -o out.es -t xdcam --frame-rate 29",
     "--frame-rate: 29 is no frame rate; did you mean 29.97 or 30?"},
    {"dvd_target_wrong_layer", "", "encode in.wav -o out.es -t dvd --layer 12 --frame-rate 25",
     "the DVD target takes DVD LPCM, not planar AES3"},
    {"no_preset", "", "encode in.wav -o out.es --video-type 10",
     "--video-type 10 (DVHS) has no preset; give --layer"},
    {"output_folder_missing", "", "encode in.wav -o nodir/out.es -t dvd",
     "nodir/out.es: cannot create"},
    {"output_is_folder", "", "encode in.wav -o . -t dvd", ".: is a folder"},
    {"output_full", "", "encode in.wav -o /dev/full -t dvd", "/dev/full: write failed"},
    {"raw_without_channels", "", "encode in.wav -o out.es -t dvd --rate 48000",
     "--rate requires --channels"},
    {"inspect_missing", "", "inspect nosuch.es", "nosuch.es: cannot open"},
    {"inspect_not_a_stream", "", "inspect in.wav", "in.wav: byte 0: unknown stream tag 52 49 46 46"},
    {"unpack_not_a_stream", "", "unpack in.wav -o out.es", "in.wav: byte 0: unknown stream tag"},
    // Live streams: refused before a socket is opened.
    {"live_other_scheme", "", "inspect rtsp://127.0.0.1:5004",
     "rtsp://127.0.0.1:5004: pcmpack reads live streams from udp://, srt:// and rtp:// URLs"},
    {"live_no_port", "", "inspect udp://@", "udp://@: the URL names no port"},
    {"live_frame_list", "", "inspect udp://@:5004 --frames",
     "udp://@:5004: --frames lists a file's frames; a live stream is watched by the interval"},
    {"live_every_zero", "", "inspect udp://@:5004 --every 0", "pcmpack: --every: 0 is out of range; give 0.1 to 3600\n"},
    {"file_watched", "", "inspect in.wav --duration 5",
     "in.wav: --every, --duration and --fail-fast watch a live stream (udp://, srt://); this is a file"},
    {"live_record_nothing_to_write", "", "unpack udp://@:5004",
     "udp://@:5004: nothing to write: give -o FILE for the audio as WAV, --data-out FILE"},
    {"live_record_other_scheme", "", "unpack rtsp://127.0.0.1:5004 -o out.wav --duration 1",
     "rtsp://127.0.0.1:5004: pcmpack reads live streams from udp://, srt:// and rtp:// URLs"},
    {"file_recorded_for_a_time", "", "unpack in.wav -o out.wav --duration 1",
     "in.wav: --duration records a live stream (udp://, srt://); this is a file"},
    {"tone_to_missing_folder", "", "tone -o nodir/out.es", "nodir/out.es: cannot create"},
    // A typo names the nearest option of the command, or the nearest command
    // (encode takes the value after it for one more INPUT).
    {"mistyped_option", "", "encode in.wav -o out.es --frmae-rate 25",
     "pcmpack: encode: --frmae-rate is no option; did you mean --frame-rate?\n"},
    {"mistyped_option_with_value", "", "encode in.wav -o out.es -t dvd --bitz=16",
     "pcmpack: encode: --bitz is no option; did you mean --bits?\n"},
    {"mistyped_option_of_unpack", "", "unpack in.wav -o out.wav --dat-out x.ac3",
     "pcmpack: unpack: --dat-out is no option; did you mean --data-out?\n"},
    {"mistyped_command", "", "encdoe in.wav -o out.es",
     "pcmpack: unknown command 'encdoe'; did you mean `pcmpack encode`?\n"},
    {"unknown_command_no_guess", "", "compress in.wav",
     "pcmpack: unknown command 'compress'; the commands are encode, presets, inspect, unpack or tone\n"},
    // Containers: each carries one layer, and the refusal names the layer's
    // before anything is written; which container for which name and layer
    // is core_containers_test.cpp's table.
    {"ts_for_dvd", "", "encode in.wav -o out.ts -t dvd",
     "out.ts: an MPEG transport stream (.ts) carries SMPTE 302M only; DVD LPCM is written as an elementary stream or an MPEG program stream (.vob, .mpg, .mpeg) "
     "(--container es|ps)"},
    {"unknown_container", "", "encode in.wav -o out.es -t dvd --container mkv",
     "--container: mkv is no container; use es (elementary stream), ts (MPEG transport stream), m2ts (BDAV "
     "transport stream) or ps (MPEG program stream)"},
    {"container_full", "", "encode in.wav -o /dev/full -t xdcam-imx --frame-rate 25 --container ts",
     "/dev/full: write failed"},
    // The network carries 302M in a transport stream only, and a datagram
    // whole transport packets; nothing is sent when the plan is refused.
    {"network_hdmv", "", "encode in.wav -o udp://127.0.0.1:9 -t hdmv",
     "udp://127.0.0.1:9: the network carries SMPTE 302M, the format with a "
     "transport-stream mapping for contribution, not HDMV LPCM"},
    {"network_elementary", "", "encode in.wav -o srt://127.0.0.1:9 --frame-rate 25 --container es",
     "srt://127.0.0.1:9: the network carries an MPEG transport stream (--container ts), not "
     "--container es"},
    {"network_partial_packets", "", "encode in.wav -o udp://127.0.0.1:9?pkt_size=1000 --frame-rate 25",
     "udp://127.0.0.1:9?pkt_size=1000: datagrams of 1000 bytes; a datagram carries whole "
     "188-byte transport packets"},
    {"muxrate_below_audio", "", "encode in.wav -o out.ts --frame-rate 25 --muxrate 1000000",
     "--muxrate 1000000: 2 channels of 16-bit words need at least "},
    {"muxrate_for_program_stream", "", "encode in.wav -o out.vob -t dvd --muxrate 5000000",
     "--muxrate applies to a transport stream of 302M (.ts, udp://, srt://), not to an MPEG "
     "program stream"},
    {"pace_for_file", "", "encode in.wav -o out.ts --frame-rate 25 --pace none",
     "--pace applies to a udp:// or srt:// output only"},
    // ST 2110 over RTP: refused while planning, before a packet or the SDP.
    {"sdp_for_file", "", "encode in.wav -o out.ts --frame-rate 25 --sdp s.sdp",
     "--sdp applies to an rtp:// output only; the output is out.ts"},
    {"ptime_for_network", "", "encode in.wav -o udp://127.0.0.1:9 --frame-rate 25 --ptime 125us",
     "--ptime applies to an rtp:// output only; the output is udp://127.0.0.1:9"},
    {"rtp_transport_options", "", "encode in.wav -o rtp://127.0.0.1:9 --frame-rate 25 --muxrate 5000000",
     "rtp://127.0.0.1:9: cannot send this stream:\n  --frame-rate, --muxrate do not apply to rtp://"},
    {"rtp_data_on_30", "", "encode in.wav -o rtp://127.0.0.1:9 --data in.wav",
     "--data rides in AES3 words: send it with --st2110 31"},
    {"rtp_without_port", "", "encode in.wav -o rtp://127.0.0.1", "rtp://127.0.0.1: give rtp://HOST:PORT"},
    {"rtp_sdp_over_input", "", "encode in.wav -o rtp://127.0.0.1:9 --sdp in.wav -y",
     "in.wav: is now the same file as the input in.wav"},
    // A disk that fills up in the middle of a container: 3 s of 8 channels
    // make over 3 MB; a file size limit of 1000 blocks whose signal is
    // ignored makes the writes past it fail with EFBIG.
    {"container_disk_full", "--channels 8 --seconds 3",
     "encode in.wav -o out.ts -t xdcam-imx --frame-rate 25", "out.ts: write failed: File too large",
     "1000"},
};

void PrintTo(const ErrorCase &c, std::ostream *os) { *os << c.name; }

class ToolError : public ToolTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ToolError, NamesTheFileAndTheProblemAndLeavesNoOutput) {
    const ErrorCase &c = GetParam();
    if (std::string(c.setup) == "text") {
        write_file(path("in.wav"), std::vector<uint8_t>(100, 'x'));
    } else {
        const std::string setup = c.setup;
        const char *length = setup.find("--seconds") == std::string::npos ? "--seconds 0.1 " : "";
        Outcome tone = run("tone -o in.wav " + std::string(length) + setup);
        ASSERT_EQ(tone.status, 0) << tone.err;
    }
    const std::set<std::string> before = listing();
    Outcome r = c.file_limit ? run_limited(c.args, c.file_limit) : run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << "stderr: " << r.err;
    EXPECT_EQ(r.err.rfind("pcmpack: ", 0), 0u) << r.err;
    EXPECT_EQ(listing(), before) << "a file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Paths, ToolError, ::testing::ValuesIn(kErrors),
                         [](const auto &info) { return std::string(info.param.name); });

// A refusal names every rule the input breaks for the target, one plain line
// each with the fix; the library's coded lines (internal values: channels
// less one, word length codes) come only under -v, after the plain lines,
// with their codes and in the user's terms.
struct RefusalCase {
    const char *name;
    const char *setup;   // tone options for in.wav
    const char *args;
    const char *stderr_text;  // all of it
};

const RefusalCase kRefusals[] = {
    {"dvd_6ch_24bit_44k", "--channels 6 --bits 24 --rate 44100", "encode in.wav -o out.es -t dvd",
     "pcmpack: in.wav: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)\n"
     "pcmpack: in.wav: 24-bit samples; DVD LPCM carries 16-bit words only (--bits 16 shortens them "
     "with TPDF dither)\n"
     "pcmpack: in.wav: 6 channels; DVD LPCM carries 1 or 2 channels (--downmix 2 mixes them down; HDMV "
     "LPCM, --target hdmv, carries 5.1 and 7.1)\n"},
    {"dvd_6ch_24bit_44k_verbose", "--channels 6 --bits 24 --rate 44100",
     "encode in.wav -o out.es -t dvd -v",
     "pcmpack: in.wav: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)\n"
     "pcmpack: in.wav: 24-bit samples; DVD LPCM carries 16-bit words only (--bits 16 shortens them "
     "with TPDF dither)\n"
     "pcmpack: in.wav: 6 channels; DVD LPCM carries 1 or 2 channels (--downmix 2 mixes them down; HDMV "
     "LPCM, --target hdmv, carries 5.1 and 7.1)\n"
     "pcmpack: P006: the target takes 48000 or 96000 Hz, this source has 44100 Hz\n"
     "pcmpack: P009: the target takes 16-bit words, this source has 24-bit words\n"
     "pcmpack: P007: the target takes 1 or 2 channels, this source has 6\n"},
    // The library's rate rule takes 96000 Hz; the AES3 one is the tool's.
    {"302m_3ch_44k", "--channels 3 --rate 44100", "encode in.wav -o out.es -t xdcam-imx --frame-rate 25",
     "pcmpack: in.wav: 44100 Hz; the AES3 formats (302M, D-10, planar) carry 48000 Hz only (--resample "
     "48000 converts it)\n"
     "pcmpack: in.wav: 3 channels; SMPTE 302M carries channel pairs: 2, 4, 6 or 8 channels\n"},
    {"d10_16bit_96k", "--rate 96000", "encode in.wav -o out.es --layer 11 --frame-rate 25",
     "pcmpack: in.wav: 16-bit samples; D-10 AES3 carries 20- or 24-bit words (--bits 24 widens "
     "16-bit samples exactly)\n"
     "pcmpack: in.wav: 96000 Hz; the AES3 formats (302M, D-10, planar) carry 48000 Hz only (--resample "
     "48000 converts it)\n"},
    {"dvdvr_resampled_24bit", "--bits 24", "encode in.wav -o out.es --video-type 14 --resample 96000",
     "pcmpack: in.wav: 24-bit samples; DVD LPCM carries 16-bit words only (--bits 16 shortens them "
     "with TPDF dither)\n"
     "pcmpack: in.wav: 96000 Hz; DVD-VR needs 48000 Hz (give --resample 48000)\n"},
    // The HDMV layout's rules are named with the settings' in the same run.
    {"hdmv_6ch_44k", "--channels 6 --rate 44100", "encode in.wav -o out.es -t hdmv",
     "pcmpack: in.wav: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)\n"
     "pcmpack: in.wav: 6 channels; HDMV LPCM carries 6 coded channels as the 3/2 layout plus a "
     "padding channel, so channel 6 would be read as padding and lost (pass --hdmv-pad-last if it "
     "is padding already, --hdmv-layout 5.1 for a 5.1 mix in file order)\n"},
    {"hdmv_layout_pad_last_and_count", "--channels 6 --rate 44100",
     "encode in.wav -o out.es -t hdmv --hdmv-layout 7.1 --hdmv-pad-last -v",
     "pcmpack: in.wav: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)\n"
     "pcmpack: --hdmv-pad-last packs the library's layouts as they are; it cannot be combined with "
     "--hdmv-layout 7.1 (leave one out)\n"
     "pcmpack: --hdmv-layout 7.1 takes 8 channels; in.wav has 6 (--hdmv-layout 5.1 takes 6 channels)\n"
     "pcmpack: P006: the target takes 48000 or 96000 Hz, this source has 44100 Hz\n"},
    {"hdmv_mono_24bit_44k", "--channels 1 --bits 24 --rate 44100", "encode in.wav -o out.es -t hdmv",
     "pcmpack: in.wav: 44100 Hz; this target needs 48000 or 96000 Hz (--resample 48000 converts it)\n"
     "pcmpack: in.wav: 1 channel; HDMV LPCM carries 2, 3, 5 or 7 source channels (2.0, 3/0, 3/2, "
     "3/4); --hdmv-layout mono packs a mono source\n"},
    {"hdmv_layout_on_302m", "--channels 3",
     "encode in.wav -o out.es -t xdcam-imx --frame-rate 25 --hdmv-layout 5.1",
     "pcmpack: in.wav: 3 channels; SMPTE 302M carries channel pairs: 2, 4, 6 or 8 channels\n"
     "pcmpack: --hdmv-layout 5.1 applies to HDMV LPCM only; SMPTE 302M carries numbered "
     "channels in the source's order\n"},
};

void PrintTo(const RefusalCase &c, std::ostream *os) { *os << c.name; }

class ToolRefusal : public ToolTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ToolRefusal, NamesEveryBrokenRuleInPlainWords) {
    const RefusalCase &c = GetParam();
    ASSERT_EQ(run(std::string("tone -o in.wav --seconds 0.1 ") + c.setup).status, 0);
    const Outcome r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.stderr_text);
    EXPECT_FALSE(exists(path("out.es")));
}

INSTANTIATE_TEST_SUITE_P(Rules, ToolRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.name); });

// A damaged stream: inspect names the first inconsistency and its offset,
// prints what it read before it, and unpack writes nothing.
struct DamageCase {
    const char *name;
    const char *encode;
    size_t keep;         // bytes kept (truncation), 0 = all
    size_t flip;         // offset of a byte to change, 0 = none
    const char *message;
};

const DamageCase kDamage[] = {
    // 8-byte header, then 964-byte HDMV frames: the fourth frame is cut.
    {"hdmv_truncated", "-t hdmv", 8 + 3 * 964 + 500, 0, "byte 2900: truncated frame"},
    // The HDMV frame header of the second frame announces another size.
    {"hdmv_frame_header", "-t hdmv", 0, 8 + 964, "byte 972: HDMV frame header"},
    // 302M at 25 fps, 2 channels 16 bit: 9604-byte blocks.
    {"302m_truncated", "-t xdcam-imx --frame-rate 25", 8 + 9604 + 9000, 0,
     "byte 9612: truncated frame"},
    {"302m_block_header", "-t xdcam-imx --frame-rate 25", 0, 8 + 9604 + 2, "byte 9614: 302M header byte 2"},
    {"stream_header_only_half", "-t dvd", 5, 0, "byte 0: truncated stream header"},
    {"d10_channel_mask", "--layer 11 --bits 24 --frame-rate 25", 0, 8 + 3,
     "byte 11: D-10 element channel mask"},
};

void PrintTo(const DamageCase &c, std::ostream *os) { *os << c.name; }

class ToolDamage : public ToolTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(ToolDamage, InspectReportsTheOffsetAndUnpackRefuses) {
    const DamageCase &c = GetParam();
    make_wav(path("in.wav"), 2, 16, 48000, 48000, 9);
    ASSERT_EQ(run(std::string("encode in.wav -o good.es ") + c.encode).status, 0);
    std::vector<uint8_t> bytes = read_bytes(path("good.es"));
    if (c.keep) bytes.resize(c.keep);
    if (c.flip) bytes.at(c.flip) ^= 0x01;
    write_file(path("bad.es"), bytes);
    Outcome ins = run("inspect bad.es");
    EXPECT_EQ(ins.status, 1);
    EXPECT_NE(ins.err.find(std::string("bad.es: ") + c.message), std::string::npos) << ins.err;
    Outcome json = run("inspect bad.es --json");
    EXPECT_EQ(json.status, 1);
    EXPECT_NE(json.out.find("\"ok\":false"), std::string::npos) << json.out;
    const std::set<std::string> before = listing();
    Outcome unp = run("unpack bad.es -o back.wav");
    EXPECT_EQ(unp.status, 1);
    EXPECT_NE(unp.err.find(c.message), std::string::npos) << unp.err;
    EXPECT_EQ(listing(), before);
}

INSTANTIATE_TEST_SUITE_P(Streams, ToolDamage, ::testing::ValuesIn(kDamage),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// containers: what inspect and unpack read back from a container is what
// they read from the elementary stream of the same audio

struct ContainerCase {
    const char *name;
    const char *encode;     // options besides input, output and container
    const char *container;  // --container, or "" for the output's extension
    const char *output;
    int channels, bits;
    const char *signature;  // the file's first bytes, or those of its second packet
    size_t signature_at;
    const char *read_as;    // what inspect says it read
    const char *step_1;     // the cadence step column of frame 1: blank without a cadence
};

const ContainerCase kContainers[] = {
    // Transport streams: a sync byte every 188 bytes; BDAV: every 192, after
    // a 4-byte arrival time stamp; program streams open with a pack header.
    {"ts_302m_six_24_2997", "--layer 10 --frame-rate 30000/1001", "", "out.ts", 6, 24, "47", 188,
     "an MPEG transport stream (.ts)", "    1"},
    {"m2ts_hdmv_stereo_16", "-t hdmv", "", "out.mts", 2, 16, "47", 196,
     "a BDAV transport stream (.m2ts, .mts)", "     "},
    {"vob_dvd_stereo", "-t dvd", "", "out.VOB", 2, 16, "00 00 01 BA", 0,
     "an MPEG program stream (.vob, .mpg, .mpeg)", "     "},
    {"ps_by_option", "-t dvd", "ps", "out.bin", 1, 16, "00 00 01 BA", 0,
     "an MPEG program stream (.vob, .mpg, .mpeg)", "     "},
    // 25 fps has no cadence: every frame holds 1920 sample periods.
    {"es_by_option", "-t xdcam-imx --frame-rate 25", "es", "out.ts", 2, 16, "41 45 53 33", 0,
     "an elementary stream", "     "},
};

void PrintTo(const ContainerCase &c, std::ostream *os) { *os << c.name; }

class ContainerRoundTrip : public ToolTest, public ::testing::WithParamInterface<ContainerCase> {};

TEST_P(ContainerRoundTrip, InspectAndUnpackSeeTheElementaryStreamsFrames) {
    const ContainerCase &c = GetParam();
    make_wav(path("in.wav"), c.channels, c.bits, 48000, 48000 / 3 + 11, 0xC0 + c.channels);
    const std::string out = c.output;
    const std::string container = *c.container ? std::string(" --container ") + c.container : "";
    Outcome enc = run("encode in.wav -o " + out + " --index out.csv " + c.encode + container);
    ASSERT_EQ(enc.status, 0) << enc.err;
    EXPECT_EQ(enc.err, "");
    const std::vector<uint8_t> file = read_bytes(path(out));
    const std::string want = c.signature;
    EXPECT_EQ(hex(file, c.signature_at, (want.size() + 1) / 3), want);

    const std::string es_encode = std::string(c.encode) + " --container es";
    ASSERT_EQ(run("encode in.wav -o same.es --index same.csv " + es_encode).status, 0);
    // The index lists the frames as the library wrote them, whatever wraps them.
    EXPECT_EQ(slurp(path("out.csv")), slurp(path("same.csv")));
    // The same frames and timestamps, after the line naming the file.
    const auto body = [](const std::string &text) { return text.substr(text.find('\n')); };
    Outcome ins = run("inspect --frames " + out), ref = run("inspect --frames same.es");
    ASSERT_EQ(ins.status, 0) << ins.err;
    ASSERT_EQ(ref.status, 0) << ref.err;
    EXPECT_EQ(body(ins.out), body(ref.out));
    EXPECT_EQ(ins.out.substr(0, ins.out.find('\n')).substr(ins.out.find(") in ") + 5), c.read_as) << ins.out;
    // The columns: frame, offset, size, samples, then the step, 5 wide.
    const size_t frame_1 = ins.out.find("\n         1 ");
    ASSERT_NE(frame_1, std::string::npos) << ins.out;
    EXPECT_EQ(ins.out.substr(frame_1 + 1 + 2 + 8 + 1 + 12 + 1 + 8 + 1 + 8 + 1, 5), c.step_1) << ins.out;
    ASSERT_EQ(run("unpack " + out + " -o back.wav").status, 0);
    ASSERT_EQ(run("unpack same.es -o same.wav").status, 0);
    EXPECT_EQ(read_bytes(path("back.wav")), read_bytes(path("same.wav")));
}

INSTANTIATE_TEST_SUITE_P(Containers, ContainerRoundTrip, ::testing::ValuesIn(kContainers),
                         [](const auto &info) { return std::string(info.param.name); });

// Transport stream packets of `size` bytes (188, or 192 with the arrival
// stamp first) whose payload opens a PES packet of private stream 1, where
// 302M and HDMV audio travel: the start of each frame.
std::vector<size_t> audio_pes_starts(const std::vector<uint8_t> &ts, size_t size) {
    std::vector<size_t> starts;
    const size_t skip = size - 188;
    for (size_t at = 0; at + size <= ts.size(); at += size) {
        const uint8_t *p = ts.data() + at + skip;
        if (p[0] != 0x47 || !(p[1] & 0x40)) continue;  // no payload unit starts here
        const size_t payload = (p[3] & 0x20) ? 5u + p[4] : 4u;
        if (payload + 4 <= 188 && p[payload] == 0 && p[payload + 1] == 0 && p[payload + 2] == 1 &&
            p[payload + 3] == 0xBD)
            starts.push_back(at);
    }
    return starts;
}

// A damaged container: inspect names the file, the track and the packet,
// and unpack leaves nothing behind.
TEST_F(ToolTest, DamagedContainersAreRefusedNamingTheTrackAndPacket) {
    make_wav(path("in.wav"), 2, 16, 48000, 48000, 13);
    ASSERT_EQ(run("encode in.wav -o good.ts -t xdcam-imx --frame-rate 25").status, 0);
    ASSERT_EQ(run("encode in.wav -o good.m2ts -t hdmv").status, 0);
    ASSERT_EQ(run("encode in.wav -o good.vob -t dvd").status, 0);
    const std::vector<uint8_t> ts = read_bytes(path("good.ts")), m2ts = read_bytes(path("good.m2ts")),
                               vob = read_bytes(path("good.vob"));
    const std::vector<size_t> ts_frames = audio_pes_starts(ts, 188);
    const std::vector<size_t> m2ts_frames = audio_pes_starts(m2ts, 192);
    ASSERT_GE(ts_frames.size(), 25u);   // 25 frames of 1/25 s
    ASSERT_GE(m2ts_frames.size(), 200u);  // 200 frames of 1/200 s

    struct Damage {
        const char *file;
        std::vector<uint8_t> bytes;
        std::string message;
    };
    // The third 302M frame cut short.
    std::vector<uint8_t> cut_ts(ts.begin(), ts.begin() + std::ptrdiff_t(ts_frames[2] + 188 * 10));
    // The third HDMV frame taken out whole: the fourth comes 1/100 s after
    // the second instead of 1/200 s.
    std::vector<uint8_t> gap(m2ts.begin(), m2ts.begin() + std::ptrdiff_t(m2ts_frames[2]));
    gap.insert(gap.end(), m2ts.begin() + std::ptrdiff_t(m2ts_frames[3]), m2ts.end());
    // A program stream cut inside a pack.
    std::vector<uint8_t> cut_vob(vob.begin(), vob.begin() + std::ptrdiff_t(vob.size() / 2 + 1000));
    // Sync bytes in place, nothing else.
    std::vector<uint8_t> junk(188 * 50);
    std::mt19937 gen(17);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = i % 188 ? uint8_t(gen()) : 0x47;
    const Damage cases[] = {
        {"bad.ts", cut_ts,
         "bad.ts: SMPTE 302M track: the packet at byte " + std::to_string(ts_frames[2]) +
             " (0.080 s into the audio) is damaged or cut short"},
        {"bad.m2ts", gap,
         "bad.m2ts: HDMV LPCM track: the packet at byte " + std::to_string(m2ts_frames[2]) +
             " (0.010 s into the audio) is presented at 0.015000 s, 0.005000 s (240 sample "
             "periods) after the end of the samples before it: a packet is missing or out of place"},
        {"bad.vob", cut_vob, "is damaged or cut short"},
        {"junk.ts", junk,
         "junk.ts: read as an MPEG transport stream (.ts), but it has no SMPTE 302M track"},
    };
    for (const Damage &d : cases) {
        SCOPED_TRACE(d.file);
        write_file(path(d.file), d.bytes);
        Outcome ins = run(std::string("inspect ") + d.file);
        EXPECT_EQ(ins.status, 1);
        EXPECT_NE(ins.err.find(d.message), std::string::npos) << ins.err;
        EXPECT_EQ(ins.err.rfind("pcmpack: ", 0), 0u) << ins.err;
        const std::set<std::string> before = listing();
        Outcome unp = run(std::string("unpack ") + d.file + " -o back.wav");
        EXPECT_EQ(unp.status, 1);
        EXPECT_NE(unp.err.find(d.message), std::string::npos) << unp.err;
        EXPECT_EQ(listing(), before);
    }
}

// ---------------------------------------------------------------------------
// help, version, presets, tone

TEST_F(ToolTest, EverySubcommandHasHelp) {
    const std::pair<const char *, const char *> cases[] = {
        {"--help", "encode"},         {"encode --help", "--hdmv-pad-last"},
        {"presets --help", "--json"}, {"inspect --help", "--frames"},
        {"unpack --help", "padding"}, {"tone --help", "--seconds"},
    };
    for (const auto &[args, word] : cases) {
        Outcome r = run(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_NE(r.out.find(word), std::string::npos) << args << ":\n" << r.out;
        // Usage first; a command's help ends with examples of itself.
        const std::string command = std::string(args).substr(0, std::string(args).find("--help"));
        EXPECT_EQ(r.out.rfind("Usage: pcmpack " + command, 0), 0u) << args << ":\n" << r.out;
        if (!command.empty()) {
            EXPECT_NE(r.out.find("Examples:\n  pcmpack " + command.substr(0, command.size() - 1)), std::string::npos) << args << ":\n" << r.out;
        }
    }
    // The command list fits one screen, one line per command, and says how
    // to get more.
    Outcome top = run("--help");
    EXPECT_LE(std::count(top.out.begin(), top.out.end(), '\n'), 24) << top.out;
    EXPECT_NE(top.out.find("  encode  "), std::string::npos) << top.out;
    EXPECT_EQ(top.out.find("libsndfile"), std::string::npos) << "a command's whole text in the list:\n" << top.out;
    EXPECT_NE(top.out.find("`pcmpack COMMAND --help`"), std::string::npos) << top.out;
    EXPECT_NE(top.out.find("`man pcmpack`"), std::string::npos) << top.out;
    Outcome v = run("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "pcmpack 1.0.0\n");
    Outcome none = run("");
    EXPECT_NE(none.status, 0);
    Outcome unknown = run("encode in.wav -o x --target blueray");
    EXPECT_NE(unknown.status, 0);
    EXPECT_FALSE(exists(path("x")));
}

// A mistake on the command line is one line of stderr and status 1, before
// anything is read or written; its words are core_command_line_test.cpp's.
TEST_F(ToolTest, ACommandLineMistakeIsOneLine) {
    const std::pair<const char *, const char *> cases[] = {
        {"encod in.wav -o out.es", "pcmpack: unknown command 'encod'; did you mean `pcmpack encode`?\n"},
        {"encode in.wav -o out.es -target hdmv", "pcmpack: encode: -target is no option; did you mean --target?\n"},
        {"encode in.wav -o out.es --framerate 29.97",
         "pcmpack: encode: --framerate is no option; did you mean --frame-rate?\n"},
    };
    for (const auto &[args, said] : cases) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err, said) << args;
        EXPECT_FALSE(exists(path("out.es"))) << args;
    }
}

// Another word for a target, in any case, writes the bytes its own name
// writes.
TEST_F(ToolTest, TargetAliasesWriteTheTargetsBytes) {
    ASSERT_EQ(run("tone -o in.wav --seconds 0.2 --channels 2 --bits 24").status, 0);
    const std::pair<const char *, const char *> cases[] = {
        {"-t hdmv", "-t bluray"}, {"-t hdmv", "--target=BD"},
        {"--frame-rate 25", "-t 302m --frame-rate 25"}, {"-t default --frame-rate 25", "--target Broadcast --frame-rate 25"},
    };
    for (const auto &[name, alias] : cases) {
        ASSERT_EQ(run(std::string("encode in.wav -o want.es -y ") + name).status, 0) << name;
        const Outcome r = run(std::string("encode in.wav -o out.es -y ") + alias);
        ASSERT_EQ(r.status, 0) << alias << ": " << r.err;
        EXPECT_EQ(read_bytes(path("out.es")), read_bytes(path("want.es"))) << alias;
    }
}

TEST_F(ToolTest, PresetsListsTheLibrarysPresets) {
    Outcome r = run("presets");
    ASSERT_EQ(r.status, 0);
    // A row per run of video types with the same preset and family; the
    // families with rules and no preset after them.
    const char *rows[] = {
        "\n0 (0x0)                       none      10 SMPTE 302M   16\n",
        "\n13 (0xD)                      DVD       4 DVD LPCM      16\n",
        "\n14-15 (0xE-0xF)               DVD-VR    4 DVD LPCM      16\n",
        "\n39-40 (0x27-0x28)             XDCAM     12 planar AES3  24\n",
        "\n41-43 (0x29-0x2B)             XDCAM     4 DVD LPCM      16\n",
        "\n10240 (0x2800)                HDMV      13 HDMV LPCM    16\n",
        "\n65813-65814 (0x10115-0x10116) XDCAM     12 planar AES3  24\n",
        "\n1 (0x1)                       VCD       no preset\n",
        "\n10 (0xA)                      DVHS      no preset\n",
    };
    for (const char *row : rows) EXPECT_NE(r.out.find(row), std::string::npos) << row << r.out;
    EXPECT_EQ(r.out.find('?'), std::string::npos) << r.out;  // every preset's family is known
    // The targets, with the other words --target takes for them.
    EXPECT_NE(r.out.find("Targets: default (video type 0, 302M for broadcast; also 302m, broadcast), dvd "
                         "(video type 4), hdmv (video type 44, Blu-ray; also bluray, bd), "),
              std::string::npos)
        << r.out;
    Outcome j = run("presets --json");
    ASSERT_EQ(j.status, 0);
    EXPECT_NE(j.out.find("{\"first\":39,\"last\":40,\"name\":\"XDCAM, PCM Audio\",\"family\":\"XDCAM\","
                         "\"layer\":12,\"layer_name\":\"planar AES3\",\"bits\":24"),
              std::string::npos)
        << j.out;
    EXPECT_NE(j.out.find("{\"first\":41,\"last\":43,\"name\":\"XDCAM, PCM Audio\",\"family\":\"XDCAM\","
                         "\"layer\":4,"),
              std::string::npos)
        << j.out;
}

TEST_F(ToolTest, ToneHasADifferentSignalOnEveryChannel) {
    Outcome r = run("tone -o t.wav --seconds 0.5 --channels 4 --bits 24 --rate 44100");
    ASSERT_EQ(r.status, 0) << r.err;
    const Wav w = read_wav(path("t.wav"));
    EXPECT_EQ(w.info.channels, 4);
    EXPECT_EQ(w.info.samplerate, 44100);
    EXPECT_EQ(w.info.frames, 22050);
    EXPECT_EQ(w.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    for (int a = 0; a < 4; ++a) {
        int64_t energy = 0;
        for (size_t p = 0; p < size_t(w.info.frames); ++p)
            energy += std::abs(int64_t(w.samples[p * 4 + size_t(a)] >> 8));
        EXPECT_GT(energy, 0) << "channel " << a << " is silent";
        for (int b = a + 1; b < 4; ++b) {
            size_t same = 0;
            for (size_t p = 0; p < size_t(w.info.frames); ++p)
                same += w.samples[p * 4 + size_t(a)] == w.samples[p * 4 + size_t(b)];
            EXPECT_LT(same, size_t(w.info.frames) / 10) << "channels " << a << " and " << b;
        }
    }
    EXPECT_EQ(listing(), (std::set<std::string>{"t.wav"}));
}

}  // namespace
