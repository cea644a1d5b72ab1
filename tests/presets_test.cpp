// SPDX-License-Identifier: BSD-2-Clause
// Presets per target video type: the record a host gets from
// pcmOutAudioDefaults, the display name that comes with it, and the base
// values left behind for codes that have no preset.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>
#include <utility>

#include "support/host_fakes.h"

namespace {

struct PresetRow {
    int32_t first_video_type;
    int32_t last_video_type;
    int32_t audio_layer;
    int32_t quantization;
    const char *name;
};

// Which video type codes carry a preset, and what it sets; ranges include
// both ends.
const PresetRow kPresetRows[] = {
    {0x0, 0x0, 10, 0, "Default, PCM Audio"},
    {0x4, 0x4, 4, 0, "DVD, PCM Audio"},
    {0xD, 0x11, 4, 0, "DVD, PCM Audio"},
    {0x1010, 0x1015, 4, 0, "DVD, PCM Audio"},
    {0x1C, 0x1F, 10, 0, "XDCAM IMX, PCM Audio"},
    {0x10000, 0x10003, 10, 0, "XDCAM IMX, PCM Audio"},
    {0x20, 0x26, 12, 0, "XDCAM, PCM Audio"},
    {0x10100, 0x10105, 12, 0, "XDCAM, PCM Audio"},
    {0x10113, 0x10114, 12, 0, "XDCAM, PCM Audio"},
    {0x27, 0x28, 12, 2, "XDCAM, PCM Audio"},      // 24-bit planar
    {0x10115, 0x10116, 12, 2, "XDCAM, PCM Audio"},  // 24-bit planar
    {0x29, 0x2B, 4, 0, "XDCAM, PCM Audio"},
    {0x10110, 0x10112, 4, 0, "XDCAM, PCM Audio"},
    {0x2C, 0x2C, 13, 0, "HDMV, LPCM Audio"},
    {0x2800, 0x2800, 13, 0, "HDMV, LPCM Audio"},
};

const PresetRow *row_for(int64_t video_type) {
    for (const PresetRow &row : kPresetRows) {
        if (video_type >= row.first_video_type && video_type <= row.last_video_type) return &row;
    }
    return nullptr;
}

// Two channels, layer 10, emphasis and mute off, 16 bits, dynamic range 128.
const pcm_a_settings kBase = {1, 10, 0, 0, 0, 128};

pcm_a_settings preset_record(const PresetRow &row) {
    pcm_a_settings s = kBase;
    s.audio_layer = row.audio_layer;
    s.quantization = row.quantization;
    return s;
}

std::string show(const pcm_a_settings &s) {
    std::ostringstream out;
    out << "{channels_minus_one " << s.channels_minus_one << ", audio_layer " << s.audio_layer
        << ", emphasis " << s.emphasis << ", mute_flag " << s.mute_flag << ", quantization "
        << s.quantization << ", dynamic_range " << s.dynamic_range << "}";
    return out.str();
}

// A record full of host values that every call must overwrite.
pcm_a_settings host_garbage() { return {0x5A5A5A5A, -7, 1, 1, 3, 200}; }

void expect_preset(int32_t video_type, const PresetRow &row) {
    pcm_a_settings s = host_garbage();
    const char *name = pcmOutAudioDefaults(&s, video_type);
    ASSERT_NE(name, nullptr) << "video type " << video_type;
    EXPECT_STREQ(name, row.name) << "video type " << video_type;
    EXPECT_EQ(show(s), show(preset_record(row))) << "video type " << video_type;
}

void expect_no_preset(int32_t video_type) {
    pcm_a_settings s = host_garbage();
    const char *name = pcmOutAudioDefaults(&s, video_type);
    EXPECT_EQ(name, nullptr) << "video type " << video_type << " named \""
                             << (name ? name : "") << "\"";
    EXPECT_EQ(show(s), show(kBase)) << "video type " << video_type;
}

TEST(Presets, FirstAndLastCodeOfEveryRow) {
    for (const PresetRow &row : kPresetRows) {
        expect_preset(row.first_video_type, row);
        expect_preset(row.last_video_type, row);
    }
}

TEST(Presets, EveryCodeInsideEveryRow) {
    int checked = 0;
    for (const PresetRow &row : kPresetRows) {
        for (int32_t code = row.first_video_type; code <= row.last_video_type; ++code) {
            expect_preset(code, row);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 1 + 1 + 5 + 6 + 4 + 4 + 7 + 6 + 2 + 2 + 2 + 3 + 3 + 1 + 1);
}

TEST(Presets, CodesJustOutsideEveryRowHaveNoPreset) {
    std::vector<int64_t> outside;
    for (const PresetRow &row : kPresetRows) {
        for (int64_t code : {int64_t{row.first_video_type} - 1, int64_t{row.last_video_type} + 1}) {
            if (!row_for(code)) outside.push_back(code);
        }
    }
    // 27 to 44 and 65808 to 65814 are runs of adjacent rows; every other row
    // has a free neighbour on both sides.
    const std::vector<int64_t> expected = {-1,    1,     3,     5,     12,    18,    4111,
                                           4118,  27,    65535, 65540, 45,    65791, 65798,
                                           65815, 65807, 10239, 10241};
    std::vector<int64_t> sorted_outside = outside, sorted_expected = expected;
    std::sort(sorted_outside.begin(), sorted_outside.end());
    std::sort(sorted_expected.begin(), sorted_expected.end());
    sorted_outside.erase(std::unique(sorted_outside.begin(), sorted_outside.end()),
                         sorted_outside.end());
    ASSERT_EQ(sorted_outside, sorted_expected);
    for (int64_t code : sorted_outside) expect_no_preset(static_cast<int32_t>(code));
}

TEST(Presets, TargetsWithoutPresetKeepBaseValues) {
    // VCD, SVCD, DVHS and HDV have rules but no preset; the rest lie between
    // or beyond the preset ranges.
    for (int32_t code : {1, 3, 10, 18, 19, 45, 0x1016, 0x10004, 0x1010E, 0x10106, 0x10117,
                         0x27FF, 0x2801, 0x10000000, INT32_MAX}) {
        expect_no_preset(code);
    }
}

TEST(Presets, NegativeCodesMatchNoRow) {
    // Negative codes whose low bits repeat a preset code must not be taken
    // for it.
    for (int32_t code : {-1, -4, -13, -44, -10240, -65536, -65813, INT32_MIN, INT32_MIN + 4,
                         INT32_MIN + 0x2C, INT32_MIN + 0x10115,
                         static_cast<int32_t>(0xFFFF0004u), static_cast<int32_t>(0xFFFF002Cu),
                         static_cast<int32_t>(0xFFFFFF00u), static_cast<int32_t>(0xFF000000u)}) {
        expect_no_preset(code);
    }
}

TEST(Presets, ScanAgreesWithTheTable) {
    int with_preset = 0;
    for (int32_t code = -70000; code <= 70000; ++code) {
        pcm_a_settings s = host_garbage();
        const char *name = pcmOutAudioDefaults(&s, code);
        const PresetRow *row = row_for(code);
        if (row == nullptr) {
            ASSERT_EQ(name, nullptr) << "video type " << code;
            ASSERT_EQ(show(s), show(kBase)) << "video type " << code;
            continue;
        }
        ++with_preset;
        ASSERT_NE(name, nullptr) << "video type " << code;
        ASSERT_STREQ(name, row->name) << "video type " << code;
        ASSERT_EQ(show(s), show(preset_record(*row))) << "video type " << code;
        // No preset picks the D-10 layer.
        ASSERT_NE(s.audio_layer, 11) << "video type " << code;
    }
    EXPECT_EQ(with_preset, 48);
}

TEST(Presets, NullRecordYieldsNullForEveryCode) {
    for (int32_t code : {0, 4, 15, 44, 10240, 65813, 1, 10, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(pcmOutAudioDefaults(nullptr, code), nullptr) << "video type " << code;
    }
}

TEST(Presets, HostValuesAreOverwrittenWhetherOrNotAPresetExists) {
    struct Case {
        pcm_a_settings before;
        int32_t video_type;
        bool has_preset;
        pcm_a_settings after;
    };
    const Case cases[] = {
        {{1, 10, 1, 0, 0, 128}, 0, true, {1, 10, 0, 0, 0, 128}},            // emphasis 1
        {{1, 10, 0, 0, 0, 200}, 0, true, {1, 10, 0, 0, 0, 128}},            // dynamic range 200
        {{0, 4, 1, 1, 0, 200}, 4, true, {1, 4, 0, 0, 0, 128}},
        {{7, 11, 1, 1, 2, 0}, 39, true, {1, 12, 0, 0, 2, 128}},
        {{3, 12, 0, 0, 2, 255}, 44, true, {1, 13, 0, 0, 0, 128}},
        {{1, 10, 1, 0, 0, 128}, 1, false, {1, 10, 0, 0, 0, 128}},           // emphasis 1
        {{1, 10, 0, 0, 0, 200}, 45, false, {1, 10, 0, 0, 0, 128}},          // dynamic range 200
        {{5, 4, 1, 1, 2, 7}, -1, false, {1, 10, 0, 0, 0, 128}},
        {{INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN},
         INT32_MIN, false, {1, 10, 0, 0, 0, 128}},
        {{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX},
         0x10110, true, {1, 4, 0, 0, 0, 128}},
    };
    for (const Case &c : cases) {
        pcm_a_settings s = c.before;
        const char *name = pcmOutAudioDefaults(&s, c.video_type);
        EXPECT_EQ(name != nullptr, c.has_preset) << "video type " << c.video_type;
        EXPECT_EQ(show(s), show(c.after)) << "video type " << c.video_type;
    }
}

TEST(Presets, NamesAreConstantTextsThatComeBackUnchanged) {
    struct Case {
        int32_t video_type;
        const char *name;
    };
    const Case cases[] = {
        {0, "Default, PCM Audio"},   {4, "DVD, PCM Audio"},
        {15, "DVD, PCM Audio"},      {4112, "DVD, PCM Audio"},
        {28, "XDCAM IMX, PCM Audio"}, {65536, "XDCAM IMX, PCM Audio"},
        {38, "XDCAM, PCM Audio"},    {39, "XDCAM, PCM Audio"},
        {41, "XDCAM, PCM Audio"},    {65808, "XDCAM, PCM Audio"},
        {44, "HDMV, LPCM Audio"},    {10240, "HDMV, LPCM Audio"},
    };
    std::vector<const char *> first_answers;
    for (const Case &c : cases) {
        pcm_a_settings s;
        const char *name = pcmOutAudioDefaults(&s, c.video_type);
        ASSERT_NE(name, nullptr) << "video type " << c.video_type;
        EXPECT_EQ(std::string(name), std::string(c.name)) << "video type " << c.video_type;
        first_answers.push_back(name);
    }
    // A name handed out earlier still reads the same after many more calls,
    // and asking again gives the same text.
    for (size_t i = 0; i < std::size(cases); ++i) {
        pcm_a_settings s;
        const char *again = pcmOutAudioDefaults(&s, cases[i].video_type);
        ASSERT_NE(again, nullptr);
        EXPECT_STREQ(again, cases[i].name);
        EXPECT_STREQ(first_answers[i], cases[i].name) << "video type " << cases[i].video_type;
    }
}

TEST(Presets, DvdCodesGiveTheSameTextAndIdenticalRecords) {
    pcm_a_settings dvd4{}, dvd15{}, dvd4112{};
    const char *n4 = pcmOutAudioDefaults(&dvd4, 4);
    const char *n15 = pcmOutAudioDefaults(&dvd15, 15);
    const char *n4112 = pcmOutAudioDefaults(&dvd4112, 4112);
    ASSERT_TRUE(n4 && n15 && n4112);
    EXPECT_STREQ(n4, "DVD, PCM Audio");
    EXPECT_STREQ(n15, n4);
    EXPECT_STREQ(n4112, n4);
    EXPECT_EQ(std::memcmp(&dvd4, &dvd15, sizeof dvd4), 0);
    EXPECT_EQ(std::memcmp(&dvd4, &dvd4112, sizeof dvd4), 0);
    EXPECT_EQ(dvd4.audio_layer, 4);
    EXPECT_EQ(dvd4.quantization, 0);
}

// Every preset is a record the library accepts for the target it names:
// at 48 kHz always, at 96 kHz too except for DVD-VR, which is 48 kHz only.
TEST(Presets, EveryPresetPassesTheChecksOfItsOwnVideoType) {
    const std::string p017 = "P017:Invalid PCM frequency for DVD-VR, should be 48 kHz";
    int checked = 0;
    for (const PresetRow &row : kPresetRows) {
        for (int32_t code = row.first_video_type; code <= row.last_video_type; ++code) {
            pcm_a_settings s;
            ASSERT_NE(pcmOutAudioDefaults(&s, code), nullptr) << "video type " << code;
            for (int32_t rate : {48000, 96000}) {
                const bool dvd_vr_at_96k = (code == 14 || code == 15) && rate == 96000;
                for (int32_t options : {0, 2}) {
                    fakes::Host host;
                    const int32_t result =
                        pcmOutAudioChkSettings(host.lookup(), &s, code, rate, options, 0);
                    if (dvd_vr_at_96k) {
                        EXPECT_EQ(result, 0x8009) << "video type " << code;
                        ASSERT_EQ(host.errors.size(), 1u) << "video type " << code;
                        EXPECT_EQ(host.errors[0].format, p017);
                        EXPECT_TRUE(host.errors[0].args.empty());
                    } else {
                        EXPECT_EQ(result, 0) << "video type " << code << " at " << rate;
                        EXPECT_TRUE(host.errors.empty())
                            << "video type " << code << " at " << rate << ": "
                            << host.errors[0].format;
                    }
                }
                EXPECT_EQ(pcmOutAudioCheckSettings(&s, code, rate), dvd_vr_at_96k ? 0x8009 : 0)
                    << "video type " << code << " at " << rate;
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 2 * 48);
}

}  // namespace

namespace {

// The listing gives every video type of the rows, in ascending order, with
// the row's name, and ends after the last one.
TEST(Presets, NextPresetListsEveryTypeOfEveryRowInOrder) {
    std::vector<std::pair<int32_t, std::string>> expected;
    for (const PresetRow &row : kPresetRows) {
        for (int32_t t = row.first_video_type; t <= row.last_video_type; ++t) {
            expected.emplace_back(t, row.name);
        }
    }
    std::sort(expected.begin(), expected.end());
    std::vector<std::pair<int32_t, std::string>> listed;
    int32_t type = -1;
    for (const char *name; (name = pcmOutAudioNextPreset(type, &type)) != nullptr;) {
        listed.emplace_back(type, name);
        ASSERT_LE(listed.size(), expected.size());
    }
    EXPECT_EQ(listed, expected);
    int32_t untouched = 77;
    EXPECT_EQ(pcmOutAudioNextPreset(INT32_MAX, &untouched), nullptr);
    EXPECT_EQ(untouched, 77);
    EXPECT_EQ(pcmOutAudioNextPreset(INT32_MIN, nullptr), nullptr);
}

}  // namespace
