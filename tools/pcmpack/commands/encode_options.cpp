// SPDX-License-Identifier: BSD-2-Clause
#include "commands/encode_options.h"

#include "commands/command_line.h"
#include "commands/refusals.h"
#include "commands/rtp_stream.h"
#include "containers/container.h"
#include "format/stream_format.h"
#include "settings.h"
#include "source/channel_layout.h"
#include "source/conversion.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace pcmtool {

namespace {

// The command's line in `pcmpack --help`, which a reader scans for the
// command that does the job; its help below is its whole story.
const char *const kEncodeLine = "Pack audio into a DVD, HDMV or AES3 stream";

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
    "rounded, and samples beyond full scale are limited and counted; --downmix 2 or 5.1\n"
    "mixes the speakers the channel mask (or --channel-layout) names. -v says what was\n"
    "done. The settings are checked against the target's video type and every coded\n"
    "message is printed.\n"
    "HDMV: a source whose channel mask names its speakers goes out in the coded order\n"
    "of its layout: 2.0, 3/0, 3/2, 3/4, and 5.1, 7.1 and mono, which the tool signals\n"
    "in the frame headers (--hdmv-layout picks one, --channel-order keep keeps the\n"
    "order given). Without a mask, 3, 5 and 7 channels are packed as 3/0, 3/2 and 3/4\n"
    "with a silent padding channel appended; 4, 6 and 8 channels are refused, because\n"
    "the last coded channel of those layouts is read as padding, unless\n"
    "--hdmv-pad-last or --hdmv-layout 5.1 or 7.1.\n"
    "The AES3 layers (10, 11, 12) need --frame-rate (or --video's) and 48000 Hz audio.\n"
    "A programme: several INPUTs, one audio track each in order, each planned on its\n"
    "own terms; --bits, --hdmv-layout and --language take one value for all or a\n"
    "list, one per track. --video copies a video track beside them, never decoded;\n"
    "the audio starts on its first frame (--audio-offset moves it) and 302M frames\n"
    "fall on its frames. A .vob carries no language: dvdauthor's XML gives it.\n"
    "The output appears only when complete ('-' writes standard output); an existing\n"
    "file is replaced only with -y, or when you answer y at the terminal.\n"
    "udp://HOST:PORT and srt://HOST:PORT[?mode=caller|listener] send 302M in a\n"
    "transport stream at a constant bit rate, paced by the audio when the input is a\n"
    "file, frame by frame as a pipe delivers it but never ahead of the audio; SIGINT\n"
    "and SIGTERM end the stream cleanly. A caller whose listener goes away\n"
    "reconnects and resumes at the live point; if it never comes back, the run\n"
    "fails.\n"
    "rtp://HOST:PORT sends the audio itself as SMPTE ST 2110-30 (L24 or L16) or, with\n"
    "--st2110 31, as AES3 subframes (AM824) whose data bursts pass untouched;\n"
    "each packet is stamped with the media clock of CLOCK_TAI (which ptp4l and\n"
    "phc2sys keep on the plant's PTP time) and --sdp writes the session description.\n"
    "\n"
    "Examples:\n"
    "  pcmpack encode movie.wav -o movie.m2ts -t hdmv    # Blu-ray 5.1 in a BDAV stream\n"
    "  pcmpack encode cd.wav -o audio.vob -t dvd --resample 48000 --bits 16\n"
    "  pcmpack encode mix.wav -o mix.ts --frame-rate 29.97    # 302M for broadcast\n"
    "  pcmpack encode mix.wav -o udp://127.0.0.1:5000 --frame-rate 25    # live\n"
    "  pcmpack encode mix.wav -o rtp://127.0.0.1:5004 --sdp mix.sdp    # ST 2110-30\n"
    "  pcmpack encode main.wav comm.wav -o film.m2ts -t hdmv --video film.264 \\\n"
    "      --language eng,eng --bits 24,16    # Blu-ray clip";


// The --target values: each target, with what users call it.
std::vector<Word> target_words() {
    std::vector<Word> words;
    for (const TargetName &t : target_names()) words.push_back({t.name, t.title, t.aliases});
    return words;
}

// The --container values: each container, what it is, and its extensions
// as other words for it (--container vob).
std::vector<Word> container_words() {
    std::vector<Word> words;
    for (const ContainerName &c : container_names()) words.push_back({c.name, c.title, c.extensions});
    return words;
}

// The --layer values: each layer's code, named.
std::vector<Word> layer_words() {
    std::vector<Word> words;
    for (const int layer : layer_codes()) words.push_back({std::to_string(layer), pcmpack_format::layer_name(layer), {}});
    return words;
}

// A per-track option takes one value for every track or a comma-separated
// list, once.
CLI::Option *per_track(CLI::Option *option) { return option->allow_extra_args(false)->delimiter(','); }

// CLI11 converts, checks and relates the options in the order they are
// declared, and reports the first mistake it meets: the order below is the
// one that decides which of two mistakes a user is told of, so the options
// keep it, and the help groups them by what they act on instead.

// The audio, the output, and the target with what overrides its preset.
void add_stream_options(CLI::App &encode, EncodeOptions &o) {
    encode.add_option("INPUT", o.inputs,
                      "audio file, or '-' for standard input, one audio track each (several: "
                      "a programme in a .ts, .m2ts or .vob); optional with --data");
    encode.add_option("-o,--output", o.output,
                      "stream to write, '-' for standard output, or udp://HOST:PORT[?pkt_size=N] "
                      "or srt://HOST:PORT[?mode=caller|listener&...] to send it live")
        ->required();
    auto *target = encode.add_option("-t,--target", o.target,
                                     "preset and rules of a video type: " + target_list() +
                                         ". Left out: default, SMPTE 302M for broadcast with no "
                                         "video type's rules; xdcam-imx gives 302M too, held to "
                                         "the rules of XDCAM IMX")
                       ->transform(one_of_titled("target", target_words()));
    encode.add_option("--video-type", o.video_type,
                      "preset and target rules of this video type code (see `pcmpack presets`)")
        ->check(CLI::NonNegativeNumber)
        ->excludes(target);
    encode.add_option("--layer", o.layer, layer_list())->transform(one_of_titled("layer", layer_words()));
    per_track(encode.add_option("--bits", o.track_bits,
                                "word length 16, 20 or 24; default: the input's (raw input: 16); "
                                "one for every track, or a list: 24,16"))
        ->transform(one_of("word length", {"16", "20", "24"}));
    auto *frame_rate = encode.add_option("--frame-rate", o.frame_rate,
                                          "video frame rate of the AES3 layers: " +
                                              frame_rate_list())
                           ->check(CLI::Validator(
                               [](std::string &v) {
                                   return v.empty() || parse_frame_rate(v) ? std::string() : frame_rate_mistake(v);
                               },
                               "", "frame rate"));
    // The codes run from 1 to 8 without a gap.
    const std::vector<int> codes = frame_rate_codes();
    encode.add_option("--frame-rate-code", o.frame_rate_code,
                      "the same as its MPEG frame rate code: " + frame_rate_code_list())
        ->check(CLI::Range(codes.front(), codes.back()))
        ->excludes(frame_rate);
}

// Headerless input's description, the container and the index.
void add_raw_input_and_file_options(CLI::App &encode, EncodeOptions &o) {
    auto *raw_rate = encode.add_option("--rate", o.rate, "raw input: sample rate in Hz")
        ->check(CLI::Range(1, 1000000));
    auto *raw_channels = encode.add_option("--channels", o.channels, "raw input: interleaved channels")
        ->check(CLI::Range(1, 64));
    auto *raw_endian = encode.add_option("--endian", o.endian, "raw input: little (default) or big")
        ->transform(one_of("byte order", {"little", "big"}));
    encode.add_option("--container", o.container,
                      "es (our stream), ts (302M in MPEG-TS), m2ts (HDMV in BDAV MPEG-TS), ps "
                      "(DVD LPCM in an MPEG program stream); default: from the output's "
                      "extension (.ts; .m2ts, .mts; .vob, .mpg, .mpeg; anything else: es)")
        ->transform(one_of_titled("container", container_words()));
    auto *index = encode.add_option("--index", o.index,
                      "write one line per header and frame: byte offset, bytes, 27 MHz ticks, "
                      "seconds");
    auto *index_format =
        encode.add_option("--index-format", o.index_format, "csv (default) or json (JSON lines)")
            ->transform(one_of("index format", {"csv", "json"}));
    // Raw PCM is described by its rate and channel count together; an
    // index's format means nothing without an index.
    raw_rate->needs(raw_channels);
    raw_channels->needs(raw_rate);
    raw_endian->needs(raw_rate);
    index_format->needs(index);
}

// What is done to the samples on the way: rate, word length, channel order.
void add_conversion_options(CLI::App &encode, EncodeOptions &o) {
    encode.add_option("--resample", o.resample,
                      "convert the sample rate to 48000 or 96000 Hz (libsoxr)")
        ->transform(one_of("rate --resample converts to", {"48000", "96000"}));
    encode.add_option("--resample-quality", o.resample_quality,
                      "sample-rate conversion quality: " + resample_quality_list() +
                           "; default very-high")
        ->transform(one_of("resample quality", resample_quality_names()));
    encode.add_option("--dither", o.dither,
                      "when --bits shortens the words: tpdf (default) or none (truncate); none, "
                      "and tpdf refused, when a channel pair holds data bursts")
        ->transform(one_of("dither", {"tpdf", "none"}));
    auto *downmix = encode.add_option("--downmix", o.downmix,
                                      "mix the source's speakers down to 2 (stereo) or 5.1: centre and "
                                      "surrounds at -3 dB, the LFE left out of stereo, the level lowered "
                                      "so that nothing clips (libswresample); -v prints the matrix")
                        ->transform(one_of("downmix", {"2", "5.1"}));
    encode.add_option("--channel-layout", o.channel_layout,
                      "with --downmix: the source's speakers in channel order, for a source without a "
                      "channel mask or with a wrong one: 5.1, 7.1, quad, 5.0, FL+FR+FC+LFE+BL+BR, ...")
        ->needs(downmix);
    encode.add_option("--channel-order", o.channel_order,
                      "auto (default): HDMV channels in the coded order of the layout the "
                      "source's channel mask names; keep: in the order given")
        ->transform(one_of("channel order", {"auto", "keep"}));
    std::vector<std::string> layouts = signalled_layout_names();
    std::string layout_help = "auto (default: from the channel mask, else the channel count), ";
    for (const std::string &name : layouts) layout_help += name + ", ";
    layout_help += "or library (only " + library_layout_list() + ")";
    layouts.insert(layouts.begin(), "auto");
    layouts.push_back("library");
    per_track(encode.add_option("--hdmv-layout", o.track_layouts,
                                layout_help + "; one for every track, or a list: 5.1,auto"))
        ->transform(one_of("HDMV layout", layouts));
    encode.add_flag("-v,--verbose", o.verbose,
                    "say what is converted and which source channel goes where");
}

// Data bursts, the transport stream's timing, and the HDMV padding choice.
// Audio over RTP: which ST 2110 payload, its packet time and what the SDP says.
void add_rtp_options(CLI::App &encode, EncodeOptions &o) {
    encode.add_option("--st2110", o.st2110,
                      "rtp://: 30 (default), linear PCM as AES67 carries it (L24, or L16 with --bits "
                      "16); 31, AES3 subframes (AM824) that carry data bursts untouched")
        ->transform(one_of_titled("ST 2110 format", st2110_words()));
    encode.add_option("--ptime", o.ptime, "rtp://: packet time, 1ms (default) or 125us")
        ->transform(one_of("packet time", {"1ms", "125us"}));
    encode.add_option("--sdp", o.sdp, "rtp://: write the session description (SDP) to this file");
    encode.add_option("--payload-type", o.payload_type, "rtp://: RTP payload type, 96 to 127; default 97");
    encode.add_option("--ssrc", o.ssrc, "rtp://: RTP synchronization source; default: a random one")
        ->check(CLI::Range(int64_t{0}, int64_t{0xffffffff}));
    encode.add_flag("--realtime", o.realtime,
                    "rtp://: send on a real-time scheduling priority (SCHED_FIFO), so that other work on "
                    "the machine does not delay departures; needs root, CAP_SYS_NICE or an rtprio limit");
    encode.add_option("--ptp-grandmaster", o.ptp_grandmaster,
                      "rtp://: the PTP grandmaster the system clock follows, its EUI-64 and domain "
                      "(39-A7-94-FF-FE-07-CB-D0:0), for the SDP's ts-refclk; default: the "
                      "sender's MAC address (localmac)")
        ->check(CLI::Validator(
            [](std::string &v) {
                static const std::regex id("^([0-9A-Fa-f]{2}-){7}[0-9A-Fa-f]{2}:[0-9]{1,3}$");
                return std::regex_match(v, id) ? std::string() : "give EUI-64:DOMAIN, 39-A7-94-FF-FE-07-CB-D0:0";
            },
            "EUI-64:DOMAIN"));
}

void add_data_and_transport_options(CLI::App &encode, EncodeOptions &o) {
    auto *data = encode.add_option("--data", o.data,
                      "AC-3 (.ac3) or E-AC-3 (.ec3) file carried as data bursts in one channel "
                      "pair of an AES3 layer (10, 11, 12); the INPUT's audio, if any, on the "
                      "other pairs");
    encode.add_option("--data-pair", o.data_pair,
                      "channel pair of the data bursts, 1 (channels 1 and 2, default) to 4")
        ->check(CLI::Range(1, 4))
        ->needs(data);
    encode.add_option("--muxrate", o.muxrate,
                      "transport stream: constant bit rate in bits/s, filled with null packets; "
                      "default for udp:// and srt://: what the channels and word length need "
                      "plus 5% (-v states it)")
        ->check(CLI::Range(int64_t{1}, int64_t{1} << 30));
    encode.add_option("--latency", o.latency_ms,
                      "transport stream: milliseconds from a frame's clock reference to its "
                      "presentation, the decoder's buffer; default for udp:// and srt://: 100")
        ->check(CLI::Range(1, 10000));
    encode.add_option("--pace", o.pace,
                      "udp:// and srt://: auto (default: audio for a file; for a pipe each "
                      "frame as it comes, never before its time in the audio), audio (datagrams "
                      "at the audio's time), none (as fast as the network takes them)")
        ->transform(one_of("pacing", {"auto", "audio", "none"}));
    encode.add_flag("-y,--overwrite", o.overwrite, kOverwriteHelp);
    add_rtp_options(encode, o);
    encode.add_flag("--hdmv-pad-last", o.hdmv_pad_last,
                    "HDMV: pack 4, 6 or 8 channels as they are; the last one is padding");
}

// The programme: the video copied beside the audio, and what a receiver or
// an authoring tool reads about the service and its tracks.
void add_programme_options(CLI::App &encode, EncodeOptions &o) {
    auto *video = encode.add_option("--video", o.video,
                                    "video track copied into the .ts, .m2ts or .vob, packets and "
                                    "times as they are; the audio starts on its first frame: any "
                                    "file libavformat reads (MPEG-2 for .vob; MPEG-2, H.264 or "
                                    "HEVC for .ts and .m2ts)");
    encode.add_option("--video-track", o.video_track,
                      "which video track of --video, 1 (default) for the first")
        ->check(CLI::Range(1, 64))
        ->needs(video);
    encode.add_option("--audio-offset", o.audio_offset,
                      "seconds from the first video frame to the audio's first sample, negative "
                      "for before it; default 0")
        ->needs(video);
    per_track(encode.add_option("--language", o.languages,
                                "ISO 639-2 language of each track, three lowercase letters: eng, "
                                "or a list: eng,fra (.ts and .m2ts)"));
    encode.add_option("--program-number", o.program_number,
                      "number of the programme in the PAT and PMT, 1 to 65535; default 1");
    encode.add_option("--video-pid", o.video_pid,
                      "PID of the video, 0x10 to 0x1FFE; default 0x1011 in .m2ts, the muxer's in .ts")
        ->needs(video);
    per_track(encode.add_option("--audio-pid", o.audio_pids,
                                "PID of each audio track, 0x10 to 0x1FFE: one for the first, the "
                                "next ones counting up, or a list; default 0x1100 up in .m2ts, "
                                "the muxer's in .ts"));
    encode.add_option("--service-name", o.service_name, "name of the service in the SDT (.ts, .m2ts)");
    encode.add_option("--service-provider", o.service_provider,
                      "provider of the service in the SDT (.ts, .m2ts)");
}

// encode's options by what they act on, in the order a command line is
// usually written: what comes in, what it becomes, what changes, where to.
struct OptionGroup {
    const char *option;
    const char *group;
};
constexpr OptionGroup kEncodeGroups[] = {
    {"--rate", "Input"},           {"--channels", "Input"},
    {"--endian", "Input"},         {"--data", "Input"},
    {"--data-pair", "Input"},      {"--target", "Target"},
    {"--video-type", "Target"},    {"--layer", "Target"},
    {"--frame-rate", "Target"},    {"--frame-rate-code", "Target"},
    {"--hdmv-layout", "Target"},   {"--channel-order", "Target"},
    {"--hdmv-pad-last", "Target"}, {"--bits", "Conversion"},
    {"--resample", "Conversion"},  {"--resample-quality", "Conversion"},
    {"--dither", "Conversion"},    {"--downmix", "Conversion"},
    {"--channel-layout", "Conversion"}, {"--output", "Output"},
    {"--container", "Output"},     {"--index", "Output"},
    {"--index-format", "Output"},  {"--verbose", "Output"},
    {"--muxrate", "Output"},       {"--latency", "Output"},
    {"--pace", "Output"},          {"--overwrite", "Output"},
    {"--st2110", "Output"},        {"--ptime", "Output"},
    {"--sdp", "Output"},           {"--payload-type", "Output"},
    {"--ssrc", "Output"},          {"--ptp-grandmaster", "Output"},
    {"--realtime", "Output"},
    {"--video", "Programme"},      {"--video-track", "Programme"},
    {"--audio-offset", "Programme"}, {"--language", "Programme"},
    {"--program-number", "Programme"}, {"--video-pid", "Programme"},
    {"--audio-pid", "Programme"},  {"--service-name", "Programme"},
    {"--service-provider", "Programme"},
};

}  // namespace

