// SPDX-License-Identifier: BSD-2-Clause
#include "settings.h"

#include "format/stream_format.h"

#include <pcmpack.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace pcmtool {

namespace {

using pcmpack_format::FrameRate;

// Every MPEG frame rate, in code order.
struct FrameRates {
    const FrameRate *begin() const { return pcmpack_format::frame_rates_begin(); }
    const FrameRate *end() const { return pcmpack_format::frame_rates_end(); }
};
constexpr FrameRates kFrameRates;

// Every layer, in code order.
constexpr int kLayers[] = {
    pcmpack_format::kLayerDvd,     // DVD LPCM
    pcmpack_format::kLayer302m,    // SMPTE 302M
    pcmpack_format::kLayerD10,     // D-10 AES3
    pcmpack_format::kLayerPlanar,  // planar AES3
    pcmpack_format::kLayerHdmv,    // HDMV LPCM
};

// Each target by the name the tool prints, the family a user knows it by
// (for the refusal that suggests it), and the other words users write for
// it. Every list of targets (--target's check, its help, `presets`) is read
// from here.
struct Target {
    const char *name;
    int video_type;
    const char *title;        // "": the name says it
    const char *aliases[2];   // nullptr: none
};

constexpr Target kTargets[] = {
    {"default", PCM_VIDEO_TYPE_DEFAULT, "302M for broadcast", {"302m", "broadcast"}},  // no target rules
    {"dvd", PCM_VIDEO_TYPE_DVD, "", {}},                                // DVD LPCM
    {"hdmv", PCM_VIDEO_TYPE_HDMV, "Blu-ray", {"bluray", "bd"}},         // HDMV LPCM
    {"xdcam", PCM_VIDEO_TYPE_XDCAM, "", {}},                            // planar AES3
    {"xdcam-imx", PCM_VIDEO_TYPE_XDCAM_IMX, "", {}},                    // SMPTE 302M
};

// Video types held to target rules, by the names of those rules. Whether a
// code also has a preset is the library's to say: DVD-VR's have one; VCD,
// SVCD, DVHS and HDV have none.
constexpr VideoTypeFamily kRuleFamilies[] = {
    {1, 1, "VCD", false},
    {3, 3, "SVCD", false},
    {10, 10, "DVHS", false},
    {14, 15, "DVD-VR", false},
    {18, 19, "HDV", false},
};

// The family of every other video type with a preset, by the name the
// library gives the preset. XDCAM's codes 41-43 and 65808-65810 take DVD
// LPCM, and are XDCAM's all the same.
struct PresetFamily {
    const char *preset;
    const char *family;
};
constexpr PresetFamily kPresetFamilies[] = {
    {"Default, PCM Audio", "none"},  // SMPTE 302M held to no video type's rules
    {"DVD, PCM Audio", "DVD"},
    {"XDCAM IMX, PCM Audio", "XDCAM IMX"},
    {"XDCAM, PCM Audio", "XDCAM"},
    {"HDMV, LPCM Audio", "HDMV"},
};

bool has_preset(int video_type) {
    pcm_a_settings settings;
    return pcmOutAudioDefaults(&settings, video_type) != nullptr;
}

// Digits of each number in a frame rate. A decimal of 9 digits, scaled by
// its 6 decimals and compared with a rate over 1001, stays below 2^63: the
// comparisons below cannot overflow, and no frame rate needs more.
constexpr size_t kMaxDigits = 9;
static_assert(999999999999999LL < INT64_MAX / 1001 / 2, "frame rate comparisons fit in 64 bits");

// A non-negative integer of at most kMaxDigits digits; false for anything
// else.
bool parse_digits(const std::string &text, long long *value) {
    if (text.empty() || text.size() > kMaxDigits) return false;
    long long v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

}  // namespace

int target_video_type(const std::string &target) {
    for (const Target &t : kTargets) {
        if (target == t.name) return t.video_type;
        for (const char *alias : t.aliases)
            if (alias && target == alias) return t.video_type;
    }
    return PCM_VIDEO_TYPE_DEFAULT;
}

std::vector<TargetName> target_names() {
    std::vector<TargetName> names;
    for (const Target &t : kTargets) {
        TargetName name{t.name, t.title, {}};
        for (const char *alias : t.aliases)
            if (alias) name.aliases.push_back(alias);
        names.push_back(name);
    }
    return names;
}

std::string target_list(bool video_types) {
    std::string text;
    for (const Target &t : kTargets) {
        std::string about = video_types ? "video type " + std::to_string(t.video_type) : "";
        if (*t.title) about += (about.empty() ? "" : ", ") + std::string(t.title);
        std::string also;
        for (const char *alias : t.aliases)
            if (alias) also += (also.empty() ? "also " : ", ") + std::string(alias);
        if (!also.empty()) about += (about.empty() ? "" : "; ") + also;
        text += (text.empty() ? "" : ", ") + std::string(t.name) + (about.empty() ? "" : " (" + about + ")");
    }
    return text;
}

const char *video_type_family(int video_type) {
    for (const VideoTypeFamily &f : kRuleFamilies)
        if (video_type >= f.first && video_type <= f.last) return f.name;
    pcm_a_settings settings;
    const char *preset = pcmOutAudioDefaults(&settings, video_type);
    if (!preset) return nullptr;
    for (const PresetFamily &f : kPresetFamilies)
        if (std::strcmp(preset, f.preset) == 0) return f.family;
    return nullptr;
}

std::vector<VideoTypeFamily> families_without_preset() {
    std::vector<VideoTypeFamily> families;
    for (VideoTypeFamily f : kRuleFamilies) {
        for (int code = f.first; code <= f.last; ++code) f.preset = f.preset || has_preset(code);
        if (!f.preset) families.push_back(f);
    }
    return families;
}

// "25", "25.0", "25/1", "24000/1001", "23.976", "23.98": a fraction equal
// to the rate, or a decimal equal to it or, with two or more decimals, equal
// to it rounded to as many decimals (so "24" never means 24000/1001).
int parse_frame_rate(const std::string &text) {
    const size_t slash = text.find('/');
    const size_t point = text.find('.');
    long long num = 0, den = 1;
    int decimals = 0;
    if (slash != std::string::npos) {
        if (!parse_digits(text.substr(0, slash), &num) || !parse_digits(text.substr(slash + 1), &den) || den == 0)
            return 0;
    } else if (point != std::string::npos) {
        const std::string whole = text.substr(0, point), fraction = text.substr(point + 1);
        long long w = 0, f = 0;
        if (!parse_digits(whole, &w) || !parse_digits(fraction, &f) || fraction.size() > 6) return 0;
        decimals = static_cast<int>(fraction.size());
        den = 1;
        for (int i = 0; i < decimals; ++i) den *= 10;
        num = w * den + f;
    } else if (!parse_digits(text, &num)) {
        return 0;
    }
    for (const FrameRate &r : kFrameRates)
        if (num * r.den == r.num * den) return r.code;
    if (decimals >= 2) {
        for (const FrameRate &r : kFrameRates) {
            // r rounded to `decimals` places, half up, in units of 1/den.
            const long long rounded = (r.num * den * 2 + r.den) / (2 * r.den);
            if (rounded == num) return r.code;
        }
    }
    return 0;
}

std::string frame_rates_near(const std::string &text) {
    // "29,97", "25fps", "23.9", "30000/1000": the number it starts with, a
    // comma read as the decimal point.
    std::string number = text;
    for (char &c : number)
        if (c == ',') c = '.';
    char *end = nullptr;
    double value = std::strtod(number.c_str(), &end);
    if (end == number.c_str() || !std::isfinite(value)) return "";
    if (*end == '/') {
        const double den = std::strtod(end + 1, nullptr);
        if (!(den > 0)) return "";
        value /= den;
    }
    // Within a frame per second: 29 is 29.97 or 30, 5 is no rate's slip.
    std::vector<const FrameRate *> near;
    for (const FrameRate &r : kFrameRates)
        if (std::fabs(value - double(r.num) / double(r.den)) <= 1.0) near.push_back(&r);
    std::sort(near.begin(), near.end(), [value](const FrameRate *a, const FrameRate *b) {
        return std::fabs(value - double(a->num) / double(a->den)) < std::fabs(value - double(b->num) / double(b->den));
    });
    // A rate written another way ("29,97") is that rate alone.
    if (!near.empty() && std::fabs(value - double(near[0]->num) / double(near[0]->den)) < 0.005) near.resize(1);
    std::string names;
    for (size_t i = 0; i < near.size() && i < 2; ++i)
        names += (i ? " or " : "") + std::string(*near[i]->decimal ? near[i]->decimal : near[i]->exact);
    return names;
}

int frame_rate_code_of(int64_t num, int64_t den) {
    for (const FrameRate &r : kFrameRates)
        if (den != 0 && num * r.den == r.num * den) return r.code;
    return 0;
}

std::string frame_rate_text(int64_t num, int64_t den) {
    if (const FrameRate *r = pcmpack_format::frame_rate(frame_rate_code_of(num, den)))
        return std::string(r->exact) + (*r->decimal ? std::string(" (") + r->decimal + ")" : "");
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", den ? double(num) / double(den) : 0.0);
    return text;
}

std::string frame_rate_list() {
    std::string text;
    for (const FrameRate &r : kFrameRates) {
        if (!text.empty()) text += ", ";
        text += r.exact;
        if (*r.decimal) text += std::string(" (") + r.decimal + ")";
    }
    return text + "; also written as 25.0, 25/1 or 23.98";
}

std::vector<int> frame_rate_codes() {
    std::vector<int> codes;
    for (const FrameRate &r : kFrameRates) codes.push_back(r.code);
    return codes;
}

std::string frame_rate_code_list() {
    std::string text;
    for (const FrameRate &r : kFrameRates)
        text += (text.empty() ? "" : ", ") + std::to_string(r.code) + " " + r.exact;
    return text;
}

std::vector<int> layer_codes() { return std::vector<int>(std::begin(kLayers), std::end(kLayers)); }

std::string layer_list() {
    std::string text;
    for (const int layer : kLayers)
        text += (text.empty() ? "" : ", ") + std::to_string(layer) + " " + pcmpack_format::layer_name(layer);
    return text;
}

}  // namespace pcmtool
