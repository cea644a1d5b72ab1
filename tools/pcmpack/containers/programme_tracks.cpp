// SPDX-License-Identifier: BSD-2-Clause
#include "containers/programme_tracks.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace pcmtool {

namespace {

// Two seconds: a multiplexer sends a frame's packets well within this of
// the audio presented with it, whatever the reordering of B-frames.
constexpr int64_t kWindowTicks = 180000;
// The frames kept behind the video's decode time: a minute, for audio
// muxed far from its video (a packet later still finds no frame, and is
// counted outside the video).
constexpr int64_t kKeptTicks = 60 * 90000;

}  // namespace

void FrameMatch::frame(int64_t pts, int64_t dts) {
    if (pts == kNoPts) return;
    frames_.insert(pts);
    if (last_frame_ == kNoPts || pts > last_frame_) last_frame_ = pts;
    if (dts == kNoPts) dts = pts;
    if (decoded_ == kNoPts || dts > decoded_) decoded_ = dts;
    resolve(decoded_);
    frames_.erase(frames_.begin(), frames_.lower_bound(decoded_ - kKeptTicks));
}

void FrameMatch::packet(int64_t pts) {
    if (pts == kNoPts) return;
    if (decoded_ != kNoPts && pts + kWindowTicks < decoded_)
        measure(pts, false);
    else
        waiting_.push_back(pts);
}

void FrameMatch::finish() {
    for (const int64_t pts : waiting_) measure(pts, true);
    waiting_.clear();
}

void FrameMatch::resolve(int64_t decoded_up_to) {
    const auto settled = [decoded_up_to](int64_t pts) { return pts + kWindowTicks < decoded_up_to; };
    for (const int64_t pts : waiting_)
        if (settled(pts)) measure(pts, false);
    waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(), settled), waiting_.end());
}

void FrameMatch::measure(int64_t pts, bool at_end) {
    ++packets_;
    // A frame more than this away, before the first or past the last, is
    // no longer the video's.
    const int64_t reach = std::max<int64_t>(frame_ticks_, 1);
    if (frames_.empty() || *frames_.begin() - pts >= reach ||
        (at_end && pts - last_frame_ >= reach)) {
        ++outside_;
        return;
    }
    const auto after = frames_.lower_bound(pts);
    int64_t nearest = after == frames_.end() ? *std::prev(after) : *after;
    if (after != frames_.begin() && after != frames_.end() &&
        pts - *std::prev(after) < *after - pts)
        nearest = *std::prev(after);
    const int64_t off = pts - nearest;
    if (off == 0) return;
    ++off_;
    if (std::llabs(off) > std::llabs(farthest_)) farthest_ = off;
}

}  // namespace pcmtool
