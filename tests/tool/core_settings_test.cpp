// SPDX-License-Identifier: BSD-2-Clause
// The names the command line takes for frame rates and targets, in process:
// every spelling of each MPEG frame rate finds its code, and near misses
// find none (a bare code, a rate rounded too far, a fraction that is not
// the rate exactly).
#include "settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using pcmtool::parse_frame_rate;

// MPEG frame_rate_code: 1 23.976, 2 24, 3 25, 4 29.97, 5 30, 6 50,
// 7 59.94, 8 60; 0: not a frame rate.
struct SpellingRow {
    const char *text;
    int code;
};

const SpellingRow kSpellings[] = {
    // Whole numbers, decimals that equal the rate, fractions that equal it.
    {"24", 2}, {"25", 3}, {"30", 5}, {"50", 6}, {"60", 8},
    {"25.0", 3}, {"24.000", 2}, {"60.00", 8}, {"50.000000", 6},
    {"25/1", 3}, {"50/2", 3}, {"24000/1001", 1}, {"30000/1001", 4}, {"60000/1001", 7},
    {"48000/2002", 1}, {"000025", 3},
    // The 1001 rates as people round them: two to six decimals.
    {"23.976", 1}, {"23.98", 1}, {"29.97", 4}, {"29.970", 4}, {"59.94", 7}, {"59.940", 7},
    {"23.976024", 1}, {"29.970030", 4},
    // A whole number is never a 1001 rate, nor is one decimal rounded.
    {"23.9", 0}, {"29.9", 0}, {"23.97", 0}, {"23.977", 0}, {"59.95", 0}, {"30.0", 5},
    // A fraction must be the rate itself, not a rounding of it.
    {"2997/100", 0}, {"5994/100", 0}, {"24/1001", 0},
    // A bare code is a rate of that many frames: 5 per second is none.
    {"1", 0}, {"5", 0}, {"8", 0}, {"29", 0}, {"0", 0},
    // Not numbers of the forms above.
    {"", 0}, {".", 0}, {"/", 0}, {"25/", 0}, {"/25", 0}, {"25/0", 0}, {"0/0", 0},
    {"25.", 0}, {".25", 0}, {"-25", 0}, {"+25", 0}, {" 25", 0}, {"25 ", 0}, {"25fps", 0},
    {"2.5.0", 0}, {"25/1/1", 0}, {"25.0/1", 0}, {"0x19", 0}, {"1e1", 0},
    // Seven decimals are more than any rate needs; ten digits are refused
    // before any product could overflow.
    {"25.0000000", 0}, {"23.9760240", 0}, {"0000000025", 0}, {"25/0000000001", 0},
    {"999999999/999999999", 0}, {"999999999.999999", 0},
};

TEST(FrameRate, EverySpellingNamesItsCodeAndNearMissesNone) {
    for (const SpellingRow &row : kSpellings)
        EXPECT_EQ(parse_frame_rate(row.text), row.code) << '"' << row.text << '"';
}

// The list a refusal of --frame-rate offers: every code's exact rate in
// code order, the 1001 rates with their rounded form, each accepted by the
// parser as the code it stands for.
TEST(FrameRate, ListNamesEveryRateInCodeOrder) {
    EXPECT_EQ(pcmtool::frame_rate_list(),
              "24000/1001 (23.976), 24, 25, 30000/1001 (29.97), 30, 50, 60000/1001 (59.94), 60; "
              "also written as 25.0, 25/1 or 23.98");
    const char *listed[][2] = {{"24000/1001", "23.976"}, {"24", "24"}, {"25", "25"},
                               {"30000/1001", "29.97"}, {"30", "30"}, {"50", "50"},
                               {"60000/1001", "59.94"}, {"60", "60"}};
    for (int code = 1; code <= 8; ++code) {
        EXPECT_EQ(parse_frame_rate(listed[code - 1][0]), code);
        EXPECT_EQ(parse_frame_rate(listed[code - 1][1]), code);
    }
}

// --target names and the video type families messages name.
struct TargetRow {
    const char *target;
    int video_type;
};

const TargetRow kTargets[] = {
    {"default", 0}, {"dvd", 4}, {"hdmv", 44}, {"xdcam", 32}, {"xdcam-imx", 28},
    {"302m", 0}, {"broadcast", 0}, {"bluray", 44}, {"bd", 44},
};

struct FamilyRow {
    int video_type;
    const char *family;  // nullptr: no family
};

const FamilyRow kFamilies[] = {
    {0, "none"},       {1, "VCD"},          {2, nullptr},       {3, "SVCD"},
    {4, "DVD"},        {10, "DVHS"},        {14, "DVD-VR"},     {15, "DVD-VR"},
    {18, "HDV"},       {19, "HDV"},         {20, nullptr},      {28, "XDCAM IMX"},
    {31, "XDCAM IMX"}, {32, "XDCAM"},       {43, "XDCAM"},      {44, "HDMV"},
    {45, nullptr},     {0x1010, "DVD"},     {0x1016, nullptr},  {0x2800, "HDMV"},
    {0x10003, "XDCAM IMX"}, {0x10004, nullptr}, {0x10116, "XDCAM"}, {-1, nullptr},
};

TEST(Target, NamesAndFamiliesAreTheVideoTypes) {
    for (const TargetRow &row : kTargets)
        EXPECT_EQ(pcmtool::target_video_type(row.target), row.video_type) << row.target;
    EXPECT_EQ(pcmtool::target_list(),
              "default (302M for broadcast; also 302m, broadcast), dvd, hdmv (Blu-ray; also bluray, bd), "
              "xdcam, xdcam-imx");
    EXPECT_EQ(pcmtool::target_list(true),
              "default (video type 0, 302M for broadcast; also 302m, broadcast), dvd (video type 4), "
              "hdmv (video type 44, Blu-ray; also bluray, bd), xdcam (video type 32), "
              "xdcam-imx (video type 28)");
    for (const FamilyRow &row : kFamilies) {
        const char *family = pcmtool::video_type_family(row.video_type);
        EXPECT_EQ(family ? std::string(family) : "(none)", row.family ? row.family : "(none)")
            << "video type " << row.video_type;
    }
    std::string without_preset;
    for (const pcmtool::VideoTypeFamily &f : pcmtool::families_without_preset())
        without_preset += std::string(f.name) + " ";
    EXPECT_EQ(without_preset, "VCD SVCD DVHS HDV ");
}

}  // namespace
