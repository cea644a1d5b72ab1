// SPDX-License-Identifier: BSD-2-Clause
// The ground floor of the pcmpack tool, which every part of it may use: the
// failure a user acts on, progress lines, the clock, and the small texts of
// messages (names of paths, JSON strings, libavformat's error words).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace pcmtool {

// A failure the user has to act on. The text names the file and the problem;
// main() prints it and exits with status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

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

// Nanoseconds of CLOCK_TAI, the clock a plant's PTP daemons discipline and
// the media clock of audio over RTP counts from.
int64_t tai_ns();

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
