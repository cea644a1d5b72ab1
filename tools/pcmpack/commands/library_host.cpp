// SPDX-License-Identifier: BSD-2-Clause
#include "commands/library_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace pcmtool {

namespace {

// The library counts channels from zero and names word lengths by a code
// (0, 1, 2 for 16, 20, 24 bits); a user counts channels and bits.
std::string count(int first, int last, const char *unit) {
    return std::to_string(first) + (last == first + 1 ? " or " : " to ") + std::to_string(last) + " " + unit;
}
std::string words(int code) {
    return code >= 0 && code <= 2 ? std::to_string(16 + 4 * code) + "-bit words"
                                  : "a word length the library has no code for (" + std::to_string(code) + ")";
}
std::string bits(int first, int last) {
    return last == first ? words(first)
                         : std::to_string(16 + 4 * first) + (last == first + 1 ? "- or " : "- to ") +
                               std::to_string(16 + 4 * last) + "-bit words";
}

// Each coded message the settings check, Init or the HDMV layout can give,
// by its code, said in the user's terms from the values the library passes
// with it (`a`, in the order of its message).
struct PlainMessage {
    const char *code;
    std::string (*say)(const int *a);
};
constexpr PlainMessage kPlainMessages[] = {
    {"P004", [](const int *) -> std::string { return "a VCD takes MPEG audio, which pcmpack does not write"; }},
    {"P005", [](const int *) -> std::string { return "an SVCD takes MPEG audio, which pcmpack does not write"; }},
    {"P006", [](const int *a) { return "the target takes 48000 or 96000 Hz, this source has " + std::to_string(a[0]) + " Hz"; }},
    {"P007", [](const int *a) { return "the target takes " + count(a[1] + 1, a[2] + 1, "channels") + ", this source has " + std::to_string(a[0] + 1); }},
    {"P008", [](const int *a) { return "the mute flag is off (0) or on (1), not " + std::to_string(a[0]); }},
    {"P009", [](const int *a) { return "the target takes " + words(a[1]) + ", this source has " + words(a[0]); }},
    {"P010", [](const int *a) { return "emphasis is off (0) or on (1), not " + std::to_string(a[0]); }},
    {"P011", [](const int *) -> std::string { return "emphasis is for 48000 Hz audio only"; }},
    {"P013", [](const int *a) { return "DVHS takes 2 channels, this source has " + std::to_string(a[0]); }},
    {"P014", [](const int *) -> std::string { return "DVHS takes no emphasis"; }},
    {"P015", [](const int *) -> std::string { return "DVHS takes 16-bit words"; }},
    {"P016", [](const int *) -> std::string { return "DVHS takes 48000 Hz"; }},
    {"P017", [](const int *) -> std::string { return "DVD-VR takes 48000 Hz"; }},
    {"P018", [](const int *a) { return "DVD-VR takes " + count(a[1] + 1, a[2] + 1, "channels") + ", this source has " + std::to_string(a[0] + 1); }},
    {"P019", [](const int *a) { return "DVD-VR takes " + words(a[1]) + ", this source has " + words(a[0]); }},
    {"P020", [](const int *) -> std::string { return "HDV takes MPEG-1 audio, which pcmpack does not write"; }},
    {"P021", [](const int *a) { return "the AES3 layers need a frame rate; code " + std::to_string(a[0]) + " names none"; }},
    {"P022", [](const int *a) { return "the layer takes " + bits(a[1], a[2]) + ", this source has " + words(a[0]); }},
    {"P023", [](const int *a) { return "the library writes no layer " + std::to_string(a[0]); }},
    {"P024", [](const int *) -> std::string { return "a DVD takes DVD LPCM, not AES3"; }},
    {"P025", [](const int *) -> std::string { return "DVHS takes SMPTE 302M"; }},
    {"P026", [](const int *a) { return "the layer takes channel pairs: 2, 4, 6 or 8 channels, this source has " + std::to_string(a[0] + 1); }},
    {"P027", [](const int *a) { return "HDMV layouts are for HDMV LPCM, not layer " + std::to_string(a[1]); }},
    {"P028", [](const int *a) { return "HDMV layout " + std::to_string(a[0]) + " does not take " + std::to_string(a[1]) + " channels"; }},
};

// "P007: the target takes 1 or 2 channels, this source has 6"; a message
// the table does not name, as the library words it.
std::string plain_message(const char *format, va_list args) {
    int values[8] = {};
    int n = 0;
    for (const char *p = std::strstr(format, "%d"); p && n < 8; p = std::strstr(p + 2, "%d")) values[n++] = va_arg(args, int);
    for (const PlainMessage &m : kPlainMessages)
        if (std::strncmp(format, m.code, 4) == 0 && format[4] == ':') return std::string(m.code) + ": " + m.say(values);
    return "";
}

}  // namespace

LibraryHost::LibraryHost(Mode m) : mode(m) {
    record.message = &LibraryHost::message;
    record.opaque = this;
}

void LibraryHost::message(void *opaque, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    va_list plain_args;
    va_copy(plain_args, args);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    auto *self = static_cast<LibraryHost *>(opaque);
    // No exception may cross the library: a message that cannot be said
    // plainly is printed as the library words it.
    try {
        const std::string plain = plain_message(format, plain_args);
        if (!plain.empty()) std::snprintf(text, sizeof text, "%s", plain.c_str());
    } catch (...) {
    }
    va_end(plain_args);
    ++self->messages;
    if (self->mode == Mode::count) return;
    // No exception may cross the library: a message that cannot be held is
    // printed instead.
    if (self->mode == Mode::hold) {
        try {
            self->held.emplace_back(text);
            return;
        } catch (...) {
        }
    }
    std::fprintf(stderr, "pcmpack: %s\n", text);
}

}  // namespace pcmtool
