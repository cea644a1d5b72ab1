// SPDX-License-Identifier: BSD-2-Clause
// encode's command line: what it is asked to do, the options and rules that
// say it, and the command that does it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace pcmtool {

struct EncodeOptions {
    // Every INPUT, one audio track each, in order; `input`, `bits` and
    // `hdmv_layout` below are those of the one track a plan is made for.
    std::vector<std::string> inputs;
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
    std::string downmix;         // --downmix: "2" or "5.1"; "": the source's channels
    std::string channel_layout;  // --channel-layout: the source's speakers; "": its mask's
    std::string data;   // --data: AC-3 or E-AC-3 frames to carry as data bursts
    int data_pair = 1;  // --data-pair: 1-based channel pair of the bursts
    int64_t muxrate = 0;   // --muxrate: constant transport bit rate; 0: not given
    int latency_ms = -1;   // --latency: clock reference to presentation; -1: not given
    std::string pace;      // --pace: auto, audio or none; "": not given
    bool overwrite = false;  // -y: replace existing files without asking

    // rtp:// only: ST 2110 audio over RTP.
    int st2110 = 30;              // --st2110: 30 (L16, L24) or 31 (AM824)
    std::string ptime = "1ms";    // --ptime: 1ms or 125us
    std::string sdp;              // --sdp: the session description's file
    int payload_type = 97;        // --payload-type
    int64_t ssrc = -1;            // --ssrc; -1: a random one
    std::string ptp_grandmaster;  // --ptp-grandmaster: EUI-64:domain for the SDP's ts-refclk
    bool realtime = false;        // --realtime: the sender on a real-time priority
    std::string rtp_option_given;  // the first of the options above on the command line; "": none

    // Per track: one value for every track, or one per track; empty: the
    // single value above.
    std::vector<int> track_bits;
    std::vector<std::string> track_layouts;
    std::vector<std::string> languages;  // ISO 639-2, three lowercase letters

    // The programme: video copied beside the audio, and its service data.
    std::string video;     // --video: a file libavformat reads; "": audio alone
    int video_track = 0;   // 1-based among the video's tracks; 0: not given (the first)
    double audio_offset = 0;  // seconds from the first video frame to the audio's first sample
    bool audio_offset_given = false;
    int program_number = -1;  // -1: not given (1)
    int video_pid = -1;       // -1: not given, the container's default
    std::vector<int> audio_pids;
    std::string service_name, service_provider;
    // The video's frame rate, as planning found it: the AES3 layers take it
    // when --frame-rate is left out, and refuse a --frame-rate that differs.
    struct VideoRate {
        std::string name;      // the video file, for messages; "": no video
        int64_t num = 0, den = 1;
    } video_rate;
};

// Whether the run writes a programme (several tracks, video or service
// data) rather than a single audio track as the tool always has.
bool is_programme(const EncodeOptions &options);

// The options of one track, `track` 0-based: its INPUT and its values of
// the per-track lists.
EncodeOptions track_options(const EncodeOptions &options, size_t track);

// The number of tracks the options name: the INPUTs, or one.
size_t track_count(const EncodeOptions &options);

// Adds `encode` with its options, bound to `options`, and the rules
// between them to the tool's command line; returns the command.
CLI::App *add_encode_command(CLI::App &app, EncodeOptions &options);

// Runs `encode`; a Failure names what went wrong.
int run_encode(const EncodeOptions &options);

}  // namespace pcmtool
