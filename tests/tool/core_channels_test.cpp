// SPDX-License-Identifier: BSD-2-Clause
// The channel plan of a source, in process: where each coded channel of an
// HDMV layout comes from (a channel mask, WAV order, or the order given),
// which channel assignment the frame headers carry, and every rule a source
// breaks, in the words a refusal prints.
#include "source/channel_layout.h"
#include "speaker_positions.h"

#include <gtest/gtest.h>
#include <pcmpack.h>
#include <sndfile.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A source that has only a channel count and, perhaps, a channel mask.
class MaskedSource : public pcmtool::AudioSource {
public:
    MaskedSource(int channels, std::vector<int> map) : map_(std::move(map)) {
        rate_ = 48000;
        channels_ = channels;
        bits_ = precision_ = 16;
    }
    size_t read(int32_t *, size_t) override { return 0; }
    std::vector<int> channel_map() const override { return map_; }
    const pcmtool::InputFile &file() const override { std::abort(); }

private:
    std::vector<int> map_;
};

using namespace speaker_positions;

// HDMV channel assignments: 1 mono, 3 2.0, 4 3/0, 8 3/2, 9 5.1, 10 3/4,
// 11 7.1; their coded orders are FC pad / FL FR / FL FR FC pad /
// FL FR FC Ls Rs pad / FL FR FC Ls Rs LFE / FL FR FC SL BL BR SR pad /
// FL FR FC SL BL BR SR LFE.
struct PlanRow {
    const char *name;
    int layer, channels;
    std::vector<int> mask;  // empty: the source declares none
    const char *hdmv_layout;
    bool keep_order, pad_last;
    const char *coded;    // 1-based source channel of each coded one, "-" silent padding
    int assignment;
    const char *problems;  // every line, in order; "" when the plan holds
};

#define PAD_RULE(n, coded, fix)                                                              \
    "in.wav: " #n " channels; HDMV LPCM carries " #n " coded channels as the " coded " layout " \
    "plus a padding channel, so channel " #n " would be read as padding and lost (pass "        \
    "--hdmv-pad-last if it is padding already" fix ")"

