// SPDX-License-Identifier: BSD-2-Clause
#include "common.h"

extern "C" {
#include <libavutil/error.h>
}

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace pcmtool {

std::string display_name(const std::string &path, bool output) {
    if (path == "-") return output ? "stdout" : "stdin";
    return path;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void finish_stdout() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw Failure(std::string("stdout: write failed: ") +
                      std::strerror(errno ? errno : EIO));
}

std::string av_text(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

int64_t tai_ns() {
    timespec t{};
    clock_gettime(CLOCK_TAI, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool is_live_url(const std::string &path) {
    return path.rfind("udp://", 0) == 0 || path.rfind("srt://", 0) == 0;
}

Progress::Progress(const char *what, double total_seconds)
    : what_(what), total_(total_seconds), enabled_(isatty(STDERR_FILENO) != 0) {}

Progress::~Progress() {
    if (enabled_ && last_drawn_ >= 0) std::fprintf(stderr, "\r\033[K");
}

void Progress::update(double done_seconds) {
    if (!enabled_) return;
    const long long now = monotonic_ns() / 1'000'000;
    if (last_drawn_ >= 0 && now - last_tick_ < 250) return;
    last_tick_ = now;
    last_drawn_ = done_seconds;
    if (total_ > 0)
        std::fprintf(stderr, "\r%s: %.1f s of %.1f s (%d%%)\033[K", what_, done_seconds, total_,
                     static_cast<int>(100.0 * done_seconds / total_));
    else
        std::fprintf(stderr, "\r%s: %.1f s\033[K", what_, done_seconds);
    std::fflush(stderr);
}

}  // namespace pcmtool
