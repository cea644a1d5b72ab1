// SPDX-License-Identifier: BSD-2-Clause
// encode's command line: what it is asked to do, the options and rules that
// say it, and the command that does it.
#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace pcmtool {

struct EncodeOptions {
    std::string input;
    std::string output;
    std::string target = "default";
    bool target_given = false;  // --target or --video-type named one
    int video_type = -1;  // -1: take the target's
    int layer = 0;        // 0: the preset's
    int bits = 0;         // 0: the source's word length
    std::string frame_rate;
    int frame_rate_code = 0;  // --frame-rate-code: the MPEG code 1..8
    int rate = 0;  // raw input only
    int channels = 0;
    std::string endian;  // raw input only: "little" or "big"
    std::string container;  // "": from the output's extension
    std::string index;
    std::string index_format = "csv";
    bool hdmv_pad_last = false;
    int resample = 0;  // 0: keep the source's rate
    std::string resample_quality = "very-high";
    std::string dither;  // "": tpdf, or none when a pair of the source holds data bursts
    bool verbose = false;
    std::string channel_order = "auto";  // or "keep"
    std::string hdmv_layout = "auto";    // auto, 5.1, 7.1, mono, library
    std::string data;   // --data: AC-3 or E-AC-3 frames to carry as data bursts
    int data_pair = 1;  // --data-pair: 1-based channel pair of the bursts
    int64_t muxrate = 0;   // --muxrate: constant transport bit rate; 0: not given
    int latency_ms = -1;   // --latency: clock reference to presentation; -1: not given
    std::string pace;      // --pace: auto, audio or none; "": not given
    bool overwrite = false;  // -y: replace existing files without asking
};

// Adds `encode` with its options, bound to `options`, and the rules
// between them to the tool's command line; returns the command.
CLI::App *add_encode_command(CLI::App &app, EncodeOptions &options);

// Runs `encode`; a Failure names what went wrong.
int run_encode(const EncodeOptions &options);

}  // namespace pcmtool
