// SPDX-License-Identifier: BSD-2-Clause
// pcmpack presets: what the library's presets give, asked of the library
// itself, so that the list can never drift from it.
#include "commands/presets_options.h"
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
    const char *family;  // the tool's name of the video types' family; nullptr: none known
};

// The library lists the video types that have a preset; consecutive codes
// with the same result and family are merged.
std::vector<PresetRange> scan_presets() {
    std::vector<PresetRange> ranges;
    int32_t code = -1;
    while (const char *name = pcmOutAudioNextPreset(code, &code)) {
        pcm_a_settings s;
        if (!pcmOutAudioDefaults(&s, code)) continue;
        const char *family = video_type_family(code);
        if (!ranges.empty()) {
            PresetRange &last = ranges.back();
            if (last.last == code - 1 && last.name == name && last.family == family &&
                last.settings.audio_layer == s.audio_layer &&
                last.settings.quantization == s.quantization) {
                last.last = code;
                continue;
            }
        }
        ranges.push_back({code, code, name, s, family});
    }
    return ranges;
}

// "13 (0xD)" or "14-15 (0xE-0xF)".
std::string codes_text(int first, int last) {
    char codes[64];
    if (first == last)
        std::snprintf(codes, sizeof codes, "%d (0x%X)", first, first);
    else
        std::snprintf(codes, sizeof codes, "%d-%d (0x%X-0x%X)", first, last, first, last);
    return codes;
}

int bits_of(int quantization) { return quantization == 0 ? 16 : quantization == 1 ? 20 : 24; }

}  // namespace

int run_presets(bool json) {
    const std::vector<PresetRange> ranges = scan_presets();
    if (json) {
        std::printf("[");
        for (size_t i = 0; i < ranges.size(); ++i) {
            const PresetRange &r = ranges[i];
            std::printf("%s\n  {\"first\":%d,\"last\":%d,\"name\":\"%s\",\"family\":%s,\"layer\":%d,"
                        "\"layer_name\":\"%s\",\"bits\":%d,\"channels\":%d,\"emphasis\":%d,"
                        "\"mute\":%d,\"dynamic_range\":%d}",
                        i ? "," : "", r.first, r.last, r.name.c_str(),
                        r.family ? ("\"" + std::string(r.family) + "\"").c_str() : "null",
                        r.settings.audio_layer, pcmpack_format::layer_name(r.settings.audio_layer),
                        bits_of(r.settings.quantization), r.settings.channels_minus_one + 1,
                        r.settings.emphasis, r.settings.mute_flag, r.settings.dynamic_range);
        }
        std::printf("\n]\n");
        finish_stdout();
        return 0;
    }
    // The family names the row: the library's preset names are in --json.
    std::printf("%-29s %-9s %-15s %s\n", "video type", "family", "layer", "bits");
    bool unknown = false;
    for (const PresetRange &r : ranges) {
        const std::string layer =
            std::to_string(r.settings.audio_layer) + " " + pcmpack_format::layer_name(r.settings.audio_layer);
        std::printf("%-29s %-9s %-15s %d\n", codes_text(r.first, r.last).c_str(),
                    r.family ? r.family : "?", layer.c_str(), bits_of(r.settings.quantization));
        unknown = unknown || !r.family;
    }
    // Video types with target rules and no preset follow, so that every
    // code encode's --video-type holds to a family's rules is listed.
    for (const VideoTypeFamily &f : families_without_preset())
        std::printf("%-29s %-9s %s\n", codes_text(f.first, f.last).c_str(), f.name, "no preset");
    if (unknown) std::printf("\n?: a family pcmpack does not know (--json shows the library's preset name).\n");
    std::printf("no preset: give --layer; VCD, SVCD and HDV take MPEG audio, which pcmpack does not write.\n");
    pcm_a_settings base;
    pcmOutAudioDefaults(&base, 0);
    std::printf("\nEvery preset: %d channels, emphasis %s, mute %s, dynamic range %d.\n"
                "encode takes the channel count and word length from its input; --layer, --bits\n"
                "and --frame-rate override the preset.\n"
                "Targets: %s.\n",
                base.channels_minus_one + 1, base.emphasis ? "on" : "off",
                base.mute_flag ? "on" : "off", base.dynamic_range, target_list(true).c_str());
    finish_stdout();
    return 0;
}

}  // namespace pcmtool
