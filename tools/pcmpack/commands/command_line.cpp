// SPDX-License-Identifier: BSD-2-Clause
#include "commands/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <memory>
#include <regex>
#include <sstream>
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

// Names compare without case, and with '_' as '-': --Frame_Rate is
// --frame-rate mistyped.
std::string folded(const std::string &word) {
    std::string text = word;
    for (char &c : text) c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

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

// The index of the name nearest to WORD, when near enough to be what was
// meant (within a third of its length, and at least two edits) and nearer
// than any name that stands for something else (`meaning` of each name: the
// same for another word of one thing); -1 otherwise.
int nearest(const std::string &word, const std::vector<std::string> &names, const std::vector<size_t> &meaning) {
    int best = -1;
    bool tied = false;
    size_t best_distance = std::max<size_t>(2, word.size() / 3) + 1;
    for (size_t i = 0; i < names.size(); ++i) {
        const size_t distance = edit_distance(folded(word), folded(names[i]));
        if (distance < best_distance) {
            best = static_cast<int>(i), best_distance = distance, tied = false;
        } else if (distance == best_distance && best >= 0 && meaning[i] != meaning[size_t(best)]) {
            tied = true;
        }
    }
    return tied ? -1 : best;
}

std::string nearest_name(const std::string &word, const std::vector<std::string> &names) {
    std::vector<size_t> meaning(names.size());
    for (size_t i = 0; i < names.size(); ++i) meaning[i] = i;
    const int best = nearest(word, names, meaning);
    return best < 0 ? "" : names[size_t(best)];
}

// "A, B or C".
std::string spoken_list(const std::vector<std::string> &items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? " or " : ", ") + items[i];
    return text;
}

std::string titled(const Word &w) { return w.title.empty() ? w.word : w.word + " (" + w.title + ")"; }

bool is_number(const std::string &word) {
    return !word.empty() && word.find_first_not_of("0123456789") == std::string::npos;
}

