// SPDX-License-Identifier: BSD-2-Clause
// Pieces shared by the subcommands of the pcmpack tool: the options of each
// subcommand, error reporting and progress.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace pcmtool {

// A failure the user has to act on. The text names the file and the problem;
// main() prints it and exits with status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct EncodeOptions {
    std::string input;
    std::string output;
    std::string target = "default";
    bool target_given = false;  // --target or --video-type named one
    int video_type = -1;  // -1: take the target's
    int layer = 0;        // 0: the preset's
    int bits = 0;         // 0: the source's word length
    std::string frame_rate;
    int frame_rate_code = 0;  // --frame-rate-code: the MPEG code 1..8
    int rate = 0;  // raw input only
    int channels = 0;
    std::string endian;  // raw input only: "little" or "big"
    std::string container;  // "": from the output's extension
    std::string index;
    std::string index_format = "csv";
    bool hdmv_pad_last = false;
    int resample = 0;  // 0: keep the source's rate
    std::string resample_quality = "very-high";
    std::string dither;  // "": tpdf, or none when a pair of the source holds data bursts
    bool verbose = false;
    std::string channel_order = "auto";  // or "keep"
    std::string hdmv_layout = "auto";    // auto, 5.1, 7.1, mono, library
    std::string data;   // --data: AC-3 or E-AC-3 frames to carry as data bursts
    int data_pair = 1;  // --data-pair: 1-based channel pair of the bursts
    int64_t muxrate = 0;   // --muxrate: constant transport bit rate; 0: not given
    int latency_ms = -1;   // --latency: clock reference to presentation; -1: not given
    std::string pace;      // --pace: auto, audio or none; "": not given
    bool overwrite = false;  // -y: replace existing files without asking
};

struct ToneOptions {
    std::string output;
    double seconds = 5.0;
    int channels = 2;
    int bits = 16;
    int rate = 48000;
    bool overwrite = false;  // -y: replace an existing file without asking
};

struct InspectOptions {
    std::string input;
    bool frames = false;
    bool json = false;
    int track = 0;  // --track: 1-based; 0 = not given
    // A live input (udp://, srt://): a line every `every` seconds, for
    // `duration` seconds (0: until SIGINT or SIGTERM).
    double every = 0;     // 0: not given (1 s)
    double duration = 0;  // 0: not given
    bool fail_fast = false;
};

struct UnpackOptions {
    std::string input;
    std::string output;
    int track = 0;  // --track: 1-based; 0 = not given
    std::string data_out;  // --data-out: the payloads of a pair's data bursts
    int data_pair = 1;     // --data-pair: 1-based
    double duration = 0;   // --duration: seconds of a live input recorded; 0: not given
    bool overwrite = false;  // -y: replace existing files without asking
};

int run_encode(const EncodeOptions &options);
int run_tone(const ToneOptions &options);
int run_presets(bool json);
int run_inspect(const InspectOptions &options);
// inspect of a live input (udp://, srt://): a line per interval. `reported`
// becomes true with the first line, which the faults are counted in.
int run_monitor(const InspectOptions &options, bool &reported);
int run_unpack(const UnpackOptions &options);

// The printable name of a path for messages ("stdin" / "stdout" for "-").
std::string display_name(const std::string &path, bool output = false);

// Flushes standard output; a failed write (a full disk, /dev/full, a closed
// pipe whose signal is ignored) throws Failure.
void finish_stdout();

// `text` as a JSON string, quoted and escaped.
std::string json_string(const std::string &text);

// Nanoseconds of the monotonic clock, which pacing, intervals and progress
// lines count by.
int64_t monotonic_ns();

// libavformat's words for one of its error codes.
std::string av_text(int error);

// A live network address (udp://, srt://) rather than a file.
bool is_live_url(const std::string &path);

// A progress line on stderr, drawn only when stderr is a terminal.
class Progress {
public:
    Progress(const char *what, double total_seconds);
    ~Progress();
    void update(double done_seconds);

private:
    const char *what_;
    double total_;
    bool enabled_;
    double last_drawn_ = -1.0;
    long long last_tick_ = 0;
};

}  // namespace pcmtool

#include "outputs/output.h"
