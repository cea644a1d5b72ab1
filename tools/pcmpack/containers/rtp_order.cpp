// SPDX-License-Identifier: BSD-2-Clause
#include "containers/rtp_order.h"

#include "format/st2110.h"

#include <algorithm>

namespace pcmtool {

namespace {

// Released sequence numbers remembered, to tell a duplicate from a latecomer.
constexpr size_t kHistory = 4096;

}  // namespace

void RtpCounts::add(const RtpCounts &o) {
    packets += o.packets;
    lost += o.lost;
    duplicated += o.duplicated;
    out_of_order += o.out_of_order;
    late += o.late;
}

RtpOrder::RtpOrder(size_t depth, Release release)
    : depth_(std::max<size_t>(depth, 1)), release_(std::move(release)), slots_(depth_ + 1),
      history_(kHistory, -1) {}

void RtpOrder::count(uint64_t RtpCounts::*field) {
    ++(window_.*field);
    ++(totals_.*field);
}

void RtpOrder::arrive(const RtpPacket &packet) {
    count(&RtpCounts::packets);
    if (!started_) {
        started_ = true;
        next_ = highest_ = packet.sequence;
    }
    const int64_t sequence = highest_ + int16_t(uint16_t(packet.sequence - uint16_t(highest_)));
    if (sequence < next_) {
        const bool came = next_ - sequence <= int64_t(kHistory) && history_[size_t(sequence) % kHistory] == 1;
        count(came ? &RtpCounts::duplicated : &RtpCounts::late);
        return;
    }
    Slot &slot = slots_[size_t(sequence) % slots_.size()];
    if (slot.sequence == sequence) {
        count(&RtpCounts::duplicated);
        return;
    }
    if (sequence < highest_) count(&RtpCounts::out_of_order);
    highest_ = std::max(highest_, sequence);
    // A jump further than the depth gives up the holes before it first, so
    // that no slot is overwritten while it is held.
    while (highest_ - next_ >= int64_t(depth_) && next_ < sequence) release_next();
    Slot &place = slots_[size_t(sequence) % slots_.size()];
    place.sequence = sequence;
    place.bytes.assign(packet.payload, packet.payload + packet.size);
    place.packet = packet;
    place.packet.payload = place.bytes.data();
    release_ready();
}

void RtpOrder::release_next() {
    Slot &slot = slots_[size_t(next_) % slots_.size()];
    const bool came = slot.sequence == next_;
    history_[size_t(next_) % kHistory] = came ? 1 : 0;
    if (came) {
        if (last_released_ >= 0 && next_ == last_released_ + 1)
            samples_per_packet_ = pcmpack_format::timestamp_distance(last_timestamp_, slot.packet.timestamp);
        last_timestamp_ = slot.packet.timestamp;
        last_released_ = next_;
        release_(slot.packet, false);
        slot.sequence = -1;
    } else {
        count(&RtpCounts::lost);
        RtpPacket hole;
        hole.sequence = uint16_t(next_);
        hole.timestamp = pcmpack_format::timestamp_after(
            last_timestamp_, uint64_t(next_ - last_released_) * samples_per_packet_);
        release_(hole, true);
    }
    ++next_;
}

void RtpOrder::release_ready() {
    while (next_ <= highest_ && slots_[size_t(next_) % slots_.size()].sequence == next_) release_next();
}

void RtpOrder::finish() {
    while (started_ && next_ <= highest_) release_next();
}

void RtpOrder::restart() {
    finish();
    started_ = false;
    last_released_ = -1;
    std::fill(history_.begin(), history_.end(), int8_t(-1));
}

RtpCounts RtpOrder::take_window() {
    const RtpCounts w = window_;
    window_ = RtpCounts{};
    return w;
}

int64_t media_clock_offset_ns(int64_t arrival_ns, uint32_t timestamp, int rate, uint32_t clock_offset) {
    // Seconds and the rest apart, so that no product leaves 64 bits.
    const int64_t ns = 1000000000;
    const int64_t ticks = arrival_ns / ns * rate + arrival_ns % ns * rate / ns;
    const uint32_t now = pcmpack_format::timestamp_after(uint32_t(uint64_t(ticks)), clock_offset);
    const int32_t behind = int32_t(pcmpack_format::timestamp_distance(timestamp, now));
    const int64_t sampled = ticks - behind;
    return arrival_ns - (sampled / rate * ns + sampled % rate * ns / rate);
}

void OffsetSpread::add(int64_t offset_ns) {
    least = count ? std::min(least, offset_ns) : offset_ns;
    most = count ? std::max(most, offset_ns) : offset_ns;
    sum += double(offset_ns);
    ++count;
}

}  // namespace pcmtool