const PlanRow kPlans[] = {
    // No mask: 2, 3, 5 and 7 channels fill the padded layouts; an even
    // count would lose its last channel to the padding slot.
    {"one", 13, 1, {}, "auto", false, false, "", 0,
     "in.wav: 1 channel; HDMV LPCM carries 2, 3, 5 or 7 source channels (2.0, 3/0, 3/2, 3/4); "
     "--hdmv-layout mono packs a mono source"},
    {"two", 13, 2, {}, "auto", false, false, "1 2", 3, ""},
    {"three", 13, 3, {}, "auto", false, false, "1 2 3 -", 4, ""},
    {"four", 13, 4, {}, "auto", false, false, "", 0, PAD_RULE(4, "3/0", "")},
    {"four_pad_last", 13, 4, {}, "auto", false, true, "1 2 3 4", 4, ""},
    {"five", 13, 5, {}, "auto", false, false, "1 2 3 4 5 -", 8, ""},
    {"six", 13, 6, {}, "auto", false, false, "", 0,
     PAD_RULE(6, "3/2", ", --hdmv-layout 5.1 for a 5.1 mix in file order")},
    {"six_pad_last", 13, 6, {}, "auto", false, true, "1 2 3 4 5 6", 8, ""},
    {"seven", 13, 7, {}, "auto", false, false, "1 2 3 4 5 6 7 -", 10, ""},
    {"eight", 13, 8, {}, "auto", false, false, "", 0,
     PAD_RULE(8, "3/4", ", --hdmv-layout 7.1 for a 7.1 mix in file order")},
    {"eight_kept_order", 13, 8, {}, "auto", true, false, "", 0,
     PAD_RULE(8, "3/4", ", --hdmv-layout 7.1 for a 7.1 mix in file order")},
    {"eight_pad_last", 13, 8, {}, "auto", false, true, "1 2 3 4 5 6 7 8", 10, ""},
    {"nine", 13, 9, {}, "auto", false, false, "", 0,
     "in.wav: 9 channels; HDMV LPCM carries 2, 3, 5 or 7 source channels (2.0, 3/0, 3/2, 3/4)"},
    // A named layout takes a maskless source in WAV order: FL FR FC LFE
    // BL BR (SL SR), whose LFE the coded order puts last.
    {"mono", 13, 1, {}, "mono", false, false, "1 -", 1, ""},
    {"five_one_in_wav_order", 13, 6, {}, "5.1", false, false, "1 2 3 5 6 4", 9, ""},
    {"seven_one_in_wav_order", 13, 8, {}, "7.1", false, false, "1 2 3 7 5 6 8 4", 11, ""},
    {"five_one_kept_order", 13, 6, {}, "5.1", true, false, "1 2 3 4 5 6", 9, ""},
    {"seven_one_of_six", 13, 6, {}, "7.1", false, false, "", 0,
     "--hdmv-layout 7.1 takes 8 channels; in.wav has 6 (--hdmv-layout 5.1 takes 6 channels)"},
    {"seven_one_of_six_pad_last", 13, 6, {}, "7.1", false, true, "", 0,
     "--hdmv-pad-last packs the library's layouts as they are; it cannot be combined with "
     "--hdmv-layout 7.1 (leave one out)\n"
     "--hdmv-layout 7.1 takes 8 channels; in.wav has 6 (--hdmv-layout 5.1 takes 6 channels)"},
    // A mask: its speakers find the layout and their coded places, side or
    // back surrounds alike; the mask's order is not the coded order.
    {"mask_five_one_side", 13, 6, {L, R, C, LFE, SL, SR}, "auto", false, false, "1 2 3 5 6 4", 9, ""},
    {"mask_five_one_shuffled", 13, 6, {LFE, BR, C, L, BL, R}, "auto", false, false, "4 6 3 5 2 1", 9,
     ""},
    {"mask_three_two", 13, 5, {L, R, C, BL, BR}, "auto", false, false, "1 2 3 4 5 -", 8, ""},
    {"mask_seven_one", 13, 8, {L, R, C, LFE, BL, BR, SL, SR}, "auto", false, false,
     "1 2 3 7 5 6 8 4", 11, ""},
    {"mask_kept_order", 13, 3, {C, R, L}, "auto", true, false, "1 2 3 -", 4, ""},
    {"mask_library_only", 13, 6, {L, R, C, LFE, SL, SR}, "library", false, false, "", 0,
     "in.wav: 6 channels FL FR FC LFE SL SR: --hdmv-layout library writes only 2.0, 3/0, 3/2, "
     "3/4, none of which carries them (--hdmv-layout auto packs them as 5.1)"},
    {"mask_without_layout", 13, 4, {L, R, C, BC}, "auto", false, false, "", 0,
     "in.wav: 4 channels FL FR FC BC: HDMV LPCM has no layout for them (it has mono, 2.0, 3/0, "
     "3/2, 5.1, 3/4, 7.1)"},
    {"mask_against_named_layout", 13, 6, {L, R, C, LFE, FLC, FRC}, "5.1", false, false, "", 0,
     "in.wav: its channel mask says FL FR FC LFE FLC FRC; --hdmv-layout 5.1 needs FL FR FC LFE "
     "Ls Rs (--hdmv-layout auto follows the mask, --channel-order keep ignores it)"},
    {"mask_with_pad_last", 13, 6, {L, R, C, LFE, SL, SR}, "auto", false, true, "", 0,
     "in.wav: its channel mask names FL FR FC LFE SL SR; --hdmv-pad-last would pack them as 3/2 "
     "in the order given and read channel 6 (SR) as padding: leave it out to pack the speakers "
     "the mask names (--channel-order keep ignores the mask)"},
    {"mask_position_twice", 13, 2, {L, L}, "auto", false, false, "", 0,
     "in.wav: the channel mask names a position twice (FL FL); --channel-order keep takes the "
     "channels in the order given"},
    {"mask_position_missing", 13, 2, {L, NONE}, "auto", false, false, "", 0,
     "in.wav: the channel mask gives positions to 1 of 2 channels (FL ?); --channel-order keep "
     "takes the channels in the order given"},
    // The other layers carry numbered channels in the source's order.
    {"302m_numbered", 10, 4, {LFE, C, R, L}, "auto", false, false, "1 2 3 4", 0, ""},
    {"302m_named_layout", 10, 6, {}, "5.1", false, false, "1 2 3 4 5 6", 0,
     "--hdmv-layout 5.1 applies to HDMV LPCM only; SMPTE 302M carries numbered "
     "channels in the source's order"},
    {"dvd_named_layout", 4, 2, {}, "mono", false, false, "1 2", 0,
     "--hdmv-layout mono applies to HDMV LPCM only; DVD LPCM carries numbered "
     "channels in the source's order"},
};

