// SPDX-License-Identifier: BSD-2-Clause
// RTP datagrams put back in sequence order as they arrive, and what the
// sequence numbers and timestamps say of the way: datagrams lost,
// duplicated, out of order, or late (after their place was given up), and
// the offset between each datagram's arrival and the sampling instant of its
// first sample on the media clock. Pure: the socket is elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace pcmtool {

// A datagram's place in the stream and its payload.
struct RtpPacket {
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    const uint8_t *payload = nullptr;
    size_t size = 0;
};

struct RtpCounts {
    uint64_t packets = 0;       // datagrams that arrived, duplicates included
    uint64_t lost = 0;          // sequence numbers never seen in time
    uint64_t duplicated = 0;    // a sequence number seen again
    uint64_t out_of_order = 0;  // arrived after a later sequence number
    uint64_t late = 0;          // arrived after its place was given up as lost
    void add(const RtpCounts &other);
};

// Holds up to `depth` datagrams past a missing one, so that one overtaken on
// the way takes its place; a hole `depth` datagrams old is given up as lost.
// The depth counts datagrams, not time, so what is reported does not depend
// on how busy the receiving machine is.
class RtpOrder {
public:
    // In sequence order: a payload, or nullptr for a lost datagram together
    // with its timestamp as the ones around it put it.
    using Release = std::function<void(const RtpPacket &packet, bool lost)>;
    RtpOrder(size_t depth, Release release);

    void arrive(const RtpPacket &packet);
    // The end: whatever is held goes out, the holes as lost.
    void finish();
    // Another sender took over the stream (a new SSRC): what is held goes
    // out, and its sequence numbers are followed from the next datagram on.
    void restart();
    // What came since the last call.
    RtpCounts take_window();
    const RtpCounts &totals() const { return totals_; }

private:
    struct Slot {
        int64_t sequence = -1;  // extended; -1: empty
        RtpPacket packet;
        std::vector<uint8_t> bytes;
    };
    void count(uint64_t RtpCounts::*field);
    void release_next();
    void release_ready();

    size_t depth_;
    Release release_;
    std::vector<Slot> slots_;
    std::vector<int8_t> history_;  // of released sequence numbers: 1 came, 0 lost
    bool started_ = false;
    int64_t next_ = 0;     // extended sequence number released next
    int64_t highest_ = 0;  // highest extended sequence number that arrived
    uint32_t last_timestamp_ = 0;
    int64_t last_released_ = -1;
    uint32_t samples_per_packet_ = 0;
    RtpCounts window_, totals_;
};

// The offset, in nanoseconds, between a datagram's arrival (`arrival_ns`,
// TAI) and the sampling instant of its first sample: the instant nearest
// the arrival whose media clock (`rate` Hz, counted from the TAI epoch and
// shifted by `clock_offset`) reads `timestamp`.
int64_t media_clock_offset_ns(int64_t arrival_ns, uint32_t timestamp, int rate, uint32_t clock_offset);

// The offsets of an interval: least, greatest and mean.
struct OffsetSpread {
    uint64_t count = 0;
    int64_t least = 0, most = 0;
    double sum = 0;
    void add(int64_t offset_ns);
    double mean() const { return count ? sum / double(count) : 0; }
};

}  // namespace pcmtool
