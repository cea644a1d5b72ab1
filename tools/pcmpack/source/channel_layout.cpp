// SPDX-License-Identifier: BSD-2-Clause
#include "source/channel_layout.h"

#include "common.h"
#include "format/stream_format.h"

#include <pcmpack.h>
#include <sndfile.h>

#include <algorithm>
#include <cstring>

namespace pcmtool {

namespace {

using S = Speaker;

// Every HDMV layout, in the format's order.
struct HdmvLayouts {
    const HdmvLayout *begin() const { return pcmpack_format::hdmv_layouts_begin(); }
    const HdmvLayout *end() const { return pcmpack_format::hdmv_layouts_end(); }
};
constexpr HdmvLayouts kHdmvLayouts;

const HdmvLayout &layout_named(const char *name) {
    if (const HdmvLayout *l = pcmpack_format::hdmv_layout_named(name)) return *l;
    throw Failure(std::string("no HDMV layout ") + name);
}

bool written_by_library(const HdmvLayout &l) { return l.assignment == l.library_assignment; }

struct SpeakerInfo {
    Speaker speaker;
    const char *name;
    int mask_bit;         // bit of the WAV channel mask, which orders a file's channels
    int sndfile_position; // SF_CHANNEL_MAP_*
};

constexpr SpeakerInfo kSpeakers[] = {
    {S::pad, "pad", 31, SF_CHANNEL_MAP_INVALID},
    {S::fl, "FL", 0, SF_CHANNEL_MAP_LEFT},
    {S::fr, "FR", 1, SF_CHANNEL_MAP_RIGHT},
    {S::fc, "FC", 2, SF_CHANNEL_MAP_CENTER},
    {S::lfe, "LFE", 3, SF_CHANNEL_MAP_LFE},
    {S::bl, "BL", 4, SF_CHANNEL_MAP_REAR_LEFT},
    {S::br, "BR", 5, SF_CHANNEL_MAP_REAR_RIGHT},
    {S::sl, "SL", 9, SF_CHANNEL_MAP_SIDE_LEFT},
    {S::sr, "SR", 10, SF_CHANNEL_MAP_SIDE_RIGHT},
    // The surrounds of 3/2 and 5.1: readers label them side channels.
    {S::ls, "Ls", 9, SF_CHANNEL_MAP_SIDE_LEFT},
    {S::rs, "Rs", 10, SF_CHANNEL_MAP_SIDE_RIGHT},
    {S::bc, "BC", 8, SF_CHANNEL_MAP_REAR_CENTER},
    {S::flc, "FLC", 6, SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER},
    {S::frc, "FRC", 7, SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER},
    {S::top, "top", 11, SF_CHANNEL_MAP_TOP_CENTER},
    {S::other, "other", 30, SF_CHANNEL_MAP_INVALID},
};

const SpeakerInfo &info_of(Speaker s) {
    for (const SpeakerInfo &i : kSpeakers)
        if (i.speaker == s) return i;
    return kSpeakers[0];
}

// libsndfile's positions in the speakers above; false for "no position".
bool speaker_of_position(int position, Speaker *speaker) {
    switch (position) {
    case SF_CHANNEL_MAP_MONO:
    case SF_CHANNEL_MAP_CENTER:
    case SF_CHANNEL_MAP_FRONT_CENTER: *speaker = S::fc; return true;
    case SF_CHANNEL_MAP_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT: *speaker = S::fl; return true;
    case SF_CHANNEL_MAP_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT: *speaker = S::fr; return true;
    case SF_CHANNEL_MAP_LFE: *speaker = S::lfe; return true;
    case SF_CHANNEL_MAP_REAR_LEFT: *speaker = S::bl; return true;
    case SF_CHANNEL_MAP_REAR_RIGHT: *speaker = S::br; return true;
    case SF_CHANNEL_MAP_SIDE_LEFT: *speaker = S::sl; return true;
    case SF_CHANNEL_MAP_SIDE_RIGHT: *speaker = S::sr; return true;
    case SF_CHANNEL_MAP_REAR_CENTER: *speaker = S::bc; return true;
    case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER: *speaker = S::flc; return true;
    case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER: *speaker = S::frc; return true;
    case SF_CHANNEL_MAP_INVALID: return false;
    default:
        *speaker = position >= SF_CHANNEL_MAP_TOP_CENTER &&
                           position <= SF_CHANNEL_MAP_TOP_REAR_CENTER
                       ? S::top
                       : S::other;
        return true;
    }
}

// A layout's role is filled by a source speaker of that position; the
// surround roles of 3/2 and 5.1 take side or back channels alike.
bool fills(Speaker role, Speaker source) {
    if (role == source) return true;
    if (role == S::ls) return source == S::sl || source == S::bl;
    if (role == S::rs) return source == S::sr || source == S::br;
    return false;
}

std::string speaker_list(const std::vector<Speaker> &speakers) {
    std::string text;
    for (Speaker s : speakers) text += (text.empty() ? "" : " ") + std::string(speaker_name(s));
    return text;
}

std::string channels_text(int n) { return std::to_string(n) + (n == 1 ? " channel" : " channels"); }

// Source channel per coded channel of `layout`, when the speakers fill its
// roles one to one; empty otherwise.
std::vector<int> match(const HdmvLayout &layout, const std::vector<Speaker> &speakers) {
    std::vector<int> source_of_coded(static_cast<size_t>(layout.coded_channels), -1);
    std::vector<bool> used(speakers.size(), false);
    int roles = 0;
    for (int c = 0; c < layout.coded_channels; ++c) {
        if (layout.coded[c] == S::pad) continue;
        ++roles;
        for (size_t k = 0; k < speakers.size(); ++k) {
            if (!used[k] && fills(layout.coded[c], speakers[k])) {
                used[k] = true;
                source_of_coded[static_cast<size_t>(c)] = static_cast<int>(k);
                break;
            }
        }
        if (source_of_coded[static_cast<size_t>(c)] < 0) return {};
    }
    if (roles != static_cast<int>(speakers.size())) return {};
    return source_of_coded;
}

// The speakers of a layout in the order a WAV file holds them.
std::vector<Speaker> file_speakers(const HdmvLayout &layout) {
    int order[8];
    const int n = file_order(layout, order);
    std::vector<Speaker> speakers;
    for (int i = 0; i < n; ++i) speakers.push_back(layout.coded[order[i]]);
    return speakers;
}

// The speakers of a source without a mask, taken to be in WAV order: those
// of the WAV mask of its channel count, whose 5.1 surrounds are the back
// pair (BL BR) that the HDMV layout's Ls Rs take.
std::vector<Speaker> wav_order_speakers(const HdmvLayout &layout) {
    std::vector<Speaker> speakers = file_speakers(layout);
    for (Speaker &s : speakers) s = s == S::ls ? S::bl : s == S::rs ? S::br : s;
    return speakers;
}

// The speakers the source declares; empty when it declares none. Throws
// when the declaration cannot be read as one position per channel.
std::vector<Speaker> declared_speakers(const std::vector<int> &map, const std::string &input) {
    std::vector<Speaker> speakers;
    if (map.empty()) return speakers;
    std::string names;
    int named = 0;
    bool twice = false;
    for (int position : map) {
        Speaker s = S::other;
        const bool known = speaker_of_position(position, &s);
        names += names.empty() ? "" : " ";
        names += known ? speaker_name(s) : "?";
        if (!known) continue;
        ++named;
        for (Speaker earlier : speakers)
            twice = twice || (earlier == s && s != S::top && s != S::other);
        speakers.push_back(s);
    }
    const std::string hint = "; --channel-order keep takes the channels in the order given";
    if (named < static_cast<int>(map.size()))
        throw Failure(input + ": the channel mask gives positions to " + std::to_string(named) +
                      " of " + channels_text(static_cast<int>(map.size())) + " (" + names + ")" +
                      hint);
    if (twice)
        throw Failure(input + ": the channel mask names a position twice (" + names + ")" + hint);
    return speakers;
}

std::string layout_list(bool library_only) {
    std::string text;
    for (const HdmvLayout &l : kHdmvLayouts)
        if (!library_only || written_by_library(l))
            text += (text.empty() ? "" : ", ") + std::string(l.name);
    return text;
}

// Today's rule for sources that declare no layout: 2, 3, 5 and 7 channels
// are 2.0, 3/0, 3/2 and 3/4; an even count above 2 would lose its last
// channel to the padding slot unless it is padding already.
const HdmvLayout &layout_by_count(int channels, const ChannelRequest &request,
                                  const std::string &input) {
    for (const HdmvLayout &l : kHdmvLayouts) {
        if (!written_by_library(l)) continue;
        const bool padded = l.coded[l.coded_channels - 1] == S::pad;
        if (channels == l.coded_channels - (padded ? 1 : 0)) return l;
        if (padded && channels == l.coded_channels && request.hdmv_pad_last) return l;
    }
    if (channels == 1)
        throw Failure(input + ": 1 channel; HDMV LPCM carries 2, 3, 5 or 7 source channels (2.0, "
                      "3/0, 3/2, 3/4); --hdmv-layout mono packs a mono source");
    if (channels == 4 || channels == 6 || channels == 8) {
        const char *lfe_layout = channels == 6 ? "5.1" : channels == 8 ? "7.1" : nullptr;
        throw Failure(input + ": " + channels_text(channels) + "; HDMV LPCM carries " +
                      std::to_string(channels) + " coded channels as the " +
                      pcmpack_format::hdmv_layout_of_coded(channels)->name +
                      " layout plus a padding channel, so channel " + std::to_string(channels) +
                      " would be read as padding and lost (pass --hdmv-pad-last if it is "
                      "padding already" +
                      (lfe_layout ? std::string(", --hdmv-layout ") + lfe_layout + " for a " +
                                        lfe_layout + " mix in file order"
                                  : std::string()) +
                      ")");
    }
    throw Failure(input + ": " + channels_text(channels) +
                  "; HDMV LPCM carries 2, 3, 5 or 7 source channels (2.0, 3/0, 3/2, 3/4)");
}

// The layout --hdmv-layout names, checked against the source's channel
// count and the speakers its mask declares; null with the refusal in
// `why`. Without a declared layout the channels are taken to be in the
// order a WAV file of this layout holds them.
const HdmvLayout *named_layout(int channels, const ChannelRequest &request, bool keep,
                               const std::string &input, std::vector<Speaker> &speakers,
                               std::string &why) {
    const std::string &wanted = request.hdmv_layout;
    const HdmvLayout *layout = &layout_named(wanted.c_str());
    const std::vector<Speaker> expected = file_speakers(*layout);
    if (channels != static_cast<int>(expected.size())) {
        std::string fix;
        for (const HdmvLayout &l : kHdmvLayouts)
            if (!written_by_library(l) && static_cast<int>(file_speakers(l).size()) == channels)
                fix = " (--hdmv-layout " + std::string(l.name) + " takes " + channels_text(channels) + ")";
        why = "--hdmv-layout " + wanted + " takes " +
              channels_text(static_cast<int>(expected.size())) + "; " + input + " has " +
              std::to_string(channels) + fix;
        return nullptr;
    }
    if (!speakers.empty() && match(*layout, speakers).empty()) {
        why = input + ": its channel mask says " + speaker_list(speakers) + "; --hdmv-layout " +
              wanted + " needs " + speaker_list(expected) +
              " (--hdmv-layout auto follows the mask, --channel-order keep ignores it)";
        return nullptr;
    }
    if (speakers.empty() && !keep) speakers = wav_order_speakers(*layout);
    return layout;
}

// The first layout that carries every speaker the mask declares (among the
// library's own with --hdmv-layout library); null with the refusal in `why`.
const HdmvLayout *layout_for_speakers(const std::vector<Speaker> &speakers, int channels,
                                      bool library_only, const std::string &input,
                                      std::string &why) {
    for (const HdmvLayout &l : kHdmvLayouts)
        if ((!library_only || written_by_library(l)) && !match(l, speakers).empty()) return &l;
    const std::string text =
        input + ": " + channels_text(channels) + " " + speaker_list(speakers) + ": ";
    const HdmvLayout *any = nullptr;
    for (const HdmvLayout &l : kHdmvLayouts)
        if (!any && !match(l, speakers).empty()) any = &l;
    if (library_only && any)
        why = text + "--hdmv-layout library writes only " + layout_list(true) +
              ", none of which carries them (--hdmv-layout auto packs them as " + any->name + ")";
    else
        why = text + "HDMV LPCM has no layout for them (it has " + layout_list(false) + ")";
    return nullptr;
}

// --hdmv-pad-last takes the channels as numbered, the last one as padding:
// speakers that the mask names would land in other speakers' places and the
// last one would be lost.
std::string pad_last_against_mask(const std::vector<Speaker> &speakers, int channels,
                                  const std::string &input) {
    const auto *padded = pcmpack_format::hdmv_layout_of_coded(channels);
    if (speakers.empty() || !padded || padded->coded[channels - 1] != S::pad) return {};
    return input + ": its channel mask names " + speaker_list(speakers) +
           "; --hdmv-pad-last would pack them as " + padded->name +
           " in the order given and read channel " + std::to_string(channels) + " (" +
           speaker_name(speakers.back()) +
           ") as padding: leave it out to pack the speakers the mask names "
           "(--channel-order keep ignores the mask)";
}

// The plan's coded channels from the chosen layout: each coded channel's
// source channel, by the speakers when they are known, else in the order
// given.
void place_channels(ChannelPlan &plan, const HdmvLayout &layout,
                    const std::vector<Speaker> &speakers, int channels) {
    plan.layout = &layout;
    plan.assignment = layout.assignment;
    plan.coded_channels = layout.coded_channels;
    plan.source_speakers = speakers;
    if (!speakers.empty()) {
        plan.source_of_coded = match(layout, speakers);
        return;
    }
    for (int c = 0; c < layout.coded_channels; ++c)
        plan.source_of_coded.push_back(c < channels ? c : -1);
}

// Every rule of the channel plan the run breaks goes into plan.problems,
// one plain line each; a rule whose answer the next ones depend on (the
// speakers, the layout) ends the planning when it fails.
ChannelPlan hdmv_plan(int channels, const std::vector<int> &channel_map, const ChannelRequest &request,
                      const std::string &input) {
    ChannelPlan plan;
    const auto refused = [&plan](const std::string &why) {
        plan.problems.push_back(why);
        return plan;
    };
    const std::string &wanted = request.hdmv_layout;
    const bool explicit_layout = wanted != "auto" && wanted != "library";
    // Named with the layout's own rules below, as if it were left out.
    const bool pad_last = request.hdmv_pad_last && !explicit_layout;
    if (request.hdmv_pad_last && explicit_layout)
        plan.problems.push_back("--hdmv-pad-last packs the library's layouts as they are; it cannot "
                                "be combined with --hdmv-layout " + wanted + " (leave one out)");
    const bool keep = request.keep_order || pad_last;
    std::vector<Speaker> speakers;
    if (!request.keep_order) {
        try {
            speakers = declared_speakers(channel_map, input);
        } catch (const Failure &unreadable) {
            return refused(unreadable.what());
        }
    }
    if (pad_last) {
        const std::string clash = pad_last_against_mask(speakers, channels, input);
        if (!clash.empty()) plan.problems.push_back(clash);
    }
    if (keep) speakers.clear();

    const HdmvLayout *layout = nullptr;
    std::string why;
    if (explicit_layout) {
        layout = named_layout(channels, request, keep, input, speakers, why);
    } else if (speakers.empty()) {
        ChannelRequest by_count = request;
        by_count.hdmv_pad_last = pad_last;
        try {
            layout = &layout_by_count(channels, by_count, input);
        } catch (const Failure &no_layout) {
            why = no_layout.what();
        }
    } else {
        layout = layout_for_speakers(speakers, channels, wanted == "library", input, why);
    }
    if (!layout) return refused(why);
    if (plan.problems.empty()) place_channels(plan, *layout, speakers, channels);
    return plan;
}

}  // namespace

const char *speaker_name(Speaker speaker) { return info_of(speaker).name; }

int sndfile_position(Speaker speaker) { return info_of(speaker).sndfile_position; }

int file_order(const HdmvLayout &layout, int coded_of_file[8]) {
    int n = 0;
    for (int bit = 0; bit < 32; ++bit)
        for (int c = 0; c < layout.coded_channels; ++c)
            if (layout.coded[c] != S::pad && info_of(layout.coded[c]).mask_bit == bit)
                coded_of_file[n++] = c;
    return n;
}

bool ChannelPlan::identity() const {
    for (size_t c = 0; c < source_of_coded.size(); ++c)
        if (source_of_coded[c] != static_cast<int>(c)) return false;
    return true;
}

ChannelPlan plan_channels(const AudioSource &source, int layer, const ChannelRequest &request,
                          const std::string &input) {
    return plan_channels(source.channels(), source.channel_map(), layer, request, input);
}

ChannelPlan plan_channels(int channels, const std::vector<int> &channel_map, int layer,
                          const ChannelRequest &request, const std::string &input) {
    if (layer == PCM_LAYER_HDMV_LPCM) return hdmv_plan(channels, channel_map, request, input);
    ChannelPlan plan;
    if (request.hdmv_layout != "auto")
        plan.problems.push_back("--hdmv-layout " + request.hdmv_layout + " applies to HDMV LPCM only; " + pcmpack_format::layer_name(layer) + " carries numbered channels "
                                "in the source's order");
    plan.coded_channels = channels;
    for (int c = 0; c < plan.coded_channels; ++c) plan.source_of_coded.push_back(c);
    return plan;
}

std::string describe_plan(const ChannelPlan &plan) {
    std::string text = "HDMV " + std::string(plan.layout->name) + " (channel assignment " +
                       std::to_string(plan.assignment) + ") in " +
                       std::to_string(plan.coded_channels) + " coded channels:";
    for (int c = 0; c < plan.coded_channels; ++c) {
        const int from = plan.source_of_coded[static_cast<size_t>(c)];
        text += "\n  coded " + std::to_string(c + 1) + " " + speaker_name(plan.layout->coded[c]);
        if (from < 0) {
            text += " <- silence";
            continue;
        }
        text += " <- source " + std::to_string(from + 1);
        if (!plan.source_speakers.empty())
            text += std::string(" (") + speaker_name(plan.source_speakers[static_cast<size_t>(from)]) + ")";
    }
    return text;
}

std::vector<std::string> signalled_layout_names() {
    std::vector<std::string> names;
    for (const HdmvLayout &l : kHdmvLayouts)
        if (!written_by_library(l)) names.push_back(l.name);
    std::sort(names.begin(), names.end());
    return names;
}

std::string library_layout_list() { return layout_list(true); }

}  // namespace pcmtool
