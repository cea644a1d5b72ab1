// SPDX-License-Identifier: BSD-2-Clause
// pcmpack: packs audio into DVD LPCM, HDMV LPCM and AES3 (SMPTE 302M, D-10,
// planar) elementary streams, and reads such streams back.
#include "commands/encode_options.h"
#include "commands/inspect_options.h"
#include "commands/presets_options.h"
#include "commands/tone_options.h"
#include "commands/unpack_options.h"
#include "common.h"
#include "source/conversion.h"
#include "outputs/output.h"
#include "settings.h"

#include <pcmpack.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// One line each in `pcmpack --help`: a reader scans the list for the command
// that does the job, then asks that command for its whole story.
const char *const kEncodeLine = "Pack audio into a DVD, HDMV or AES3 stream";
const char *const kInspectLine = "Check a stream frame by frame and summarise it";
const char *const kUnpackLine = "Turn a stream back into a WAV file";
const char *const kPresetsLine = "List the video types that have a preset";
const char *const kToneLine = "Write a WAV test signal";

const char *const kEncodeHelp =
    "Pack audio into an elementary stream, or into its container: .ts (302M in an\n"
    "MPEG transport stream), .m2ts/.mts (HDMV in a BDAV transport stream), .vob/.mpg/\n"
    ".mpeg (DVD LPCM in an MPEG program stream), or as --container says.\n"
    "INPUT is any file libsndfile reads (WAV, RF64, W64, AIFF, FLAC, CAF, ...) or\n"
    "headerless PCM when --rate and --channels are given; '-' reads standard input.\n"
    "The target's preset chooses the layer; --layer, --bits and --frame-rate override\n"
    "it. Channel count, sample rate and word length come from the input and are never\n"
    "changed silently: what the layer does not carry is an error that says why.\n"
    "On request only: --resample converts the sample rate (libsoxr); --bits shortens\n"
    "longer words with TPDF dither (--dither none truncates); floating-point input is\n"
    "rounded, and samples beyond full scale are limited and counted. -v says what was\n"
    "done. The settings are checked against the target's video type and every coded\n"
    "message is printed.\n"
    "HDMV: a source whose channel mask names its speakers goes out in the coded order\n"
    "of its layout: 2.0, 3/0, 3/2, 3/4, and 5.1, 7.1 and mono, which the tool signals\n"
    "in the frame headers (--hdmv-layout picks one, --channel-order keep keeps the\n"
    "order given). Without a mask, 3, 5 and 7 channels are packed as 3/0, 3/2 and 3/4\n"
    "with a silent padding channel appended; 4, 6 and 8 channels are refused, because\n"
    "the last coded channel of those layouts is read as padding, unless\n"
    "--hdmv-pad-last or --hdmv-layout 5.1 or 7.1.\n"
    "The AES3 layers (10, 11, 12) need --frame-rate and 48000 Hz audio.\n"
    "The output appears only when complete ('-' writes standard output); an existing\n"
    "file is replaced only with -y, or when you answer y at the terminal.\n"
    "udp://HOST:PORT and srt://HOST:PORT[?mode=caller|listener] send 302M in a\n"
    "transport stream at a constant bit rate, paced by the audio when the input is a\n"
    "file, frame by frame as a pipe delivers it but never ahead of the audio; SIGINT\n"
    "and SIGTERM end the stream cleanly. A caller whose listener goes away\n"
    "reconnects and resumes at the live point; if it never comes back, the run\n"
    "fails.\n"
    "\n"
    "Examples:\n"
    "  pcmpack encode movie.wav -o movie.m2ts -t hdmv    # Blu-ray 5.1 in a BDAV stream\n"
    "  pcmpack encode cd.wav -o audio.vob -t dvd --resample 48000 --bits 16\n"
    "  pcmpack encode mix.wav -o mix.ts --frame-rate 29.97    # 302M for broadcast\n"
    "  pcmpack encode mix.wav -o udp://127.0.0.1:5000 --frame-rate 25    # live";

