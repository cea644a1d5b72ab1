// SPDX-License-Identifier: BSD-2-Clause
// pcmpack: packs audio into DVD LPCM, HDMV LPCM and AES3 (SMPTE 302M, D-10,
// planar) elementary streams, and reads such streams back.
#include "commands/command_line.h"
#include "commands/encode_options.h"
#include "commands/inspect_options.h"
#include "commands/presets_options.h"
#include "commands/tone_options.h"
#include "commands/unpack_options.h"
#include "outputs/output.h"

#include <pcmpack.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>

namespace {

const char *const kMoreHelp =
    "Run `pcmpack COMMAND --help` for a command's options and examples,\n"
    "and `man pcmpack` for the manual.";

}  // namespace

int main(int argc, char **argv) {
    using namespace pcmtool;
    install_cleanup_handlers();

    CLI::App app{"pcmpack: packs PCM audio into DVD LPCM, HDMV LPCM and AES3 elementary streams",
                 "pcmpack"};
    lay_out_help(app);
    app.set_version_flag("--version", std::string("pcmpack ") + PCMPACK_VERSION_STRING);
    app.require_subcommand(1);
    app.fallthrough(false);
    app.footer(kMoreHelp);

    // In the order `pcmpack --help` lists them.
    EncodeOptions encode_options;
    const CLI::App *encode = add_encode_command(app, encode_options);
    bool presets_json = false;
    const CLI::App *presets = add_presets_command(app, presets_json);
    InspectOptions inspect_options;
    const CLI::App *inspect = add_inspect_command(app, inspect_options);
    UnpackOptions unpack_options;
    const CLI::App *unpack = add_unpack_command(app, unpack_options);
    ToneOptions tone_options;
    const CLI::App *tone = add_tone_command(app, tone_options);
    refuse_empty_values(app);

    const int status = parse_command_line(app, argc, argv);
    if (status >= 0) return status;

    try {
        if (*encode) return run_encode(encode_options);
        if (*presets) return run_presets(presets_json);
        if (*inspect) return run_inspect(inspect_options);
        if (*unpack) return run_unpack(unpack_options);
        if (*tone) return run_tone(tone_options);
    } catch (const std::exception &e) {
        // A Failure, or what a library threw: after what stdout already
        // holds, "pcmpack: " and the reason, status 1.
        std::fflush(stdout);
        std::fprintf(stderr, "pcmpack: %s\n", e.what());
        return 1;
    }
    return 1;
}
