// SPDX-License-Identifier: BSD-2-Clause
// Settings checks: every rule with its message text, argument list and
// result code; the order in which rules report; the option bits; and how the
// five check entry points reach (or do not reach) the host.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "support/host_fakes.h"

namespace {

using fakes::Message;

// Message formats, exactly as a host's sink receives them.
const char kP004[] = "P004:Invalid audio type (PCM) for VCD, should be MPEG";
const char kP005[] = "P005:Invalid audio type (PCM) for SVCD, should be MPEG";
const char kP006[] = "P006:Invalid PCM audio sample rate (%d), should be 48000 or 96000";
const char kP007[] = "P007:Invalid number of PCM audio channels (%d), range is %d .. %d";
const char kP008[] = "P008:Invalid PCM audio mute flag (%d), range is %d .. %d";
const char kP009[] = "P009:Invalid PCM audio quantization (%d), must be %d";
const char kP010[] = "P010:Invalid PCM audio emphasis (%d), range is %d .. %d";
const char kP011[] = "P011:Invalid PCM audio emphasis for 96kHz audio, must be off";
const char kP012[] = "P012:Invalid pcm_a_settings parameter";
const char kP013[] = "P013:Invalid number of PCM audio channels (%d) for DVHS, should be 2";
const char kP014[] = "P014:Invalid PCM emphasis for DVHS, should be off";
const char kP015[] = "P015:Invalid PCM bit depth for DVHS, should be 16 bits";
const char kP016[] = "P016:Invalid PCM frequency for DVHS, should be 48 kHz";
const char kP017[] = "P017:Invalid PCM frequency for DVD-VR, should be 48 kHz";
const char kP018[] =
    "P018:Invalid number of PCM audio channels (%d) for DVD-VR, range is %d .. %d";
const char kP019[] = "P019:Invalid PCM audio quantization (%d) for DVD-VR, must be %d";
const char kP020[] = "P020:Invalid PCM audio for HDV, should be MPEG-1 audio";
const char kP022[] = "P022:Invalid AES3 audio quantization (%d), must be %d .. %d";
const char kP023[] = "P023:Invalid audio layer (%d), must be %d or %d";
const char kP024[] = "P024:Invalid audio type (AES3) for DVD, should be PCM";
const char kP025[] = "P025:Invalid audio type (PCM) for DVHS, should be AES3";
const char kP026[] =
    "P026:Invalid number of PCM audio channels (%d) for 302M, must be %d, %d, %d or %d";

Message msg(const char *format, std::vector<int32_t> args = {}) { return {format, args}; }

using Messages = std::vector<Message>;

std::string render(const Messages &messages) {
    std::ostringstream out;
    for (const Message &m : messages) {
        out << "\n  " << m.format << " [";
        for (size_t i = 0; i < m.args.size(); ++i) out << (i ? ", " : "") << m.args[i];
        out << "]";
    }
    return messages.empty() ? "(no messages)" : out.str();
}

// Field order of the record: channels_minus_one, audio_layer, emphasis,
// mute_flag, quantization, dynamic_range.
pcm_a_settings rec(int32_t layer, int32_t channels_minus_one, int32_t quantization,
                   int32_t emphasis = 0, int32_t mute = 0, int32_t dynamic_range = 128) {
    return {channels_minus_one, layer, emphasis, mute, quantization, dynamic_range};
}

struct Outcome {
    int32_t code;
    Messages messages;
    std::vector<std::string> lookups;
    size_t other_sink_calls;
};

Outcome chk(const pcm_a_settings *s, int32_t video_type, int32_t rate, int32_t options) {
    fakes::Host host;
    const int32_t code = pcmOutAudioChkSettings(host.lookup(), s, video_type, rate, options, 0);
    return {code, host.errors, host.lookups, host.warnings.size() + host.infos.size()};
}

Outcome check_first(const pcm_a_settings *s, int32_t video_type, int32_t rate) {
    fakes::Host host;
    const int32_t code = pcmOutAudioCheckFirst(host.lookup(), s, video_type, rate);
    return {code, host.errors, host.lookups, host.warnings.size() + host.infos.size()};
}

std::string hex(int32_t code) {
    std::ostringstream out;
    out << "0x" << std::hex << code;
    return out.str();
}

// A case in which every message is known: `all` is what option bit 1 makes
// the check report, and `code` its result, the first failure's code. Without
// bit 1 only the first message comes out, with the same code.
struct Case {
    const char *what;
    pcm_a_settings settings;
    int32_t video_type;
    int32_t sample_rate;
    Messages all;
    int32_t code;
};

void expect_outcome(const Case &c, int32_t options, const Messages &messages, int32_t code) {
    const Outcome got = chk(&c.settings, c.video_type, c.sample_rate, options);
    SCOPED_TRACE(std::string(c.what) + ", options " + hex(options));
    EXPECT_EQ(hex(got.code), hex(code));
    EXPECT_EQ(render(got.messages), render(messages));
    EXPECT_EQ(got.lookups, std::vector<std::string>{"err_printf"});
    EXPECT_EQ(got.other_sink_calls, 0u);
}

Messages first_of(const Messages &all) {
    return all.empty() ? Messages{} : Messages{all.front()};
}

// ---------------------------------------------------------------------------
// The general rules, each case with video type 0 (no target rules).

const std::vector<Case> &general_cases() {
    static const std::vector<Case> cases = {
        // Step 1: the layer.
        {"layer 0", rec(0, 1, 0), 0, 48000, {msg(kP023, {0, 4, 10})}, 0x40001},
        {"layer 3", rec(3, 1, 0), 0, 48000, {msg(kP023, {3, 4, 10})}, 0x40001},
        {"layer 5", rec(5, 1, 0), 0, 96000, {msg(kP023, {5, 4, 10})}, 0x40001},
        {"layer 9", rec(9, 1, 2), 0, 48000, {msg(kP023, {9, 4, 10})}, 0x40001},
        {"layer 14", rec(14, 1, 1), 0, 48000, {msg(kP023, {14, 4, 10})}, 0x40001},
        {"layer -1", rec(-1, 0, 0), 0, 48000, {msg(kP023, {-1, 4, 10})}, 0x40001},
        {"layer min", rec(INT32_MIN, 1, 0), 0, 48000, {msg(kP023, {INT32_MIN, 4, 10})},
         0x40001},
        {"layer max", rec(INT32_MAX, 1, 0), 0, 48000, {msg(kP023, {INT32_MAX, 4, 10})},
         0x40001},
        // Step 2: the sample rate.
        {"44100 Hz", rec(10, 1, 0), 0, 44100, {msg(kP006, {44100})}, 0x100000},
        {"47999 Hz", rec(10, 1, 0), 0, 47999, {msg(kP006, {47999})}, 0x100000},
        {"48001 Hz", rec(12, 1, 0), 0, 48001, {msg(kP006, {48001})}, 0x100000},
        {"95999 Hz", rec(13, 1, 0), 0, 95999, {msg(kP006, {95999})}, 0x100000},
        {"96001 Hz", rec(11, 1, 1), 0, 96001, {msg(kP006, {96001})}, 0x100000},
        {"192000 Hz", rec(4, 1, 0), 0, 192000, {msg(kP006, {192000})}, 0x100000},
        {"0 Hz", rec(10, 1, 0), 0, 0, {msg(kP006, {0})}, 0x100000},
        {"-48000 Hz", rec(10, 1, 0), 0, -48000, {msg(kP006, {-48000})}, 0x100000},
        {"min Hz", rec(10, 1, 0), 0, INT32_MIN, {msg(kP006, {INT32_MIN})}, 0x100000},
        {"max Hz", rec(10, 1, 0), 0, INT32_MAX, {msg(kP006, {INT32_MAX})}, 0x100000},
        // Step 3: 1 to 8 channels.
        {"layer 12, 0 channels", rec(12, -1, 0), 0, 48000, {msg(kP007, {-1, 0, 7})}, 0x100001},
        {"layer 12, 9 channels", rec(12, 8, 0), 0, 48000, {msg(kP007, {8, 0, 7})}, 0x100001},
        {"layer 11, 9 channels", rec(11, 8, 2), 0, 48000, {msg(kP007, {8, 0, 7})}, 0x100001},
        {"layer 12, min channels", rec(12, INT32_MIN, 0), 0, 48000,
         {msg(kP007, {INT32_MIN, 0, 7})}, 0x100001},
        {"layer 12, max channels", rec(12, INT32_MAX, 0), 0, 48000,
         {msg(kP007, {INT32_MAX, 0, 7})}, 0x100001},
        {"layer 10, 0 channels", rec(10, -1, 0), 0, 48000, {msg(kP007, {-1, 0, 7})}, 0x100001},
        {"layer 10, 10 channels", rec(10, 9, 0), 0, 48000, {msg(kP007, {9, 0, 7})}, 0x100001},
        // Step 4: 302M and HDMV carry channels in pairs.
        {"layer 10, 1 channel", rec(10, 0, 0), 0, 48000, {msg(kP026, {0, 1, 3, 5, 7})},
         0x100001},
        {"layer 10, 3 channels", rec(10, 2, 1), 0, 48000, {msg(kP026, {2, 1, 3, 5, 7})},
         0x100001},
        {"layer 10, 5 channels", rec(10, 4, 2), 0, 96000, {msg(kP026, {4, 1, 3, 5, 7})},
         0x100001},
        {"layer 10, 7 channels", rec(10, 6, 0), 0, 48000, {msg(kP026, {6, 1, 3, 5, 7})},
         0x100001},
        {"layer 13, 1 channel", rec(13, 0, 0), 0, 48000, {msg(kP026, {0, 1, 3, 5, 7})},
         0x100001},
        {"layer 13, 3 channels", rec(13, 2, 0), 0, 48000, {msg(kP026, {2, 1, 3, 5, 7})},
         0x100001},
        {"layer 13, 5 channels", rec(13, 4, 1), 0, 48000, {msg(kP026, {4, 1, 3, 5, 7})},
         0x100001},
        {"layer 13, 7 channels", rec(13, 6, 2), 0, 96000, {msg(kP026, {6, 1, 3, 5, 7})},
         0x100001},
        {"layer 10, -1 channels", rec(10, -2, 0), 0, 48000,
         {msg(kP007, {-2, 0, 7}), msg(kP026, {-2, 1, 3, 5, 7})}, 0x100001},
        {"layer 10, 9 channels", rec(10, 8, 0), 0, 48000,
         {msg(kP007, {8, 0, 7}), msg(kP026, {8, 1, 3, 5, 7})}, 0x100001},
        {"layer 13, min channels", rec(13, INT32_MIN, 0), 0, 48000,
         {msg(kP007, {INT32_MIN, 0, 7}), msg(kP026, {INT32_MIN, 1, 3, 5, 7})}, 0x100001},
        // Step 5: DVD linear PCM is 16-bit only.
        {"layer 4, 20 bits", rec(4, 1, 1), 0, 48000, {msg(kP009, {1, 0})}, 0x100003},
        {"layer 4, 24 bits", rec(4, 0, 2), 0, 48000, {msg(kP009, {2, 0})}, 0x100003},
        {"layer 4, quantization -1", rec(4, 1, -1), 0, 48000, {msg(kP009, {-1, 0})},
         0x100003},
        {"layer 4, quantization 3", rec(4, 1, 3), 0, 96000, {msg(kP009, {3, 0})}, 0x100003},
        // Step 6: DVD linear PCM has one or two channels.
        {"layer 4, 3 channels", rec(4, 2, 0), 0, 48000, {msg(kP007, {2, 0, 1})}, 0x100001},
        {"layer 4, 4 channels", rec(4, 3, 0), 0, 48000, {msg(kP007, {3, 0, 1})}, 0x100001},
        {"layer 4, 8 channels", rec(4, 7, 0), 0, 96000, {msg(kP007, {7, 0, 1})}, 0x100001},
        {"layer 4, 9 channels", rec(4, 8, 0), 0, 48000,
         {msg(kP007, {8, 0, 7}), msg(kP007, {8, 0, 1})}, 0x100001},
        {"layer 4, 0 channels", rec(4, -1, 0), 0, 48000,
         {msg(kP007, {-1, 0, 7}), msg(kP007, {-1, 0, 1})}, 0x100001},
        // Step 7: mute.
        {"layer 4, mute -1", rec(4, 1, 0, 0, -1), 0, 48000, {msg(kP008, {-1, 0, 1})}, 0x100002},
        {"layer 4, mute 2", rec(4, 1, 0, 0, 2), 0, 48000, {msg(kP008, {2, 0, 1})}, 0x100002},
        {"layer 4, mute min", rec(4, 0, 0, 1, INT32_MIN), 0, 48000,
         {msg(kP008, {INT32_MIN, 0, 1})}, 0x100002},
        // Steps 8 and 9: emphasis, which 96 kHz audio cannot carry.
        {"layer 4, emphasis -1", rec(4, 1, 0, -1), 0, 48000, {msg(kP010, {-1, 0, 1})},
         0x100004},
        {"layer 4, emphasis 2", rec(4, 1, 0, 2), 0, 48000, {msg(kP010, {2, 0, 1})}, 0x100004},
        {"layer 4, emphasis 2 at 96k", rec(4, 1, 0, 2), 0, 96000, {msg(kP010, {2, 0, 1})},
         0x100004},
        {"layer 4, emphasis -1 at 96k", rec(4, 1, 0, -1), 0, 96000, {msg(kP010, {-1, 0, 1})},
         0x100004},
        {"layer 4, emphasis 1 at 96k", rec(4, 1, 0, 1), 0, 96000, {msg(kP011)}, 0x100004},
        {"layer 4, emphasis 1 at 44.1k", rec(4, 0, 0, 1), 0, 44100,
         {msg(kP006, {44100}), msg(kP011)}, 0x100000},
        // Step 10: D-10 carries 20 or 24 bits.
        {"layer 11, 16 bits", rec(11, 1, 0), 0, 48000, {msg(kP022, {0, 1, 2})}, 0x100003},
        {"layer 11, quantization 3", rec(11, 7, 3), 0, 48000, {msg(kP022, {3, 1, 2})},
         0x100003},
        {"layer 11, quantization -1", rec(11, 0, -1), 0, 96000, {msg(kP022, {-1, 1, 2})},
         0x100003},
        // Step 11: the other layers carry 16, 20 or 24 bits.
        {"layer 10, quantization 3", rec(10, 1, 3), 0, 48000, {msg(kP022, {3, 0, 2})},
         0x100003},
        {"layer 12, quantization 3", rec(12, 1, 3), 0, 48000, {msg(kP022, {3, 0, 2})},
         0x100003},
        {"layer 13, quantization -1", rec(13, 1, -1), 0, 48000, {msg(kP022, {-1, 0, 2})},
         0x100003},
        {"layer 12, quantization max", rec(12, 5, INT32_MAX), 0, 48000,
         {msg(kP022, {INT32_MAX, 0, 2})}, 0x100003},
        // Several failures: they come out in rule order, and the first code wins
        // even when a later one is smaller.
        {"layer 4, all wrong at 44.1k", rec(4, 9, 3, 2, 2), 0, 44100,
         {msg(kP006, {44100}), msg(kP007, {9, 0, 7}), msg(kP009, {3, 0}), msg(kP007, {9, 0, 1}),
          msg(kP008, {2, 0, 1}), msg(kP010, {2, 0, 1})},
         0x100000},
        {"layer 4, 20 bits, mute 2, emphasis at 96k", rec(4, 1, 1, 1, 2), 0, 96000,
         {msg(kP009, {1, 0}), msg(kP008, {2, 0, 1}), msg(kP011)}, 0x100003},
        {"layer 7, quantization 3", rec(7, 1, 3), 0, 48000,
         {msg(kP023, {7, 4, 10}), msg(kP022, {3, 0, 2})}, 0x40001},
        {"layer 7, all wrong", rec(7, -2, 3), 0, 0,
         {msg(kP023, {7, 4, 10}), msg(kP006, {0}), msg(kP007, {-2, 0, 7}),
          msg(kP022, {3, 0, 2})},
         0x40001},
        {"layer 0, 9 channels, quantization -1, 44.1k", rec(0, 8, -1), 0, 44100,
         {msg(kP023, {0, 4, 10}), msg(kP006, {44100}), msg(kP007, {8, 0, 7}),
          msg(kP022, {-1, 0, 2})},
         0x40001},
        {"layer 11, 9 channels, quantization 5", rec(11, 8, 5), 0, 96000,
         {msg(kP007, {8, 0, 7}), msg(kP022, {5, 1, 2})}, 0x100001},
        {"layer 13, 1 channel, quantization 3, 32k", rec(13, 0, 3), 0, 32000,
         {msg(kP006, {32000}), msg(kP026, {0, 1, 3, 5, 7}), msg(kP022, {3, 0, 2})}, 0x100000},
    };
    return cases;
}

TEST(GeneralCheck, EachRuleWithItsMessageArgumentsAndCode) {
    for (const Case &c : general_cases()) {
        // Video type 0 has no target rules, so bit 0 changes nothing here.
        expect_outcome(c, 0, first_of(c.all), c.code);
        expect_outcome(c, 1, first_of(c.all), c.code);
        expect_outcome(c, 2, c.all, c.code);
        expect_outcome(c, 3, c.all, c.code);
    }
}

TEST(GeneralCheck, SkippingTheVideoTypeLeavesOnlyTheGeneralRules) {
    // VCD and HDV reject every record, so any extra message would show.
    for (const Case &c : general_cases()) {
        for (int32_t video_type : {1, 3, 10, 14, 18}) {
            Case skipped = c;
            skipped.video_type = video_type;
            expect_outcome(skipped, 1, first_of(c.all), c.code);
            expect_outcome(skipped, 3, c.all, c.code);
        }
    }
}

// Records the general rules accept, at the given rate.
std::vector<pcm_a_settings> valid_records(int32_t rate) {
    std::vector<pcm_a_settings> out;
    for (int32_t channels_minus_one : {0, 1}) {
        for (int32_t mute : {0, 1}) {
            out.push_back(rec(4, channels_minus_one, 0, 0, mute));
            if (rate == 48000) out.push_back(rec(4, channels_minus_one, 0, 1, mute));
        }
    }
    for (int32_t channels_minus_one = 0; channels_minus_one <= 7; ++channels_minus_one) {
        for (int32_t q = 0; q <= 2; ++q) {
            if (q != 0) out.push_back(rec(11, channels_minus_one, q));
            out.push_back(rec(12, channels_minus_one, q));
            if (channels_minus_one % 2 == 1) {
                out.push_back(rec(10, channels_minus_one, q));
                out.push_back(rec(13, channels_minus_one, q));
            }
        }
    }
    // Only the DVD layer reads emphasis and mute; nobody checks the dynamic
    // range.
    for (int32_t layer : {10, 11, 12, 13}) {
        out.push_back(rec(layer, 1, 1, -1, 2, 128));
        out.push_back(rec(layer, 1, 2, INT32_MAX, INT32_MIN, -1));
        out.push_back(rec(layer, 7, 1, 1, 1, INT32_MAX));
    }
    out.push_back(rec(4, 1, 0, 0, 0, INT32_MIN));
    out.push_back(rec(4, 0, 0, 0, 1, 256));
    return out;
}

TEST(GeneralCheck, RecordsWithinEveryRangePass) {
    size_t checked = 0;
    for (int32_t rate : {48000, 96000}) {
        for (const pcm_a_settings &s : valid_records(rate)) {
            for (int32_t options : {0, 1, 2, 3}) {
                const Outcome got = chk(&s, 0, rate, options);
                EXPECT_EQ(got.code, 0) << "layer " << s.audio_layer << ", channels-1 "
                                       << s.channels_minus_one << ", q " << s.quantization
                                       << ", at " << rate;
                EXPECT_EQ(render(got.messages), render({}));
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 400u);
}

TEST(GeneralCheck, DefaultPresetPassesWithoutAMessage) {
    pcm_a_settings s;
    ASSERT_NE(pcmOutAudioDefaults(&s, 0), nullptr);
    const Outcome got = chk(&s, 0, 48000, 0);
    EXPECT_EQ(got.code, 0);
    EXPECT_EQ(render(got.messages), render({}));
}

// ---------------------------------------------------------------------------
// Target rules, on records that pass the general rules.

const std::vector<Case> &target_cases() {
    static const std::vector<Case> cases = {
        {"VCD, layer 10", rec(10, 1, 0), 1, 48000, {msg(kP004)}, 0x200},
        {"VCD, layer 4", rec(4, 1, 0), 1, 48000, {msg(kP004)}, 0x200},
        {"VCD, layer 13 at 96k", rec(13, 7, 2), 1, 96000, {msg(kP004)}, 0x200},
        {"SVCD, layer 12", rec(12, 1, 0), 3, 48000, {msg(kP005)}, 0x1000},
        {"SVCD, layer 4", rec(4, 0, 0), 3, 96000, {msg(kP005)}, 0x1000},
        {"DVD 4, layer 4", rec(4, 1, 0), 4, 48000, {}, 0},
        {"DVD 4, layer 4 mono, emphasis, mute", rec(4, 0, 0, 1, 1), 4, 48000, {}, 0},
        {"DVD 4, layer 4 at 96k", rec(4, 1, 0), 4, 96000, {}, 0},
        {"DVD 4, layer 10", rec(10, 1, 0), 4, 48000, {msg(kP024)}, 0x8000},
        {"DVD 4, layer 11", rec(11, 1, 1), 4, 48000, {msg(kP024)}, 0x8000},
        {"DVD 4, layer 12", rec(12, 1, 0), 4, 48000, {msg(kP024)}, 0x8000},
        {"DVD 4, layer 13", rec(13, 1, 0), 4, 96000, {msg(kP024)}, 0x8000},
        {"DVD 13, layer 4 at 96k", rec(4, 1, 0), 13, 96000, {}, 0},
        {"DVD 13, layer 12", rec(12, 5, 2), 13, 48000, {msg(kP024)}, 0x8000},
        {"DVHS, layer 10 stereo 16 bits", rec(10, 1, 0), 10, 48000, {}, 0},
        {"DVHS, mute and dynamic range are free", rec(10, 1, 0, 0, 1, 7), 10, 48000, {}, 0},
        {"DVHS, layer 4", rec(4, 1, 0), 10, 48000, {msg(kP025)}, 0x14100},
        {"DVHS, layer 12", rec(12, 1, 0), 10, 48000, {msg(kP025)}, 0x14100},
        {"DVHS, 4 channels", rec(10, 3, 0), 10, 48000, {msg(kP013, {4})}, 0x14104},
        {"DVHS, 8 channels", rec(10, 7, 0), 10, 48000, {msg(kP013, {8})}, 0x14104},
        {"DVHS, emphasis 1", rec(10, 1, 0, 1), 10, 48000, {msg(kP014)}, 0x14105},
        {"DVHS, emphasis -1", rec(10, 1, 0, -1), 10, 48000, {msg(kP014)}, 0x14105},
        {"DVHS, 20 bits", rec(10, 1, 1), 10, 48000, {msg(kP015)}, 0x14106},
        {"DVHS, 24 bits", rec(10, 1, 2), 10, 48000, {msg(kP015)}, 0x14106},
        {"DVHS, 96k", rec(10, 1, 0), 10, 96000, {msg(kP016)}, 0x14107},
        {"DVHS, layer 12 mono", rec(12, 0, 0), 10, 48000, {msg(kP025), msg(kP013, {1})},
         0x14100},
        {"DVHS, layer 4 with emphasis", rec(4, 1, 0, 1), 10, 48000,
         {msg(kP025), msg(kP014)}, 0x14100},
        {"DVHS, everything wrong", rec(12, 5, 2, 1), 10, 96000,
         {msg(kP025), msg(kP013, {6}), msg(kP014), msg(kP015), msg(kP016)}, 0x14100},
        {"DVHS, right layer, rest wrong", rec(10, 5, 2, 1), 10, 96000,
         {msg(kP013, {6}), msg(kP014), msg(kP015), msg(kP016)}, 0x14104},
        {"DVD-VR 14, layer 4 stereo", rec(4, 1, 0), 14, 48000, {}, 0},
        {"DVD-VR 14, layer 4 mono", rec(4, 0, 0, 1, 1), 14, 48000, {}, 0},
        {"DVD-VR 14, 96k", rec(4, 1, 0), 14, 96000, {msg(kP017)}, 0x8009},
        {"DVD-VR 14, layer 10", rec(10, 1, 0), 14, 48000, {msg(kP024)}, 0x8000},
        {"DVD-VR 14, layer 10 at 96k", rec(10, 1, 0), 14, 96000, {msg(kP024), msg(kP017)},
         0x8000},
        {"DVD-VR 14, layer 12, 6 channels", rec(12, 5, 0), 14, 48000,
         {msg(kP024), msg(kP018, {5, 0, 1})}, 0x8000},
        {"DVD-VR 14, layer 12, 24 bits", rec(12, 1, 2), 14, 48000,
         {msg(kP024), msg(kP019, {2, 0})}, 0x8000},
        {"DVD-VR 14, layer 11, all wrong", rec(11, 7, 1), 14, 96000,
         {msg(kP024), msg(kP017), msg(kP018, {7, 0, 1}), msg(kP019, {1, 0})}, 0x8000},
        {"DVD-VR 15, layer 4 stereo", rec(4, 1, 0), 15, 48000, {}, 0},
        {"DVD-VR 15, 96k", rec(4, 0, 0), 15, 96000, {msg(kP017)}, 0x8009},
        {"DVD-VR 15, layer 12 mono 20 bits", rec(12, 0, 1), 15, 96000,
         {msg(kP024), msg(kP017), msg(kP019, {1, 0})}, 0x8000},
        {"HDV 18, layer 10", rec(10, 1, 0), 18, 48000, {msg(kP020)}, 0x16105},
        {"HDV 19, layer 4", rec(4, 1, 0), 19, 96000, {msg(kP020)}, 0x16105},
    };
    return cases;
}

TEST(VideoTypeCheck, EachRuleWithItsMessageArgumentsAndCode) {
    for (const Case &c : target_cases()) {
        expect_outcome(c, 0, first_of(c.all), c.code);
        expect_outcome(c, 2, c.all, c.code);
        // Bit 0 skips the target rules; the record passes the general ones.
        expect_outcome(c, 1, {}, 0);
        expect_outcome(c, 3, {}, 0);
    }
}

TEST(VideoTypeCheck, MpegOnlyTargetsRejectEveryRecordTheGeneralRulesAccept) {
    const struct {
        int32_t video_type;
        const char *format;
        int32_t code;
    } targets[] = {{1, kP004, 0x200}, {3, kP005, 0x1000}, {18, kP020, 0x16105},
                   {19, kP020, 0x16105}};
    size_t checked = 0;
    for (const auto &t : targets) {
        for (int32_t rate : {48000, 96000}) {
            for (const pcm_a_settings &s : valid_records(rate)) {
                for (int32_t options : {0, 2}) {
                    const Outcome got = chk(&s, t.video_type, rate, options);
                    SCOPED_TRACE("video type " + std::to_string(t.video_type) + ", layer " +
                                 std::to_string(s.audio_layer) + ", channels-1 " +
                                 std::to_string(s.channels_minus_one));
                    EXPECT_EQ(hex(got.code), hex(t.code));
                    EXPECT_EQ(render(got.messages), render({msg(t.format)}));
                    ++checked;
                }
            }
        }
    }
    EXPECT_GT(checked, 400u);
}

TEST(VideoTypeCheck, CodesWithoutRulesAcceptAnyValidRecord) {
    // This record breaks the DVD, DVHS and DVD-VR rules at once.
    const pcm_a_settings s = rec(12, 5, 2, 1);
    for (int32_t video_type : {0, 2, 5, 6, 7, 8, 9, 11, 12, 16, 17, 20, 28, 44, 4112, 10240,
                               65536, 0x10004, -1, -4, -10, -14, -18, INT32_MIN, INT32_MAX,
                               static_cast<int32_t>(0xFFFF000Au), 0x1000A, 0x10012}) {
        for (int32_t options : {0, 2}) {
            const Outcome got = chk(&s, video_type, 96000, options);
            EXPECT_EQ(got.code, 0) << "video type " << video_type;
            EXPECT_EQ(render(got.messages), render({})) << "video type " << video_type;
        }
    }
}

TEST(VideoTypeCheck, ValidRecordWithBit0PassesForEveryVideoType) {
    for (int32_t rate : {48000, 96000}) {
        for (const pcm_a_settings &s : valid_records(rate)) {
            for (int32_t video_type = -3; video_type <= 50; ++video_type) {
                const Outcome got = chk(&s, video_type, rate, 1);
                ASSERT_EQ(got.code, 0) << "video type " << video_type;
                ASSERT_TRUE(got.messages.empty()) << "video type " << video_type;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// General and target rules together, under each of the four option values.

struct MatrixCase {
    const char *what;
    pcm_a_settings settings;
    int32_t video_type;
    int32_t sample_rate;
    Messages messages[4];  // by options 0, 1, 2, 3
    int32_t code[4];
};

const std::vector<MatrixCase> &matrix_cases() {
    static const std::vector<MatrixCase> cases = {
        // The target rules run after a general failure only when every failure is
        // asked for, and then their code does not count.
        {"44.1k for VCD",
         rec(10, 1, 0),
         1,
         44100,
         {{msg(kP006, {44100})},
          {msg(kP006, {44100})},
          {msg(kP006, {44100}), msg(kP004)},
          {msg(kP006, {44100})}},
         {0x100000, 0x100000, 0x100000, 0x100000}},
        {"layer 4, 9 channels, for DVHS",
         rec(4, 8, 0),
         10,
         48000,
         {{msg(kP007, {8, 0, 7})},
          {msg(kP007, {8, 0, 7})},
          {msg(kP007, {8, 0, 7}), msg(kP007, {8, 0, 1}), msg(kP025), msg(kP013, {9})},
          {msg(kP007, {8, 0, 7}), msg(kP007, {8, 0, 1})}},
         {0x100001, 0x100001, 0x100001, 0x100001}},
        {"layer 4, 4 channels, for DVD-VR at 96k",
         rec(4, 3, 0),
         14,
         96000,
         {{msg(kP007, {3, 0, 1})},
          {msg(kP007, {3, 0, 1})},
          {msg(kP007, {3, 0, 1}), msg(kP017), msg(kP018, {3, 0, 1})},
          {msg(kP007, {3, 0, 1})}},
         {0x100001, 0x100001, 0x100001, 0x100001}},
        {"layer 7, quantization 3, for HDV",
         rec(7, 1, 3),
         18,
         48000,
         {{msg(kP023, {7, 4, 10})},
          {msg(kP023, {7, 4, 10})},
          {msg(kP023, {7, 4, 10}), msg(kP022, {3, 0, 2}), msg(kP020)},
          {msg(kP023, {7, 4, 10}), msg(kP022, {3, 0, 2})}},
         {0x40001, 0x40001, 0x40001, 0x40001}},
        {"layer 10 for DVD",
         rec(10, 1, 0),
         4,
         48000,
         {{msg(kP024)}, {}, {msg(kP024)}, {}},
         {0x8000, 0, 0x8000, 0}},
        {"layer 12, 6 channels, 24 bits, emphasis, for DVHS at 96k",
         rec(12, 5, 2, 1),
         10,
         96000,
         {{msg(kP025)},
          {},
          {msg(kP025), msg(kP013, {6}), msg(kP014), msg(kP015), msg(kP016)},
          {}},
         {0x14100, 0, 0x14100, 0}},
        {"layer 4 stereo for DVD", rec(4, 1, 0), 4, 48000, {{}, {}, {}, {}}, {0, 0, 0, 0}},
    };
    return cases;
}

TEST(CheckOptions, GeneralThenTargetUnderEachOptionValue) {
    for (const MatrixCase &m : matrix_cases()) {
        for (int32_t options = 0; options < 4; ++options) {
            const Case c{m.what, m.settings, m.video_type, m.sample_rate, {}, 0};
            expect_outcome(c, options, m.messages[options], m.code[options]);
        }
    }
}

TEST(CheckOptions, OtherBitsHaveNoEffect) {
    const int32_t other_bits[] = {4, 8, 0x10, 0x100, 0x10000, 0x40000000, INT32_MIN, ~3};
    size_t checked = 0;
    for (const MatrixCase &m : matrix_cases()) {
        for (int32_t low = 0; low < 4; ++low) {
            for (int32_t extra : other_bits) {
                const Case c{m.what, m.settings, m.video_type, m.sample_rate, {}, 0};
                expect_outcome(c, low | extra, m.messages[low], m.code[low]);
                ++checked;
            }
        }
    }
    for (const std::vector<Case> *table : {&general_cases(), &target_cases()}) {
        for (const Case &c : *table) {
            for (int32_t extra : other_bits) {
                expect_outcome(c, extra, first_of(c.all), c.code);
                expect_outcome(c, 2 | extra, c.all, c.code);
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 500u);
}

// ---------------------------------------------------------------------------
// The entry points and the host.

TEST(CheckEntryPoints, NullRecordGivesP012AndTwo) {
    for (int32_t options : {0, 1, 2, 3, -1}) {
        for (int32_t video_type : {0, 1, 10, 14, 18}) {
            const Outcome got = chk(nullptr, video_type, 48000, options);
            EXPECT_EQ(got.code, 2);
            EXPECT_EQ(render(got.messages), render({msg(kP012)}));
            EXPECT_EQ(got.lookups, std::vector<std::string>{"err_printf"});
        }
    }
    const Outcome first = check_first(nullptr, 1, 44100);
    EXPECT_EQ(first.code, 2);
    EXPECT_EQ(render(first.messages), render({msg(kP012)}));
    EXPECT_EQ(first.lookups, std::vector<std::string>{"err_printf"});

    fakes::Host host;
    EXPECT_EQ(pcmOutAudioCheckSettings(nullptr, 1, 44100), 2);
    EXPECT_EQ(pcmOutAudioChkSettings(nullptr, nullptr, 0, 48000, 0, 0), 2);
    EXPECT_EQ(pcmOutAudioCheckFirst(nullptr, nullptr, 0, 48000), 2);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_TRUE(host.lookups.empty());
}

TEST(CheckEntryPoints, NullRecordWithErrPrintfWithheld) {
    fakes::Host host;
    host.withheld = {"err_printf"};
    EXPECT_EQ(pcmOutAudioChkSettings(host.lookup(), nullptr, 0, 48000, 2, 0), 2);
    EXPECT_EQ(pcmOutAudioCheckFirst(host.lookup(), nullptr, 0, 48000), 2);
    EXPECT_EQ(host.lookups, (std::vector<std::string>{"err_printf", "err_printf"}));
    EXPECT_TRUE(host.errors.empty());
}

TEST(CheckEntryPoints, LookupAskedOnceForErrPrintfAlsoWhenNothingFails) {
    const pcm_a_settings ok = rec(10, 1, 0);
    const pcm_a_settings bad = rec(4, 9, 3, 2, 2);
    for (const pcm_a_settings *s : {&ok, &bad}) {
        for (int32_t options : {0, 1, 2, 3}) {
            const Outcome got = chk(s, 15, 44100, options);
            EXPECT_EQ(got.lookups, std::vector<std::string>{"err_printf"});
        }
        EXPECT_EQ(check_first(s, 15, 44100).lookups, std::vector<std::string>{"err_printf"});
        EXPECT_EQ(check_first(s, 0, 48000).lookups, std::vector<std::string>{"err_printf"});
    }
    const int before = fakes::null_lookup_calls();
    EXPECT_EQ(pcmOutAudioChkSettings(fakes::null_lookup, &bad, 0, 48000, 2, 0), 0x100001);
    EXPECT_EQ(pcmOutAudioCheckFirst(fakes::null_lookup, &ok, 0, 48000), 0);
    EXPECT_EQ(pcmOutAudioChkSettings(fakes::null_lookup, nullptr, 0, 48000, 0, 0), 2);
    EXPECT_EQ(fakes::null_lookup_calls() - before, 3);
}

// A lookup that, when asked, turns the record it watches from valid into an
// invalid layer: a check that examined the record before asking would pass.
pcm_a_settings *g_watched_record = nullptr;
void *rewriting_lookup(const char *name) {
    if (g_watched_record) g_watched_record->audio_layer = 7;
    return fakes::Host::current().lookup()(name);
}

TEST(CheckEntryPoints, LookupIsAskedBeforeTheRecordIsRead) {
    for (int entry = 0; entry < 2; ++entry) {
        fakes::Host host;
        pcm_a_settings s = rec(10, 1, 0);
        g_watched_record = &s;
        const int32_t code = entry == 0
                                 ? pcmOutAudioChkSettings(rewriting_lookup, &s, 0, 48000, 0, 0)
                                 : pcmOutAudioCheckFirst(rewriting_lookup, &s, 0, 48000);
        g_watched_record = nullptr;
        EXPECT_EQ(hex(code), hex(0x40001)) << "entry " << entry;
        EXPECT_EQ(render(host.errors), render({msg(kP023, {7, 4, 10})})) << "entry " << entry;
        EXPECT_EQ(host.lookups, std::vector<std::string>{"err_printf"});
    }
}

// Every case of the two rule tables, with what each option value yields: the
// target cases pass the general rules, so skipping the target rules passes.
struct Listed {
    const Case *c;
    bool target;
    int32_t code_for(int32_t options) const {
        return target && (options & PCM_CHECK_SKIP_VIDEO_TYPE) ? 0 : c->code;
    }
};

std::vector<Listed> every_case() {
    std::vector<Listed> all;
    for (const Case &c : general_cases()) all.push_back({&c, false});
    for (const Case &c : target_cases()) all.push_back({&c, true});
    return all;
}

TEST(CheckEntryPoints, WithheldOrMissingSinkDropsMessagesButKeepsCodes) {
    for (const Listed &l : every_case()) {
        const Case *c = l.c;
        for (int32_t options : {0, 1, 2, 3}) {
            fakes::Host host;
            host.withheld = {"err_printf"};
            EXPECT_EQ(hex(pcmOutAudioChkSettings(host.lookup(), &c->settings, c->video_type,
                                                 c->sample_rate, options, 0)),
                      hex(l.code_for(options)))
                << c->what << ", options " << options;
            EXPECT_EQ(hex(pcmOutAudioChkSettings(nullptr, &c->settings, c->video_type,
                                                 c->sample_rate, options, 0)),
                      hex(l.code_for(options)))
                << c->what << ", options " << options;
            EXPECT_TRUE(host.errors.empty()) << c->what;
            EXPECT_EQ(host.lookups, std::vector<std::string>{"err_printf"}) << c->what;
        }
        fakes::Host host;
        host.withheld = {"err_printf"};
        EXPECT_EQ(hex(pcmOutAudioCheckFirst(host.lookup(), &c->settings, c->video_type,
                                            c->sample_rate)),
                  hex(c->code))
            << c->what;
        EXPECT_EQ(hex(pcmOutAudioCheckFirst(nullptr, &c->settings, c->video_type,
                                            c->sample_rate)),
                  hex(c->code))
            << c->what;
        EXPECT_TRUE(host.errors.empty()) << c->what;
    }
}

TEST(CheckEntryPoints, CheckFirstIsChkSettingsWithOptionsZero) {
    for (const Listed &l : every_case()) {
        const Case *c = l.c;
        const Outcome first = check_first(&c->settings, c->video_type, c->sample_rate);
        const Outcome chk0 = chk(&c->settings, c->video_type, c->sample_rate, 0);
        EXPECT_EQ(hex(first.code), hex(c->code)) << c->what;
        EXPECT_EQ(hex(first.code), hex(chk0.code)) << c->what;
        EXPECT_EQ(render(first.messages), render(chk0.messages)) << c->what;
        EXPECT_EQ(render(first.messages), render(first_of(c->all))) << c->what;
    }
    for (const MatrixCase &m : matrix_cases()) {
        const Outcome first = check_first(&m.settings, m.video_type, m.sample_rate);
        EXPECT_EQ(hex(first.code), hex(m.code[0])) << m.what;
        EXPECT_EQ(render(first.messages), render(m.messages[0])) << m.what;
    }
}

TEST(CheckEntryPoints, CheckSettingsCallsNoHostFunction) {
    fakes::Host host;
    // A host sink has been handed out just before: a library that kept it
    // would report through it below.
    const pcm_a_settings bad = rec(4, 9, 3, 2, 2);
    ASSERT_EQ(pcmOutAudioChkSettings(host.lookup(), &bad, 1, 44100, 2, 0), 0x100000);
    ASSERT_FALSE(host.errors.empty());
    host.errors.clear();
    host.lookups.clear();

    for (const Listed &l : every_case()) {
        const Case *c = l.c;
        EXPECT_EQ(hex(pcmOutAudioCheckSettings(&c->settings, c->video_type, c->sample_rate)),
                  hex(c->code))
            << c->what;
    }
    for (const MatrixCase &m : matrix_cases()) {
        EXPECT_EQ(hex(pcmOutAudioCheckSettings(&m.settings, m.video_type, m.sample_rate)),
                  hex(m.code[0]))
            << m.what;
    }
    EXPECT_EQ(pcmOutAudioCheckSettings(nullptr, 0, 48000), 2);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_TRUE(host.warnings.empty());
    EXPECT_TRUE(host.infos.empty());
    EXPECT_TRUE(host.lookups.empty());
    EXPECT_EQ(host.malloc_calls, 0);
    EXPECT_EQ(host.free_calls, 0);
}

TEST(CheckEntryPoints, ReservedArgumentIsNotRead) {
    for (const Listed &l : every_case()) {
        const Case *c = l.c;
        for (int32_t reserved : {1, -1, INT32_MIN, 0x12345678}) {
            fakes::Host host;
            EXPECT_EQ(pcmOutAudioChkSettings(host.lookup(), &c->settings, c->video_type,
                                             c->sample_rate, 2, reserved),
                      c->code)
                << c->what;
            EXPECT_EQ(render(host.errors), render(c->all)) << c->what;
        }
    }
}

TEST(CheckEntryPoints, CheckNextAndLastErrorTextNeverChange) {
    const char *text = pcmOutAudioGetLastErrString();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(pcmOutAudioCheckNext(), 0);

    fakes::Host host;
    const pcm_a_settings bad = rec(4, 9, 3, 2, 2);
    ASSERT_NE(pcmOutAudioChkSettings(host.lookup(), &bad, 10, 44100, 2, 0), 0);
    EXPECT_EQ(pcmOutAudioCheckNext(), 0);
    EXPECT_EQ(pcmOutAudioGetLastErrString(), text);
    ASSERT_NE(pcmOutAudioCheckFirst(host.lookup(), nullptr, 0, 48000), 0);
    EXPECT_EQ(pcmOutAudioGetLastErrString(), text);
    EXPECT_EQ(pcmOutAudioCheckNext(), 0);
    ASSERT_NE(pcmOutAudioCheckSettings(&bad, 18, 48000), 0);
    EXPECT_EQ(pcmOutAudioCheckNext(), 0);
    EXPECT_EQ(pcmOutAudioGetLastErrString(), text);
    EXPECT_EQ(text[0], '\0');
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pcmOutAudioCheckNext(), 0);
        EXPECT_EQ(pcmOutAudioGetLastErrString(), text);
    }
    // Neither call goes near the host.
    const size_t errors_before = host.errors.size();
    const size_t lookups_before = host.lookups.size();
    (void)pcmOutAudioCheckNext();
    (void)pcmOutAudioGetLastErrString();
    EXPECT_EQ(host.errors.size(), errors_before);
    EXPECT_EQ(host.lookups.size(), lookups_before);
}

TEST(CheckEntryPoints, ResultCodeConstantsKeepTheirValues) {
    const struct {
        int32_t constant;
        int32_t value;
    } codes[] = {
        {PCM_CHECK_OK, 0},
        {PCM_CHECK_NULL_SETTINGS, 2},
        {PCM_CHECK_VCD_NEEDS_MPEG, 0x200},
        {PCM_CHECK_SVCD_NEEDS_MPEG, 0x1000},
        {PCM_CHECK_DVD_NEEDS_PCM, 0x8000},
        {PCM_CHECK_DVDVR_CHANNELS, 0x8007},
        {PCM_CHECK_DVDVR_QUANTIZATION, 0x8008},
        {PCM_CHECK_DVDVR_SAMPLE_RATE, 0x8009},
        {PCM_CHECK_DVHS_NEEDS_AES3, 0x14100},
        {PCM_CHECK_DVHS_CHANNELS, 0x14104},
        {PCM_CHECK_DVHS_EMPHASIS, 0x14105},
        {PCM_CHECK_DVHS_QUANTIZATION, 0x14106},
        {PCM_CHECK_DVHS_SAMPLE_RATE, 0x14107},
        {PCM_CHECK_HDV_NEEDS_MPEG, 0x16105},
        {PCM_CHECK_REFUSE_LIMIT, 0x1FFFF},
        {PCM_CHECK_LAYER, 0x40001},
        {PCM_CHECK_SAMPLE_RATE, 0x100000},
        {PCM_CHECK_CHANNELS, 0x100001},
        {PCM_CHECK_MUTE, 0x100002},
        {PCM_CHECK_QUANTIZATION, 0x100003},
        {PCM_CHECK_EMPHASIS, 0x100004},
        {PCM_CHECK_SKIP_VIDEO_TYPE, 1},
        {PCM_CHECK_REPORT_ALL, 2},
    };
    for (const auto &c : codes) EXPECT_EQ(hex(c.constant), hex(c.value));
}

// A channel count at the top of the range still reaches the DVHS rule that
// prints the count itself; the 32-bit argument wraps rather than overflowing.
TEST(CheckEntryPoints, DvhsChannelCountAtTheTopOfTheRange) {
    const pcm_a_settings s = rec(10, INT32_MAX, 0);
    const Outcome got = chk(&s, 10, 48000, 2);
    EXPECT_EQ(hex(got.code), hex(0x100001));
    EXPECT_EQ(render(got.messages),
              render({msg(kP007, {INT32_MAX, 0, 7}), msg(kP013, {INT32_MIN})}));
}

}  // namespace
