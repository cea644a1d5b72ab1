// SPDX-License-Identifier: BSD-2-Clause
// The timing of a live transport stream, read from its packets as they
// arrive, before libavformat's demuxer sees them: the demuxer does not report
// what a receiver checks first (continuity counters, clock references, the
// repetition of the program tables, the bit rate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

namespace pcmtool {

// What one interval of the stream showed.
struct TapWindow {
    uint64_t bytes = 0;
    uint64_t cc_errors = 0;         // continuity counters that skipped or went back
    uint64_t sync_losses = 0;       // bytes where a packet's sync byte was due
    int64_t pcr_interval_max = -1;  // 27 MHz ticks between clock references; -1: none
    // 27 MHz ticks between PATs, and between PMTs, on the stream's own clock
    // (the last clock reference before each), so that the network's jitter
    // does not count; -1: none
    int64_t pat_interval_max = -1;
    int64_t pmt_interval_max = -1;
};

class TransportTap {
public:
    // `on_fault` hears each continuity-counter error in words as it is found.
    using FaultFn = std::function<void(const std::string &)>;
    explicit TransportTap(FaultFn on_fault) : on_fault_(std::move(on_fault)) {}

    // The next bytes of the stream, in any pieces. A packet sent twice in a
    // row, as the protocol allows, is taken out of `data` when both copies
    // are whole in it: the demuxer would take the copy for more of the
    // frame. Returns the bytes left in `data`.
    size_t take(uint8_t *data, size_t size);
    // What the interval that ends now showed; the next one starts empty.
    TapWindow close_window();

private:
    static constexpr size_t kPacket = 188;
    struct Pid {
        int cc = -1;         // the last counter; -1 before the first packet
        int repeats = 0;     // times the last packet came again
        int64_t pcr = -1;    // the last clock reference, 27 MHz
        int64_t table = -1;  // stream time of the last table section (PAT or PMT)
    };
    // Checks a packet; false for the second copy of a packet sent twice.
    bool packet(const uint8_t *p);
    void program_table(const uint8_t *p, const uint8_t *payload);
    void table_seen(Pid &pid, int64_t &interval_max);

    FaultFn on_fault_;
    uint8_t partial_[kPacket] = {};
    size_t partial_have_ = 0;
    std::map<int, Pid> pids_;
    std::set<int> pmt_pids_;
    int64_t clock_ = -1;  // the last clock reference, 27 MHz, counted on past its wrap
    TapWindow window_;
};

}  // namespace pcmtool
