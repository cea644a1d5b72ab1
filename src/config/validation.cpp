// SPDX-License-Identifier: BSD-2-Clause
// Settings validation: can the library encode a record at all, and does the
// record suit a target video type? Each rule is a row; rules run in row order.
#include "config/validation.h"

#include "core/layer.h"

namespace pcmpack {
namespace {

struct CheckInput {
    const pcm_a_settings &settings;
    int32_t sample_rate;
};

struct MessageArgs {
    int count;
    int32_t value[5];
};

struct Rule {
    bool (*fails)(const CheckInput &);
    const char *format;
    MessageArgs (*args)(const CheckInput &);  // null: the message has no arguments
    int32_t code;
};

// The library produces exactly the layers that have a descriptor.
bool is_known_layer(int32_t layer) { return find_audio_layer(layer) != nullptr; }

constexpr bool is_dvd_layer(const CheckInput &c) {
    return c.settings.audio_layer == PCM_LAYER_DVD_LPCM;
}

constexpr bool always(const CheckInput &) { return true; }

// The general rules. Only the DVD layer carries emphasis and mute, and 302M
// and HDMV carry channels in pairs.
constexpr Rule kGeneralRules[] = {
    {[](const CheckInput &c) { return !is_known_layer(c.settings.audio_layer); },
     "P023:Invalid audio layer (%d), must be %d or %d",
     [](const CheckInput &c) { return MessageArgs{3, {c.settings.audio_layer, 4, 10}}; },
     PCM_CHECK_LAYER},
    {[](const CheckInput &c) { return c.sample_rate != 48000 && c.sample_rate != 96000; },
     "P006:Invalid PCM audio sample rate (%d), should be 48000 or 96000",
     [](const CheckInput &c) { return MessageArgs{1, {c.sample_rate}}; },
     PCM_CHECK_SAMPLE_RATE},
    {[](const CheckInput &c) {
         return c.settings.channels_minus_one < 0 || c.settings.channels_minus_one > 7;
     },
     "P007:Invalid number of PCM audio channels (%d), range is %d .. %d",
     [](const CheckInput &c) { return MessageArgs{3, {c.settings.channels_minus_one, 0, 7}}; },
     PCM_CHECK_CHANNELS},
    {[](const CheckInput &c) {
         const int32_t layer = c.settings.audio_layer;
         return (layer == PCM_LAYER_AES3_302M || layer == PCM_LAYER_HDMV_LPCM) &&
                c.settings.channels_minus_one % 2 == 0;
     },
     "P026:Invalid number of PCM audio channels (%d) for 302M, must be %d, %d, %d or %d",
     [](const CheckInput &c) {
         return MessageArgs{5, {c.settings.channels_minus_one, 1, 3, 5, 7}};
     },
     PCM_CHECK_CHANNELS},
    {[](const CheckInput &c) { return is_dvd_layer(c) && c.settings.quantization != 0; },
     "P009:Invalid PCM audio quantization (%d), must be %d",
     [](const CheckInput &c) { return MessageArgs{2, {c.settings.quantization, 0}}; },
     PCM_CHECK_QUANTIZATION},
    {[](const CheckInput &c) {
         return is_dvd_layer(c) &&
                (c.settings.channels_minus_one < 0 || c.settings.channels_minus_one > 1);
     },
     "P007:Invalid number of PCM audio channels (%d), range is %d .. %d",
     [](const CheckInput &c) { return MessageArgs{3, {c.settings.channels_minus_one, 0, 1}}; },
     PCM_CHECK_CHANNELS},
    {[](const CheckInput &c) {
         return is_dvd_layer(c) && (c.settings.mute_flag < 0 || c.settings.mute_flag > 1);
     },
     "P008:Invalid PCM audio mute flag (%d), range is %d .. %d",
     [](const CheckInput &c) { return MessageArgs{3, {c.settings.mute_flag, 0, 1}}; },
     PCM_CHECK_MUTE},
    {[](const CheckInput &c) {
         return is_dvd_layer(c) && (c.settings.emphasis < 0 || c.settings.emphasis > 1);
     },
     "P010:Invalid PCM audio emphasis (%d), range is %d .. %d",
     [](const CheckInput &c) { return MessageArgs{3, {c.settings.emphasis, 0, 1}}; },
     PCM_CHECK_EMPHASIS},
    {[](const CheckInput &c) {
         return is_dvd_layer(c) && c.settings.emphasis == 1 && c.sample_rate != 48000;
     },
     "P011:Invalid PCM audio emphasis for 96kHz audio, must be off", nullptr,
     PCM_CHECK_EMPHASIS},
    {[](const CheckInput &c) {
         return c.settings.audio_layer == PCM_LAYER_AES3_D10 &&
                c.settings.quantization != 1 && c.settings.quantization != 2;
     },
     "P022:Invalid AES3 audio quantization (%d), must be %d .. %d",
     [](const CheckInput &c) { return MessageArgs{3, {c.settings.quantization, 1, 2}}; },
     PCM_CHECK_QUANTIZATION},
    {[](const CheckInput &c) {
         const int32_t layer = c.settings.audio_layer;
         return layer != PCM_LAYER_DVD_LPCM && layer != PCM_LAYER_AES3_D10 &&
                (c.settings.quantization < 0 || c.settings.quantization > 2);
     },
     "P022:Invalid AES3 audio quantization (%d), must be %d .. %d",
     [](const CheckInput &c) { return MessageArgs{3, {c.settings.quantization, 0, 2}}; },
     PCM_CHECK_QUANTIZATION},
};

// VCD, SVCD and HDV need MPEG audio, which this library does not produce.
constexpr Rule kVcdRules[] = {
    {always, "P004:Invalid audio type (PCM) for VCD, should be MPEG", nullptr,
     PCM_CHECK_VCD_NEEDS_MPEG},
};
constexpr Rule kSvcdRules[] = {
    {always, "P005:Invalid audio type (PCM) for SVCD, should be MPEG", nullptr,
     PCM_CHECK_SVCD_NEEDS_MPEG},
};
constexpr Rule kHdvRules[] = {
    {always, "P020:Invalid PCM audio for HDV, should be MPEG-1 audio", nullptr,
     PCM_CHECK_HDV_NEEDS_MPEG},
};
constexpr Rule kDvdRules[] = {
    {[](const CheckInput &c) { return !is_dvd_layer(c); },
     "P024:Invalid audio type (AES3) for DVD, should be PCM", nullptr, PCM_CHECK_DVD_NEEDS_PCM},
};
constexpr Rule kDvhsRules[] = {
    {[](const CheckInput &c) { return c.settings.audio_layer != PCM_LAYER_AES3_302M; },
     "P025:Invalid audio type (PCM) for DVHS, should be AES3", nullptr,
     PCM_CHECK_DVHS_NEEDS_AES3},
    {[](const CheckInput &c) { return c.settings.channels_minus_one != 1; },
     "P013:Invalid number of PCM audio channels (%d) for DVHS, should be 2",
     // The channel count itself; any record value is safe to check, so the
     // count wraps as a 32-bit word instead of overflowing.
     [](const CheckInput &c) {
         const uint32_t channels = static_cast<uint32_t>(c.settings.channels_minus_one) + 1u;
         return MessageArgs{1, {static_cast<int32_t>(channels)}};
     },
     PCM_CHECK_DVHS_CHANNELS},
    {[](const CheckInput &c) { return c.settings.emphasis != 0; },
     "P014:Invalid PCM emphasis for DVHS, should be off", nullptr, PCM_CHECK_DVHS_EMPHASIS},
    {[](const CheckInput &c) { return c.settings.quantization != 0; },
     "P015:Invalid PCM bit depth for DVHS, should be 16 bits", nullptr,
     PCM_CHECK_DVHS_QUANTIZATION},
    {[](const CheckInput &c) { return c.sample_rate != 48000; },
     "P016:Invalid PCM frequency for DVHS, should be 48 kHz", nullptr,
     PCM_CHECK_DVHS_SAMPLE_RATE},
};
constexpr Rule kDvdVrRules[] = {
    {[](const CheckInput &c) { return !is_dvd_layer(c); },
     "P024:Invalid audio type (AES3) for DVD, should be PCM", nullptr, PCM_CHECK_DVD_NEEDS_PCM},
    {[](const CheckInput &c) { return c.sample_rate != 48000; },
     "P017:Invalid PCM frequency for DVD-VR, should be 48 kHz", nullptr,
     PCM_CHECK_DVDVR_SAMPLE_RATE},
    {[](const CheckInput &c) {
         return c.settings.channels_minus_one < 0 || c.settings.channels_minus_one > 1;
     },
     "P018:Invalid number of PCM audio channels (%d) for DVD-VR, range is %d .. %d",
     [](const CheckInput &c) { return MessageArgs{3, {c.settings.channels_minus_one, 0, 1}}; },
     PCM_CHECK_DVDVR_CHANNELS},
    {[](const CheckInput &c) { return c.settings.quantization != 0; },
     "P019:Invalid PCM audio quantization (%d) for DVD-VR, must be %d",
     [](const CheckInput &c) { return MessageArgs{2, {c.settings.quantization, 0}}; },
     PCM_CHECK_DVDVR_QUANTIZATION},
};

struct RuleSet {
    const Rule *rules;
    int count;
};

template <int N>
constexpr RuleSet rule_set(const Rule (&rules)[N]) {
    return RuleSet{rules, N};
}

struct TargetRow {
    int32_t video_type;
    RuleSet rules;
};

// Video types without a row carry no target rules.
constexpr TargetRow kTargets[] = {
    {1, rule_set(kVcdRules)},     // VCD
    {3, rule_set(kSvcdRules)},    // SVCD
    {4, rule_set(kDvdRules)},     // DVD
    {13, rule_set(kDvdRules)},    // DVD
    {10, rule_set(kDvhsRules)},   // DVHS
    {14, rule_set(kDvdVrRules)},  // DVD-VR
    {15, rule_set(kDvdVrRules)},  // DVD-VR
    {18, rule_set(kHdvRules)},    // HDV
    {19, rule_set(kHdvRules)},    // HDV
};

void send(const MessageSink &sink, const Rule &rule, const CheckInput &input) {
    const MessageArgs a = rule.args ? rule.args(input) : MessageArgs{0, {}};
    switch (a.count) {
    case 0: sink(rule.format); break;
    case 1: sink(rule.format, a.value[0]); break;
    case 2: sink(rule.format, a.value[0], a.value[1]); break;
    case 3: sink(rule.format, a.value[0], a.value[1], a.value[2]); break;
    default:
        sink(rule.format, a.value[0], a.value[1], a.value[2], a.value[3], a.value[4]);
        break;
    }
}

// One run over a rule set: every failure is reported; the first one either
// stops the run or, when the host asked for every violation, is recorded
// while the run goes on.
struct RuleRun {
    int32_t recorded = 0;
    bool stopped = false;
};

RuleRun run_rules(const MessageSink &sink, int32_t options, RuleSet set, const CheckInput &input) {
    RuleRun run;
    for (int i = 0; i < set.count; ++i) {
        const Rule &rule = set.rules[i];
        if (!rule.fails(input)) continue;
        send(sink, rule, input);
        if (run.recorded != 0) continue;
        run.recorded = rule.code;
        if ((options & PCM_CHECK_REPORT_ALL) == 0) {
            run.stopped = true;
            return run;
        }
    }
    return run;
}

int32_t check_record(const MessageSink &sink, int32_t options, const pcm_a_settings *settings,
                     int32_t video_type, int32_t sample_rate) {
    if (settings == nullptr) {
        sink("P012:Invalid pcm_a_settings parameter");
        return PCM_CHECK_NULL_SETTINGS;
    }
    return check_settings_general(sink, options, *settings, video_type, sample_rate);
}

// A short text per result code, for hosts that show the code without its
// message.
struct CheckTextRow {
    int32_t code;
    const char *text;
};

constexpr CheckTextRow kCheckTexts[] = {
    {PCM_CHECK_OK, "settings accepted"},
    {PCM_CHECK_NULL_SETTINGS, "no settings record"},
    {PCM_CHECK_VCD_NEEDS_MPEG, "VCD needs MPEG audio"},
    {PCM_CHECK_SVCD_NEEDS_MPEG, "SVCD needs MPEG audio"},
    {PCM_CHECK_DVD_NEEDS_PCM, "DVD needs DVD linear PCM (layer 4)"},
    {PCM_CHECK_DVDVR_CHANNELS, "DVD-VR carries 1 or 2 channels"},
    {PCM_CHECK_DVDVR_QUANTIZATION, "DVD-VR carries 16-bit samples"},
    {PCM_CHECK_DVDVR_SAMPLE_RATE, "DVD-VR carries 48000 Hz"},
    {PCM_CHECK_DVHS_NEEDS_AES3, "DVHS needs SMPTE 302M (layer 10)"},
    {PCM_CHECK_DVHS_CHANNELS, "DVHS carries 2 channels"},
    {PCM_CHECK_DVHS_EMPHASIS, "DVHS carries no emphasis"},
    {PCM_CHECK_DVHS_QUANTIZATION, "DVHS carries 16-bit samples"},
    {PCM_CHECK_DVHS_SAMPLE_RATE, "DVHS carries 48000 Hz"},
    {PCM_CHECK_HDV_NEEDS_MPEG, "HDV needs MPEG-1 audio"},
    {PCM_CHECK_LAYER, "audio layer not 4, 10, 11, 12 or 13"},
    {PCM_CHECK_SAMPLE_RATE, "sample rate not 48000 or 96000"},
    {PCM_CHECK_CHANNELS, "channel count not allowed for the layer"},
    {PCM_CHECK_MUTE, "mute flag not 0 or 1"},
    {PCM_CHECK_QUANTIZATION, "word length not allowed for the layer"},
    {PCM_CHECK_EMPHASIS, "emphasis not allowed"},
};

}  // namespace

int32_t check_video_type(const MessageSink &sink, const pcm_a_settings &settings,
                         int32_t video_type, int32_t sample_rate, int32_t options) {
    for (const TargetRow &target : kTargets) {
        if (target.video_type == video_type) {
            return run_rules(sink, options, target.rules, CheckInput{settings, sample_rate})
                .recorded;
        }
    }
    return 0;
}

int32_t check_settings_general(const MessageSink &sink, int32_t options,
                               const pcm_a_settings &settings, int32_t video_type,
                               int32_t sample_rate) {
    const RuleRun general =
        run_rules(sink, options, rule_set(kGeneralRules), CheckInput{settings, sample_rate});
    if (general.stopped) return general.recorded;
    int32_t target = 0;
    if ((options & PCM_CHECK_SKIP_VIDEO_TYPE) == 0) {
        target = check_video_type(sink, settings, video_type, sample_rate, options);
    }
    return general.recorded != 0 ? general.recorded : target;
}

}  // namespace pcmpack

