// SPDX-License-Identifier: BSD-2-Clause
// What encode says when it refuses a run, in the user's terms: the value the
// user counts (channels, bits, hertz), the rule it breaks, and the option
// that fixes it where one does. The plan (encode_plan.h) decides; the words
// are here, one place for all of them.
#pragma once

#include "commands/encode_options.h"
#include "common.h"
#include "containers/container.h"

#include <pcmpack.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

// "DVD LPCM": a layer as refusals name it, by its format (its number is
// for -v, --json and the manual).
std::string layer_text(int layer);

// One message for every refusal of a run, one line each; main() puts
// "pcmpack: " before the first.
[[noreturn]] void refuse(const std::vector<std::string> &problems);

// --- the options --------------------------------------------------------------

std::string no_input_refusal();
std::string no_preset_refusal(int video_type);
// Options that apply to other layers or outputs only are refused, not
// ignored.
void refuse_options_that_do_not_apply(const EncodeOptions &o, int layer, bool network);
// "29.9 is no frame rate; did you mean 29.97?", or the rates when none is
// near; the refusal names --frame-rate before it.
std::string frame_rate_mistake(const std::string &frame_rate);
std::string unknown_frame_rate_refusal(const std::string &frame_rate);
std::string missing_frame_rate_refusal(int layer);
std::string no_word_length_refusal(const std::string &input, const std::string &format);
std::string d10_cuts_data_refusal();
std::string transport_option_refusal(const EncodeOptions &o, const char *container_title);
std::string muxrate_too_low_refusal(int64_t muxrate, int channels, int bits, int64_t needed);
std::string programme_muxrate_refusal(int64_t muxrate, size_t tracks, bool video, int64_t needed);

// --- the programme ------------------------------------------------------------

// A video whose frame rate the AES3 layers have no cadence for, and a
// --frame-rate (or --frame-rate-code) that is not the video's.
std::string video_rate_not_carried_refusal(const std::string &video, int64_t num, int64_t den, int layer);
std::string video_rate_differs_refusal(const EncodeOptions &o, int given_code, const std::string &video,
                                       int video_code);

// Every rule the options of a programme break, one line each: a list of
// values for another number of tracks, an option of one track given several,
// what the container takes no part of. The PIDs, program number and
// languages themselves the container's check judges.
std::vector<std::string> programme_option_refusals(const EncodeOptions &o, Container container, bool network);

// --- the settings, as the library checks them -------------------------------

// What a refusal says about the run: the input's channels, bits and rate as
// the user gave or converted them.
struct RefusalContext {
    const std::string &input;
    const pcm_a_settings &settings;
    int video_type;
    int rate;
    int source_channels;
    int bits;
    bool resampled;  // the rate is --resample's, not the input's
};

// One plain line for each rule the settings break, in the library's rule
// order, given the code the library's check returned; none when it passed.
std::vector<std::string> settings_refusals(int32_t code, const RefusalContext &context);

// --- data bursts in the source's channel pairs -------------------------------

// What a run does to the words of the source's channel pairs.
struct WordPlan {
    bool dither = false;  // TPDF dither reaches the words
    int source_rate = 0;
    int rate = 0;         // of the output
    int bits = 0;         // of the output words
    int layer = 0;
    std::vector<bool> split;  // by source pair: the channel order parts its two words
    std::string order;        // whose channel order: "HDMV 5.1", or the layer
    std::string downmix;      // --downmix's mix, which takes in every channel; "": none
};

// Why the run would change the words of a source pair's bursts of `mode`
// bits, and the option that keeps them; empty when they pass untouched.
std::string word_change(const WordPlan &w, size_t pair, int mode);

// The refusal of a pair that holds bursts the run would change.
std::string refuse_bursts(const std::string &input, size_t pair, uint32_t data_type, int mode,
                          double seconds, const std::string &why);

}  // namespace pcmtool
