// SPDX-License-Identifier: BSD-2-Clause
#include "commands/tool_command_line.h"

#include "commands/command_line.h"
#include "commands/presets_options.h"

#include <pcmpack.h>

#include <CLI/CLI.hpp>

namespace pcmtool {

namespace {

const char *const kMoreHelp =
    "Run `pcmpack COMMAND --help` for a command's options and examples,\n"
    "and `man pcmpack` for the manual.";

}  // namespace

ToolCommandLine::ToolCommandLine()
    : app(new CLI::App("pcmpack: packs PCM audio into DVD LPCM, HDMV LPCM and AES3 elementary streams",
                       "pcmpack")) {
    lay_out_help(*app);
    app->set_version_flag("--version", std::string("pcmpack ") + PCMPACK_VERSION_STRING);
    app->require_subcommand(1);
    app->fallthrough(false);
    app->footer(kMoreHelp);
    // In the order `pcmpack --help` lists them.
    encode = add_encode_command(*app, encode_options);
    presets = add_presets_command(*app, presets_json);
    inspect = add_inspect_command(*app, inspect_options);
    unpack = add_unpack_command(*app, unpack_options);
    tone = add_tone_command(*app, tone_options);
    refuse_empty_values(*app);
}

ToolCommandLine::~ToolCommandLine() = default;

int ToolCommandLine::parse(int argc, char **argv, std::string &mistake) {
    return parse_command_line(*app, argc, argv, mistake);
}

int ToolCommandLine::parse(const std::vector<std::string> &args, std::string &mistake) {
    std::vector<std::string> words = args;
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return parse(static_cast<int>(words.size()), argv.data(), mistake);
}

int ToolCommandLine::run() {
    if (*encode) return run_encode(encode_options);
    if (*presets) return run_presets(presets_json);
    if (*inspect) return run_inspect(inspect_options);
    if (*unpack) return run_unpack(unpack_options);
    if (*tone) return run_tone(tone_options);
    return 1;
}

}  // namespace pcmtool
