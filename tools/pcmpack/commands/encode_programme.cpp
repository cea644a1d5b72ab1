// SPDX-License-Identifier: BSD-2-Clause
#include "commands/encode_programme.h"

#include "commands/refusals.h"
#include "common.h"
#include "format/stream_format.h"
#include "outputs/output.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace pcmtool {

namespace {

// No output may be an input, the video or another output.
void refuse_shared_names(const EncodeOptions &o, bool network) {
    std::vector<FileRole> inputs;
    for (const std::string &input : o.inputs) inputs.push_back({input, "input"});
    if (!o.video.empty()) inputs.push_back({o.video, "video"});
    if (!o.data.empty()) inputs.push_back({o.data, "data"});
    std::vector<FileRole> outputs;
    if (!network) outputs.push_back({o.output, "stream"});
    if (!o.index.empty()) outputs.push_back({o.index, "index"});
    refuse_shared_files(inputs, outputs);
}

// The lines of one track's refusal; a line said for another track already
// (a rule of the options, not of an input) is said once.
void add_track_problems(const std::string &text, std::vector<std::string> &problems) {
    const std::string separator = "\npcmpack: ";
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find(separator, start), text.size());
        const std::string line = text.substr(start, end - start);
        if (std::find(problems.begin(), problems.end(), line) == problems.end()) problems.push_back(line);
        start = end + separator.size();
    }
}

// Each track on its own terms; what one refuses does not keep the others
// from being checked.
void plan_tracks(const EncodeOptions &o, ProgrammePlan &p) {
    std::vector<std::string> problems;
    for (size_t track = 0; track < track_count(o); ++track) {
        try {
            p.tracks.push_back(plan_encode(track_options(o, track)));
        } catch (const Failure &failure) {
            add_track_problems(failure.what(), problems);
        }
    }
    if (!problems.empty()) refuse(problems);
}

// A single --audio-pid is the first track's; the next ones count up from it.
int audio_pid(const EncodeOptions &o, size_t track) {
    if (o.audio_pids.empty()) return 0;
    if (o.audio_pids.size() == 1) return o.audio_pids.front() + static_cast<int>(track);
    return o.audio_pids[track];
}

// A 302M frame is one video frame: beside video it is presented on that
// frame's time, n frames after the first, not after the sample periods
// before it, which at the 1001 rates fall up to a tick short of the frame.
int64_t video_frame_ticks(const EncodePlan &track, bool video) {
    const pcmpack_format::FrameRate *rate = pcmpack_format::frame_rate(track.frame_rate_code);
    if (!video || !rate || !pcmpack_format::is_aes3(track.layer)) return 0;
    // 27 MHz holds a whole number of ticks per frame at every rate.
    return 27000000 * rate->den / rate->num;
}

void describe_programme(const EncodeOptions &o, ProgrammePlan &p) {
    for (size_t track = 0; track < p.tracks.size(); ++track) {
        AudioTrackSpec audio;
        audio.shape = p.tracks[track].shape;
        if (!o.languages.empty()) audio.language = o.languages[o.languages.size() == 1 ? 0 : track];
        audio.pid = audio_pid(o, track);
        p.audio_tracks.push_back(audio);
        p.frame_ticks.push_back(video_frame_ticks(p.tracks[track], !o.video.empty()));
    }
    p.service.program_number = o.program_number >= 0 ? o.program_number : 1;
    p.service.name = o.service_name;
    p.service.provider = o.service_provider;
    p.service.video_pid = std::max(o.video_pid, 0);
    p.service.audio_offset_90k = std::llround(o.audio_offset * 90000);
    p.timing = p.tracks.front().timing;
}

// Each track's rate was checked alone; together, with the video, they need
// more.
void check_muxrate(const ProgrammePlan &p) {
    if (p.timing.bit_rate == 0) return;
    std::vector<StreamShape> shapes;
    for (const AudioTrackSpec &audio : p.audio_tracks) shapes.push_back(audio.shape);
    const int64_t needed = programme_bit_rate_needed(shapes, p.video.get());
    if (p.timing.bit_rate < needed)
        throw Failure(programme_muxrate_refusal(p.timing.bit_rate, shapes.size(), p.video != nullptr, needed));
}

}  // namespace

ProgrammePlan plan_programme(const EncodeOptions &o) {
    ProgrammePlan p;
    const bool network = is_live_url(o.output);
    p.container = network ? Container::transport : choose_container(o.container, o.output);
    const std::vector<std::string> problems = programme_option_refusals(o, p.container, network);
    if (!problems.empty()) refuse(problems);
    refuse_shared_names(o, network);
    EncodeOptions with_video = o;
    if (!o.video.empty()) {
        p.video = std::make_unique<VideoInput>(o.video, o.video_track > 0 ? o.video_track : 1);
        const Rational rate = p.video->frame_rate();
        with_video.video_rate = {display_name(o.video), rate.num, rate.den};
    }
    plan_tracks(with_video, p);
    describe_programme(o, p);
    check_muxrate(p);
    check_programme(p.container, p.audio_tracks, p.video.get(), p.service, display_name(o.output, true));
    return p;
}

}  // namespace pcmtool