std::string coded_text(const pcmtool::ChannelPlan &plan) {
    std::string text;
    for (int source : plan.source_of_coded)
        text += (text.empty() ? "" : " ") + (source < 0 ? "-" : std::to_string(source + 1));
    return text;
}

TEST(ChannelPlan, CodedChannelsComeFromTheirSpeakersOrEveryBrokenRuleIsNamed) {
    for (const PlanRow &row : kPlans) {
        SCOPED_TRACE(row.name);
        const MaskedSource source(row.channels, row.mask);
        pcmtool::ChannelRequest request;
        request.hdmv_layout = row.hdmv_layout;
        request.keep_order = row.keep_order;
        request.hdmv_pad_last = row.pad_last;
        const pcmtool::ChannelPlan plan = pcmtool::plan_channels(source, row.layer, request, "in.wav");
        std::string problems;
        for (const std::string &p : plan.problems) problems += (problems.empty() ? "" : "\n") + p;
        EXPECT_EQ(problems, row.problems);
        if (!plan.problems.empty() && row.layer == PCM_LAYER_HDMV_LPCM) continue;
        EXPECT_EQ(coded_text(plan), row.coded);
        EXPECT_EQ(plan.coded_channels, int(plan.source_of_coded.size()));
        EXPECT_EQ(plan.assignment, row.assignment);
        EXPECT_EQ(plan.layout ? plan.layout->assignment : 0, row.assignment);
    }
}

// What --verbose prints of a plan: the layout, then each coded channel with
// its source channel and, where known, that channel's speaker.
TEST(ChannelPlan, VerboseLinesNameEachCodedChannelsSource) {
    const struct {
        int channels;
        std::vector<int> mask;
        const char *layout;
        const char *text;
    } rows[] = {
        {3, {}, "auto",
         "HDMV 3/0 (channel assignment 4) in 4 coded channels:\n  coded 1 FL <- source 1\n"
         "  coded 2 FR <- source 2\n  coded 3 FC <- source 3\n  coded 4 pad <- silence"},
        {6, {}, "5.1",
         "HDMV 5.1 (channel assignment 9) in 6 coded channels:\n  coded 1 FL <- source 1 (FL)\n"
         "  coded 2 FR <- source 2 (FR)\n  coded 3 FC <- source 3 (FC)\n"
         "  coded 4 Ls <- source 5 (BL)\n  coded 5 Rs <- source 6 (BR)\n"
         "  coded 6 LFE <- source 4 (LFE)"},
        {5, {L, R, C, SL, SR}, "auto",
         "HDMV 3/2 (channel assignment 8) in 6 coded channels:\n  coded 1 FL <- source 1 (FL)\n"
         "  coded 2 FR <- source 2 (FR)\n  coded 3 FC <- source 3 (FC)\n"
         "  coded 4 Ls <- source 4 (SL)\n  coded 5 Rs <- source 5 (SR)\n  coded 6 pad <- silence"},
    };
    for (const auto &row : rows) {
        pcmtool::ChannelRequest request;
        request.hdmv_layout = row.layout;
        const pcmtool::ChannelPlan plan =
            pcmtool::plan_channels(MaskedSource(row.channels, row.mask), 13, request, "in.wav");
        ASSERT_TRUE(plan.problems.empty()) << plan.problems[0];
        EXPECT_EQ(pcmtool::describe_plan(plan), row.text);
    }
}

}  // namespace
