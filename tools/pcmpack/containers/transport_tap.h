// SPDX-License-Identifier: BSD-2-Clause
// The timing of a live transport stream, read from its packets as they
// arrive, before libavformat's demuxer sees them: the demuxer does not report
// what a receiver checks first (continuity counters, clock references, the
// repetition of the program tables, the bit rate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace pcmtool {

// What one interval of the stream showed. Counts are of 188-byte packets.
struct TapWindow {
    uint64_t bytes = 0;
    uint64_t packets_lost = 0;          // continuity counters skipped and never filled
    uint64_t packets_duplicated = 0;    // a packet that came again, past the one repeat allowed
    uint64_t packets_out_of_order = 0;  // a packet that came after packets that follow it
    uint64_t sync_losses = 0;           // bytes where a packet's sync byte was due
    uint64_t pcr_discontinuities = 0;   // clock references that jumped, unannounced
    int64_t pcr_interval_max = -1;      // 27 MHz ticks between clock references; -1: none
    // 27 MHz ticks between PATs, and between PMTs, on the stream's own clock
    // (the last clock reference before each), so that the network's jitter
    // does not count; -1: none
    int64_t pat_interval_max = -1;
    int64_t pmt_interval_max = -1;
};

// A fault found in the stream, as it is found.
enum class TapFault { continuity, pcr_discontinuity };

class TransportTap {
public:
    using FaultFn = std::function<void(TapFault, const std::string &)>;
    explicit TransportTap(FaultFn on_fault) : on_fault_(std::move(on_fault)) {}

    // The next bytes of the stream as they arrived, in any pieces, and when
    // (monotonic nanoseconds; -1: not known).
    void take(const uint8_t *data, size_t size, int64_t arrival_ns = -1);
    // Copies out up to `size` bytes of whole packets in their stream order:
    // a packet sent twice is there once, packets that came out of order are
    // put back in place, and packets that follow a gap are held until the
    // gap fills or is given up as lost. Returns the bytes copied.
    size_t give(uint8_t *data, size_t size);
    // The input ended: what is held is given up as lost or released.
    void flush();
    // What the interval that ends now showed; the next one starts empty.
    TapWindow close_window();
    // Packets given up as lost, and clock references that jumped, since the start.
    uint64_t packets_lost_total() const { return lost_; }
    uint64_t pcr_discontinuities_total() const { return jumps_; }

    // The packets a gap may wait for its missing packets: two datagrams
    // swapped on the way arrive well within it.
    static constexpr uint64_t kReorderPackets = 64;

private:
    static constexpr size_t kPacket = 188;
    struct Packet {
        uint8_t bytes[kPacket];
        int64_t arrival;  // monotonic nanoseconds; -1: not known
    };
    struct Pid {
        int next = -1;          // the counter due next; -1 before the first packet
        int repeats = 0;        // times the last packet came again in a row
        uint16_t have = 0;      // counters that came since their last gap
        uint64_t steps = 0;     // counter steps taken, each gap's included
        uint16_t missing = 0;   // counters skipped and still awaited
        int64_t pcr = -1;        // the last clock reference, 27 MHz
        uint64_t pcr_byte = 0;   // its place in the stream, in bytes
        uint64_t pcr_lost = 0;   // packets lost before it
        double ticks_per_byte = 0;  // the stream's rate between its last two clock references
        int64_t pcr_arrival = -1;   // when the last clock reference came
        int64_t table = -1;     // stream time of the last table section (PAT or PMT)
    };
    // A gap awaiting its packets: the missing ones go before the packet at
    // `before` in stream order.
    struct Gap {
        int pid;
        int cc;
        int place;         // the missing packet's place among those of its gap
        uint64_t before;
        uint64_t arrived;  // packets that had arrived when it opened
    };

    // Packets of one PID lost or out of place the same way, counters in a row.
    struct Run {
        enum Kind { lost, reordered, duplicated, too_late } kind;
        int pid;
        int first;
        int last;
        int count;
    };
    void note(Run::Kind kind, int pid, int cc);
    void say();
    void arrive(const uint8_t *p);
    bool taken_recently(const Pid &pid, uint64_t hash, int cc) const;
    std::deque<Gap>::iterator awaited(const Pid &pid, int number, int cc);
    void take_in_line(Pid &pid, int number, int cc, bool announced, const Packet &packet, uint64_t place);
    void take_late(std::deque<Gap>::iterator gap, Pid &pid, int number, int cc, const Packet &packet);
    void take_past_gap(Pid &pid, int number, int cc, const Packet &packet, uint64_t place);
    void expire(bool all);
    void give_up(Gap gap);
    void give_up_counter(int pid, int cc);
    void drain();
    void release(const Packet &p);
    void clock_reference(Pid &pid, int pid_number, int64_t pcr, bool announced, int64_t arrival);
    void program_table(const uint8_t *p, const uint8_t *payload);
    void table_seen(Pid &pid, int64_t &interval_max);
    void continuity(const std::string &text) { on_fault_(TapFault::continuity, text); }

    FaultFn on_fault_;
    uint8_t partial_[kPacket] = {};
    size_t partial_have_ = 0;
    std::map<int, Pid> pids_;
    std::set<int> pmt_pids_;
    // Packets by their place in the stream: each arrival takes the next
    // multiple of 32, a late packet a place just before the one it precedes.
    std::map<uint64_t, Packet> held_;
    std::deque<Gap> gaps_;
    uint64_t arrived_ = 0;
    int64_t arrival_ns_ = -1;  // of the piece being taken
    uint64_t last_hash_ = 0;     // the packet that came last
    // The packets taken among the last arrivals, with their PID's steps.
    struct Taken {
        uint64_t hash;
        uint64_t steps;
    };
    Taken recent_[kReorderPackets] = {};
    uint64_t late_arrival_ = 0;  // the last packet that came late, and its place
    uint64_t late_place_ = 0;
    uint64_t released_ = 0;  // bytes released in stream order
    uint64_t lost_ = 0;      // packets given up as lost
    uint64_t jumps_ = 0;     // PCR discontinuities
    std::vector<uint8_t> out_;  // released, not yet given
    size_t out_at_ = 0;
    int64_t clock_ = -1;  // the last clock reference, 27 MHz, counted on past its wrap
    TapWindow window_;
    Run run_ = {Run::reordered, 0, 0, 0, 0};
};

}  // namespace pcmtool
