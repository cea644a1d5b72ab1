// SPDX-License-Identifier: BSD-2-Clause
// What a container's programme holds beside the audio track that is read:
// its video and every audio track, and how the audio sits on the video's
// frames. Filled by the container reader as it demuxes; times are 90 kHz
// presentation times.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace pcmtool {

constexpr int64_t kNoPts = INT64_MIN;

// Where a track's packets fall against the video's frames: each packet is
// measured from the frame presented nearest to it. A packet a frame or more
// before the first frame or past the last has no frame and is counted
// apart. Frames are kept for a minute behind the video's decode time only,
// whatever the length of the programme.
class FrameMatch {
public:
    // One frame's duration, 90 kHz (0: not known, a packet is then outside
    // only past the first or last frame itself).
    void set_frame_ticks(int64_t ticks) { frame_ticks_ = ticks; }
    // A video frame's presentation time, and its decode time, which only
    // grows: packets far enough behind it can have no nearer frame to come.
    void frame(int64_t pts, int64_t dts);
    void packet(int64_t pts);
    // Measures the packets still waiting; call once, at the end.
    void finish();

    uint64_t packets() const { return packets_; }
    uint64_t off_frame() const { return off_; }   // not on a frame's time
    uint64_t outside() const { return outside_; } // before the first frame or past the last
    // The distance of the packet farthest off its frame, signed: positive,
    // the packet comes after the frame.
    int64_t farthest() const { return farthest_; }

private:
    void measure(int64_t pts, bool at_end);
    void resolve(int64_t decoded_up_to);

    int64_t frame_ticks_ = 0;
    int64_t decoded_ = kNoPts;  // the latest frame's decode time
    std::set<int64_t> frames_;
    std::vector<int64_t> waiting_;  // packets whose nearest frame may be still to come
    int64_t last_frame_ = kNoPts;
    uint64_t packets_ = 0, off_ = 0, outside_ = 0;
    int64_t farthest_ = 0;
};

struct ProgrammeVideo {
    int id = 0;               // PID or stream id
    std::string codec;        // "MPEG-2 video", "H.264", ...
    int width = 0, height = 0;
    int rate_num = 0, rate_den = 1;  // frames per second; 0 when not signalled
    int64_t first_pts = kNoPts;      // the earliest frame's
};

struct ProgrammeAudio {
    int id = 0;
    std::string codec;     // "SMPTE 302M", "HDMV LPCM", "DVD LPCM", or libavcodec's name
    std::string language;  // ISO 639-2 as signalled; "" when not
    int channels = 0, bits = 0, sample_rate = 0;  // 0 where not known
    std::string layout;    // HDMV's channel layout ("5.1"); "" for the others
    bool read = false;     // the track the stream reader was given
    int64_t first_pts = kNoPts;
    bool frame_timed = false;  // 302M: each packet belongs on a video frame
    FrameMatch frames;
};

struct Programme {
    std::vector<ProgrammeVideo> video;
    std::vector<ProgrammeAudio> audio;
    bool complete = false;  // the whole input demuxed: the figures are final
    // Whether the programme is more than one audio track alone.
    bool listed() const { return !video.empty() || audio.size() > 1; }
};

}  // namespace pcmtool
