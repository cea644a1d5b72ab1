// SPDX-License-Identifier: BSD-2-Clause
// Presets: the settings a host gets for a target video type.
#include <pcmpack.h>


namespace pcmpack {
namespace {

enum PresetName { kDefault, kDvd, kXdcamImx, kXdcam, kHdmv };

constexpr const char *preset_names[] = {
    "Default, PCM Audio",
    "DVD, PCM Audio",
    "XDCAM IMX, PCM Audio",
    "XDCAM, PCM Audio",
    "HDMV, LPCM Audio",
};

struct PresetRow {
    int32_t first_video_type;
    int32_t last_video_type;
    int32_t audio_layer;
    int32_t quantization;
    PresetName name;
};

// A preset changes only the layer and the word length; everything else keeps
// the base values. Ranges include both ends.
constexpr PresetRow kPresets[] = {
    {0x0, 0x0, PCM_LAYER_AES3_302M, PCM_QUANT_16, kDefault},
    {0x4, 0x4, PCM_LAYER_DVD_LPCM, PCM_QUANT_16, kDvd},
    {0xD, 0x11, PCM_LAYER_DVD_LPCM, PCM_QUANT_16, kDvd},
    {0x1010, 0x1015, PCM_LAYER_DVD_LPCM, PCM_QUANT_16, kDvd},
    {0x1C, 0x1F, PCM_LAYER_AES3_302M, PCM_QUANT_16, kXdcamImx},
    {0x10000, 0x10003, PCM_LAYER_AES3_302M, PCM_QUANT_16, kXdcamImx},
    {0x20, 0x26, PCM_LAYER_AES3_PLANAR, PCM_QUANT_16, kXdcam},
    {0x10100, 0x10105, PCM_LAYER_AES3_PLANAR, PCM_QUANT_16, kXdcam},
    {0x10113, 0x10114, PCM_LAYER_AES3_PLANAR, PCM_QUANT_16, kXdcam},
    {0x27, 0x28, PCM_LAYER_AES3_PLANAR, PCM_QUANT_24, kXdcam},
    {0x10115, 0x10116, PCM_LAYER_AES3_PLANAR, PCM_QUANT_24, kXdcam},
    {0x29, 0x2B, PCM_LAYER_DVD_LPCM, PCM_QUANT_16, kXdcam},
    {0x10110, 0x10112, PCM_LAYER_DVD_LPCM, PCM_QUANT_16, kXdcam},
    {0x2C, 0x2C, PCM_LAYER_HDMV_LPCM, PCM_QUANT_16, kHdmv},
    {0x2800, 0x2800, PCM_LAYER_HDMV_LPCM, PCM_QUANT_16, kHdmv},
};

constexpr pcm_a_settings kBaseSettings = {
    1,                    // two channels
    PCM_LAYER_AES3_302M,  // audio_layer
    0,                    // emphasis off
    0,                    // mute off
    PCM_QUANT_16,         // quantization
    128,                  // dynamic_range
};

const PresetRow *find_preset(int32_t video_type) {
    for (const PresetRow &row : kPresets) {
        if (video_type >= row.first_video_type && video_type <= row.last_video_type) return &row;
    }
    return nullptr;
}

// The preset row holding the smallest video type above `after`, and that
// type; rows are ranges in no particular order.
const PresetRow *next_preset(int64_t after, int32_t &video_type) {
    const PresetRow *next = nullptr;
    int64_t best = 0;
    for (const PresetRow &row : kPresets) {
        const int64_t candidate = after < row.first_video_type ? row.first_video_type : after + 1;
        if (candidate > row.last_video_type || (next && candidate >= best)) continue;
        next = &row;
        best = candidate;
    }
    if (next) video_type = static_cast<int32_t>(best);
    return next;
}

}  // namespace
}  // namespace pcmpack

extern "C" PCMPACK_API const char *pcmOutAudioDefaults(pcm_a_settings *settings,
                                                       int32_t video_type) {
    using namespace pcmpack;
    if (settings == nullptr) return nullptr;
    *settings = kBaseSettings;
    const PresetRow *row = find_preset(video_type);
    if (row == nullptr) return nullptr;
    settings->audio_layer = row->audio_layer;
    settings->quantization = row->quantization;
    return preset_names[row->name];
}

extern "C" PCMPACK_API const char *pcmOutAudioNextPreset(int32_t after, int32_t *video_type) {
    using namespace pcmpack;
    if (video_type == nullptr) return nullptr;
    const PresetRow *row = next_preset(after, *video_type);
    return row ? preset_names[row->name] : nullptr;
}
