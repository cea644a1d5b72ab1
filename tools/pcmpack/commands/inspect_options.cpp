// SPDX-License-Identifier: BSD-2-Clause
#include "commands/inspect_options.h"

#include "commands/command_line.h"

#include <CLI/CLI.hpp>

namespace pcmtool {

namespace {

// The command's line in `pcmpack --help`, which a reader scans for the
// command that does the job; its help below is its whole story.
const char *const kInspectLine = "Check a stream frame by frame and summarise it";

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
    "An ST 2110-30 or -31 stream, from its SDP file or an rtp:// URL, is watched\n"
    "likewise: datagrams lost, duplicated, out of order or late, the packet time,\n"
    "the offset of arrival from each packet's sampling instant on the media clock\n"
    "(CLOCK_TAI), and each channel pair as PCM or data bursts.\n"
    "\n"
    "Examples:\n"
    "  pcmpack inspect movie.m2ts\n"
    "  pcmpack inspect mix.ts --frames    # one line per frame\n"
    "  pcmpack inspect audio.vob --json\n"
    "  pcmpack inspect udp://@:5000 --duration 60\n"
    "  pcmpack inspect 'srt://:9000?mode=listener' --json\n"
    "  pcmpack inspect session.sdp --duration 10\n"
    "  pcmpack inspect rtp://127.0.0.1:5004 --st2110 31 --channels 8";

}  // namespace

CLI::App *add_inspect_command(CLI::App &app, InspectOptions &o) {
    CLI::App *inspect = app.add_subcommand("inspect", kInspectLine);
    inspect->footer(kInspectHelp);
    add_stream_argument(*inspect, o.input);
    inspect->add_flag("--frames", o.frames, "one line per frame: number, offset, size, sample periods, "
                      "cadence step (blank without a cadence), timestamp in ticks and seconds");
    inspect->add_flag("--json", o.json, "machine-readable output");
    add_track_option(*inspect, o.track);
    inspect->add_option("--every", o.every, "live stream: seconds between lines; default 1")
        ->check(CLI::Range(0.1, 3600.0));
    inspect->add_option("--duration", o.duration,
                        "live stream: seconds to watch; default until SIGINT or SIGTERM")
        ->check(CLI::Range(0.1, kLongestWatch));
    inspect->add_flag("--fail-fast", o.fail_fast, "live stream: end with status 1 at the first fault");
    add_rtp_options(*inspect, o.rtp);
    return inspect;
}

}  // namespace pcmtool