// Every command that writes a file: an existing one is kept unless -y says
// otherwise, as ffmpeg does.
const char *const kOverwriteHelp =
    "replace existing output files; without it an existing file is kept: the tool asks on a "
    "terminal, and refuses otherwise";

// Seconds a live stream may be watched or recorded for: a year.
constexpr double kLongestWatch = 366 * 86400.0;

const char *const kInspectHelp =
    "Recognise a stream's layer by its stream header, validate every frame, and print\n"
    "the header fields and a summary (frames, frame sizes per cadence step, duration,\n"
    "channels, word length). The first inconsistency is reported with its byte offset\n"
    "and the exit status is 1. '-' reads standard input. A transport, BDAV or program\n"
    "stream is demultiplexed and its audio track read as the stream it carries.\n"
    "A udp:// or srt:// URL is a live 302M transport stream, watched with a line\n"
    "per interval (frames, cadence, PTS breaks, packets lost, duplicated or out of\n"
    "order, PCR and PTS discontinuities, PCR, PAT/PMT, bit rate) and a summary at\n"
    "the end; status 1 if any fault was seen.\n"
    "\n"
    "Examples:\n"
    "  pcmpack inspect movie.m2ts\n"
    "  pcmpack inspect mix.ts --frames    # one line per frame\n"
    "  pcmpack inspect audio.vob --json\n"
    "  pcmpack inspect udp://@:5000 --duration 60\n"
    "  pcmpack inspect 'srt://:9000?mode=listener' --json";

const char *const kUnpackHelp =
    "Turn a stream back into a WAV file (16-bit, or 24-bit for 20- and 24-bit\n"
    "streams). HDMV mono, 5.1 and 7.1 come back as the source's channels, in WAV\n"
    "order with their channel mask; the other layouts keep every coded channel, also\n"
    "the padding channel of 3/0, 3/2 and 3/4. A stream with an inconsistency is\n"
    "refused and no file is written. A transport, BDAV or program stream gives back\n"
    "its audio track. --data-out alone writes a pair's data bursts and no WAV.\n"
    "A udp:// or srt:// URL is recorded until --duration, SIGINT or SIGTERM; a frame\n"
    "lost on the way becomes silence of its length, and the status 1.\n"
    "\n"
    "Examples:\n"
    "  pcmpack unpack movie.m2ts -o back.wav\n"
    "  pcmpack unpack mix.ts -o back.wav --data-out sound.ac3 --data-pair 2\n"
    "  pcmpack unpack udp://@:5000 -o capture.wav --duration 60    # record";

const char *const kPresetsHelp =
    "List the video types that have a preset, with the settings each gives: the\n"
    "layer, word length and frame rate that `encode --video-type` or `--target`\n"
    "starts from.\n"
    "\n"
    "Examples:\n"
    "  pcmpack presets\n"
    "  pcmpack presets --json";

const char *const kToneHelp =
    "Write a WAV test signal: a different sine on every channel (440 Hz times\n"
    "2^(k/3) on channel k, -12 dBFS), so that each channel can be told apart\n"
    "after a round trip.\n"
    "\n"
    "Examples:\n"
    "  pcmpack tone -o tone.wav --channels 6 --bits 24    # a 5.1 source for HDMV\n"
    "  pcmpack tone -o cd.wav --rate 44100 --seconds 10";

const char *const kMoreHelp =
    "Run `pcmpack COMMAND --help` for a command's options and examples,\n"
    "and `man pcmpack` for the manual.";

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