// The option COMMAND (or the top level) knows by NAME, with its dashes.
const CLI::Option *find_option(const CLI::App *command, const std::string &name) {
    for (const CLI::App *app = command; app; app = app->get_parent())
        for (const CLI::Option *option : app->get_options()) {
            for (const std::string &l : option->get_lnames())
                if (name == "--" + l) return option;
            for (const std::string &s : option->get_snames())
                if (name == "-" + s) return option;
        }
    return nullptr;
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

// Words users bring from other tools, and the options that mean the same
// here: the first of them the command has is suggested. "INPUT" and
// "STREAM" stand for the argument that takes no option.
struct Synonym {
    const char *words;  // folded, between spaces
    const char *meant;  // in order of preference, between spaces
};
constexpr Synonym kSynonyms[] = {
    {"--fps", "--frame-rate"},
    {"--samplerate --sample-rate --sr --ar --frequency", "--resample --rate"},
    {"--bitdepth --bit-depth --depth --word-length --bits-per-sample", "--bits"},
    {"--format", "--target --json"},
    {"--preset --profile --type --codec", "--target"},
    {"--out --outfile --output-file", "--output"},
    {"--force --yes", "--overwrite"},
    {"--ac --ch --nchannels", "--channels"},
    {"--lang", "--language"},
    {"--debug", "--verbose"},
    {"--muxer", "--container"},
    {"--packet-time", "--ptime"},
    {"--time --length", "--seconds --duration"},
    {"--duration", "--seconds"},
    {"-i --input --in --file", "INPUT STREAM"},
};

std::vector<std::string> split(const char *words) {
    std::vector<std::string> list;
    std::istringstream in(words);
    for (std::string word; in >> word;) list.push_back(word);
    return list;
}

// What NAME, exactly or as another tool calls it, means among COMMAND's
// options: "; did you mean --frame-rate?", or how the argument without an
// option is given; "" when it is no such word.
std::string synonym_of(const CLI::App *command, const std::string &name) {
    const std::string word = folded(name);
    if (word != name && find_option(command, word)) return "; did you mean " + word + "?";
    for (const Synonym &synonym : kSynonyms) {
        const std::vector<std::string> words = split(synonym.words);
        if (std::find(words.begin(), words.end(), word) == words.end()) continue;
        for (const std::string &meant : split(synonym.meant)) {
            if (find_option(command, meant)) return "; did you mean " + meant + "?";
            for (const CLI::Option *positional : command->get_options())
                if (positional->get_name() == meant)
                    return "; " + command->get_name() + " takes its " + meant + " without an option: `pcmpack " +
                           command->get_name() + " FILE ...`";
        }
    }
    return "";
}

// "-target": a long option with one dash, which the parser would read as
// -t with the value "arget".
std::string single_dash_long(const CLI::App *command, const std::string &name) {
    if (name.size() <= 2 || name[1] == '-') return "";
    const std::string doubled = "-" + name;
    if (find_option(command, doubled)) return "; did you mean " + doubled + "?";
    return synonym_of(command, doubled);
}

// What NAME, which COMMAND does not take, likely meant.
std::string meant_option(const CLI::App *command, const std::string &name) {
    for (const std::string &meant : {single_dash_long(command, name), synonym_of(command, name)})
        if (!meant.empty()) return meant;
    const std::string best = nearest_name(name, option_names(command));
    return best.empty() ? "; see `pcmpack " + command->get_name() + " --help`" : "; did you mean " + best + "?";
}

// The first word of the command line the parser would misread or refuse
// for a misspelling, said in one line with what was meant; "" when there is
// none. A word where the command belongs is matched against the commands;
// an option against those of its command, and against what other tools
// call them.
std::string misspelling(const CLI::App &app, int argc, char **argv) {
    const CLI::App *command = nullptr;
    std::vector<std::string> commands;
    for (const CLI::App *sub : app.get_subcommands({})) commands.push_back(sub->get_name());
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") break;
        // "-" is standard input; "-5" a negative value.
        const bool option = word.size() >= 2 && word[0] == '-' && !std::isdigit(static_cast<unsigned char>(word[1]));
        const std::string name = word.substr(0, word.find('='));
        if (!command && option) {
            if (find_option(&app, name)) continue;
            for (const CLI::App *sub : app.get_subcommands({}))
                if (find_option(sub, name))
                    return name + " is an option of a command: put it after the command (`pcmpack " +
                           sub->get_name() + " ... " + name + "`)";
            const std::string best = nearest_name(name, option_names(&app));
            if (!best.empty()) return name + " is no option; did you mean " + best + "?";
            return name + " is no option of pcmpack; give a command first: " + spoken_list(commands);
        }
        if (!command) {
            for (const CLI::App *sub : app.get_subcommands({}))
                if (sub->check_name(word)) command = sub;
            if (command) continue;
            if (word == "help" || word == "version")
                return "unknown command '" + word + "'; did you mean `pcmpack --" + word + "`?";
            const std::string best = nearest_name(word, commands);
            return "unknown command '" + word + "'" +
                   (best.empty() ? "; the commands are " + spoken_list(commands)
                                 : "; did you mean `pcmpack " + best + "`?");
        }
        if (!option) continue;
        const CLI::Option *known = find_option(command, name);
        // -ofile.wav: a short option with its value attached.
        if (!known && name[1] != '-' && find_option(command, name.substr(0, 2)) &&
            single_dash_long(command, name).empty())
            continue;
        if (!known) return command->get_name() + ": " + name + " is no option" + meant_option(command, name);
        // Its value may start with a dash ('-' for standard input, -0.5),
        // but is never the next option.
        if (known->get_items_expected_max() > 0 && word.find('=') == std::string::npos) {
            if (i + 1 == argc) return word + " needs a value";
            const std::string value = argv[i + 1];
            if (value.rfind("--", 0) == 0 && value.size() > 2)
                return word + " needs a value; it is followed by " + value.substr(0, value.find('='));
            ++i;
        }
    }
    if (!command) return "give a command: " + spoken_list(commands) + " (`pcmpack --help` says what each does)";
    return "";
}

// "0.100000" as a user writes it: "0.1".
std::string decimal(std::string number) {
    if (number.find('.') == std::string::npos) return number;
    number.erase(number.find_last_not_of('0') + 1);
    if (number.back() == '.') number.pop_back();
    return number;
}

