#include "settings.h"

#include <pcmpack.h>

#include <cstring>

namespace pcmtool {

namespace {

struct Target {
    const char *name;
    int video_type;
};

constexpr Target kTargets[] = {
    {"default", PCM_VIDEO_TYPE_DEFAULT},      // SMPTE 302M, no target rules
    {"dvd", PCM_VIDEO_TYPE_DVD},              // DVD LPCM
    {"hdmv", PCM_VIDEO_TYPE_HDMV},            // Blu-ray HDMV LPCM
    {"xdcam", PCM_VIDEO_TYPE_XDCAM},          // planar AES3
    {"xdcam-imx", PCM_VIDEO_TYPE_XDCAM_IMX},  // SMPTE 302M
};

struct FrameRate {
    int code;
    long long num, den;   // the exact rate
    const char *exact;
    const char *decimal;  // the rounded form people also write ("" when exact)
};

// MPEG frame_rate_code numbering.
constexpr FrameRate kFrameRates[] = {
    {1, 24000, 1001, "24000/1001", "23.976"},
    {2, 24, 1, "24", ""},
    {3, 25, 1, "25", ""},
    {4, 30000, 1001, "30000/1001", "29.97"},
    {5, 30, 1, "30", ""},
    {6, 50, 1, "50", ""},
    {7, 60000, 1001, "60000/1001", "59.94"},
    {8, 60, 1, "60", ""},
};

// A non-negative integer of at most 12 digits; false for anything else.
bool parse_digits(const std::string &text, long long *value) {
    if (text.empty() || text.size() > 12) return false;
    long long v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

struct Layer {
    int layer;
    const char *title;
};

constexpr Layer kLayers[] = {
    {PCM_LAYER_DVD_LPCM, "DVD LPCM"},
    {PCM_LAYER_AES3_302M, "SMPTE 302M"},
    {PCM_LAYER_AES3_D10, "D-10 AES3"},
    {PCM_LAYER_AES3_PLANAR, "planar AES3"},
    {PCM_LAYER_HDMV_LPCM, "HDMV LPCM"},
};

}  // namespace

int target_video_type(const std::string &target) {
    for (const Target &t : kTargets)
        if (target == t.name) return t.video_type;
    return PCM_VIDEO_TYPE_DEFAULT;
}

std::string target_list() {
    std::string text;
    for (const Target &t : kTargets) {
        if (!text.empty()) text += ", ";
        text += std::string(t.name) + " (" + std::to_string(t.video_type) + ")";
    }
    return text;
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

const char *frame_rate_text(int code) {
    for (const FrameRate &r : kFrameRates)
        if (r.code == code) return r.exact;
    return "";
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

const char *layer_title(int layer) {
    for (const Layer &l : kLayers)
        if (l.layer == layer) return l.title;
    return "unknown layer";
}

std::string hdmv_layout(int source_channels) {
    switch (source_channels) {
    case 2: return "2.0";
    case 3: return "3/0";
    case 5: return "3/2";
    case 7: return "3/4";
    default: return std::to_string(source_channels) + "-channel";
    }
}

}  // namespace pcmtool
