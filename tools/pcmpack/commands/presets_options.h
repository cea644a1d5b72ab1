// SPDX-License-Identifier: BSD-2-Clause
// presets' command line: its one flag, and the command.
#pragma once

namespace CLI {
class App;
}

namespace pcmtool {

int run_presets(bool json);

}  // namespace pcmtool