int main(int argc, char **argv) {
    using namespace pcmtool;
    install_cleanup_handlers();

    CLI::App app{"pcmpack: packs PCM audio into DVD LPCM, HDMV LPCM and AES3 elementary streams",
                 "pcmpack"};
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_version_flag("--version", std::string("pcmpack ") + PCMPACK_VERSION_STRING);
    app.require_subcommand(1);
    app.fallthrough(false);

    EncodeOptions enc;
    CLI::App *encode = app.add_subcommand("encode", kEncodeLine);
    encode->footer(kEncodeHelp);
    encode->add_option("INPUT", enc.input,
                       "audio file, or '-' for standard input; optional with --data");
    encode->add_option("-o,--output", enc.output,
                       "stream to write, '-' for standard output, or udp://HOST:PORT[?pkt_size=N] "
                       "or srt://HOST:PORT[?mode=caller|listener&...] to send it live")
        ->required();
    auto *target = encode
                       ->add_option("-t,--target", enc.target,
                                    "preset and rules of a video type: " + target_list() +
                                        ". Left out: default, SMPTE 302M for broadcast with no "
                                        "video type's rules; xdcam-imx gives 302M too, held to "
                                        "the rules of XDCAM IMX")
                       ->check(CLI::IsMember({"default", "dvd", "hdmv", "xdcam", "xdcam-imx"}));
    auto *video_type = encode->add_option("--video-type", enc.video_type,
                       "preset and target rules of this video type code (see `pcmpack presets`)")
        ->check(CLI::NonNegativeNumber)
        ->excludes(target);
    encode->add_option("--layer", enc.layer,
                       "4 DVD LPCM, 10 SMPTE 302M, 11 D-10 AES3, 12 planar AES3, 13 HDMV LPCM")
        ->check(CLI::IsMember({4, 10, 11, 12, 13}));
    encode->add_option("--bits", enc.bits,
                       "word length 16, 20 or 24; default: the input's (raw input: 16)")
        ->check(CLI::IsMember({16, 20, 24}));
    auto *frame_rate = encode->add_option("--frame-rate", enc.frame_rate,
                                          "video frame rate of the AES3 layers: " +
                                              frame_rate_list());
    encode->add_option("--frame-rate-code", enc.frame_rate_code,
                       "the same as its MPEG frame rate code: 1 24000/1001, 2 24, 3 25, "
                       "4 30000/1001, 5 30, 6 50, 7 60000/1001, 8 60")
        ->check(CLI::Range(1, 8))
        ->excludes(frame_rate);
    auto *raw_rate = encode->add_option("--rate", enc.rate, "raw input: sample rate in Hz")
        ->check(CLI::Range(1, 1000000));
    auto *raw_channels = encode->add_option("--channels", enc.channels, "raw input: interleaved channels")
        ->check(CLI::Range(1, 64));
    auto *raw_endian = encode->add_option("--endian", enc.endian, "raw input: little (default) or big")
        ->check(CLI::IsMember({"little", "big"}));
    encode->add_option("--container", enc.container,
                       "es (our stream), ts (302M in MPEG-TS), m2ts (HDMV in BDAV MPEG-TS), ps "
                       "(DVD LPCM in an MPEG program stream); default: from the output's "
                       "extension (.ts; .m2ts, .mts; .vob, .mpg, .mpeg; anything else: es)");
    auto *index = encode->add_option("--index", enc.index,
                       "write one line per header and frame: byte offset, bytes, 27 MHz ticks, "
                       "seconds");
    auto *index_format =
        encode->add_option("--index-format", enc.index_format, "csv (default) or json (JSON lines)")
            ->check(CLI::IsMember({"csv", "json"}));
    // Raw PCM is described by its rate and channel count together; an
    // index's format means nothing without an index.
    raw_rate->needs(raw_channels);
    raw_channels->needs(raw_rate);
    raw_endian->needs(raw_rate);
    index_format->needs(index);
    encode->add_option("--resample", enc.resample,
                       "convert the sample rate to 48000 or 96000 Hz (libsoxr)")
        ->check(CLI::IsMember({48000, 96000}));
    encode->add_option("--resample-quality", enc.resample_quality,
                       "sample-rate conversion quality: " + pcmtool::resample_quality_list() +
                           "; default very-high")
        ->check(CLI::IsMember(pcmtool::resample_quality_names()));
    encode->add_option("--dither", enc.dither,
                       "when --bits shortens the words: tpdf (default) or none (truncate); none, "
                       "and tpdf refused, when a channel pair holds data bursts")
        ->check(CLI::IsMember({"tpdf", "none"}));
    encode->add_option("--channel-order", enc.channel_order,
                       "auto (default): HDMV channels in the coded order of the layout the "
                       "source's channel mask names; keep: in the order given")
        ->check(CLI::IsMember({"auto", "keep"}));
    encode->add_option("--hdmv-layout", enc.hdmv_layout,
                       "auto (default: from the channel mask, else the channel count), 5.1, "
                       "7.1, mono, or library (only 2.0, 3/0, 3/2, 3/4)")
        ->check(CLI::IsMember({"auto", "5.1", "7.1", "mono", "library"}));
    encode->add_flag("-v,--verbose", enc.verbose,
                     "say what is converted and which source channel goes where");
    auto *data = encode->add_option("--data", enc.data,
                       "AC-3 (.ac3) or E-AC-3 (.ec3) file carried as data bursts in one channel "
                       "pair of an AES3 layer (10, 11, 12); the INPUT's audio, if any, on the "
                       "other pairs");
    encode->add_option("--data-pair", enc.data_pair,
                       "channel pair of the data bursts, 1 (channels 1 and 2, default) to 4")
        ->check(CLI::Range(1, 4))
        ->needs(data);
    encode->add_option("--muxrate", enc.muxrate,
                       "transport stream: constant bit rate in bits/s, filled with null packets; "
                       "default for udp:// and srt://: what the channels and word length need "
                       "plus 5% (-v states it)")
        ->check(CLI::Range(int64_t{1}, int64_t{1} << 30));
    encode->add_option("--latency", enc.latency_ms,
                       "transport stream: milliseconds from a frame's clock reference to its "
                       "presentation, the decoder's buffer; default for udp:// and srt://: 100")
        ->check(CLI::Range(1, 10000));
    encode->add_option("--pace", enc.pace,
                       "udp:// and srt://: auto (default: audio for a file; for a pipe each "
                       "frame as it comes, never before its time in the audio), audio (datagrams "
                       "at the audio's time), none (as fast as the network takes them)")
        ->check(CLI::IsMember({"auto", "audio", "none"}));
    encode->add_flag("-y,--overwrite", enc.overwrite, kOverwriteHelp);
    encode->add_flag("--hdmv-pad-last", enc.hdmv_pad_last,
                     "HDMV: pack 4, 6 or 8 channels as they are; the last one is padding");
    // encode's options by what they act on, in the order a command line is
    // usually written: what comes in, what it becomes, what changes, where to.
    const struct {
        const char *option;
        const char *group;
    } kEncodeGroups[] = {
        {"--rate", "Input"},           {"--channels", "Input"},
        {"--endian", "Input"},         {"--data", "Input"},
        {"--data-pair", "Input"},      {"--target", "Target"},
        {"--video-type", "Target"},    {"--layer", "Target"},
        {"--frame-rate", "Target"},    {"--frame-rate-code", "Target"},
        {"--hdmv-layout", "Target"},   {"--channel-order", "Target"},
        {"--hdmv-pad-last", "Target"}, {"--bits", "Conversion"},
        {"--resample", "Conversion"},  {"--resample-quality", "Conversion"},
        {"--dither", "Conversion"},    {"--output", "Output"},
        {"--container", "Output"},     {"--index", "Output"},
        {"--index-format", "Output"},  {"--verbose", "Output"},
        {"--muxrate", "Output"},       {"--latency", "Output"},
        {"--pace", "Output"},          {"--overwrite", "Output"},
    };
    for (const auto &entry : kEncodeGroups) encode->get_option(entry.option)->group(entry.group);

    bool presets_json = false;
    CLI::App *presets = app.add_subcommand("presets", kPresetsLine);
    presets->footer(kPresetsHelp);
    presets->add_flag("--json", presets_json, "machine-readable output");

    InspectOptions ins;
    CLI::App *inspect = app.add_subcommand("inspect", kInspectLine);
    inspect->footer(kInspectHelp);
    inspect->add_option("STREAM", ins.input,
                        "stream file, '-' for standard input, or a live stream's udp:// or srt:// URL")
        ->required();
    inspect->add_flag("--frames", ins.frames, "one line per frame: number, offset, size, sample periods, "
                      "cadence step (blank without a cadence), timestamp in ticks and seconds");
    inspect->add_flag("--json", ins.json, "machine-readable output");
    inspect->add_option("--track", ins.track,
                        "a container's Nth track of the layer (1 = the first, read by default)")
        ->check(CLI::PositiveNumber);
    inspect->add_option("--every", ins.every, "live stream: seconds between lines; default 1")
        ->check(CLI::Range(0.1, 3600.0));
    inspect->add_option("--duration", ins.duration,
                        "live stream: seconds to watch; default until SIGINT or SIGTERM")
        ->check(CLI::Range(0.1, kLongestWatch));
    inspect->add_flag("--fail-fast", ins.fail_fast, "live stream: end with status 1 at the first fault");

    UnpackOptions unp;
    CLI::App *unpack = app.add_subcommand("unpack", kUnpackLine);
    unpack->footer(kUnpackHelp);
    unpack->add_option("STREAM", unp.input,
                       "stream file, '-' for standard input, or a live stream's udp:// or srt:// URL")
        ->required();
    unpack->add_option("-o,--output", unp.output, "WAV file to write (-o, --data-out or both)");
    unpack->add_flag("-y,--overwrite", unp.overwrite, kOverwriteHelp);
    unpack->add_option("--track", unp.track,
                       "a container's Nth track of the layer (1 = the first, read by default)")
        ->check(CLI::PositiveNumber);
    auto *data_out = unpack->add_option("--data-out", unp.data_out,
                       "write the payloads of one channel pair's data bursts (AC-3, E-AC-3, "
                       "Dolby E...) as a raw stream; the WAV keeps every channel");
    unpack->add_option("--duration", unp.duration, "live stream: seconds to record; default until SIGINT or SIGTERM")
        ->check(CLI::Range(0.1, kLongestWatch));
    unpack->add_option("--data-pair", unp.data_pair,
                       "channel pair of --data-out, 1 (channels 1 and 2, default) to 4")
        ->check(CLI::Range(1, 4))
        ->needs(data_out);

    ToneOptions tone_opt;
    CLI::App *tone = app.add_subcommand("tone", kToneLine);
    tone->footer(kToneHelp);
    tone->add_option("-o,--output", tone_opt.output, "WAV file to write")->required();
    tone->add_flag("-y,--overwrite", tone_opt.overwrite, kOverwriteHelp);
    tone->add_option("--seconds", tone_opt.seconds, "duration; default 5");
    tone->add_option("--channels", tone_opt.channels, "1..8; default 2")->check(CLI::Range(1, 8));
    tone->add_option("--bits", tone_opt.bits, "16, 20 or 24; default 16")
        ->check(CLI::IsMember({16, 20, 24}));
    tone->add_option("--rate", tone_opt.rate, "sample rate in Hz; default 48000")
        ->check(CLI::Range(1000, 384000));

    // An empty value (a shell variable left unset) is a mistake, not the
    // option left out: it is refused before its default could stand in.
    const CLI::Validator not_empty(
        [](std::string &value) { return value.empty() ? std::string("the value is empty") : std::string(); },
        "", "NOT_EMPTY");
    for (CLI::App *command : app.get_subcommands({}))
        for (CLI::Option *option : command->get_options())
            if (option->get_type_size() != 0) option->check(not_empty);
    app.footer(kMoreHelp);

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
    enc.target_given = target->count() > 0 || video_type->count() > 0;

    try {
        if (*encode) return run_encode(enc);
        if (*presets) return run_presets(presets_json);
        if (*inspect) return run_inspect(ins);
        if (*unpack) return run_unpack(unp);
        if (*tone) return run_tone(tone_opt);
    } catch (const Failure &failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "pcmpack: %s\n", failure.what());
        return 1;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "pcmpack: %s\n", e.what());
        return 1;
    }
    return 1;
}
