// SPDX-License-Identifier: BSD-2-Clause
// Containers as other tools make and cut them, read by the built tool like a
// user reads them: the samples it unpacks are compared with ffmpeg's own
// decode of the same file, and damage is refused naming where it is.
#include <gtest/gtest.h>

#include "tool_harness.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>


namespace {

using tool_harness::Outcome;
using tool_harness::tool;

using Bytes = std::vector<uint8_t>;

constexpr size_t kPackBytes = 2048;
constexpr size_t kTsPacket = 188;

Bytes read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// Runs a shell command in `dir`; stdout goes to out.txt there.
Outcome shell(const std::string &dir, const std::string &command) {
    const std::string line = "cd '" + dir + "' && " + command + " >out.txt 2>err.txt";
    const int raw = std::system(line.c_str());
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const Bytes err = read_bytes(dir + "/err.txt");
    o.err.assign(err.begin(), err.end());
    return o;
}

// Where each LPCM PES of a program stream sits: the pack, the offset of its
// private stream header, and its audio bytes.
struct LpcmPacket {
    size_t pack;
    size_t pes;     // its start code
    size_t header;  // substream id; then frame headers, pointer, audio frame header
    size_t audio;
};

std::vector<LpcmPacket> lpcm_packets(const Bytes &vob) {
    std::vector<LpcmPacket> found;
    for (size_t pack = 0; (pack + 1) * kPackBytes <= vob.size(); ++pack) {
        const uint8_t *p = vob.data() + pack * kPackBytes;
        size_t at = 14 + (p[13] & 7);
        while (at + 9 <= kPackBytes && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1) {
            const size_t end = at + 6 + (size_t{p[at + 4]} << 8 | p[at + 5]);
            if (p[at + 3] == 0xBD) {
                const size_t header = at + 9 + p[at + 8];
                found.push_back({pack, pack * kPackBytes + at, pack * kPackBytes + header, end - header - 7});
            }
            at = end;
        }
    }
    return found;
}

// Offsets of the transport packets that open an audio PES.
std::vector<size_t> pes_starts(const Bytes &ts) {
    std::vector<size_t> starts;
    for (size_t at = 0; at + kTsPacket <= ts.size(); at += kTsPacket) {
        const uint8_t *p = ts.data() + at;
        if (!(p[1] & 0x40)) continue;
        const size_t payload = (p[3] & 0x20) ? 5 + p[4] : 4;
        if (payload + 4 <= kTsPacket && p[payload] == 0 && p[payload + 1] == 0 &&
            p[payload + 2] == 1 && p[payload + 3] == 0xBD)
            starts.push_back(at);
    }
    return starts;
}

class ContainersRead : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pcmpack-containers-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    Outcome run(const std::string &command) const { return shell(dir_, command); }
    Outcome pcmpack(const std::string &args) const { return run("'" + tool() + "' " + args); }
    Bytes ffmpeg_decode(const std::string &input) const {
        EXPECT_EQ(run("ffmpeg -v error -y -i " + input + " -f s32le decoded.raw").status, 0);
        return read_bytes(path("decoded.raw"));
    }

    std::string dir_;
};

