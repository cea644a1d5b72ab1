// SPDX-License-Identifier: BSD-2-Clause
// The downmix, in process: a tone on each source channel in turn comes out
// of each mixed channel at the level of its coefficient, written out here
// as the -3 dB rule of the 3/2 to 2/0 downmix gives it; a full-scale source
// mixes to full scale at most; and what cannot be mixed is refused in the
// words a user reads.
#include "source/conversion.h"
#include "source/downmix.h"
#include "speaker_positions.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace speaker_positions;

constexpr int kRate = 48000;
constexpr size_t kPeriods = 20000;  // more than one piece of the conversion stage
constexpr double kFullScale = 8388607.0;  // of a 24-bit word

// 24-bit samples of `channels` channels, each period's values from `value`
// (channel, period), as full-scale fractions.
class FunctionSource : public pcmtool::AudioSource {
public:
    FunctionSource(std::vector<int> map, std::function<double(int, size_t)> value)
        : map_(std::move(map)), value_(std::move(value)) {
        rate_ = kRate;
        channels_ = static_cast<int>(map_.size());
        bits_ = precision_ = 24;
        periods_ = kPeriods;
    }
    size_t read(int32_t *out, size_t max_periods) override {
        size_t n = 0;
        for (; n < max_periods && next_ < kPeriods; ++n, ++next_)
            for (int c = 0; c < channels_; ++c)
                *out++ = static_cast<int32_t>(std::lround(value_(c, next_) * kFullScale)) * 256;
        return n;
    }
    std::vector<int> channel_map() const override { return map_; }
    const pcmtool::InputFile &file() const override { std::abort(); }

private:
    std::vector<int> map_;
    std::function<double(int, size_t)> value_;
    size_t next_ = 0;
};

// The mix of `source` as 24-bit words, in full-scale fractions, with the
// conversion stage's notes.
std::vector<double> mixed(const std::vector<int> &map, const char *to, std::function<double(int, size_t)> value,
                          std::vector<std::string> *notes = nullptr) {
    const pcmtool::DownmixPlan plan = pcmtool::plan_downmix(int(map.size()), map, {to, ""}, "in.wav");
    EXPECT_TRUE(plan.problems.empty()) << plan.problems.front();
    EXPECT_NE(plan.mix, nullptr);
    if (!plan.mix) return {};
    auto stage = pcmtool::convert(std::make_unique<FunctionSource>(map, std::move(value)),
                                  {kRate, 24, pcmtool::Dither::tpdf, nullptr, plan.mix});
    std::vector<int32_t> words(kPeriods * size_t(plan.channels));
    EXPECT_EQ(stage->read(words.data(), kPeriods + 1), kPeriods);
    if (notes) *notes = stage->notes();
    std::vector<double> out;
    for (int32_t w : words) out.push_back((w >> 8) / kFullScale);
    return out;
}

constexpr double h = M_SQRT1_2;  // -3 dB

struct MixRow {
    const char *name;
    std::vector<int> speakers;  // the source's channel mask
    const char *to;
    // The coefficients before scaling: a row per mixed channel, a column
    // per source channel; and the scaling that keeps the fullest row at 1.
    std::vector<std::vector<double>> coefficients;
    double scale;
};

const MixRow kMixes[] = {
    {"surround_5_1_to_stereo", {L, R, C, LFE, BL, BR}, "2",
     {{1, 0, h, 0, h, 0}, {0, 1, h, 0, 0, h}}, 1 / (1 + 2 * h)},
    {"surround_7_1_to_stereo", {L, R, C, LFE, BL, BR, SL, SR}, "2",
     {{1, 0, h, 0, h, 0, h, 0}, {0, 1, h, 0, 0, h, 0, h}}, 1 / (1 + 3 * h)},
    {"surround_7_1_to_5_1", {L, R, C, LFE, BL, BR, SL, SR}, "5.1",
     {{1, 0, 0, 0, 0, 0, 0, 0},
      {0, 1, 0, 0, 0, 0, 0, 0},
      {0, 0, 1, 0, 0, 0, 0, 0},
      {0, 0, 0, 1, 0, 0, 0, 0},
      {0, 0, 0, 0, h, 0, h, 0},
      {0, 0, 0, 0, 0, h, 0, h}},
     h},
    {"side_5_0_to_stereo", {L, R, C, SL, SR}, "2", {{1, 0, h, h, 0}, {0, 1, h, 0, h}}, 1 / (1 + 2 * h)},
    {"quad_to_stereo", {L, R, BL, BR}, "2", {{1, 0, h, 0}, {0, 1, 0, h}}, 1 / (1 + h)},
};

void PrintTo(const MixRow &row, std::ostream *os) { *os << row.name; }

class DownmixLevels : public ::testing::TestWithParam<MixRow> {};

// The gain from one source channel to each mixed channel, measured as the
// least-squares fit of the mixed channel to the tone.
TEST_P(DownmixLevels, EachChannelAtItsCoefficient) {
    const MixRow &row = GetParam();
    const auto tone = [](size_t period) { return 0.5 * std::sin(2 * M_PI * 997.0 * double(period) / kRate); };
    const size_t outs = row.coefficients.size(), ins = row.speakers.size();
    for (size_t lit = 0; lit < ins; ++lit) {
        const std::vector<double> out =
            mixed(row.speakers, row.to, [&](int c, size_t p) { return size_t(c) == lit ? tone(p) : 0.0; });
        ASSERT_EQ(out.size(), kPeriods * outs);
        for (size_t o = 0; o < outs; ++o) {
            double fit = 0, power = 0;
            for (size_t p = 0; p < kPeriods; ++p) {
                fit += out[p * outs + o] * tone(p);
                power += tone(p) * tone(p);
            }
            EXPECT_NEAR(fit / power, row.coefficients[o][lit] * row.scale, 1e-4)
                << "source channel " << lit + 1 << " in mixed channel " << o + 1;
        }
    }
}

