// SPDX-License-Identifier: BSD-2-Clause
// The wording of what the tool tells a user, in process: the names it gives
// standard input and output, JSON strings, the position of a stream's first
// inconsistency (a byte the user can find, a time in the audio), and the
// names of data bursts.
#include "commands/library_host.h"
#include "commands/stream_walk.h"
#include "common.h"
#include "source/burst_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The library's coded messages under -v keep their code and count as a user
// does: channels from one, word lengths in bits, by the library's own check
// of settings that break its rules; a code the tool has no words for is
// passed on as the library words it.
TEST(Message, LibraryLinesCountAsTheUserDoes) {
    const struct {
        int video_type, layer, channels, quantization, rate;
        std::vector<std::string> lines;
    } rows[] = {
        {4, 4, 6, 2, 44100,
         {"P006: the target takes 48000 or 96000 Hz, this source has 44100 Hz",
          "P009: the target takes 16-bit words, this source has 24-bit words",
          "P007: the target takes 1 or 2 channels, this source has 6"}},
        {0, 10, 3, 0, 48000, {"P026: the layer takes channel pairs: 2, 4, 6 or 8 channels, this source has 3"}},
        {0, 11, 2, 0, 48000, {"P022: the layer takes 20- or 24-bit words, this source has 16-bit words"}},
        {0, 12, 9, 0, 48000, {"P007: the target takes 1 to 8 channels, this source has 9"}},
        {0, 5, 2, 0, 48000, {"P023: the library writes no layer 5"}},
        {14, 4, 6, 2, 96000,
         {"P009: the target takes 16-bit words, this source has 24-bit words",
          "P007: the target takes 1 or 2 channels, this source has 6", "P017: DVD-VR takes 48000 Hz",
          "P018: DVD-VR takes 1 or 2 channels, this source has 6",
          "P019: DVD-VR takes 16-bit words, this source has 24-bit words"}},
        {10, 4, 1, 0, 48000, {"P025: DVHS takes SMPTE 302M", "P013: DVHS takes 2 channels, this source has 1"}},
    };
    for (const auto &row : rows) {
        pcm_a_settings s;
        pcmOutAudioDefaults(&s, 0);
        s.audio_layer = row.layer, s.channels_minus_one = row.channels - 1, s.quantization = row.quantization;
        pcmtool::LibraryHost host(pcmtool::LibraryHost::Mode::hold);
        pcmOutAudioChkSettingsWithHost(&host.record, &s, row.video_type, row.rate, PCM_CHECK_REPORT_ALL);
        EXPECT_EQ(host.held, row.lines) << "video type " << row.video_type << ", layer " << row.layer;
    }
    pcmtool::LibraryHost host(pcmtool::LibraryHost::Mode::hold);
    pcmtool::LibraryHost::message(&host, "P099:Unknown fault (%d)", 7);
    EXPECT_EQ(host.held, std::vector<std::string>{"P099:Unknown fault (7)"});
}

