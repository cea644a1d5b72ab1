// SPDX-License-Identifier: BSD-2-Clause
// The tool as the library's host: its allocator is the C library's. The
// coded messages are for a report or a search, so they reach the user under
// -v only: those of the running encoder are then printed as they come and
// counted, so that a refusal points at them only when there are some; those
// of the settings check are held, to follow the plain-words refusal. Each
// keeps its code and is said in the user's terms (channels counted from
// one, word lengths in bits), from a table keyed by the code.
#pragma once

#include <pcmpack.h>

#include <string>
#include <vector>

namespace pcmtool {

struct LibraryHost {
    int messages = 0;
    std::vector<std::string> held;
    pcm_host record{};

    // What becomes of each message: held for later, printed at once, or
    // only counted.
    enum class Mode { hold, print, count };
    Mode mode;

    explicit LibraryHost(Mode m);
    LibraryHost(const LibraryHost &) = delete;
    LibraryHost &operator=(const LibraryHost &) = delete;

    static void message(void *opaque, const char *format, ...);

    std::string see_above() const { return messages && mode == Mode::print ? " (see the messages above)" : ""; }
};

}  // namespace pcmtool
