// SPDX-License-Identifier: BSD-2-Clause
// The tool's command line: every command with its options, bound to their
// records, parsed into them, and the chosen command run.
#pragma once

#include "commands/encode_options.h"
#include "commands/inspect_options.h"
#include "commands/tone_options.h"
#include "commands/unpack_options.h"

#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace pcmtool {

class ToolCommandLine {
  public:
    ToolCommandLine();
    ~ToolCommandLine();
    ToolCommandLine(const ToolCommandLine &) = delete;
    ToolCommandLine &operator=(const ToolCommandLine &) = delete;

    // -1 when the chosen command is to run; otherwise the exit status: 0
    // after --help or --version, 1 after a mistake, which `mistake` says in
    // one line (without "pcmpack: ").
    int parse(int argc, char **argv, std::string &mistake);
    int parse(const std::vector<std::string> &args, std::string &mistake);

    // Runs the command parsed; a Failure names what went wrong.
    int run();

  private:
    std::unique_ptr<CLI::App> app;
    EncodeOptions encode_options;
    bool presets_json = false;
    InspectOptions inspect_options;
    UnpackOptions unpack_options;
    ToneOptions tone_options;
    const CLI::App *encode = nullptr, *presets = nullptr, *inspect = nullptr, *unpack = nullptr,
                   *tone = nullptr;
};

}  // namespace pcmtool
