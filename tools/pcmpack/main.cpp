// SPDX-License-Identifier: BSD-2-Clause
// pcmpack: packs audio into DVD LPCM, HDMV LPCM and AES3 (SMPTE 302M, D-10,
// planar) elementary streams, and reads such streams back.
#include "commands/tool_command_line.h"
#include "outputs/output.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char **argv) {
    using namespace pcmtool;
    install_cleanup_handlers();

    ToolCommandLine command_line;
    std::string mistake;
    const int status = command_line.parse(argc, argv, mistake);
    if (!mistake.empty()) std::fprintf(stderr, "pcmpack: %s\n", mistake.c_str());
    if (status >= 0) return status;

    try {
        return command_line.run();
    } catch (const std::exception &e) {
        // A Failure, or what a library threw: after what stdout already
        // holds, "pcmpack: " and the reason, status 1.
        std::fflush(stdout);
        std::fprintf(stderr, "pcmpack: %s\n", e.what());
        return 1;
    }
}
