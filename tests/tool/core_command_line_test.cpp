// SPDX-License-Identifier: BSD-2-Clause
// What a newcomer's mistakes on the command line are told, in process: one
// line each with the fix, before any file is opened; and the other words
// the command line takes for targets and values.
#include "commands/tool_command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

// "pcmpack" and the words of `line`, split at spaces.
std::vector<std::string> command_line(const std::string &line) {
    std::vector<std::string> args = {"pcmpack"};
    std::istringstream words(line);
    for (std::string word; words >> word;) args.push_back(word);
    return args;
}

struct MistakeRow {
    const char *line;
    const char *said;  // the one line, without "pcmpack: "
};

const MistakeRow kMistakes[] = {
    // Commands.
    {"encod in.wav -o out.es", "unknown command 'encod'; did you mean `pcmpack encode`?"},
    {"", "give a command: encode, presets, inspect, unpack or tone (`pcmpack --help` says what each does)"},
    {"--target hdmv encode in.wav -o out.es",
     "--target is an option of a command: put it after the command (`pcmpack encode ... --target`)"},
    {"presets extra", "presets: extra is one argument too many"},
    // Options misspelt, in the wrong case, with one dash, or as other tools
    // call them: the value after one is never read as an INPUT.
    {"encode in.wav -o out.es -target hdmv", "encode: -target is no option; did you mean --target?"},
    {"encode in.wav -o out.es --Target hdmv", "encode: --Target is no option; did you mean --target?"},
    {"encode in.wav -o out.es --framerate 29.97", "encode: --framerate is no option; did you mean --frame-rate?"},
    {"encode in.wav -o out.es --fps 25", "encode: --fps is no option; did you mean --frame-rate?"},
    {"encode in.wav -o out.es --sample-rate 48000", "encode: --sample-rate is no option; did you mean --resample?"},
    {"encode in.wav -o out.es --bitdepth 24", "encode: --bitdepth is no option; did you mean --bits?"},
    {"encode in.wav --output-file out.es", "encode: --output-file is no option; did you mean --output?"},
    {"encode in.wav -o out.es --format hdmv", "encode: --format is no option; did you mean --target?"},
    {"encode -i in.wav -o out.es",
     "encode: -i is no option; encode takes its INPUT without an option: `pcmpack encode FILE ...`"},
    {"unpack in.es -o out.wav --dat-out x.ac3", "unpack: --dat-out is no option; did you mean --data-out?"},
    {"inspect --foo in.es", "inspect: --foo is no option; see `pcmpack inspect --help`"},
    // Values: the nearest one the option takes, by the user's name for it,
    // or all of them.
    {"encode in.wav -o out.es --target blueray", "--target: blueray is no target; did you mean hdmv (Blu-ray)?"},
    {"encode in.wav -o out.es --target=blu-ray", "--target: blu-ray is no target; did you mean hdmv (Blu-ray)?"},
    {"encode in.wav -o out.es -t brodcast", "--target: brodcast is no target; did you mean default (302M for broadcast)?"},
    {"encode in.wav -o out.es --frame-rate 29,97", "--frame-rate: 29,97 is no frame rate; did you mean 29.97?"},
    {"encode in.wav -o out.es --frame-rate 23.9", "--frame-rate: 23.9 is no frame rate; did you mean 23.976 or 24?"},
    {"encode in.wav -o out.es --frame-rate 25fps", "--frame-rate: 25fps is no frame rate; did you mean 25?"},
    {"encode in.wav -o out.es -t hdmv --hdmv-layout 5.2", "--hdmv-layout: 5.2 is no HDMV layout; did you mean 5.1?"},
    {"encode in.wav -o out.es --layer 14",
     "--layer: 14 is no layer; use 4 (DVD LPCM), 10 (SMPTE 302M), 11 (D-10 AES3), 12 (planar AES3) or 13 (HDMV LPCM)"},
    {"encode in.wav -o rtp://127.0.0.1:5004 --st2110 32", "--st2110: 32 is no ST 2110 format; use 30 (PCM) or 31 (AES3)"},
    {"encode in.wav -o rtp://127.0.0.1:5004 --ptime 1", "--ptime: 1 is no packet time; did you mean 1ms?"},
    {"encode in.wav -o out.es --bits 18", "--bits: 18 is no word length; use 16, 20 or 24"},
    // Values missing, or not numbers.
    {"encode in.wav -o", "-o needs a value"},
    {"encode in.wav -o --target hdmv", "-o needs a value; it is followed by --target"},
    {"inspect", "inspect needs STREAM"},
    {"tone -o t.wav --seconds ten", "--seconds: ten is not a number"},
};

TEST(CommandLine, EveryMistakeIsOneLineWithTheFix) {
    for (const MistakeRow &row : kMistakes) {
        pcmtool::ToolCommandLine tool;
        std::string said;
        EXPECT_EQ(tool.parse(command_line(row.line), said), 1) << row.line;
        EXPECT_EQ(said, row.said) << row.line;
    }
}

// What users write for a target or a value, in any case, is taken: the
// run is the one the tool's own word gives (the bytes are the same: see
// tool_test.cpp's TargetAliases).
TEST(CommandLine, OtherWordsForTargetsAndValuesAreTaken) {
    const char *lines[] = {
        "encode in.wav -o out.es -t bluray",        "encode in.wav -o out.es --target=BD",
        "encode in.wav -o out.es -t 302m",          "encode in.wav -o out.es --target Broadcast",
        "encode in.wav -o out.es -t HDMV --hdmv-layout AUTO", "encode in.wav -oout.es --dither TPDF",
        "encode in.wav -o out.es --frame-rate 30000/1001 -y",
    };
    for (const char *line : lines) {
        pcmtool::ToolCommandLine tool;
        std::string said;
        EXPECT_EQ(tool.parse(command_line(line), said), -1) << line;
        EXPECT_EQ(said, "") << line;
    }
}

}  // namespace
