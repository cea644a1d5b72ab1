// SPDX-License-Identifier: BSD-2-Clause
#include "commands/unpack_options.h"

#include "commands/command_line.h"

#include <CLI/CLI.hpp>

namespace pcmtool {

namespace {

// The command's line in `pcmpack --help`, which a reader scans for the
// command that does the job; its help below is its whole story.
const char *const kUnpackLine = "Turn a stream back into a WAV file";

const char *const kUnpackHelp =
    "Turn a stream back into a WAV file (16-bit, or 24-bit for 20- and 24-bit\n"
    "streams). HDMV mono, 5.1 and 7.1 come back as the source's channels, in WAV\n"
    "order with their channel mask; the other layouts keep every coded channel, also\n"
    "the padding channel of 3/0, 3/2 and 3/4. A stream with an inconsistency is\n"
    "refused and no file is written. A transport, BDAV or program stream gives back\n"
    "its audio track. --data-out alone writes a pair's data bursts and no WAV.\n"
    "A udp:// or srt:// URL is recorded until --duration, SIGINT or SIGTERM; a frame\n"
    "lost on the way becomes silence of its length, and the status 1.\n"
    "An ST 2110-30 or -31 stream, from its SDP file or an rtp:// URL, is recorded\n"
    "the same way, datagrams that came out of order put back in place.\n"
    "\n"
    "Examples:\n"
    "  pcmpack unpack movie.m2ts -o back.wav\n"
    "  pcmpack unpack mix.ts -o back.wav --data-out sound.ac3 --data-pair 2\n"
    "  pcmpack unpack udp://@:5000 -o capture.wav --duration 60    # record\n"
    "  pcmpack unpack session.sdp -o capture.wav --data-out sound.ac3 --data-pair 2 --duration 10";

}  // namespace

CLI::App *add_unpack_command(CLI::App &app, UnpackOptions &o) {
    CLI::App *unpack = app.add_subcommand("unpack", kUnpackLine);
    unpack->footer(kUnpackHelp);
    add_stream_argument(*unpack, o.input);
    unpack->add_option("-o,--output", o.output, "WAV file to write (-o, --data-out or both)");
    unpack->add_flag("-y,--overwrite", o.overwrite, kOverwriteHelp);
    add_track_option(*unpack, o.track);
    auto *data_out = unpack->add_option("--data-out", o.data_out,
                       "write the payloads of one channel pair's data bursts (AC-3, E-AC-3, "
                       "Dolby E...) as a raw stream; the WAV keeps every channel");
    unpack->add_option("--duration", o.duration, "live stream: seconds to record; default until SIGINT or SIGTERM")
        ->check(CLI::Range(0.1, kLongestWatch));
    unpack->add_option("--data-pair", o.data_pair,
                       "channel pair of --data-out, 1 (channels 1 and 2, default) to 4")
        ->check(CLI::Range(1, 4))
        ->needs(data_out);
    add_rtp_options(*unpack, o.rtp);
    return unpack;
}

}  // namespace pcmtool
