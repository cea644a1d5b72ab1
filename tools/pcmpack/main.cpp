// SPDX-License-Identifier: BSD-2-Clause
// pcmpack: packs audio into DVD LPCM, HDMV LPCM and AES3 (SMPTE 302M, D-10,
// planar) elementary streams, and reads such streams back.
#include "common.h"
#include "source/conversion.h"
#include "settings.h"

#include <pcmpack.h>

#include <CLI/CLI.hpp>

#include <cstdio>

namespace {

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
    "The output appears only when complete ('-' writes standard output).";

const char *const kInspectHelp =
    "Recognise a stream's layer by its stream header, validate every frame, and print\n"
    "the header fields and a summary (frames, frame sizes per cadence step, duration,\n"
    "channels, word length). The first inconsistency is reported with its byte offset\n"
    "and the exit status is 1. '-' reads standard input. A transport, BDAV or program\n"
    "stream is demultiplexed and its audio track read as the stream it carries.";

const char *const kUnpackHelp =
    "Turn a stream back into a WAV file (16-bit, or 24-bit for 20- and 24-bit\n"
    "streams). HDMV mono, 5.1 and 7.1 come back as the source's channels, in WAV\n"
    "order with their channel mask; the other layouts keep every coded channel, also\n"
    "the padding channel of 3/0, 3/2 and 3/4. A stream with an inconsistency is\n"
    "refused and no file is written. A transport, BDAV or program stream gives back\n"
    "its audio track.";

}  // namespace

int main(int argc, char **argv) {
    using namespace pcmtool;
    install_cleanup_handlers();

    CLI::App app{"pcmpack: packs PCM audio into DVD LPCM, HDMV LPCM and AES3 elementary streams",
                 "pcmpack"};
    app.set_version_flag("--version", std::string("pcmpack ") + PCMPACK_VERSION_STRING);
    app.require_subcommand(1);
    app.fallthrough(false);

    EncodeOptions enc;
    CLI::App *encode = app.add_subcommand("encode", kEncodeHelp);
    encode->add_option("INPUT", enc.input,
                       "audio file, or '-' for standard input; optional with --data");
    encode->add_option("-o,--output", enc.output, "stream to write, or '-' for standard output")
        ->required();
    auto *target = encode
                       ->add_option("-t,--target", enc.target,
                                    "preset: " + target_list() + "; default: default")
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
    encode->add_flag("--hdmv-pad-last", enc.hdmv_pad_last,
                     "HDMV: pack 4, 6 or 8 channels as they are; the last one is padding");

    bool presets_json = false;
    CLI::App *presets = app.add_subcommand(
        "presets", "List the video types that have a preset, with the settings each gives.");
    presets->add_flag("--json", presets_json, "machine-readable output");

    InspectOptions ins;
    CLI::App *inspect = app.add_subcommand("inspect", kInspectHelp);
    inspect->add_option("STREAM", ins.input, "stream file, or '-' for standard input")->required();
    inspect->add_flag("--frames", ins.frames, "one line per frame: offset, size, timestamp");
    inspect->add_flag("--json", ins.json, "machine-readable output");
    inspect->add_option("--track", ins.track,
                        "a container's Nth track of the layer (1 = the first, read by default)")
        ->check(CLI::PositiveNumber);

    UnpackOptions unp;
    CLI::App *unpack = app.add_subcommand("unpack", kUnpackHelp);
    unpack->add_option("STREAM", unp.input, "stream file, or '-' for standard input")->required();
    unpack->add_option("-o,--output", unp.output, "WAV file to write")->required();
    unpack->add_option("--track", unp.track,
                       "a container's Nth track of the layer (1 = the first, read by default)")
        ->check(CLI::PositiveNumber);
    auto *data_out = unpack->add_option("--data-out", unp.data_out,
                       "write the payloads of one channel pair's data bursts (AC-3, E-AC-3, "
                       "Dolby E...) as a raw stream; the WAV keeps every channel");
    unpack->add_option("--data-pair", unp.data_pair,
                       "channel pair of --data-out, 1 (channels 1 and 2, default) to 4")
        ->check(CLI::Range(1, 4))
        ->needs(data_out);

    ToneOptions tone_opt;
    CLI::App *tone = app.add_subcommand(
        "tone", "Write a WAV test signal: a different sine on every channel (440 Hz times "
                "2^(k/3) on channel k, -12 dBFS).");
    tone->add_option("-o,--output", tone_opt.output, "WAV file to write")->required();
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help and --version succeed; every command-line error is an
        // error like any other: "pcmpack: " and the reason, status 1.
        if (e.get_exit_code() == 0) return app.exit(e);
        std::fprintf(stderr, "pcmpack: %s\npcmpack: see `pcmpack --help` or `pcmpack COMMAND --help`\n",
                     e.what());
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
