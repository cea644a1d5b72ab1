// SPDX-License-Identifier: BSD-2-Clause
// unpack's command line: what it is asked to do, the options and rules that
// say it, and the command that does it.
#pragma once

#include "commands/rtp_stream.h"

#include <string>

namespace CLI {
class App;
}

namespace pcmtool {

struct UnpackOptions {
    std::string input;
    std::string output;
    int track = 0;  // --track: 1-based; 0 = not given
    std::string data_out;  // --data-out: the payloads of a pair's data bursts
    int data_pair = 1;     // --data-pair: 1-based
    double duration = 0;   // --duration: seconds of a live input recorded; 0: not given
    bool overwrite = false;  // -y: replace existing files without asking
    RtpOptions rtp;  // an rtp:// URL's stream
};

// Adds `unpack` with its options, bound to `options`, and the rules
// between them to the tool's command line; returns the command.
CLI::App *add_unpack_command(CLI::App &app, UnpackOptions &options);

// Runs `unpack`; a Failure names what went wrong.
int run_unpack(const UnpackOptions &options);
// unpack of an ST 2110-30 or -31 stream, from its SDP file or an rtp:// URL.
int run_rtp_unpack(const UnpackOptions &options);

}  // namespace pcmtool
