// SPDX-License-Identifier: BSD-2-Clause
#include "commands/presets_options.h"

#include <CLI/CLI.hpp>

namespace pcmtool {

namespace {

// The command's line in `pcmpack --help`, which a reader scans for the
// command that does the job; its help below is its whole story.
const char *const kPresetsLine = "List the video types that have a preset";

const char *const kPresetsHelp =
    "List the video types that have a preset, with the settings each gives: the\n"
    "layer, word length and frame rate that `encode --video-type` or `--target`\n"
    "starts from.\n"
    "\n"
    "Examples:\n"
    "  pcmpack presets\n"
    "  pcmpack presets --json";

}  // namespace

CLI::App *add_presets_command(CLI::App &app, bool &json) {
    CLI::App *presets = app.add_subcommand("presets", kPresetsLine);
    presets->footer(kPresetsHelp);
    presets->add_flag("--json", json, "machine-readable output");
    return presets;
}

}  // namespace pcmtool
