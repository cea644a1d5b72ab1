// SPDX-License-Identifier: BSD-2-Clause
#include "commands/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

const char *const kOverwriteHelp =
    "replace existing output files; without it an existing file is kept: the tool asks on a "
    "terminal, and refuses otherwise";

namespace {

// A command's help reads top down as a user needs it: how to call it, its
// options by what they act on, then what it does and examples. The top level
// keeps its one-line description under the usage and lists the commands.
class HelpFormatter : public CLI::Formatter {
  public:
    std::string make_help(const CLI::App *app, std::string name, CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
        std::string out = make_usage(app, name);
        if (app->get_parent() == nullptr) out += "\n" + make_description(app);
        out += make_positionals(app);
        out += make_option_groups(app);
        out += make_subcommands(app, mode);
        return out + "\n" + make_footer(app);
    }

  private:
    // Groups in the order a user fills them in, whatever order the options
    // were declared in; a group not named here comes after, as first seen.
    std::string make_option_groups(const CLI::App *app) const {
        std::vector<std::string> order = {"Options", "Input", "Target", "Conversion", "Output"};
        for (const std::string &group : app->get_groups())
            if (std::find(order.begin(), order.end(), group) == order.end()) order.push_back(group);
        std::string out;
        for (const std::string &group : order) {
            const std::vector<const CLI::Option *> options = app->get_options([&](const CLI::Option *o) {
                return o->get_group() == group && o->nonpositional();
            });
            if (!options.empty()) out += make_group(group, false, options);
        }
        return out;
    }
};

// Edits (insert, delete, replace one character, or swap two neighbours) that
// turn one name into another: a typo is mostly one of these.
size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The name nearest to WORD, when near enough to be what was meant: within a
// third of its length, and at least two edits; otherwise empty.
std::string nearest(const std::string &word, const std::vector<std::string> &names) {
    std::string best;
    size_t best_distance = std::max<size_t>(2, word.size() / 3) + 1;
    for (const std::string &name : names) {
        const size_t distance = edit_distance(word, name);
        if (distance < best_distance) best = name, best_distance = distance;
    }
    return best;
}

// Every option name COMMAND takes, with its dashes, and the top level's.
std::vector<std::string> option_names(const CLI::App *command) {
    std::vector<std::string> names;
    for (const CLI::App *app = command; app; app = app->get_parent())
        for (const CLI::Option *option : app->get_options()) {
            for (const std::string &name : option->get_lnames()) names.push_back("--" + name);
            for (const std::string &name : option->get_snames()) names.push_back("-" + name);
        }
    return names;
}

// "did you mean" for the arguments the command line did not expect: a word
// where the command belongs is matched against the commands, an unknown
// option against the options of the command it follows.
std::string suggestion(const CLI::App &app, int argc, char **argv) {
    const CLI::App *command = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") break;
        if (!command) {
            if (word.empty() || word[0] == '-') continue;
            for (const CLI::App *sub : app.get_subcommands({}))
                if (sub->check_name(word)) command = sub;
            if (command) continue;
            std::vector<std::string> names;
            for (const CLI::App *sub : app.get_subcommands({})) names.push_back(sub->get_name());
            const std::string best = nearest(word, names);
            return "unknown command '" + word + "'" +
                   (best.empty() ? "" : "; did you mean `pcmpack " + best + "`?");
        }
        // "-5" is a negative value, not an option.
        if (word.size() < 2 || word[0] != '-' || (word[1] >= '0' && word[1] <= '9')) continue;
        const std::string name = word.substr(0, word.find('='));
        const std::vector<std::string> names = option_names(command);
        if (std::find(names.begin(), names.end(), name) != names.end()) continue;
        const std::string best = nearest(name, names);
        if (!best.empty()) return "did you mean " + best + "?";
    }
    return "";
}


}  // namespace

void add_stream_argument(CLI::App &command, std::string &input) {
    command.add_option("STREAM", input,
                       "stream file, '-' for standard input, a live stream's udp:// or srt:// URL, or an ST 2110 stream's SDP file or rtp:// URL")
        ->required();
}

void add_track_option(CLI::App &command, int &track) {
    command.add_option("--track", track, "a container's Nth track of the layer (1 = the first, read by default)")
        ->check(CLI::PositiveNumber);
}

void lay_out_help(CLI::App &app) { app.formatter(std::make_shared<HelpFormatter>()); }

void refuse_empty_values(CLI::App &app) {
    // An empty value (a shell variable left unset) is a mistake, not the
    // option left out: it is refused before its default could stand in.
    const CLI::Validator not_empty(
        [](std::string &value) { return value.empty() ? std::string("the value is empty") : std::string(); },
        "", "NOT_EMPTY");
    for (CLI::App *command : app.get_subcommands({}))
        for (CLI::Option *option : command->get_options())
            if (option->get_type_size() != 0) option->check(not_empty);
}

int parse_command_line(CLI::App &app, int argc, char **argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help and --version succeed; every command-line error is an
        // error like any other: "pcmpack: " and the reason, status 1.
        if (e.get_exit_code() == 0) return app.exit(e);
        std::fprintf(stderr, "pcmpack: %s\n", e.what());
        // An unknown command leaves "a subcommand is required"; an unknown
        // option, "not expected".
        const bool unknown = dynamic_cast<const CLI::ExtrasError *>(&e) || dynamic_cast<const CLI::RequiredError *>(&e);
        const std::string hint = unknown ? suggestion(app, argc, argv) : "";
        if (!hint.empty()) std::fprintf(stderr, "pcmpack: %s\n", hint.c_str());
        std::fprintf(stderr, "pcmpack: see `pcmpack --help` or `pcmpack COMMAND --help`\n");
        return 1;
    }
    return -1;
}

}  // namespace pcmtool
