// SPDX-License-Identifier: BSD-2-Clause
// Channel layouts: the speaker positions a source declares (its channel
// mask, as libsndfile reads it), the HDMV layouts and the coded order in
// which HDMV readers take their channels, and the plan that puts a source's
// channels into that order. The other layers carry numbered channels, not
// speaker positions, and keep the source's order.
#pragma once

#include "format/stream_format.h"
#include "source/audio_source.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

using pcmpack_format::HdmvLayout;
using pcmpack_format::Speaker;
using pcmpack_format::hdmv_layout_of_assignment;

// "FL", "LFE", "Ls", ...
const char *speaker_name(Speaker speaker);

// The order of a layout's channels in a WAV file (by channel-mask bit), as
// indexes into its coded order; padding is left out. Returns the count.
int file_order(const HdmvLayout &layout, int coded_of_file[8]);
// libsndfile's SF_CHANNEL_MAP_* value of a speaker, for writing a mask.
int sndfile_position(Speaker speaker);

// The names --hdmv-layout takes besides auto and library: the layouts that
// only the tool signals (5.1, 7.1, mono), in name order.
std::vector<std::string> signalled_layout_names();
// The layouts the library writes by itself, for messages: "2.0, 3/0, 3/2, 3/4".
std::string library_layout_list();

struct ChannelRequest {
    std::string hdmv_layout = "auto";  // auto, 5.1, 7.1, mono, library
    bool keep_order = false;           // --channel-order keep
    bool hdmv_pad_last = false;
};

// Where each coded channel comes from, and what the frame headers say.
struct ChannelPlan {
    int coded_channels = 0;
    std::vector<int> source_of_coded;  // source channel per coded channel, -1 = silent padding
    const HdmvLayout *layout = nullptr;  // HDMV only
    // The channel assignment code of every frame header; the library writes
    // it when it is not the channel count's own (mono, 5.1, 7.1).
    int assignment = 0;
    std::vector<Speaker> source_speakers;  // declared or assumed; empty when neither
    // Every rule of the layout the run breaks, one plain line each with the
    // option that fixes it where there is one; the plan holds only when
    // this is empty.
    std::vector<std::string> problems;

    bool identity() const;
    bool sets_assignment() const {
        return layout && layout->assignment != layout->library_assignment;
    }
};

// Plans the coded channels of `layer` for the source; what cannot be planned
// is in the plan's problems, each naming `input` or the option at fault.
ChannelPlan plan_channels(const AudioSource &source, int layer, const ChannelRequest &request,
                          const std::string &input);
// The same for audio of `channels` channels whose speakers are `channel_map`
// (libsndfile's positions; empty when none are declared): a downmix's.
ChannelPlan plan_channels(int channels, const std::vector<int> &channel_map, int layer,
                          const ChannelRequest &request, const std::string &input);

// The lines --verbose prints for an HDMV plan: which source channel went
// where.
std::string describe_plan(const ChannelPlan &plan);

}  // namespace pcmtool
