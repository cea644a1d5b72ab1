// SPDX-License-Identifier: BSD-2-Clause
// pcmpack presets: what the library's presets give, asked of the library
// itself, so that the list can never drift from it.
#include "common.h"
#include "format/stream_format.h"
#include "settings.h"

#include <pcmpack.h>

#include <cstdio>
#include <string>
#include <vector>

namespace pcmtool {

namespace {

struct PresetRange {
    int first, last;
    std::string name;
    pcm_a_settings settings;
};

// The library lists the video types that have a preset; consecutive codes
// with the same result are merged.
std::vector<PresetRange> scan_presets() {
    std::vector<PresetRange> ranges;
    int32_t code = -1;
    while (const char *name = pcmOutAudioNextPreset(code, &code)) {
        pcm_a_settings s;
        if (!pcmOutAudioDefaults(&s, code)) continue;
        if (!ranges.empty()) {
            PresetRange &last = ranges.back();
            if (last.last == code - 1 && last.name == name &&
                last.settings.audio_layer == s.audio_layer &&
                last.settings.quantization == s.quantization) {
                last.last = code;
                continue;
            }
        }
        ranges.push_back({code, code, name, s});
    }
    return ranges;
}

int bits_of(int quantization) { return quantization == 0 ? 16 : quantization == 1 ? 20 : 24; }

}  // namespace

int run_presets(bool json) {
    const std::vector<PresetRange> ranges = scan_presets();
    if (json) {
        std::printf("[");
        for (size_t i = 0; i < ranges.size(); ++i) {
            const PresetRange &r = ranges[i];
            std::printf("%s\n  {\"first\":%d,\"last\":%d,\"name\":\"%s\",\"layer\":%d,"
                        "\"layer_name\":\"%s\",\"bits\":%d,\"channels\":%d,\"emphasis\":%d,"
                        "\"mute\":%d,\"dynamic_range\":%d}",
                        i ? "," : "", r.first, r.last, r.name.c_str(), r.settings.audio_layer,
                        pcmpack_format::layer_name(r.settings.audio_layer), bits_of(r.settings.quantization),
                        r.settings.channels_minus_one + 1, r.settings.emphasis,
                        r.settings.mute_flag, r.settings.dynamic_range);
        }
        std::printf("\n]\n");
        finish_stdout();
        return 0;
    }
    std::printf("%-30s %-22s %-16s %s\n", "video type", "preset", "layer", "bits");
    for (const PresetRange &r : ranges) {
        char codes[64];
        if (r.first == r.last)
            std::snprintf(codes, sizeof codes, "%d (0x%X)", r.first, r.first);
        else
            std::snprintf(codes, sizeof codes, "%d-%d (0x%X-0x%X)", r.first, r.last, r.first,
                          r.last);
        const std::string layer =
            std::to_string(r.settings.audio_layer) + " " + pcmpack_format::layer_name(r.settings.audio_layer);
        std::printf("%-30s %-22s %-16s %d\n", codes, r.name.c_str(), layer.c_str(),
                    bits_of(r.settings.quantization));
    }
    pcm_a_settings base;
    pcmOutAudioDefaults(&base, 0);
    std::printf("\nEvery preset: %d channels, emphasis %s, mute %s, dynamic range %d.\n"
                "encode takes the channel count and word length from its input; --layer, --bits\n"
                "and --frame-rate override the preset.\n"
                "Targets: %s.\n",
                base.channels_minus_one + 1, base.emphasis ? "on" : "off",
                base.mute_flag ? "on" : "off", base.dynamic_range, target_list().c_str());
    finish_stdout();
    return 0;
}

}  // namespace pcmtool
