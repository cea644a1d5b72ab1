// SPDX-License-Identifier: BSD-2-Clause
// The wording of what the tool tells a user, in process: the names it gives
// standard input and output, JSON strings, the position of a stream's first
// inconsistency (a byte the user can find, a time in the audio), and the
// names of data bursts.
#include "commands/stream_walk.h"
#include "common.h"
#include "source/burst_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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