// Tones made by the tool itself and by ffmpeg, written by the reference
// binary where the case is a file this project wrote before.
TEST_F(ContainersRead, FilesOfOtherWritersAndCutRecordingsReadAsTheyAre) {
    ASSERT_EQ(pcmpack("tone -o tone.wav --seconds 3").status, 0);
    ASSERT_EQ(pcmpack("encode tone.wav -o tone.vob -t dvd").status, 0);
    ASSERT_EQ(pcmpack("encode tone.wav -o ntsc.ts -t xdcam-imx --frame-rate 30000/1001").status, 0);
    ASSERT_EQ(pcmpack("encode tone.wav -o p60.ts -t xdcam-imx --frame-rate 60000/1001").status, 0);

    // Packs lost from the middle of a VOB: 0.84 s of 16-bit stereo at 48 kHz.
    const Bytes vob = read_bytes(path("tone.vob"));
    const std::vector<LpcmPacket> packets = lpcm_packets(vob);
    size_t audio_before = 0, first_lost = packets.size() / 3, lost = 0, lost_bytes = 0;
    for (size_t k = 0; k < first_lost; ++k) audio_before += packets[k].audio;
    while (lost_bytes < 84 * 1920) lost_bytes += packets[first_lost + lost++].audio;
    char gap_at[128];
    std::snprintf(gap_at, sizeof gap_at,
                  "packs are missing or out of place: the packet at byte %zu (%.3f s into the audio)",
                  packets[first_lost].pes, double(audio_before) / 192000.0);
    Bytes gap(vob.begin(), vob.begin() + std::ptrdiff_t(packets[first_lost].pack * kPackBytes));
    gap.insert(gap.end(), vob.begin() + std::ptrdiff_t(packets[first_lost + lost].pack * kPackBytes),
               vob.end());
    write_bytes(path("gap.vob"), gap);

    // The audio frame number counts, the frame header count and pointer
    // vary, as on discs; the samples stay those of the source.
    Bytes counted = vob;
    for (size_t k = 0; k < packets.size(); ++k) {
        uint8_t *h = counted.data() + packets[k].header;
        h[1] = uint8_t(k % 8);
        h[3] = uint8_t(k * 7);
        h[4] = uint8_t((h[4] & 0xE0) | (k % 20));
    }
    write_bytes(path("counted.vob"), counted);

    // Recordings cut by whole transport packets at each cadence step.
    for (const char *name : {"ntsc", "p60"}) {
        const Bytes ts = read_bytes(path(std::string(name) + ".ts"));
        const std::vector<size_t> starts = pes_starts(ts);
        ASSERT_GE(starts.size(), 10u);
        for (int step = 1; step <= 4; ++step)
            write_bytes(path(std::string(name) + "_step" + std::to_string(step) + ".ts"),
                        Bytes(ts.begin() + std::ptrdiff_t(starts[size_t(step)]), ts.end()));
    }
    const std::string sine = "ffmpeg -v error -y -f lavfi -i sine=f=440:d=1:sample_rate=";
    ASSERT_EQ(run(sine + "48000 -ac 2 -c:a s302m -strict -2 ff302.ts").status, 0);
    ASSERT_EQ(run(sine + "96000 -ac 2 -sample_fmt s32 -c:a pcm_bluray ff96.m2ts").status, 0);
    ASSERT_EQ(run(sine + "48000 -ac 6 -c:a pcm_bluray ff51.m2ts").status, 0);
    ASSERT_EQ(pcmpack("tone -o four.wav --channels 4 --seconds 1").status, 0);
    ASSERT_EQ(pcmpack("encode four.wav -o four.ts -t xdcam-imx --frame-rate 25").status, 0);
    ASSERT_EQ(pcmpack("encode tone.wav -o tone.lpcm -t dvd").status, 0);
    ASSERT_EQ(run("ffmpeg -v error -y -i ntsc.ts -i four.ts -map 0:a -map 1:a -c copy two.ts").status, 0);

    struct Case {
        const char *name;
        std::string args;       // after the command
        int status;
        std::string message;    // in stderr ("" when none is expected)
        std::string reference;  // ffmpeg input whose decode unpack must equal
        std::string listing;    // in inspect's stdout
    };
    const Case cases[] = {
        {"vob_with_packs_missing", "gap.vob", 1, "gap.vob: DVD LPCM track: " + std::string(gap_at), "", ""},
        {"vob_frame_numbers_count", "counted.vob", 0, "", "tone.wav", ""},
        {"ntsc_cut_at_step_1", "ntsc_step1.ts", 0, "", "ntsc_step1.ts", ""},
        {"ntsc_cut_at_step_2", "ntsc_step2.ts", 0, "", "ntsc_step2.ts", ""},
        {"ntsc_cut_at_step_3", "ntsc_step3.ts", 0, "", "ntsc_step3.ts", ""},
        {"ntsc_cut_at_step_4", "ntsc_step4.ts", 0, "", "ntsc_step4.ts", ""},
        {"p60_cut_at_step_1", "p60_step1.ts", 0, "", "p60_step1.ts", ""},
        {"p60_cut_at_step_2", "p60_step2.ts", 0, "", "p60_step2.ts", "60000/1001"},
        {"p60_cut_at_step_3", "p60_step3.ts", 0, "", "p60_step3.ts", "60000/1001"},
        {"p60_cut_at_step_4", "p60_step4.ts", 0, "", "p60_step4.ts", ""},
        {"ffmpeg_302m_blocks_of_no_frame_rate", "ff302.ts", 0, "", "ff302.ts",
         "896-1024 sample periods, not aligned to a video frame rate"},
        {"ffmpeg_hdmv_96k_24bit", "ff96.m2ts", 0, "", "ff96.m2ts", "360 sample periods"},
        {"ffmpeg_hdmv_5_1", "ff51.m2ts", 0, "", "ff51.m2ts", "layout 5.1"},
        {"two_tracks_first_read_and_said", "two.ts", 0,
         "two.ts: 2 SMPTE 302M tracks; reading track 1", "two.ts -map 0:a:0",
         "audio 1          id 0x100: SMPTE 302M, 2 channels, 16 bits, 48000 Hz (read)\n"
         "  audio 2          id 0x101: SMPTE 302M, 4 channels, 16 bits, 48000 Hz\n"},
        {"two_tracks_second_chosen", "two.ts --track 2", 0, "reading track 2", "two.ts -map 0:a:1",
         "id 0x101: SMPTE 302M, 4 channels, 16 bits, 48000 Hz (read)"},
        {"track_past_the_last", "two.ts --track 3", 1,
         "two.ts: --track 3: it has 2 SMPTE 302M tracks", "", ""},
        {"track_of_an_elementary_stream", "tone.lpcm --track 1", 1,
         "tone.lpcm: --track 1 chooses a container's track", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome ins = pcmpack("inspect " + c.args);
        EXPECT_EQ(ins.status, c.status) << ins.err;
        EXPECT_NE(ins.err.find(c.message), std::string::npos) << ins.err;
        const Bytes listing = read_bytes(path("out.txt"));
        EXPECT_NE(std::string(listing.begin(), listing.end()).find(c.listing), std::string::npos);
        std::remove(path("back.wav").c_str());
        const Outcome unp = pcmpack("unpack " + c.args + " -o back.wav");
        EXPECT_EQ(unp.status, c.status) << unp.err;
        EXPECT_NE(unp.err.find(c.message), std::string::npos) << unp.err;
        if (c.status != 0) {
            EXPECT_EQ(unp.err.rfind("pcmpack: ", 0), 0u) << unp.err;
            EXPECT_EQ(access(path("back.wav").c_str(), F_OK), -1);
            continue;
        }
        const Bytes expected = ffmpeg_decode(c.reference);
        ASSERT_GT(expected.size(), 0u);
        EXPECT_TRUE(ffmpeg_decode("back.wav") == expected) << "unpacked samples differ";
    }
}

// The 302M header of the PES that opens in the transport packet at `at`:
// the payload bytes it gives and those of one sample period.
struct Aes3Header {
    size_t payload, period;
};
Aes3Header aes3_header(const Bytes &ts, size_t at) {
    const uint8_t *p = ts.data() + at;
    const uint8_t *pes = p + ((p[3] & 0x20) ? 5 + p[4] : 4);
    const uint8_t *h = pes + 9 + pes[8];
    return {size_t{h[0]} << 8 | h[1], size_t((h[2] >> 6) + 1) * (5 + ((h[3] >> 4) & 3))};
}

// 302M as other encoders write it: ffmpeg's packets of about 1100 sample
// periods (its 1024-sample frames of 44.1 kHz at 48 kHz), of a fixed 1920
// or 1601, beside a video stream; unpacked as ffmpeg decodes them. And
// every position an error names is a byte of the file, with its time in
// the audio, worked out here from the transport packets.
TEST_F(ContainersRead, StreamsOfOtherWriters) {
    const std::string sine = "ffmpeg -v error -f lavfi -i sine=f=997:d=2";
    const std::string s302m = " -c:a s302m -strict -2 ";
    const std::string s32 = " -af aformat=sample_fmts=s32 -bits_per_raw_sample ";
    ASSERT_EQ(run(sine + " -ac 2" + s302m + "ff.ts").status, 0);
    ASSERT_EQ(pcmpack("tone -o tone.wav --seconds 1").status, 0);
    ASSERT_EQ(pcmpack("encode tone.wav -o ours.ts -t xdcam-imx --frame-rate 25").status, 0);
    ASSERT_EQ(pcmpack("encode tone.wav -o ours.es -t xdcam-imx --frame-rate 25").status, 0);
    const Bytes ff = read_bytes(path("ff.ts")), ours = read_bytes(path("ours.ts"));
    const std::vector<size_t> ff_units = pes_starts(ff), our_units = pes_starts(ours);
    ASSERT_GE(ff_units.size(), 80u);
    ASSERT_EQ(our_units.size(), 25u);
    // Where unit k starts in the audio, from the 302M headers before it.
    auto seconds_at = [&ff, &ff_units](size_t k) {
        size_t periods = 0;
        for (size_t u = 0; u < k; ++u) {
            const Aes3Header h = aes3_header(ff, ff_units[u]);
            periods += h.payload / h.period;
        }
        return double(periods) / 48000;
    };
    auto at = [](size_t byte, double seconds) {
        char text[96];
        std::snprintf(text, sizeof text, "the packet at byte %zu (%.3f s into the audio)", byte, seconds);
        return std::string(text);
    };
    // Unit 10 taken out whole: unit 11 comes where it was.
    Bytes gap(ff.begin(), ff.begin() + std::ptrdiff_t(ff_units[10]));
    gap.insert(gap.end(), ff.begin() + std::ptrdiff_t(ff_units[11]), ff.end());
    write_bytes(path("gap.ts"), gap);
    // Cut five transport packets into unit 20.
    write_bytes(path("cut.ts"), Bytes(ff.begin(), ff.begin() + std::ptrdiff_t(ff_units[20] + 5 * kTsPacket)));
    // Unit 15's header says 24 bits.
    Bytes bits = ff;
    {
        uint8_t *p = bits.data() + ff_units[15];
        uint8_t *pes = p + ((p[3] & 0x20) ? 5 + p[4] : 4);
        pes[9 + pes[8] + 3] = 0x20;
    }
    write_bytes(path("bits.ts"), bits);
    // The marker nibble after the first sample of our unit 7's second group
    // (five bytes a group at 16 bits): named by where the unit starts in
    // the file, not by an offset in the demuxed track.
    Bytes marker = ours;
    {
        uint8_t *p = marker.data() + our_units[7];
        uint8_t *pes = p + ((p[3] & 0x20) ? 5 + p[4] : 4);
        pes[9 + pes[8] + 4 + 5 + 2] ^= 0xF0;
    }
    write_bytes(path("marker.ts"), marker);
    // Our stream cut 100 bytes into its fourth frame (8-byte stream header,
    // frames of 4 + 1920 * 5 bytes).
    const Bytes es = read_bytes(path("ours.es"));
    write_bytes(path("cut.es"), Bytes(es.begin(), es.begin() + 8 + 3 * 9604 + 100));
    // AC-3 frames in bursts, as our 302M carries them, written again by
    // ffmpeg's encoder from the raw samples (a WAV would be taken for
    // IEC 61937 and decoded).
    ASSERT_EQ(run("ffmpeg -v error -f lavfi -i sine=d=1:sample_rate=48000 -ac 2 -c:a ac3 x.ac3").status, 0);
    ASSERT_EQ(pcmpack("encode --data x.ac3 -o ac3.es -t xdcam-imx --frame-rate 25").status, 0);
    ASSERT_EQ(pcmpack("unpack ac3.es -o ac3.wav").status, 0);
    const Bytes wav = read_bytes(path("ac3.wav"));
    const size_t data = std::string(wav.begin(), wav.end()).find("data") + 8;
    write_bytes(path("ac3.pcm"), Bytes(wav.begin() + std::ptrdiff_t(data), wav.end()));
    ASSERT_EQ(run("ffmpeg -v error -f s16le -ar 48000 -ac 2 -i ac3.pcm -c:a s302m -strict -2 ac3.ts").status, 0);

    struct Case {
        const char *name;
        std::string make;     // what follows the sine in the ffmpeg command writing x.ts
        std::string file;
        std::string message;  // in stderr; "" for a stream read whole
        std::string listing;  // in inspect's stdout
        size_t channels;      // of a stream read whole and compared with ffmpeg's decode
    };
    const Case cases[] = {
        {"ffmpeg_2ch_16bit", " -ac 2" + s302m, "x.ts", "", "sample periods, not aligned to a video frame rate", 2},
        {"ffmpeg_4ch_20bit", " -ac 4" + s32 + "20" + s302m, "x.ts", "", "word length      20 bits", 4},
        {"ffmpeg_6ch_24bit", " -ac 6" + s32 + "24" + s302m, "x.ts", "", "word length      24 bits", 6},
        {"ffmpeg_8ch_16bit", " -ac 8" + s302m, "x.ts", "", "word length      16 bits", 8},
        {"ffmpeg_8ch_20bit", " -ac 8" + s32 + "20" + s302m, "x.ts", "", "channels         8", 8},
        {"ffmpeg_beside_video", " -f lavfi -i testsrc=d=2:r=25 -c:v mpeg2video -ac 2" + s32 + "24" + s302m,
         "x.ts", "", "not aligned to a video frame rate", 2},
        // 2 s in packets of 1920 at 48 kHz: one 25 Hz frame each.
        {"fixed_1920_periods", ":sample_rate=48000 -af asetnsamples=n=1920 -ac 2" + s302m, "x.ts", "",
         "one 25 Hz video frame each (1920 sample periods)", 2},
        // 59 packets of 1601 and the rest, 96000 - 59 * 1601.
        {"fixed_1601_periods", ":sample_rate=48000 -af asetnsamples=n=1601:p=0 -ac 2" + s302m, "x.ts", "",
         "1541-1601 sample periods, not aligned to a video frame rate", 2},
        {"ffmpeg_ac3_bursts", "", "ac3.ts", "", "pair 1           data: AC-3 (data type 1, 16-bit mode)", 0},
        {"packet_missing", "", "gap.ts",
         "gap.ts: SMPTE 302M track: " + at(ff_units[10], seconds_at(10)) + " is presented at", "", 0},
        {"packet_cut_short", "", "cut.ts",
         "cut.ts: SMPTE 302M track: " + at(ff_units[20], seconds_at(20)) + " is damaged or cut short", "", 0},
        {"header_of_other_bits", "", "bits.ts",
         "bits.ts: byte " + std::to_string(ff_units[15]) +
             ": SMPTE 302M track: in the packet there: 302M header byte 3 is 20", "", 0},
        {"marker_bit_of_ours", "", "marker.ts",
         "marker.ts: byte " + std::to_string(our_units[7]) + ": SMPTE 302M track: in the packet there: 302M group", "", 0},
        {"elementary_stream_cut", "", "cut.es", "cut.es: byte 28820: truncated frame: 9604 bytes expected, 100 left (0.120 s into the audio)", "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.make.empty()) {
            std::remove(path("x.ts").c_str());
            ASSERT_EQ(run(sine + c.make + " x.ts").status, 0);
        }
        const bool whole = c.message.empty();
        const Outcome ins = pcmpack("inspect " + c.file);
        EXPECT_EQ(ins.status, whole ? 0 : 1) << ins.err;
        EXPECT_NE(ins.err.find(c.message), std::string::npos) << ins.err;
        const Bytes listing = read_bytes(path("out.txt"));
        EXPECT_NE(std::string(listing.begin(), listing.end()).find(c.listing), std::string::npos)
            << std::string(listing.begin(), listing.end());
        std::remove(path("back.wav").c_str());
        const Outcome unp = pcmpack("unpack " + c.file + " -o back.wav");
        EXPECT_EQ(unp.status, whole ? 0 : 1) << unp.err;
        EXPECT_NE(unp.err.find(c.message), std::string::npos) << unp.err;
        if (!whole || c.channels == 0) continue;
        // 2 s of every channel, and ffmpeg's decode of it; ffmpeg leaves
        // out a last access unit that holds two of its short packets.
        const Bytes expected = ffmpeg_decode(c.file);
        const Bytes back = ffmpeg_decode("back.wav");
        EXPECT_EQ(back.size(), 96000 * c.channels * 4);
        ASSERT_GT(expected.size(), back.size() * 9 / 10);
        ASSERT_LE(expected.size(), back.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), back.begin())) << "unpacked samples differ";
    }
}