using pcmpack::check_record;
using pcmpack::error_sink_of;

extern "C" {

PCMPACK_API int32_t pcmOutAudioChkSettings(func_lookup lookup, const pcm_a_settings *settings,
                                           int32_t video_type, int32_t sample_rate,
                                           int32_t options, int32_t /*reserved*/) {
    return check_record(error_sink_of(lookup), options, settings, video_type, sample_rate);
}

PCMPACK_API int32_t pcmOutAudioCheckFirst(func_lookup lookup, const pcm_a_settings *settings,
                                          int32_t video_type, int32_t sample_rate) {
    return check_record(error_sink_of(lookup), 0, settings, video_type, sample_rate);
}

PCMPACK_API int32_t pcmOutAudioCheckSettings(const pcm_a_settings *settings, int32_t video_type,
                                             int32_t sample_rate) {
    const pcmpack::MessageSink silent{pcmpack::silent_printf, nullptr, nullptr};
    return check_record(silent, 0, settings, video_type, sample_rate);
}

PCMPACK_API int32_t pcmOutAudioChkSettingsWithHost(const pcm_host *host,
                                                   const pcm_a_settings *settings,
                                                   int32_t video_type, int32_t sample_rate,
                                                   int32_t options) {
    return check_record(error_sink_of(host), options, settings, video_type, sample_rate);
}

PCMPACK_API const char *pcmOutAudioCheckText(int32_t code) {
    for (const pcmpack::CheckTextRow &row : pcmpack::kCheckTexts) {
        if (row.code == code) return row.text;
    }
    return "unknown check result";
}

PCMPACK_API int32_t pcmOutAudioCheckNext(void) { return 0; }

PCMPACK_API const char *pcmOutAudioGetLastErrString(void) {
    static constexpr char kNoError[] = "";
    return kNoError;
}

}  // extern "C"
