// SPDX-License-Identifier: BSD-2-Clause
#include "commands/refusals.h"

#include "format/stream_format.h"
#include "settings.h"
#include "source/burst_scan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pcmtool {

namespace {

// The layers cut one frame per video frame, as a newcomer knows them.
const std::string kAes3Formats = "the AES3 formats (302M, D-10, planar)";

// The target a video type holds the run to, by its family ("the DVD
// target"); a code of no family the tool knows, as the user gave it.
std::string target_text(int video_type) {
    const char *family = video_type_family(video_type);
    if (!family) return "--video-type " + std::to_string(video_type);
    return std::string("the ") + (std::strcmp(family, "none") == 0 ? "default" : family) + " target";
}

}  // namespace

namespace {

std::string plural(int n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The rate the run would write, the input's or the one --resample gives.
std::string rate_subject(const RefusalContext &c) {
    return c.input + ": " + std::to_string(c.rate) + " Hz; ";
}

std::string rate_fix(const RefusalContext &c) {
    return c.resampled ? " (give --resample 48000)" : " (--resample 48000 converts it)";
}

// One plain line for one failed check, naming the value the user counts and
// the option that fixes it where one does.
std::string explain_refusal(int32_t code, const RefusalContext &c) {
    const int layer = c.settings.audio_layer;
    const std::string layer_title = pcmpack_format::layer_name(layer);
    const int channels = c.settings.channels_minus_one + 1;
    const std::string channel_text = c.input + ": " + plural(channels, "channel", "channels") + "; ";
    const std::string bits_text = c.input + ": " + std::to_string(c.bits) + "-bit samples; ";
    const char *const shorten = " (--bits 16 shortens them with TPDF dither)";
    switch (code) {
    case PCM_CHECK_SAMPLE_RATE:
        // The general rule takes 96000 Hz, which the AES3 layers do not.
        if (pcmpack_format::is_aes3(layer))
            return (c.resampled ? "--resample " + std::to_string(c.rate) + ": " : rate_subject(c)) +
                   kAes3Formats + " carry 48000 Hz only" +
                   (c.resampled ? "" : " (--resample 48000 converts it)");
        return rate_subject(c) + "this target needs 48000 or 96000 Hz" + rate_fix(c);
    case PCM_CHECK_CHANNELS:
        if (channels > 8) return channel_text + "at most 8 are carried";
        if (layer == PCM_LAYER_DVD_LPCM)
            return channel_text + layer_title +
                   " carries 1 or 2 channels (--downmix 2 mixes them down; HDMV LPCM, --target hdmv, "
                   "carries 5.1 and 7.1)";
        if (layer == PCM_LAYER_HDMV_LPCM)
            return c.input + ": " + plural(c.source_channels, "channel", "channels") + "; " +
                   layer_title + " carries 2, 3, 5 or 7 source channels (2.0, 3/0, 3/2, 3/4)";
        return channel_text + layer_title + " carries channel pairs: 2, 4, 6 or 8 channels";
    case PCM_CHECK_QUANTIZATION:
        if (layer == PCM_LAYER_DVD_LPCM) return bits_text + layer_title + " carries 16-bit words only" + shorten;
        return bits_text + layer_title + " carries 20- or 24-bit words (--bits 24 widens 16-bit samples exactly)";
    case PCM_CHECK_DVD_NEEDS_PCM:
        return target_text(c.video_type) + " takes DVD LPCM, not " + layer_title + " (leave --layer out)";
    case PCM_CHECK_DVDVR_SAMPLE_RATE:
        return rate_subject(c) + "DVD-VR needs 48000 Hz" + rate_fix(c);
    case PCM_CHECK_DVDVR_CHANNELS:
        return channel_text + "DVD-VR carries 1 or 2 (--downmix 2 mixes them down)";
    case PCM_CHECK_DVDVR_QUANTIZATION:
        return bits_text + "DVD-VR carries 16-bit words only" + shorten;
    case PCM_CHECK_DVHS_SAMPLE_RATE:
        return rate_subject(c) + "DVHS needs 48000 Hz" + rate_fix(c);
    case PCM_CHECK_DVHS_CHANNELS:
        return channel_text + "DVHS carries 2 (--downmix 2 mixes them down)";
    case PCM_CHECK_DVHS_QUANTIZATION:
        return bits_text + "DVHS carries 16-bit words only" + shorten;
    case PCM_CHECK_VCD_NEEDS_MPEG:
    case PCM_CHECK_SVCD_NEEDS_MPEG:
    case PCM_CHECK_HDV_NEEDS_MPEG:
        return target_text(c.video_type) + " needs MPEG audio, which pcmpack does not write";
    default:
        return "the settings do not suit " + target_text(c.video_type) + ": " +
               pcmOutAudioCheckText(code);
    }
}

// The property a failed check is about, and a value of it that every layer
// and target accepts, so that the check can run on to the next rule.
enum class Property { rate, channels, words, mute, emphasis };

struct CheckProperty {
    int32_t code;
    Property property;
};

constexpr CheckProperty kCheckProperties[] = {
    {PCM_CHECK_SAMPLE_RATE, Property::rate},
    {PCM_CHECK_DVDVR_SAMPLE_RATE, Property::rate},
    {PCM_CHECK_DVHS_SAMPLE_RATE, Property::rate},
    {PCM_CHECK_CHANNELS, Property::channels},
    {PCM_CHECK_DVDVR_CHANNELS, Property::channels},
    {PCM_CHECK_DVHS_CHANNELS, Property::channels},
    {PCM_CHECK_QUANTIZATION, Property::words},
    {PCM_CHECK_DVDVR_QUANTIZATION, Property::words},
    {PCM_CHECK_DVHS_QUANTIZATION, Property::words},
    {PCM_CHECK_MUTE, Property::mute},
    {PCM_CHECK_EMPHASIS, Property::emphasis},
    {PCM_CHECK_DVHS_EMPHASIS, Property::emphasis},
};

// Sets the property a failed check is about to an accepted value; false for
// a check no property value passes (the layer, or audio pcmpack does not
// write), after which the remaining rules say nothing useful.
bool accept_property(int32_t code, pcm_a_settings &s, int &rate) {
    for (const CheckProperty &row : kCheckProperties) {
        if (row.code != code) continue;
        switch (row.property) {
        case Property::rate: rate = 48000; return true;
        case Property::channels: s.channels_minus_one = 1; return true;
        // D-10 takes no 16-bit words; every other layer takes them.
        case Property::words:
            s.quantization = s.audio_layer == PCM_LAYER_AES3_D10 ? PCM_QUANT_20 : PCM_QUANT_16;
            return true;
        case Property::mute: s.mute_flag = 0; return true;
        case Property::emphasis: s.emphasis = 0; return true;
        }
    }
    return false;
}

// Every check the settings fail, in the library's rule order. The library
// returns one code per check, so each failed property is given an accepted
// value and the check runs again, until the settings pass or a check fails
// that no property value passes.
std::vector<int32_t> failed_checks(pcm_a_settings s, int video_type, int rate) {
    std::vector<int32_t> codes;
    for (;;) {
        const int32_t code = pcmOutAudioCheckSettings(&s, video_type, rate);
        // A code seen before means the accepted value was not accepted:
        // stop rather than report it twice.
        if (code == PCM_CHECK_OK || std::find(codes.begin(), codes.end(), code) != codes.end()) break;
        codes.push_back(code);
        if (!accept_property(code, s, rate)) break;
    }
    return codes;
}

// Whether a failed check is about the sample rate.
bool about_rate(int32_t code) {
    for (const CheckProperty &row : kCheckProperties)
        if (row.code == code) return row.property == Property::rate;
    return false;
}

}  // namespace

std::string layer_text(int layer) { return pcmpack_format::layer_name(layer); }



void refuse(const std::vector<std::string> &problems) {
    std::string text = problems.front();
    for (size_t i = 1; i < problems.size(); ++i) text += "\npcmpack: " + problems[i];
    throw Failure(text);
}

std::string no_input_refusal() {
    return "encode needs an INPUT (an audio file, or '-'), or --data with compressed audio";
}

std::string no_preset_refusal(int video_type) {
    const char *family = video_type_family(video_type);
    return "--video-type " + std::to_string(video_type) + (family ? std::string(" (") + family + ")" : "") +
           " has no preset; give --layer (see `pcmpack presets`)";
}

void refuse_options_that_do_not_apply(const EncodeOptions &o, int layer, bool network) {
    const bool aes3 = pcmpack_format::is_aes3(layer);
    const bool rate_given = !o.frame_rate.empty() || o.frame_rate_code != 0;
    if (rate_given && !aes3)
        throw Failure(std::string(!o.frame_rate.empty() ? "--frame-rate" : "--frame-rate-code") +
                      " applies to " + kAes3Formats + " only; " + layer_text(layer) +
                      (layer == PCM_LAYER_HDMV_LPCM ? " has frames of 1/200 s" : " has frames of 1/600 s") +
                      " whatever the video");
    if (!o.data.empty() && !aes3)
        throw Failure("--data carries data bursts in an AES3 channel pair: " + kAes3Formats + " only; " +
                      layer_text(layer) + " carries no AES3 words");
    if (o.hdmv_pad_last && layer != PCM_LAYER_HDMV_LPCM)
        throw Failure("--hdmv-pad-last applies to HDMV LPCM only, not to " + layer_text(layer));
    if (network && layer != PCM_LAYER_AES3_302M)
        throw Failure(o.output + ": the network carries SMPTE 302M, the format with a "
                      "transport-stream mapping for contribution, not " + layer_text(layer));
    if (network && !o.container.empty() && o.container != "ts")
        throw Failure(o.output + ": the network carries an MPEG transport stream (--container ts), "
                      "not --container " + o.container);
    if (!network && !o.pace.empty())
        throw Failure("--pace applies to a udp:// or srt:// output only");
}

std::string frame_rate_mistake(const std::string &frame_rate) {
    const std::string near = frame_rates_near(frame_rate);
    if (!near.empty()) return frame_rate + " is no frame rate; did you mean " + near + "?";
    return frame_rate + " is no frame rate; use " + frame_rate_list() + " (or --frame-rate-code 1..8)";
}

std::string unknown_frame_rate_refusal(const std::string &frame_rate) {
    return "--frame-rate: " + frame_rate_mistake(frame_rate);
}

std::string missing_frame_rate_refusal(int layer) {
    return std::string(pcmpack_format::layer_name(layer)) +
           " is cut one frame per video frame: give --frame-rate (" + frame_rate_list() + ")";
}

std::string no_word_length_refusal(const std::string &input, const std::string &format) {
    return input + ": " + format +
           " samples have no word length the layers carry; choose one with --bits 16, 20 or 24";
}

std::string d10_cuts_data_refusal() {
    return "--data: D-10 AES3 carries 20 bits of each 24-bit word, which would cut "
           "every burst of the 24-bit mode; give --bits 16 or 20";
}

std::string transport_option_refusal(const EncodeOptions &o, const char *container_title) {
    return std::string(o.muxrate ? "--muxrate" : "--latency") +
           " applies to a transport stream of 302M (.ts, udp://, srt://), not to " + container_title;
}

std::string muxrate_too_low_refusal(int64_t muxrate, int channels, int bits, int64_t needed) {
    return "--muxrate " + std::to_string(muxrate) + ": " + std::to_string(channels) + " channels of " +
           std::to_string(bits) + "-bit words need at least " + std::to_string(needed) +
           " bits/s in a transport stream";
}

std::string video_rate_not_carried_refusal(const std::string &video, int64_t num, int64_t den, int layer) {
    std::string rates;
    for (int code : frame_rate_codes()) {
        const pcmpack_format::FrameRate *r = pcmpack_format::frame_rate(code);
        rates += (rates.empty() ? "" : ", ") + frame_rate_text(r->num, r->den);
    }
    return video + ": " + frame_rate_text(num, den) + " frames a second; " + pcmpack_format::layer_name(layer) +
           " is cut one frame per video frame, at " + rates + " only";
}

std::string video_rate_differs_refusal(const EncodeOptions &o, int given_code, const std::string &video,
                                       int video_code) {
    const pcmpack_format::FrameRate *given = pcmpack_format::frame_rate(given_code);
    const pcmpack_format::FrameRate *ran = pcmpack_format::frame_rate(video_code);
    const std::string option = o.frame_rate.empty() ? "--frame-rate-code " + std::to_string(o.frame_rate_code)
                                                    : "--frame-rate " + o.frame_rate;
    return option + ": " + video + " runs at " + frame_rate_text(ran->num, ran->den) + " frames a second, not " +
           frame_rate_text(given->num, given->den) +
           "; the audio's frames fall on the video's (leave --frame-rate out to take its rate)";
}

namespace {

template <class T>
std::string joined(const std::vector<T> &list, const char *format) {
    std::string text;
    for (const T &value : list) {
        char item[64];
        std::snprintf(item, sizeof item, format, value);
        text += (text.empty() ? "" : ",") + std::string(item);
    }
    return text;
}

std::vector<const char *> c_strings(const std::vector<std::string> &list) {
    std::vector<const char *> items;
    for (const std::string &item : list) items.push_back(item.c_str());
    return items;
}

// A per-track list names one value for every track, or one per track.
void refuse_list_lengths(const EncodeOptions &o, std::vector<std::string> &problems) {
    const size_t tracks = track_count(o);
    const struct {
        const char *option;
        size_t values;
        std::string text;
        const char *fix;
    } rows[] = {
        {"--bits", o.track_bits.size(), joined(o.track_bits, "%d"), "one for every track"},
        {"--hdmv-layout", o.track_layouts.size(), joined(c_strings(o.track_layouts), "%s"), "one for every track"},
        {"--language", o.languages.size(), joined(c_strings(o.languages), "%s"), "one for every track"},
        {"--audio-pid", o.audio_pids.size(), joined(o.audio_pids, "0x%X"), "the first (the others count up)"},
    };
    for (const auto &row : rows)
        if (row.values > 1 && row.values != tracks)
            problems.push_back(std::string(row.option) + " " + row.text + ": " +
                               plural(int(row.values), "value", "values") + " for " +
                               plural(int(tracks), "INPUT", "INPUTs") + "; give " + row.fix + " or one per track");
}

// What one track's run does alone: its data pair, its index, the network.
void refuse_one_track_options(const EncodeOptions &o, std::vector<std::string> &problems) {
    if (o.inputs.size() < 2) return;
    const std::string several = "; it takes one INPUT, not " + std::to_string(o.inputs.size());
    if (!o.data.empty()) problems.push_back("--data fills a channel pair of one track's AES3 words" + several);
    if (!o.index.empty()) problems.push_back("--index lists the frames of one track's stream" + several);
    if (std::count(o.inputs.begin(), o.inputs.end(), "-") > 1)
        problems.push_back("standard input ('-') can be only one of the INPUTs");
}

// A program stream numbers its audio streams in input order and has no
// tables that name a service or a language.
void refuse_program_stream_options(const EncodeOptions &o, std::vector<std::string> &problems) {
    const std::string none = " applies to a transport stream (.ts, .m2ts); a DVD program stream has no ";
    if (!o.languages.empty())
        problems.push_back("--language: a DVD program stream carries no language; DVD-Video keeps each audio "
                           "stream's language in the IFO, which dvdauthor writes from its XML (<audio "
                           "lang=\"en\"/>, one for each track in INPUT order)");
    if (o.program_number >= 0) problems.push_back("--program-number" + none + "program tables");
    if (!o.service_name.empty()) problems.push_back("--service-name" + none + "service description");
    if (!o.service_provider.empty()) problems.push_back("--service-provider" + none + "service description");
}

}  // namespace

std::vector<std::string> programme_option_refusals(const EncodeOptions &o, Container container, bool network) {
    std::vector<std::string> problems;
    refuse_list_lengths(o, problems);
    // A list for one INPUT asks for no programme; its length is the mistake.
    if (!problems.empty() && o.inputs.size() < 2) return problems;
    refuse_one_track_options(o, problems);
    const char *const programme = "several INPUTs, --video, --language, --program-number, --audio-pid and the "
                                  "service options";
    if (network)
        problems.push_back(o.output + ": the network carries one 302M track alone; " + programme +
                           " need a .ts file");
    else if (container == Container::elementary)
        problems.push_back(display_name(o.output, true) + ": an elementary stream carries one audio track alone; " +
                           programme + " need a container: .ts, .m2ts or .vob (or --container ts|m2ts|ps)");
    else if (container == Container::program)
        refuse_program_stream_options(o, problems);
    return problems;
}

std::string programme_muxrate_refusal(int64_t muxrate, size_t tracks, bool video, int64_t needed) {
    return "--muxrate " + std::to_string(muxrate) + ": " + plural(int(tracks), "audio track", "audio tracks") +
           (video ? " and the video at its stated peak" : "") + " need at least " + std::to_string(needed) +
           " bits/s in a transport stream";
}

std::vector<std::string> settings_refusals(int32_t code, const RefusalContext &context) {
    std::vector<int32_t> codes;
    if (code != PCM_CHECK_OK) codes = failed_checks(context.settings, context.video_type, context.rate);
    if (code != PCM_CHECK_OK && codes.empty()) codes.push_back(code);
    // The AES3 layers carry 48000 Hz only, a rule of the tool's frame cut
    // that the library's general rule (48000 or 96000) leaves to it.
    if (pcmpack_format::is_aes3(context.settings.audio_layer) && context.rate != 48000 &&
        std::none_of(codes.begin(), codes.end(), about_rate))
        codes.push_back(PCM_CHECK_SAMPLE_RATE);
    std::vector<std::string> problems;
    for (int32_t failed : codes) problems.push_back(explain_refusal(failed, context));
    return problems;
}

std::string word_change(const WordPlan &w, size_t pair, int mode) {
    if (!w.downmix.empty())
        return "--downmix " + w.downmix + " would mix them with the other channels (leave out --downmix to keep them)";
    if (w.rate != w.source_rate)
        return "resampling to " + std::to_string(w.rate) +
               " Hz would change their words (leave out --resample to keep them)";
    // D-10 keeps 20 bits of a 24-bit word whatever --bits says.
    if (w.layer == PCM_LAYER_AES3_D10 && mode == 24)
        return "D-10 AES3 carries 20 bits of each 24-bit word, which would cut every burst of "
               "the 24-bit mode (--layer 10 for SMPTE 302M or --layer 12 for planar AES3 keeps them)";
    if (w.bits < mode)
        return std::to_string(w.bits) + "-bit words would cut the bursts' " + std::to_string(mode) +
               "-bit words (--bits " + std::to_string(mode) + " keeps them)";
    if (w.dither) return "TPDF dither would change their words (--dither none keeps them)";
    if (pair < w.split.size() && w.split[pair])
        return "the channel order of " + w.order + " would split the pair" +
               (w.layer == PCM_LAYER_HDMV_LPCM ? " (--channel-order keep keeps it)" : "");
    return {};
}

std::string refuse_bursts(const std::string &input, size_t pair, uint32_t data_type, int mode,
                          double seconds, const std::string &why) {
    char from[48];
    std::snprintf(from, sizeof from, " from %.3f s", seconds);
    return input + ": channels " + std::to_string(2 * pair + 1) + " and " + std::to_string(2 * pair + 2) +
           " (pair " + std::to_string(pair + 1) + ") hold " + describe_bursts(data_type, mode) +
           " data bursts" + from + ", which are carried word for word: " + why;
}

}  // namespace pcmtool