// The lines of a report that list a programme's tracks and place its audio
// on the video, in order.
std::vector<std::string> programme_lines(const std::string &report) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < report.size()) {
        const size_t end = std::min(report.find('\n', at), report.size());
        const std::string line = report.substr(at, end - at);
        if (line.rfind("  video", 0) == 0 || line.rfind("  audio", 0) == 0) lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

// Programmes as ffmpeg muxes them, video first, with the audio moved off the
// video by -itsoffset where a row says: every track listed, and each audio
// track's start and each 302M packet measured against the video's frames.
// 302M in packets of 1920 sample periods lasts one 25 Hz frame each.
TEST_F(ContainersRead, ProgrammesListTheirTracksAndPlaceTheAudioOnTheVideo) {
    const std::string tone = " -f lavfi -i sine=d=2:sample_rate=48000";
    const auto video = [](const char *seconds, const char *rate) {
        return std::string(" -f lavfi -i testsrc=s=64x48:d=") + seconds + ":r=" + rate;
    };
    const std::string s302m = " -af asetnsamples=n=1920 -ac 2 -c:a s302m -strict -2";
    const std::string languages = " -metadata:s:a:0 language=eng -metadata:s:a:1 language=fra";
    const std::string two_audio = " -map 0 -map 1 -map 2", one_audio = " -map 0 -map 1";
    const std::string s302m_line = "SMPTE 302M, 2 channels, 16 bits, 48000 Hz";
    const std::string dvd_line = "DVD LPCM, 2 channels, 16 bits, 48000 Hz";
    const auto on_frames = [](int n) {
        return "\"frame_alignment\":{\"packets\":" + std::to_string(n) +
               ",\"off_frame\":0,\"outside_video\":0,\"farthest_ms\":0.000}";
    };
    struct Case {
        const char *name;
        std::string make;  // ffmpeg's inputs and options before the output's name
        const char *file;
        std::vector<std::string> lines;  // every line that lists a track or places one
        std::vector<std::string> json;   // in --json's object
    };
    const Case cases[] = {
        {"ts_mpeg2_two_302m_on_frames", video("2", "25") + tone + tone + two_audio + " -c:v mpeg2video" + s302m + languages,
         "p.ts",
         {"  video            id 0x100: MPEG-2 video, 64x48, 25 Hz",
          "  audio 1          id 0x101: SMPTE 302M, language eng, 2 channels, 16 bits, 48000 Hz (read)",
          "  audio 2          id 0x102: SMPTE 302M, language fra, 2 channels, 16 bits, 48000 Hz",
          "  audio 1 start    on the first video frame",
          "  audio 1 frames   all 50 packets on a video frame's time",
          "  audio 2 start    on the first video frame",
          "  audio 2 frames   all 50 packets on a video frame's time"},
         {"\"video\":[{\"id\":256,\"codec\":\"MPEG-2 video\",\"width\":64,\"height\":48,\"frame_rate\":\"25/1\"",
          "{\"id\":258,\"codec\":\"SMPTE 302M\",\"language\":\"fra\",\"channels\":2,\"layout\":null,\"bits\":16,"
          "\"sample_rate\":48000,\"read\":false",
          "\"start_offset_ms\":0.000," + on_frames(50)}},
        {"ts_302m_10_ms_late", video("2", "25") + " -itsoffset 0.01" + tone + one_audio + " -c:v mpeg2video" + s302m,
         "p.ts",
         {"  video            id 0x100: MPEG-2 video, 64x48, 25 Hz",
          "  audio 1          id 0x101: " + s302m_line + " (read)",
          "  audio 1 start    10.000 ms after the first video frame",
          "  audio 1 frames   50 of 50 packets off a video frame's time, the farthest 10.000 ms after its frame"},
         {"\"language\":null", "\"start_offset_ms\":10.000,\"frame_alignment\":{\"packets\":50,\"off_frame\":50,"
                               "\"outside_video\":0,\"farthest_ms\":10.000}"}},
        // ffmpeg's own packets of 1024 sample periods come every 1920 ticks
        // of 90 kHz: every 15th is on a 3600-tick frame, the rest up to 1680
        // ticks from one, the first of those 1680 before the next frame.
        {"ts_h264_302m_in_packets_of_its_own", video("3", "25") + tone + one_audio +
                                                   " -c:v libx264 -ac 2 -c:a s302m -strict -2",
         "p.ts",
         {"  video            id 0x100: H.264, 64x48, 25 Hz", "  audio 1          id 0x101: " + s302m_line + " (read)",
          "  audio 1 start    on the first video frame",
          "  audio 1 frames   87 of 94 packets off a video frame's time, the farthest 18.667 ms before its frame"},
         {"\"frame_alignment\":{\"packets\":94,\"off_frame\":87,\"outside_video\":0,\"farthest_ms\":-18.667}"}},
        {"ts_302m_past_the_video", video("1", "25") + tone + one_audio + " -c:v libx264" + s302m, "p.ts",
         {"  video            id 0x100: H.264, 64x48, 25 Hz", "  audio 1          id 0x101: " + s302m_line + " (read)",
          "  audio 1 start    on the first video frame",
          "  audio 1 frames   all 25 packets on a video frame's time; 25 outside the video's frames"},
         {"\"frame_alignment\":{\"packets\":50,\"off_frame\":0,\"outside_video\":25,\"farthest_ms\":0.000}"}},
        // 95441 s and the muxer's 1.4 s of delay: the times pass 2^33 ticks
        // 1.3 s in; the JSON gives the first as the file codes it.
        {"ts_302m_across_the_33_bit_wrap", video("3", "25") + tone + one_audio + " -c:v mpeg2video" + s302m +
                                               " -output_ts_offset 95441",
         "p.ts",
         {"  video            id 0x100: MPEG-2 video, 64x48, 25 Hz", "  audio 1          id 0x101: " + s302m_line + " (read)",
          "  audio 1 start    on the first video frame", "  audio 1 frames   all 50 packets on a video frame's time"},
         {"\"first_pts\":8589816000,\"start_offset_ms\":0.000"}},
        {"m2ts_h264_5_1_and_stereo", video("2", "24000/1001") + tone + tone + two_audio +
                                         " -c:v libx264 -c:a pcm_bluray -ac:a:0 6 -sample_fmt:a:0 s32 -ac:a:1 2" + languages,
         "p.m2ts",
         {"  video            id 0x1011: H.264, 64x48, 23.976 Hz (24000/1001)",
          "  audio 1          id 0x1100: HDMV LPCM, language eng, 6 channels (5.1), 24 bits, 48000 Hz (read)",
          "  audio 2          id 0x1101: HDMV LPCM, language fra, 2 channels (2.0), 16 bits, 48000 Hz",
          "  audio 1 start    on the first video frame", "  audio 2 start    on the first video frame"},
         {"\"frame_rate\":\"24000/1001\"", "\"layout\":\"5.1\",\"bits\":24",
          "\"start_offset_ms\":0.000,\"frame_alignment\":null}"}},
        {"m2ts_audio_40_ms_early", " -itsoffset 0.04" + video("2", "25") + tone + one_audio +
                                       " -c:v libx264 -ac 2 -c:a pcm_bluray",
         "p.m2ts",
         {"  video            id 0x1011: H.264, 64x48, 25 Hz",
          "  audio 1          id 0x1100: HDMV LPCM, 2 channels (2.0), 16 bits, 48000 Hz (read)",
          "  audio 1 start    40.000 ms before the first video frame"},
         {"\"start_offset_ms\":-40.000"}},
        {"vob_two_tracks", video("2", "25") + tone + tone + two_audio + " -c:v mpeg2video -ac 2 -c:a pcm_dvd -f dvd",
         "p.vob",
         {"  video            id 0x1E0: MPEG-2 video, 64x48, 25 Hz", "  audio 1          id 0xA0: " + dvd_line + " (read)",
          "  audio 2          id 0xA1: " + dvd_line, "  audio 1 start    on the first video frame",
          "  audio 2 start    on the first video frame"},
         {"{\"id\":161,\"codec\":\"DVD LPCM\",\"language\":null", "\"start_offset_ms\":0.000"}},
        {"vob_audio_100_ms_late", video("2", "25") + " -itsoffset 0.1" + tone + one_audio +
                                      " -c:v mpeg2video -ac 2 -c:a pcm_dvd -f dvd",
         "p.vob",
         {"  video            id 0x1E0: MPEG-2 video, 64x48, 25 Hz", "  audio 1          id 0xA0: " + dvd_line + " (read)",
          "  audio 1 start    100.000 ms after the first video frame"},
         {"\"start_offset_ms\":100.000"}},
        // One audio track and no video: the report of a stream alone.
        {"ts_302m_alone", tone + s302m, "p.ts", {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(path(c.file).c_str());
        ASSERT_EQ(run("ffmpeg -v error" + c.make + " " + c.file).status, 0);
        ASSERT_EQ(pcmpack(std::string("inspect ") + c.file).status, 0);
        const Bytes text = read_bytes(path("out.txt"));
        EXPECT_EQ(programme_lines(std::string(text.begin(), text.end())), c.lines);
        ASSERT_EQ(pcmpack(std::string("inspect --json ") + c.file).status, 0);
        const Bytes bytes = read_bytes(path("out.txt"));
        const std::string json(bytes.begin(), bytes.end());
        EXPECT_EQ(json.find("\"programme\"") != std::string::npos, !c.lines.empty());
        for (const std::string &field : c.json) EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
    }
}

// A frame header the reader does not take is refused naming what it says,
// before any frame is read; a packet of a program stream whose header
// changes the track is refused naming the packet, and one whose audio frame
// number counts on is read.
TEST_F(ContainersRead, FrameHeadersOfTracksThatCannotBeReadAreNamed) {
    ASSERT_EQ(pcmpack("tone -o tone.wav --seconds 0.5").status, 0);
    ASSERT_EQ(pcmpack("encode tone.wav -o in.vob -t dvd").status, 0);
    ASSERT_EQ(pcmpack("encode tone.wav -o in.m2ts -t hdmv").status, 0);
    ASSERT_EQ(pcmpack("encode tone.wav -o in.ts -t xdcam-imx --frame-rate 25").status, 0);
    const Bytes vob = read_bytes(path("in.vob"));
    const std::vector<LpcmPacket> packets = lpcm_packets(vob);
    ASSERT_GT(packets.size(), 2u);
    // The audio frame header follows the substream id, the frame header
    // count and the first access unit pointer.
    const size_t second = packets[1].header + 4;
    const std::string second_named = "the packet at byte " + std::to_string(packets[1].pes);
    // The first frame header of 2.0, 16 bits, 48 kHz, and of 302M, 2
    // channels, 16 bits, 1920 periods.
    const auto first_of = [](const Bytes &in, std::vector<uint8_t> header) {
        return size_t(std::search(in.begin(), in.end(), header.begin(), header.end()) - in.begin());
    };
    const Bytes m2ts = read_bytes(path("in.m2ts")), ts = read_bytes(path("in.ts"));
    const size_t hdmv = first_of(m2ts, {0x03, 0xC0, 0x31, 0x40});
    const size_t s302m = first_of(ts, {0x25, 0x80, 0x00, 0x00});
    ASSERT_LT(hdmv, m2ts.size());
    ASSERT_LT(s302m, ts.size());
    struct Case {
        const char *name;
        const Bytes &in;
        const char *ext;
        size_t byte;
        uint8_t flip;
        std::string message;  // "" for a track read whole
    };
    const Case cases[] = {
        {"DVD 20 bits", vob, ".vob", packets[0].header + 5, 0x40,
         "DVD LPCM track: 20-bit, 2 channels, rate code 0; pcmpack reads 16-bit mono or stereo"},
        {"DVD reserved word length", vob, ".vob", packets[0].header + 5, 0xC0,
         "DVD LPCM track: reserved word-length code 3, 2 channels"},
        {"DVD reserved rate", vob, ".vob", packets[0].header + 5, 0x20, "2 channels, rate code 2;"},
        {"DVD emphasis of the second packet", vob, ".vob", second, 0x80,
         second_named + " (0.010 s into the audio) changes the audio frame header"},
        {"DVD reserved bit after the rate", vob, ".vob", second + 1, 0x08, second_named},
        {"DVD frame number counts on", vob, ".vob", second, 0x01, ""},
        {"DVD reserved bit after mute", vob, ".vob", second, 0x20, ""},
        {"HDMV 192 kHz", m2ts, ".m2ts", hdmv + 2, 0x04,
         "HDMV LPCM track: the frame header 53/64 names a layout, rate or word length pcmpack does not read"},
        {"HDMV 2/1 layout", m2ts, ".m2ts", hdmv + 2, 0x60, "frame header 81/64 names"},
        {"HDMV reserved word length", m2ts, ".m2ts", hdmv + 3, 0x40, "frame header 49/0 names"},
        {"302M reserved word length", ts, ".ts", s302m + 3, 0x30,
         "SMPTE 302M track: AES3 stream header codes quantization 3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes changed = c.in;
        changed[c.byte] ^= c.flip;
        write_bytes(path(std::string("changed") + c.ext), changed);
        const Outcome r = pcmpack(std::string("inspect changed") + c.ext);
        EXPECT_EQ(r.status, c.message.empty() ? 0 : 1) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// Every pack of the VOBs the tool writes: the LPCM header's number of frame
// headers counts the 1/600 s frames that start in the pack, and the first
// access unit pointer leads to the first of them (4 when it opens the audio,
// 0 when none starts).
TEST_F(ContainersRead, DvdPacksDescribeTheFramesThatStartInThem) {
    struct Case {
        int rate, channels;
        size_t frame_bytes;  // 1/600 s of 16-bit samples
    };
    const Case cases[] = {{48000, 1, 160}, {48000, 2, 320}, {96000, 1, 320}, {96000, 2, 640}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels");
        ASSERT_EQ(pcmpack("tone -y -o in.wav --seconds 1.2 --rate " + std::to_string(c.rate) +
                          " --channels " + std::to_string(c.channels))
                      .status,
                  0);
        ASSERT_EQ(pcmpack("encode -y in.wav -o out.vob -t dvd").status, 0);
        const Bytes vob = read_bytes(path("out.vob"));
        const std::vector<LpcmPacket> packets = lpcm_packets(vob);
        ASSERT_GT(packets.size(), 10u);
        size_t before = 0, checked = 0;
        for (const LpcmPacket &p : packets) {
            size_t starts = 0, first = 0;
            for (size_t at = before; at < before + p.audio; ++at)
                if (at % c.frame_bytes == 0 && starts++ == 0) first = at - before;
            const uint8_t *h = vob.data() + p.header;
            EXPECT_EQ(h[1], starts) << "pack " << p.pack;
            EXPECT_EQ(h[2] << 8 | h[3], starts ? 4 + first : 0) << "pack " << p.pack;
            before += p.audio;
            ++checked;
        }
        EXPECT_EQ(before, size_t(c.rate) * 12 / 10 * size_t(c.channels) * 2);
        EXPECT_EQ(checked, packets.size());
    }
}

}  // namespace
