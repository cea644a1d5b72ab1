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
    const char *exact;
    const char *decimal;  // the rounded form people also write
};

// MPEG frame_rate_code numbering.
constexpr FrameRate kFrameRates[] = {
    {1, "24000/1001", "23.976"},
    {2, "24", "24"},
    {3, "25", "25"},
    {4, "30000/1001", "29.97"},
    {5, "30", "30"},
    {6, "50", "50"},
    {7, "60000/1001", "59.94"},
    {8, "60", "60"},
};

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

int parse_frame_rate(const std::string &text) {
    for (const FrameRate &r : kFrameRates) {
        if (text == r.exact || text == r.decimal) return r.code;
        if (text == std::to_string(r.code)) return r.code;
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
    }
    return text;
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
