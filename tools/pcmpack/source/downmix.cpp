// SPDX-License-Identifier: BSD-2-Clause
#include "source/downmix.h"

#include "common.h"

#include <sndfile.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace pcmtool {

namespace {

// libsndfile's speaker positions and libavutil's channels, the same
// speakers; where two positions name one speaker, the first row is the one
// a mix's output declares.
struct Position {
    int sndfile;
    AVChannel channel;
};
constexpr Position kPositions[] = {
    {SF_CHANNEL_MAP_FRONT_LEFT, AV_CHAN_FRONT_LEFT},
    {SF_CHANNEL_MAP_FRONT_RIGHT, AV_CHAN_FRONT_RIGHT},
    {SF_CHANNEL_MAP_FRONT_CENTER, AV_CHAN_FRONT_CENTER},
    {SF_CHANNEL_MAP_LFE, AV_CHAN_LOW_FREQUENCY},
    {SF_CHANNEL_MAP_REAR_LEFT, AV_CHAN_BACK_LEFT},
    {SF_CHANNEL_MAP_REAR_RIGHT, AV_CHAN_BACK_RIGHT},
    {SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, AV_CHAN_FRONT_LEFT_OF_CENTER},
    {SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER, AV_CHAN_FRONT_RIGHT_OF_CENTER},
    {SF_CHANNEL_MAP_REAR_CENTER, AV_CHAN_BACK_CENTER},
    {SF_CHANNEL_MAP_SIDE_LEFT, AV_CHAN_SIDE_LEFT},
    {SF_CHANNEL_MAP_SIDE_RIGHT, AV_CHAN_SIDE_RIGHT},
    {SF_CHANNEL_MAP_TOP_CENTER, AV_CHAN_TOP_CENTER},
    {SF_CHANNEL_MAP_TOP_FRONT_LEFT, AV_CHAN_TOP_FRONT_LEFT},
    {SF_CHANNEL_MAP_TOP_FRONT_CENTER, AV_CHAN_TOP_FRONT_CENTER},
    {SF_CHANNEL_MAP_TOP_FRONT_RIGHT, AV_CHAN_TOP_FRONT_RIGHT},
    {SF_CHANNEL_MAP_TOP_REAR_LEFT, AV_CHAN_TOP_BACK_LEFT},
    {SF_CHANNEL_MAP_TOP_REAR_CENTER, AV_CHAN_TOP_BACK_CENTER},
    {SF_CHANNEL_MAP_TOP_REAR_RIGHT, AV_CHAN_TOP_BACK_RIGHT},
    {SF_CHANNEL_MAP_MONO, AV_CHAN_FRONT_CENTER},
    {SF_CHANNEL_MAP_LEFT, AV_CHAN_FRONT_LEFT},
    {SF_CHANNEL_MAP_RIGHT, AV_CHAN_FRONT_RIGHT},
    {SF_CHANNEL_MAP_CENTER, AV_CHAN_FRONT_CENTER},
};

bool channel_of_position(int sndfile, AVChannel *channel) {
    for (const Position &p : kPositions)
        if (p.sndfile == sndfile) {
            *channel = p.channel;
            return true;
        }
    return false;
}

int position_of_channel(AVChannel channel) {
    for (const Position &p : kPositions)
        if (p.channel == channel) return p.sndfile;
    return SF_CHANNEL_MAP_INVALID;
}

// The mixes --downmix makes, by the name it takes.
struct Target {
    const char *option;  // as --downmix takes it
    const char *name;    // as messages name the mix
    uint64_t mask;       // its speakers, in WAV order
};
constexpr Target kTargets[] = {
    {"2", "2.0", AV_CH_LAYOUT_STEREO},
    {"5.1", "5.1", AV_CH_LAYOUT_5POINT1},
};

AVChannelLayout layout_of(uint64_t mask) {
    AVChannelLayout layout{};
    av_channel_layout_from_mask(&layout, mask);
    return layout;
}

const Target *target_named(const std::string &option) {
    for (const Target &t : kTargets)
        if (option == t.option) return &t;
    return nullptr;
}

std::string channel_name(AVChannel channel) {
    char name[32];
    av_channel_name(name, sizeof name, channel);
    return name;
}

std::string channels_text(int n) { return std::to_string(n) + (n == 1 ? " channel" : " channels"); }

std::string names_text(const std::vector<AVChannel> &speakers) {
    std::string text;
    for (AVChannel c : speakers) text += (text.empty() ? "" : " ") + channel_name(c);
    return text;
}

// The speakers of a channel mask's positions; AV_CHAN_NONE where a position
// names none.
std::vector<AVChannel> masked_speakers(const std::vector<int> &channel_map) {
    std::vector<AVChannel> speakers;
    for (int position : channel_map) {
        AVChannel c = AV_CHAN_NONE;
        channel_of_position(position, &c);
        speakers.push_back(c);
    }
    return speakers;
}

const char *const kLayoutFix = "5.1, 7.1, quad, 5.0 or FL+FR+FC+LFE+BL+BR";

// The speakers --channel-layout names, in order; empty with the reason in
// `why` when it names none.
std::vector<AVChannel> named_speakers(const std::string &named, std::string &why) {
    // libavutil reads a bare number as a channel mask, which no one means
    // here.
    if (named.find_first_not_of("0123456789") == std::string::npos) {
        why = "--channel-layout " + named + ": a number, not speakers; name them as " + kLayoutFix;
        return {};
    }
    AVChannelLayout given{};
    if (av_channel_layout_from_string(&given, named.c_str()) < 0) {
        why = "--channel-layout " + named + ": not a layout; name one as " + kLayoutFix;
        return {};
    }
    // A count ("6c") names no speakers.
    bool placed = given.order != AV_CHANNEL_ORDER_UNSPEC;
    std::vector<AVChannel> speakers;
    for (int i = 0; i < given.nb_channels; ++i) {
        const AVChannel c = av_channel_layout_channel_from_index(&given, unsigned(i));
        placed = placed && c >= 0 && c < 64;
        speakers.push_back(c);
    }
    av_channel_layout_uninit(&given);
    if (placed) return speakers;
    why = "--channel-layout " + named + ": names no speaker positions; name them as " + kLayoutFix;
    return {};
}

// The refusal of a source that names no speakers, with the layout its
// channel count usually has.
std::string unnamed_refusal(int channels, const DownmixRequest &request, const std::string &input) {
    AVChannelLayout usual{};
    av_channel_layout_default(&usual, channels);
    char name[64] = "";
    if (usual.order == AV_CHANNEL_ORDER_NATIVE) av_channel_layout_describe(&usual, name, sizeof name);
    return input + ": " + channels_text(channels) + " and no channel mask to say which speaker each one feeds, " +
           "which --downmix " + request.to + " needs; --channel-layout names the speakers in channel order (5.1, " +
           "7.1, quad, FL+FR+FC+LFE+BL+BR, ...)" +
           (name[0] ? std::string("; --channel-layout ") + name + " takes them in WAV order" : std::string());
}

// The source's speakers in channel order: --channel-layout's, else those its
// channel mask names; empty, with the reason in `problems`, when neither
// gives one speaker to each channel.
std::vector<AVChannel> source_speakers(int channels, const std::vector<int> &channel_map,
                                       const DownmixRequest &request, const std::string &input,
                                       DownmixPlan &plan) {
    const std::string &named = request.channel_layout;
    std::string why;
    std::vector<AVChannel> speakers;
    if (!named.empty()) {
        speakers = named_speakers(named, why);
        if (!speakers.empty() && int(speakers.size()) != channels)
            why = "--channel-layout " + named + " names " + channels_text(int(speakers.size())) + "; " + input +
                  " has " + std::to_string(channels);
        else if (!speakers.empty() && !channel_map.empty() && masked_speakers(channel_map) != speakers)
            plan.notes.push_back(input + ": --channel-layout " + named +
                                 " takes the place of the speakers its channel mask names (" +
                                 names_text(masked_speakers(channel_map)) + ")");
    } else if (channel_map.empty()) {
        why = unnamed_refusal(channels, request, input);
    } else {
        speakers = masked_speakers(channel_map);
        const auto unplaced = std::find(speakers.begin(), speakers.end(), AV_CHAN_NONE);
        if (unplaced != speakers.end())
            why = input + ": its channel mask gives channel " + std::to_string(unplaced - speakers.begin() + 1) +
                  " no speaker position that a downmix places; --channel-layout names the speakers in channel "
                  "order (5.1, 7.1, quad, FL+FR+FC+LFE+BL+BR, ...)";
    }
    std::vector<AVChannel> sorted = speakers;
    std::sort(sorted.begin(), sorted.end());
    if (why.empty() && std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        why = input + ": " + names_text(speakers) + " names a speaker twice, which a downmix cannot place; "
              "--channel-layout names the speakers in channel order";
    if (why.empty()) return speakers;
    plan.problems.push_back(why);
    return {};
}

// libswresample's matrix for the source's speakers, a column per source
// channel in the source's order, before any scaling.
std::vector<double> build_matrix(const std::vector<AVChannel> &speakers, const Target &target,
                                 std::string &from) {
    uint64_t mask = 0;
    for (AVChannel c : speakers) mask |= uint64_t{1} << c;
    const AVChannelLayout in = layout_of(mask), out = layout_of(target.mask);
    char name[128] = "";
    av_channel_layout_describe(&in, name, sizeof name);
    from = name;
    // The centre and the surrounds go into the front pair at -3 dB (and a
    // back centre into the surrounds); the LFE is left out of a stereo mix,
    // which has no speaker for it. The scaling comes after, here, so that
    // it can be said.
    constexpr int kStride = 64;
    std::vector<double> full(size_t(kStride) * kStride, 0.0);
    if (swr_build_matrix2(&in, &out, M_SQRT1_2, M_SQRT1_2, 0.0, 1e9, 1.0, full.data(), kStride,
                          AV_MATRIX_ENCODING_NONE, nullptr) < 0)
        throw Failure("libswresample builds no downmix from " + from + " to " + target.name);
    const auto at = [&](AVChannel to, AVChannel source) -> double & {
        return full[size_t(av_channel_layout_index_from_channel(&out, to)) * kStride +
                    size_t(av_channel_layout_index_from_channel(&in, source))];
    };
    // A 7.1 source's side and back pairs share the 5.1 surrounds, each at
    // -3 dB, so that the surround field keeps its power and neither pair
    // leads it; libswresample keeps the side pair whole and brings only the
    // back pair in at -3 dB.
    const uint64_t both_pairs = AV_CH_SIDE_LEFT | AV_CH_SIDE_RIGHT | AV_CH_BACK_LEFT | AV_CH_BACK_RIGHT;
    if ((mask & both_pairs) == both_pairs && (target.mask & AV_CH_SIDE_LEFT) && !(target.mask & AV_CH_BACK_LEFT)) {
        at(AV_CHAN_SIDE_LEFT, AV_CHAN_SIDE_LEFT) = M_SQRT1_2;
        at(AV_CHAN_SIDE_RIGHT, AV_CHAN_SIDE_RIGHT) = M_SQRT1_2;
    }
    std::vector<double> matrix;
    for (int o = 0; o < out.nb_channels; ++o) {
        const AVChannel to = av_channel_layout_channel_from_index(&out, unsigned(o));
        for (AVChannel source : speakers) matrix.push_back(at(to, source));
    }
    return matrix;
}

bool is_identity(const std::vector<double> &matrix, int outs, int ins) {
    if (outs != ins) return false;
    for (int o = 0; o < outs; ++o)
        for (int i = 0; i < ins; ++i)
            if (matrix[size_t(o * ins + i)] != (o == i ? 1.0 : 0.0)) return false;
    return true;
}

// Scales the matrix so that no output channel's coefficients add up to more
// than 1: a source within full scale then mixes within full scale, however
// its channels line up. Returns the scaling in dB, 0 when none is needed.
double keep_within_full_scale(std::vector<double> &matrix, int outs, int ins) {
    double largest = 0.0;
    for (int o = 0; o < outs; ++o) {
        double sum = 0.0;
        for (int i = 0; i < ins; ++i) sum += std::fabs(matrix[size_t(o * ins + i)]);
        largest = std::max(largest, sum);
    }
    if (largest <= 1.0) return 0.0;
    for (double &c : matrix) c /= largest;
    return -20.0 * std::log10(largest);
}

// The mix of the source's speakers into the target's, with its notes;
// none when the source is the target's layout already.
std::shared_ptr<const Downmix> make_mix(const std::vector<AVChannel> &speakers, const Target &target,
                                        const std::string &input, DownmixPlan &plan) {
    const AVChannelLayout out = layout_of(target.mask);
    auto mix = std::make_shared<Downmix>();
    mix->to = target.name;
    mix->in_channels = int(speakers.size());
    mix->out_channels = out.nb_channels;
    mix->matrix = build_matrix(speakers, target, mix->from);
    if (is_identity(mix->matrix, mix->out_channels, mix->in_channels)) {
        plan.notes.push_back(input + ": " + mix->from + " already; --downmix " + target.option +
                             " leaves its channels as they are");
        return nullptr;
    }
    for (AVChannel c : speakers) mix->in_names.push_back(channel_name(c));
    for (int o = 0; o < out.nb_channels; ++o)
        mix->out_names.push_back(channel_name(av_channel_layout_channel_from_index(&out, unsigned(o))));
    mix->gain_db = keep_within_full_scale(mix->matrix, mix->out_channels, mix->in_channels);
    if (mix->gain_db < 0.0) {
        char db[16];
        std::snprintf(db, sizeof db, "%.1f", -mix->gain_db);
        plan.notes.push_back(input + ": the downmix of " + mix->from + " to " + mix->to + " lowers the level by " +
                             db + " dB so that no sample clips");
    }
    return mix;
}

// The channels of the target's layout, as the rest of the run sees them.
void take_target_channels(const Target &target, DownmixPlan &plan) {
    const AVChannelLayout out = layout_of(target.mask);
    plan.channels = out.nb_channels;
    plan.channel_map.clear();
    for (int o = 0; o < out.nb_channels; ++o)
        plan.channel_map.push_back(position_of_channel(av_channel_layout_channel_from_index(&out, unsigned(o))));
}

}  // namespace

DownmixPlan plan_downmix(int channels, const std::vector<int> &channel_map, const DownmixRequest &request,
                         const std::string &input) {
    DownmixPlan plan;
    plan.channels = channels;
    plan.channel_map = channel_map;
    if (request.to.empty()) return plan;
    const Target *target = target_named(request.to);
    if (!target) throw Failure("--downmix " + request.to + ": not a mix; give 2 or 5.1");
    const int outs = layout_of(target->mask).nb_channels;
    // Channels of the mix's count and no speakers named are taken as its
    // own: there is nothing to mix them into.
    if (channels == outs && channel_map.empty() && request.channel_layout.empty()) {
        plan.notes.push_back(input + ": " + channels_text(channels) + " already; --downmix " + request.to +
                             " leaves them as they are");
        return plan;
    }
    if (channels < outs) {
        // The rest of the run is planned on the source's channels, so that
        // no other refusal names a count the user never asked for.
        plan.problems.push_back("--downmix " + request.to + ": " + input + " has " + channels_text(channels) +
                                ", fewer than the " + std::to_string(outs) + " of a " + target->name + " mix");
        return plan;
    }
    const std::vector<AVChannel> speakers = source_speakers(channels, channel_map, request, input, plan);
    if (!speakers.empty()) {
        plan.mix = make_mix(speakers, *target, input, plan);
        if (!plan.mix && !request.channel_layout.empty()) {
            plan.channel_map.clear();
            for (AVChannel c : speakers) plan.channel_map.push_back(position_of_channel(c));
        }
    }
    // Refused, or mixed: the rest of the run is planned on the mix.
    if (plan.mix || speakers.empty()) take_target_channels(*target, plan);
    return plan;
}

std::string describe_downmix(const Downmix &mix) {
    std::string text = "downmix of " + mix.from + " to " + mix.to +
                       ", a row per output channel, a column per source channel:\n";
    char cell[32];
    text += "     ";
    for (const std::string &name : mix.in_names) {
        std::snprintf(cell, sizeof cell, " %7s", name.c_str());
        text += cell;
    }
    for (int o = 0; o < mix.out_channels; ++o) {
        std::snprintf(cell, sizeof cell, "\n  %-3s", mix.out_names[size_t(o)].c_str());
        text += cell;
        for (int i = 0; i < mix.in_channels; ++i) {
            std::snprintf(cell, sizeof cell, " %7.4f", mix.matrix[size_t(o * mix.in_channels + i)]);
            text += cell;
        }
    }
    return text;
}

Mixer::Mixer(const Downmix &mix) {
    // The matrix names each source channel by its place, so the layouts
    // need only the counts.
    AVChannelLayout in{}, out{};
    in.order = out.order = AV_CHANNEL_ORDER_UNSPEC;
    in.nb_channels = mix.in_channels;
    out.nb_channels = mix.out_channels;
    // The same rate on both sides: libswresample mixes and converts nothing.
    constexpr int kAnyRate = 48000;
    if (swr_alloc_set_opts2(&context_, &out, AV_SAMPLE_FMT_DBL, kAnyRate, &in, AV_SAMPLE_FMT_DBL, kAnyRate, 0,
                            nullptr) < 0 ||
        swr_set_matrix(context_, mix.matrix.data(), mix.in_channels) < 0 || swr_init(context_) < 0) {
        swr_free(&context_);
        throw Failure("libswresample could not start the downmix");
    }
}

Mixer::~Mixer() { swr_free(&context_); }

void Mixer::run(const double *in, size_t periods, double *out) {
    const uint8_t *from[] = {reinterpret_cast<const uint8_t *>(in)};
    uint8_t *to[] = {reinterpret_cast<uint8_t *>(out)};
    const int count = static_cast<int>(periods);
    if (swr_convert(context_, to, count, from, count) != count) throw Failure("the downmix failed");
}

}  // namespace pcmtool
