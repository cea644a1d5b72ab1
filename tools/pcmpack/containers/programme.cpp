// SPDX-License-Identifier: BSD-2-Clause
// What a container takes in one programme, checked before an output is
// opened: the audio tracks and their layers, the video codec, PIDs, the
// program number and the languages.
#include "containers/container.h"

#include "common.h"
#include "containers/dvd_packs.h"
#include "containers/video_packets.h"
#include "format/stream_format.h"

#include <cstdio>
#include <set>

namespace pcmtool {

namespace {

// One row per container that takes a programme.
struct ProgrammeRow {
    Container container;
    const char *name;           // in refusals
    int audio_tracks;           // the most it takes
    AVCodecID video[3];         // the video codecs it takes
    const char *video_titles;   // the same, for refusals
    int table_pid;              // its programme table's, which no stream may take (0: no PIDs)
};

// A DVD title has 8 audio streams; a Blu-ray clip 32 primary ones, and a
// transport stream's programme table lists about as many with their
// descriptors. The muxer puts the programme table of a BDAV stream on
// 0x0100, of a plain transport stream on 0x1000.
constexpr ProgrammeRow kProgrammes[] = {
    {Container::transport, "an MPEG transport stream", 32,
     {AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}, "MPEG-2 video, H.264 or HEVC", 0x1000},
    {Container::bdav, "a BDAV transport stream", 32,
     {AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}, "MPEG-2 video, H.264 or HEVC", 0x0100},
    {Container::program, "a DVD program stream", 8,
     {AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG2VIDEO}, "MPEG-2 video", 0},
};

// The pictures of a DVD title: the 625-line sizes at 25 frames a second,
// the 525-line ones at 30000/1001 (24000/1001 where the stream repeats
// fields to make them).
struct DvdPicture {
    int width, height;
    bool pal;
};

constexpr DvdPicture kDvdPictures[] = {
    {720, 576, true},  {704, 576, true},  {352, 576, true},  {352, 288, true},
    {720, 480, false}, {704, 480, false}, {352, 480, false}, {352, 240, false},
};

bool is_dvd_picture(const VideoInput &video) {
    const Rational rate = video.frame_rate();
    const bool pal_rate = rate.num == 25 && rate.den == 1;
    const bool ntsc_rate = rate.den == 1001 && (rate.num == 30000 || rate.num == 24000);
    for (const DvdPicture &picture : kDvdPictures)
        if (video.width() == picture.width && video.height() == picture.height &&
            (picture.pal ? pal_rate : ntsc_rate))
            return true;
    return false;
}

// The PIDs a stream may take: below 0x0010 the tables, 0x1FFF the null
// packets.
constexpr int kFirstPid = 0x0010;
constexpr int kLastPid = 0x1FFE;

const ProgrammeRow *programme_of(Container container) {
    for (const ProgrammeRow &row : kProgrammes)
        if (row.container == container) return &row;
    return nullptr;
}

std::string hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

bool is_language(const std::string &code) {
    if (code.size() != 3) return false;
    for (char c : code)
        if (c < 'a' || c > 'z') return false;
    return true;
}

void check_video(const ProgrammeRow &row, const VideoInput &video, const std::string &shown) {
    for (AVCodecID codec : row.video)
        if (video.impl().codec().codec_id == codec) return;
    const std::string rewrite = row.container == Container::program
                                    ? "re-encode it to MPEG-2 video, or write .m2ts or .ts"
                                    : "re-encode it to one of them";
    throw Failure(shown + ": " + row.name + " takes " + row.video_titles + " only; " + video.name() +
                  " holds " + video.codec_title() + ": " + rewrite);
}

void check_dvd_picture(const VideoInput &video, const std::string &shown) {
    if (is_dvd_picture(video)) return;
    const Rational rate = video.frame_rate();
    throw Failure(shown + ": a DVD title takes pictures of 720x576, 704x576, 352x576 or 352x288 at "
                  "25 frames a second, or of 720x480, 704x480, 352x480 or 352x240 at 30000/1001; " +
                  video.name() + " holds " + std::to_string(video.width()) + "x" +
                  std::to_string(video.height()) + " at " + std::to_string(rate.num) +
                  (rate.den == 1 ? "" : "/" + std::to_string(rate.den)) +
                  ": re-encode it to one of them (ffmpeg's -target pal-dvd or ntsc-dvd)");
}

std::string mbits(int64_t bits_per_second) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f Mbit/s", bits_per_second / 1e6);
    return text;
}

// The audio's bits a second as its frames carry them.
int64_t audio_bit_rate(const StreamShape &shape) {
    const pcm_frame_geometry &g = shape.geometry;
    if (g.sample_periods[0] == 0) return 0;
    return int64_t{g.frame_bytes[0]} * 8 * shape.params.sample_rate / g.sample_periods[0];
}

// A player reads a title at 10.08 Mbit/s, packs and their headers included:
// a video whose peak leaves the audio too little makes the packs run late,
// and the player's buffers run dry.
void check_dvd_rate(const std::vector<AudioTrackSpec> &tracks, const VideoInput &video,
                    const std::string &shown) {
    if (video.bit_rate() <= 0) return;  // the video states no peak
    int64_t audio = 0;
    for (const AudioTrackSpec &track : tracks) audio += audio_bit_rate(track.shape);
    const int64_t streams = kDvdMuxRate * kDvdPackPayloadBytes / kDvdPackBytes;
    if (video.bit_rate() + audio <= streams) return;
    const std::string fix =
        audio < streams ? "make the video with a peak (ffmpeg's -maxrate) of at most " +
                              mbits((streams - audio) / 10000 * 10000) + ", or give fewer audio tracks"
                        : "give fewer audio tracks, or at a lower rate or word length";
    throw Failure(shown + ": a DVD is read at " + mbits(kDvdMuxRate) + ", " + mbits(streams) +
                  " of it for the streams once the packs' headers are paid, and " + video.name() +
                  "'s peak of " + mbits(video.bit_rate()) + " with the audio's " + mbits(audio) +
                  " comes to " + mbits(video.bit_rate() + audio) + ": " + fix);
}

// A stream's PID, given or the container's default: in a BDAV stream
// 0x1011 for the video and 0x1100 on for the audio, as Blu-ray players
// expect; in a plain transport stream 0x0100 on, in stream order, the video
// first.
}  // namespace

