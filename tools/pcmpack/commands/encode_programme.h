// SPDX-License-Identifier: BSD-2-Clause
// What an encode run of a programme will do: every audio track planned on
// its own terms (encode_plan.h), the video copied beside them, and what the
// container says of the service. Every problem of every track is refused in
// one message, each line naming its input, before an output is opened.
#pragma once

#include "commands/encode_options.h"
#include "commands/encode_plan.h"
#include "containers/container.h"
#include "containers/video_input.h"

#include <memory>
#include <vector>

namespace pcmtool {

struct ProgrammePlan {
    Container container = Container::transport;
    std::vector<EncodePlan> tracks;     // in INPUT order
    std::vector<AudioTrackSpec> audio_tracks;  // the same order: shape, language, PID
    // The same order: 27 MHz ticks of the video frame on whose times the
    // track's frames are presented, one each; 0: at the library's times.
    std::vector<int64_t> frame_ticks;
    std::unique_ptr<VideoInput> video;  // null: the audio alone
    ServiceSpec service;
    MuxTiming timing;
};

// Reads every source's header and first second and the video's first
// packets, and refuses what the programme cannot be. Throws Failure.
ProgrammePlan plan_programme(const EncodeOptions &options);

}  // namespace pcmtool
