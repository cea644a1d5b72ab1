// SPDX-License-Identifier: BSD-2-Clause
// presets' command line: its one flag, and the command it runs.
#pragma once

namespace CLI {
class App;
}

namespace pcmtool {

// Adds `presets` with its one flag, --json, bound to `json`, to the tool's
// command line; returns the command.
CLI::App *add_presets_command(CLI::App &app, bool &json);

// Runs `presets`; a Failure names what went wrong.
int run_presets(bool json);

}  // namespace pcmtool
