// SPDX-License-Identifier: BSD-2-Clause
#include "commands/tone_options.h"

#include "commands/command_line.h"

#include <CLI/CLI.hpp>

namespace pcmtool {

namespace {

// The command's line in `pcmpack --help`, which a reader scans for the
// command that does the job; its help below is its whole story.
const char *const kToneLine = "Write a WAV test signal";

const char *const kToneHelp =
    "Write a WAV test signal: a different sine on every channel (440 Hz times\n"
    "2^(k/3) on channel k, -12 dBFS), so that each channel can be told apart\n"
    "after a round trip.\n"
    "\n"
    "Examples:\n"
    "  pcmpack tone -o tone.wav --channels 6 --bits 24    # a 5.1 source for HDMV\n"
    "  pcmpack tone -o cd.wav --rate 44100 --seconds 10";

}  // namespace

CLI::App *add_tone_command(CLI::App &app, ToneOptions &o) {
    CLI::App *tone = app.add_subcommand("tone", kToneLine);
    tone->footer(kToneHelp);
    tone->add_option("-o,--output", o.output, "WAV file to write")->required();
    tone->add_flag("-y,--overwrite", o.overwrite, kOverwriteHelp);
    tone->add_option("--seconds", o.seconds, "duration; default 5");
    tone->add_option("--channels", o.channels, "1..8; default 2")->check(CLI::Range(1, 8));
    tone->add_option("--bits", o.bits, "16, 20 or 24; default 16")
        ->transform(one_of("word length", {"16", "20", "24"}));
    tone->add_option("--rate", o.rate, "sample rate in Hz; default 48000")
        ->check(CLI::Range(1000, 384000));
    return tone;
}

}  // namespace pcmtool
