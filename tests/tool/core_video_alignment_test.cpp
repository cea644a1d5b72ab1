// SPDX-License-Identifier: BSD-2-Clause
// Where a programme's 302M packets fall on its video's frames, in process.
#include "containers/programme_tracks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// Packets measured from the video frame presented nearest them, as the
// demuxer hands both out: frames in decode order (B-frames reordered),
// packets of a long programme, a packet that comes late. 90 kHz ticks.
struct MatchEvent {
    bool frame;
    int64_t pts, dts;  // dts of a frame; unused for a packet
};

struct MatchRow {
    const char *name;
    std::vector<MatchEvent> events;
    uint64_t packets, off, outside;
    int64_t farthest;
};

std::vector<MatchEvent> long_programme(int64_t late_packet) {
    // 10 minutes of 25 Hz frames and a 302M packet on each, the packet
    // muxed a frame ahead of its frame (the last one past the video); and
    // one packet 10 s after its time.
    std::vector<MatchEvent> events;
    for (int64_t k = 0; k < 15000; ++k) {
        events.push_back({false, (k + 1) * 3600, 0});
        events.push_back({true, k * 3600, k * 3600});
        if (k == 10250) events.push_back({false, late_packet, 0});
    }
    return events;
}

const MatchRow kMatches[] = {
    {"b_frames_in_decode_order",
     {{true, 3600, 0}, {true, 14400, 3600}, {false, 3600, 0}, {true, 7200, 7200}, {false, 7200, 0},
      {true, 10800, 10800}, {false, 14400, 0}},
     3, 0, 0, 0},
    {"nearer_the_next_frame", {{true, 0, 0}, {true, 3600, 3600}, {false, 2000, 0}}, 1, 1, 0, -1600},
    {"nearer_the_frame_before", {{true, 0, 0}, {true, 3600, 3600}, {false, 1000, 0}}, 1, 1, 0, 1000},
    {"before_the_first_frame",
     {{false, -3600, 0}, {false, -3599, 0}, {true, 0, 0}, {true, 3600, 3600}}, 2, 1, 1, -3599},
    {"past_the_last_frame", {{true, 0, 0}, {false, 3599, 0}, {false, 3600, 0}}, 2, 1, 1, 3599},
    {"long_programme_on_its_frames", long_programme(36000000), 15001, 0, 1, 0},
    {"long_programme_late_packet_off", long_programme(36000450), 15001, 1, 1, 450},
};

TEST(Programme, PacketsAreMeasuredFromTheNearestVideoFrame) {
    for (const MatchRow &row : kMatches) {
        pcmtool::FrameMatch match;
        match.set_frame_ticks(3600);
        for (const MatchEvent &e : row.events)
            if (e.frame)
                match.frame(e.pts, e.dts);
            else
                match.packet(e.pts);
        match.finish();
        EXPECT_EQ(match.packets(), row.packets) << row.name;
        EXPECT_EQ(match.off_frame(), row.off) << row.name;
        EXPECT_EQ(match.outside(), row.outside) << row.name;
        EXPECT_EQ(match.farthest(), row.farthest) << row.name;
    }
}

}  // namespace