TEST(Message, NamesOfInputsAndOutputs) {
    const struct {
        const char *path;
        bool output;
        const char *name;
    } rows[] = {
        {"-", false, "stdin"}, {"-", true, "stdout"}, {"in.wav", false, "in.wav"},
        {"out.es", true, "out.es"}, {"./-", true, "./-"}, {"--", false, "--"}, {"", true, ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(pcmtool::display_name(row.path, row.output), row.name) << row.path;
}

TEST(Message, JsonStringsEscapeQuotesBackslashesAndControls) {
    const struct {
        std::string text;
        const char *json;
    } rows[] = {
        {"in.wav", "\"in.wav\""},
        {"", "\"\""},
        {"a \"b\" c", "\"a \\\"b\\\" c\""},
        {"C:\\x", "\"C:\\\\x\""},
        {"tab\there\nline\r", "\"tab\\u0009here\\u000aline\\u000d\""},
        {std::string("nul\0end", 7), "\"nul\\u0000end\""},
        {"\x1f\x7f", "\"\\u001f\x7f\""},
        {"caf\xc3\xa9.wav", "\"caf\xc3\xa9.wav\""},
    };
    for (const auto &row : rows) EXPECT_EQ(pcmtool::json_string(row.text), row.json);
}

class NoFrames : public pcmpack_reader::FrameSink {
    void on_frame(const pcmpack_reader::FrameInfo &, const int32_t *, size_t) override {}
};

// A DVD LPCM stream, stereo 16-bit at 48 kHz: the 8-byte stream header,
// then frames of 80 sample periods (1/600 s), 320 bytes, no frame header.
std::vector<uint8_t> dvd_stream(size_t frames, size_t extra) {
    std::vector<uint8_t> bytes = {'L', 'P', 'C', 'M', 0x04, 0x80, 0x00, 0x00};
    bytes.resize(8 + frames * 320 + extra, 0);
    return bytes;
}

// "NAME: byte N: what is wrong (T s into the audio)": N is the stream's own
// byte, or for a container the start of the packet that holds the fault;
// the time is that of the audio before the frame, absent for a stream
// header.
struct ErrorRow {
    const char *name;
    std::vector<uint8_t> bytes;
    int track_read;      // 0: an elementary stream
    int64_t packet_byte;  // a container's packet; -1 when not known
    const char *text;
};

const ErrorRow kErrors[] = {
    {"frame_cut", dvd_stream(600, 100), 0, -1,
     "s.es: byte 192008: truncated frame: 320 bytes expected, 100 left (1.000 s into the audio)"},
    {"first_frame_cut", dvd_stream(0, 1), 0, -1,
     "s.es: byte 8: truncated frame: 320 bytes expected, 1 left (0.000 s into the audio)"},
    {"header_cut", {'L', 'P', 'C'}, 0, -1, "s.es: byte 0: truncated stream header: 3 of 8 bytes"},
    {"header_three_channels", {'L', 'P', 'C', 'M', 0x08, 0x80, 0, 0}, 0, -1,
     "s.es: byte 4: DVD LPCM stream header codes 3 channels, at most 2"},
    {"in_a_packet", dvd_stream(3, 7), 1, 1692000,
     "s.es: byte 1692000: DVD LPCM track: in the packet there: truncated frame: 320 bytes "
     "expected, 7 left (0.005 s into the audio)"},
    {"packet_not_known", dvd_stream(3, 7), 2, -1,
     "s.es: DVD LPCM track: truncated frame: 320 bytes expected, 7 left (0.005 s into the audio)"},
};

TEST(Message, AStreamsFirstFaultIsWhereTheUserCanFindIt) {
    for (const ErrorRow &row : kErrors) {
        SCOPED_TRACE(row.name);
        NoFrames sink;
        pcmpack_reader::IncrementalReader reader(sink, false);
        reader.feed(row.bytes.data(), row.bytes.size());
        ASSERT_FALSE(reader.finish());
        pcmtool::TrackChoice tracks;
        tracks.read = row.track_read;
        tracks.title = "DVD LPCM";
        tracks.error_byte = row.packet_byte;
        EXPECT_EQ(pcmtool::describe_error("s.es", reader, tracks), row.text);
        EXPECT_EQ(pcmtool::error_byte(reader, tracks),
                  row.track_read ? row.packet_byte : int64_t(reader.error_offset()));
    }
}

// Data bursts by the name of their data type where the tool knows one, by
// number where not, with the word length of the mode they came in.
TEST(Message, DataBurstsNamedByTypeAndMode) {
    const struct {
        uint32_t data_type;
        int mode;
        const char *text;
    } rows[] = {
        {1, 16, "AC-3 (data type 1, 16-bit mode)"},
        {16, 20, "E-AC-3 (data type 16, 20-bit mode)"},
        {21, 16, "data type 21 (16-bit mode)"},
        {7, 16, "data type 7 (16-bit mode)"},
        {0, 24, "data type 0 (24-bit mode)"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(pcmtool::describe_bursts(row.data_type, row.mode), row.text);
}

}  // namespace