int programme_pid(Container container, int given, bool is_video, size_t audio_index, bool has_video) {
    if (given) return given;
    if (container == Container::bdav) return is_video ? 0x1011 : 0x1100 + static_cast<int>(audio_index);
    return 0x0100 + (is_video ? 0 : static_cast<int>(audio_index) + (has_video ? 1 : 0));
}

namespace {

void check_pid(const ProgrammeRow &row, int given, int pid, const std::string &whose,
               std::set<int> &taken, std::string &problems) {
    if (row.table_pid == 0) {
        if (given)
            problems += "; " + whose + ": a program stream has no PIDs (DVD players choose audio "
                        "by stream number, 0xA0 on): leave the PID out";
    } else if (pid < kFirstPid || pid > kLastPid || pid == row.table_pid) {
        problems += "; " + whose + ": PID " + hex(pid) + " is not a stream's: choose one of " +
                    hex(kFirstPid) + " to " + hex(kLastPid) + " but " + hex(row.table_pid) +
                    ", the programme table's";
    } else if (!taken.insert(pid).second) {
        problems += "; " + whose + ": PID " + hex(pid) + " is taken by another stream: give each "
                    "stream its own";
    }
}

void check_service(const ProgrammeRow &row, const ServiceSpec &service, std::string &problems) {
    if (row.table_pid == 0) {
        if (service.program_number != 1 || !service.name.empty() || !service.provider.empty())
            problems += "; a program stream has no program number, service name or provider: "
                        "leave them out";
    } else if (service.program_number < 1 || service.program_number > 0xFFFF) {
        problems += "; program number " + std::to_string(service.program_number) +
                    " is out of range: choose 1 to 65535";
    }
}

}  // namespace

int container_audio_track_limit(Container container) {
    const ProgrammeRow *row = programme_of(container);
    return row ? row->audio_tracks : 1;
}

void check_programme(Container container, const std::vector<AudioTrackSpec> &tracks,
                     const VideoInput *video, const ServiceSpec &service, const std::string &output) {
    const std::string shown = display_name(output, true);
    const ProgrammeRow *row = programme_of(container);
    if (!row) throw Failure(shown + ": " + container_title(container) + " holds one audio track and no video: "
                            "write .ts, .m2ts or .vob for a programme");
    if (tracks.empty()) throw Failure(shown + ": internal: a programme without audio");
    if (static_cast<int>(tracks.size()) > row->audio_tracks)
        throw Failure(shown + ": " + row->name + " takes " + std::to_string(row->audio_tracks) +
                      " audio tracks at most, not " + std::to_string(tracks.size()) +
                      ": write the others to a second file");
    for (const AudioTrackSpec &track : tracks)
        check_container_fits(container, track.shape.params.layer, output);
    if (video) check_video(*row, *video, shown);
    if (video && container == Container::program) {
        check_dvd_picture(*video, shown);
        check_dvd_rate(tracks, *video, shown);
    }

    std::string problems;
    std::set<int> taken;
    if (video || service.video_pid)
        check_pid(*row, service.video_pid, programme_pid(container, service.video_pid, true, 0, video),
                  "the video", taken, problems);
    for (size_t i = 0; i < tracks.size(); ++i) {
        const std::string whose = "audio track " + std::to_string(i + 1);
        check_pid(*row, tracks[i].pid, programme_pid(container, tracks[i].pid, false, i, video), whose,
                  taken, problems);
        if (!tracks[i].language.empty() && !is_language(tracks[i].language))
            problems += "; " + whose + ": language '" + tracks[i].language +
                        "' is not an ISO 639-2 code: give three lowercase letters, as eng or fra";
    }
    check_service(*row, service, problems);
    if (!problems.empty()) throw Failure(shown + ": " + problems.substr(2));
}

}  // namespace pcmtool
