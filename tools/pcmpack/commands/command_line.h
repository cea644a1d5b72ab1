// SPDX-License-Identifier: BSD-2-Clause
// What the commands' command lines share: the layout of a command's help,
// the wording of the options several commands take, the refusal of an empty
// value, and the parse that turns every mistake into "pcmpack: " and a hint.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace pcmtool {

// Every command that writes a file: an existing one is kept unless -y says
// otherwise, as ffmpeg does.
extern const char *const kOverwriteHelp;

// Seconds a live stream may be watched or recorded for: a year.
constexpr double kLongestWatch = 366 * 86400.0;

// What inspect and unpack read: the stream, a positional argument, and the
// track of a container.
void add_stream_argument(CLI::App &command, std::string &input);
void add_track_option(CLI::App &command, int &track);

// Help laid out as a user reads it; set on the tool's app before any
// command is added, which takes it over.
void lay_out_help(CLI::App &app);

// Every option of every command that takes a value refuses an empty one;
// called once all commands are added.
void refuse_empty_values(CLI::App &app);

// Parses the command line into the options bound to `app`'s commands.
// Returns -1 when the chosen command is to run; otherwise the exit status,
// after --help or --version (0) or after a mistake, printed as an error
// with what was likely meant (1).
int parse_command_line(CLI::App &app, int argc, char **argv);

}  // namespace pcmtool