// Every source channel at full scale, all of one sign, is the most any
// mixed channel can take: the fullest comes out at full scale, none beyond.
TEST_P(DownmixLevels, FullScaleSourceDoesNotClip) {
    const MixRow &row = GetParam();
    for (double level : {1.0, -(kFullScale + 1) / kFullScale}) {
        std::vector<std::string> notes;
        const std::vector<double> out = mixed(row.speakers, row.to, [level](int, size_t) { return level; }, &notes);
        ASSERT_FALSE(out.empty());
        double peak = 0;
        for (double v : out) peak = std::max(peak, std::fabs(v));
        EXPECT_NEAR(peak, std::fabs(level), 1.5 / kFullScale) << "at " << level;
        // Nothing was limited to full scale on the way.
        EXPECT_TRUE(notes.empty()) << notes.front();
    }
}

INSTANTIATE_TEST_SUITE_P(Downmix, DownmixLevels, ::testing::ValuesIn(kMixes),
                         [](const ::testing::TestParamInfo<MixRow> &info) { return std::string(info.param.name); });

// What a downmix plan says: a refusal's words, or the notes of a plan that
// holds, "|" between lines.
struct PlanRow {
    const char *name;
    int channels;
    std::vector<int> speakers;  // empty: no channel mask
    const char *to, *layout;
    const char *problems, *notes;
    int mixed_channels;  // the channels the rest of the run is planned on
};

const PlanRow kPlans[] = {
    {"fewer_channels_than_the_mix", 2, {L, R}, "5.1", "",
     "--downmix 5.1: in.wav has 2 channels, fewer than the 6 of a 5.1 mix", "", 2},
    {"no_mask", 6, {}, "2", "",
     "in.wav: 6 channels and no channel mask to say which speaker each one feeds, which --downmix 2 needs; "
     "--channel-layout names the speakers in channel order (5.1, 7.1, quad, FL+FR+FC+LFE+BL+BR, ...); "
     "--channel-layout 5.1 takes them in WAV order",
     "", 2},
    {"mask_without_a_position", 6, {L, R, C, LFE, NONE, NONE}, "2", "",
     "in.wav: its channel mask gives channel 5 no speaker position that a downmix places; --channel-layout "
     "names the speakers in channel order (5.1, 7.1, quad, FL+FR+FC+LFE+BL+BR, ...)",
     "", 2},
    {"layout_of_another_count", 6, {}, "2", "7.1", "--channel-layout 7.1 names 8 channels; in.wav has 6", "", 2},
    {"layout_unknown", 6, {}, "2", "surround",
     "--channel-layout surround: not a layout; name one as 5.1, 7.1, quad, 5.0 or FL+FR+FC+LFE+BL+BR", "", 2},
    {"layout_a_count", 6, {}, "2", "6",
     "--channel-layout 6: a number, not speakers; name them as 5.1, 7.1, quad, 5.0 or FL+FR+FC+LFE+BL+BR", "", 2},
    {"stereo_already", 2, {}, "2", "", "", "in.wav: 2 channels already; --downmix 2 leaves them as they are", 2},
    {"surround_5_1_already", 6, {L, R, C, LFE, BL, BR}, "5.1", "", "",
     "in.wav: 5.1 already; --downmix 5.1 leaves its channels as they are", 6},
    {"layout_given", 6, {}, "2", "5.1", "",
     "in.wav: the downmix of 5.1 to 2.0 lowers the level by 7.7 dB so that no sample clips", 2},
    {"layout_in_place_of_the_mask", 8, {L, R, C, LFE, BL, BR, SL, SR}, "5.1", "FL+FR+FC+LFE+BL+BR+FLC+FRC", "",
     "in.wav: --channel-layout FL+FR+FC+LFE+BL+BR+FLC+FRC takes the place of the speakers its channel mask "
     "names (FL FR FC LFE BL BR SL SR)|in.wav: the downmix of 7.1(wide) to 5.1 lowers the level by 6.0 dB so "
     "that no sample clips",
     6},
};

void PrintTo(const PlanRow &row, std::ostream *os) { *os << row.name; }

std::string joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) text += (text.empty() ? "" : "|") + line;
    return text;
}

class DownmixPlans : public ::testing::TestWithParam<PlanRow> {};

TEST_P(DownmixPlans, RefuseOrNote) {
    const PlanRow &row = GetParam();
    const pcmtool::DownmixPlan plan =
        pcmtool::plan_downmix(row.channels, row.speakers, {row.to, row.layout}, "in.wav");
    EXPECT_EQ(joined(plan.problems), row.problems);
    EXPECT_EQ(joined(plan.notes), row.notes);
    EXPECT_EQ(plan.channels, row.mixed_channels);
}

INSTANTIATE_TEST_SUITE_P(Downmix, DownmixPlans, ::testing::ValuesIn(kPlans),
                         [](const ::testing::TestParamInfo<PlanRow> &info) { return std::string(info.param.name); });

}  // namespace