// CLI11's words for what it refused, as the tool says them.
std::string reworded(const CLI::ParseError &e, const CLI::App &app) {
    const std::string text = e.what();
    const CLI::App *command = nullptr;
    for (const CLI::App *sub : app.get_subcommands({}))
        if (sub->parsed()) command = sub;
    const std::string who = command ? command->get_name() : "pcmpack";
    std::smatch m;
    static const std::regex range("^(.+): Value (.*) not in range (.+) to (.+)$");
    static const std::regex convert("^Could not convert: (.+) = (.*)$");
    static const std::regex missing("^(.+): \\d+ required .* missing$");
    static const std::regex at_most("^(.+): At Most \\d+ required but received \\d+$");
    static const std::regex required("^(.+) is required$");
    static const std::regex excludes("^(.+) excludes (.+)$");
    static const std::regex extra("^The following arguments? (was|were) not expected: (.*)$");
    if (std::regex_match(text, m, range)) {
        const bool number = std::regex_match(m[2].str(), std::regex("^-?[0-9.]+$"));
        // A range open above is said by the check's name.
        const CLI::Option *option = find_option(command ? command : &app, m[1].str());
        const std::string type = option ? option->get_type_name() : "";
        const std::string range_text = type.find("NONNEGATIVE") != std::string::npos ? "0 or more"
                                       : type.find("POSITIVE") != std::string::npos
                                           ? "a number above 0"
                                           : decimal(m[3].str()) + " to " + decimal(m[4].str());
        return m[1].str() + ": " + m[2].str() + (number ? " is out of range" : " is not a number") + "; give " +
               range_text;
    }
    if (std::regex_match(text, m, convert)) return m[1].str() + ": " + m[2].str() + " is not a number";
    if (std::regex_match(text, m, missing)) return m[1].str() + " needs a value";
    if (std::regex_match(text, m, at_most)) return m[1].str() + " is given more than once; give it once";
    if (std::regex_match(text, m, required)) return who + " needs " + m[1].str();
    if (std::regex_match(text, m, excludes))
        return m[1].str() + " and " + m[2].str() + " say the same thing; give one of them";
    if (std::regex_match(text, m, extra)) return who + ": " + m[2].str() + " is one argument too many";
    return text;
}

}  // namespace

std::string nearest_or_all(const std::string &value, const std::vector<Word> &words) {
    std::vector<std::string> names;
    std::vector<size_t> meaning;
    std::vector<std::string> all;
    bool numbers = true;
    for (size_t i = 0; i < words.size(); ++i) {
        all.push_back(titled(words[i]));
        numbers = numbers && is_number(words[i].word);
        names.push_back(words[i].word), meaning.push_back(i);
        for (const std::string &alias : words[i].aliases) names.push_back(alias), meaning.push_back(i);
    }
    // Of numbers, the one a digit away is no likelier than the others.
    const int best = numbers ? -1 : nearest(value, names, meaning);
    if (best >= 0) return "; did you mean " + titled(words[meaning[size_t(best)]]) + "?";
    return "; use " + spoken_list(all);
}

CLI::Validator one_of_titled(const std::string &what, const std::vector<Word> &words) {
    std::string listed;
    for (const Word &w : words) listed += (listed.empty() ? "" : ",") + w.word;
    return CLI::Validator(
        [what, words](std::string &value) -> std::string {
            if (value.empty()) return "the value is empty";
            for (const Word &w : words) {
                if (folded(value) == folded(w.word)) return value = w.word, std::string();
                for (const std::string &alias : w.aliases)
                    if (folded(value) == folded(alias)) return value = w.word, std::string();
            }
            return value + " is no " + what + nearest_or_all(value, words);
        },
        "{" + listed + "}", what);
}

CLI::Validator one_of(const std::string &what, const std::vector<std::string> &words) {
    std::vector<Word> plain;
    for (const std::string &w : words) plain.push_back({w, "", {}});
    return one_of_titled(what, plain);
}

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

int parse_command_line(CLI::App &app, int argc, char **argv, std::string &mistake) {
    // A misspelling is named before the parser reads the words after it
    // amiss: "-target hdmv" as -t "arget", "--framerate 29.97" as an
    // unknown option and one more INPUT. Help asked for is given whatever
    // else the line holds.
    bool help = false;
    for (int i = 1; i < argc; ++i)
        for (const char *asked : {"-h", "--help", "--version"}) help = help || std::string(argv[i]) == asked;
    if (!help) mistake = misspelling(app, argc, argv);
    if (!mistake.empty()) return 1;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help and --version succeed; every mistake is an error like any
        // other: one line, status 1.
        if (e.get_exit_code() == 0) return app.exit(e);
        mistake = reworded(e, app);
        return 1;
    }
    return -1;
}

}  // namespace pcmtool
