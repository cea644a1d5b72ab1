// SPDX-License-Identifier: BSD-2-Clause
// inspect's command line: what it is asked to do, the options and rules that
// say it, and the command that does it.
#pragma once

#include "commands/rtp_stream.h"

#include <string>

namespace CLI {
class App;
}

namespace pcmtool {

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
    RtpOptions rtp;  // an rtp:// URL's stream
};

// Adds `inspect` with its options, bound to `options`, and the rules
// between them to the tool's command line; returns the command.
CLI::App *add_inspect_command(CLI::App &app, InspectOptions &options);

// Runs `inspect`; a Failure names what went wrong.
int run_inspect(const InspectOptions &options);
// inspect of a live input (udp://, srt://): a line per interval. `reported`
// becomes true with the first line, which the faults are counted in.
int run_monitor(const InspectOptions &options, bool &reported);
// inspect of an ST 2110-30 or -31 stream, from its SDP file or an rtp:// URL.
int run_rtp_monitor(const InspectOptions &options, bool &reported);

}  // namespace pcmtool
