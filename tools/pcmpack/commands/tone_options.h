// SPDX-License-Identifier: BSD-2-Clause
// tone's command line: what it is asked to do, the options and rules that
// say it, and the command that does it.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace pcmtool {

struct ToneOptions {
    std::string output;
    double seconds = 5.0;
    int channels = 2;
    int bits = 16;
    int rate = 48000;
    bool overwrite = false;  // -y: replace an existing file without asking
};

// Adds `tone` with its options, bound to `options`, and the rules
// between them to the tool's command line; returns the command.
CLI::App *add_tone_command(CLI::App &app, ToneOptions &options);

// Runs `tone`; a Failure names what went wrong.
int run_tone(const ToneOptions &options);

}  // namespace pcmtool
