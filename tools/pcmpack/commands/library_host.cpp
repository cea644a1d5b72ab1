// SPDX-License-Identifier: BSD-2-Clause
#include "commands/library_host.h"

#include <cstdarg>
#include <cstdio>

namespace pcmtool {

LibraryHost::LibraryHost(Mode m) : mode(m) {
    record.message = &LibraryHost::message;
    record.opaque = this;
}

void LibraryHost::message(void *opaque, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    auto *self = static_cast<LibraryHost *>(opaque);
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