CLI::App *add_encode_command(CLI::App &app, EncodeOptions &o) {
    CLI::App *encode = app.add_subcommand("encode", kEncodeLine);
    encode->footer(kEncodeHelp);
    add_stream_options(*encode, o);
    add_raw_input_and_file_options(*encode, o);
    add_conversion_options(*encode, o);
    add_data_and_transport_options(*encode, o);
    add_programme_options(*encode, o);
    for (const OptionGroup &entry : kEncodeGroups) encode->get_option(entry.option)->group(entry.group);
    // A target named, even "default", holds the run to its rules.
    const CLI::Option *target = encode->get_option("--target");
    const CLI::Option *video_type = encode->get_option("--video-type");
    const CLI::Option *offset = encode->get_option("--audio-offset");
    std::vector<const CLI::Option *> rtp;
    for (const char *name :
         {"--st2110", "--ptime", "--sdp", "--payload-type", "--ssrc", "--ptp-grandmaster", "--realtime"})
        rtp.push_back(encode->get_option(name));
    encode->final_callback([&o, target, video_type, offset, rtp] {
        o.target_given = target->count() > 0 || video_type->count() > 0;
        for (const CLI::Option *option : rtp)
            if (option->count() > 0 && o.rtp_option_given.empty()) o.rtp_option_given = option->get_name();
        o.audio_offset_given = offset->count() > 0;
        // One track: the lists' single values are the track's.
        if (o.inputs.size() == 1) o.input = o.inputs.front();
        if (o.track_bits.size() == 1) o.bits = o.track_bits.front();
        if (o.track_layouts.size() == 1) o.hdmv_layout = o.track_layouts.front();
    });
    return encode;
}

size_t track_count(const EncodeOptions &o) { return std::max<size_t>(o.inputs.size(), 1); }

bool is_programme(const EncodeOptions &o) {
    return o.inputs.size() > 1 || !o.video.empty() || !o.languages.empty() || o.program_number >= 0 ||
           !o.audio_pids.empty() || !o.service_name.empty() || !o.service_provider.empty() ||
           o.track_bits.size() > 1 || o.track_layouts.size() > 1;
}

EncodeOptions track_options(const EncodeOptions &o, size_t track) {
    EncodeOptions t = o;
    // A list's value for the track; a single value is every track's.
    auto pick = [track](const auto &list, auto &value) {
        if (!list.empty()) value = list[list.size() == 1 ? 0 : std::min(track, list.size() - 1)];
    };
    pick(o.inputs, t.input);
    pick(o.track_bits, t.bits);
    pick(o.track_layouts, t.hdmv_layout);
    return t;
}

}  // namespace pcmtool
