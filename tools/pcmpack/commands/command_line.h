// SPDX-License-Identifier: BSD-2-Clause
// What the commands' command lines share: the layout of a command's help,
// the wording of the options several commands take, the check of a value
// among the words an option takes, the refusal of an empty value, and the
// parse that says every mistake in one line with what was likely meant.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
class Validator;
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

// A value an option takes: the word the tool works with, the name users
// know it by where the word alone does not say it ("Blu-ray"), and the other
// words they write for it ("bluray", "bd").
struct Word {
    std::string word;
    std::string title;
    std::vector<std::string> aliases;
};

// The check of an option that takes one of `words`, in any case and under
// any of their other words, each handed on as its word; any other value is
// refused as "VALUE is no WHAT" with the nearest word ("did you mean hdmv
// (Blu-ray)?") or, when none is near, with all of them.
CLI::Validator one_of_titled(const std::string &what, const std::vector<Word> &words);
// The same for words that need no title: one_of("word length", {"16", "20", "24"}).
CLI::Validator one_of(const std::string &what, const std::vector<std::string> &words);

// The end of a refusal of `value` among `words`: "; did you mean X (TITLE)?"
// for the nearest, or "; use A, B or C".
std::string nearest_or_all(const std::string &value, const std::vector<Word> &words);

// Parses the command line into the options bound to `app`'s commands.
// Returns -1 when the chosen command is to run; otherwise the exit status:
// 0 after --help or --version, or 1 after a mistake, which `mistake` then
// says in one line, with what was likely meant (main() puts "pcmpack: "
// before it).
int parse_command_line(CLI::App &app, int argc, char **argv, std::string &mistake);

}  // namespace pcmtool
