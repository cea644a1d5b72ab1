// SPDX-License-Identifier: BSD-2-Clause
#include "containers/transport_tap.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>

namespace pcmtool {

namespace {

constexpr uint8_t kSync = 0x47;
constexpr int kPatPid = 0x0000;
constexpr int kNullPid = 0x1FFF;
// The program clock reference counts 27 MHz ticks modulo 2^33 * 300.
constexpr int64_t kPcrWrap = (int64_t{1} << 33) * 300;
// A clock reference further on than the bytes since the last one carry,
// by more than a frame (50 ms covers the 24 Hz frame), jumped: a sender
// restarted or a splice. Before the stream's rate is known, anything past
// the 100 ms that MPEG allows between clock references is taken for one.
constexpr int64_t kJumpTicks = 50 * 27000;
constexpr int64_t kFirstIntervalMost = 100 * 27000;
// Each arrival takes a place 32 apart, so that the up to 15 packets of a
// gap fit in before the packet that followed it.
constexpr uint64_t kPlaceStep = 32;

// The standard library's hash of the packet's bytes: a copy is told by it
// before its bytes are compared.
uint64_t packet_hash(const uint8_t *p, size_t size) {
    return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char *>(p), size));
}

}  // namespace

void TransportTap::take(const uint8_t *data, size_t size, int64_t arrival_ns) {
    window_.bytes += size;
    arrival_ns_ = arrival_ns;
    while (size > 0) {
        if (partial_have_ == 0 && data[0] != kSync) {
            // Lost packet alignment: the stream is taken up again at the
            // next sync byte.
            ++window_.sync_losses;
            const void *next = std::memchr(data, kSync, size);
            const size_t skip = next ? size_t(static_cast<const uint8_t *>(next) - data) : size;
            data += skip;
            size -= skip;
            continue;
        }
        if (partial_have_ == 0 && size >= kPacket) {
            arrive(data);
            data += kPacket;
            size -= kPacket;
            continue;
        }
        // A packet cut by the end of a piece is completed by the next.
        const size_t n = std::min(size, kPacket - partial_have_);
        std::memcpy(partial_ + partial_have_, data, n);
        partial_have_ += n;
        data += n;
        size -= n;
        if (partial_have_ == kPacket) {
            partial_have_ = 0;
            arrive(partial_);
        }
    }
    // Released once the whole piece is in: the packets of a datagram that
    // came late all go back before those that overtook them.
    drain();
    say();
}

size_t TransportTap::give(uint8_t *data, size_t size) {
    const size_t n = std::min(size, out_.size() - out_at_);
    std::memcpy(data, out_.data() + out_at_, n);
    out_at_ += n;
    if (out_at_ == out_.size()) {
        out_.clear();
        out_at_ = 0;
    }
    return n;
}

void TransportTap::flush() {
    partial_have_ = 0;
    expire(true);
    drain();
    say();
}

// Packets of one PID with counters in a row, out of place in the same way
// (a datagram that came late or again), are named in one message.
void TransportTap::note(Run::Kind kind, int pid, int cc) {
    if (run_.count > 0 && (run_.kind != kind || run_.pid != pid || ((run_.last + 1) & 15) != cc))
        say();
    if (run_.count == 0) run_ = {kind, pid, cc, cc, 0};
    run_.last = cc;
    ++run_.count;
}

void TransportTap::say() {
    if (run_.count == 0) return;
    const char *what = run_.kind == Run::lost         ? "lost"
                       : run_.kind == Run::reordered  ? "came out of order, after packets that "
                                                        "follow them: put back in place"
                       : run_.kind == Run::duplicated ? "came again, duplicated: left out"
                                                      : "came too late to be put back: left out";
    char counters[48];
    if (run_.count == 1)
        std::snprintf(counters, sizeof counters, "continuity counter %d", run_.first);
    else
        std::snprintf(counters, sizeof counters, "continuity counters %d to %d", run_.first, run_.last);
    char text[192];
    std::snprintf(text, sizeof text, "PID 0x%X: %d packet%s (%s) %s", unsigned(run_.pid), run_.count,
                  run_.count == 1 ? "" : "s", counters, what);
    run_.count = 0;
    continuity(text);
}

// Sorts a packet by its continuity counter: next in line, the one repeat
// MPEG allows, a copy of one already here (a datagram sent again), one
// that fills a gap (it came out of order), or one past a gap.
void TransportTap::arrive(const uint8_t *p) {
    const uint64_t place = ++arrived_ * kPlaceStep;
    Packet packet;
    std::memcpy(packet.bytes, p, kPacket);
    packet.arrival = arrival_ns_;
    const int number = (p[1] & 0x1F) << 8 | p[2];
    const bool payload = p[3] & 0x10;
    if (number == kNullPid || !payload) {
        held_[place] = packet;
        expire(false);
        return;
    }
    const bool announced = (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80);
    const int cc = p[3] & 15;
    const uint16_t bit = uint16_t(1u << cc);
    const uint64_t hash = packet_hash(p, kPacket);
    Pid &pid = pids_[number];
    // MPEG allows a packet to be sent twice in a row; a copy with other
    // packets between came in a datagram sent again.
    const bool again = hash == last_hash_;
    last_hash_ = hash;
    pid.repeats = again ? pid.repeats + 1 : 0;
    const int behind = (pid.next - 1 - cc) & 15;  // counters back from the last in line
    if (again && pid.repeats == 1) return;  // the repeat MPEG allows: left out, no fault
    if (taken_recently(pid, hash, cc) && !announced) {
        ++window_.packets_duplicated;
        note(Run::duplicated, number, cc);
        return;
    }
    if (pid.next < 0 || announced || cc == pid.next) {
        take_in_line(pid, number, cc, announced, packet, place);
    } else if (const auto gap = awaited(pid, number, cc); gap != gaps_.end()) {
        take_late(gap, pid, number, cc, packet);
    } else if (again) {
        ++window_.packets_duplicated;
        note(Run::duplicated, number, cc);
        return;
    } else if (behind < 8 && !(pid.have & bit)) {
        // Its place was given up as lost; the frame it belonged to has gone on.
        ++window_.packets_out_of_order;
        note(Run::too_late, number, cc);
        return;
    } else {
        take_past_gap(pid, number, cc, packet, place);
    }
    recent_[arrived_ % kReorderPackets] = {hash, pid.steps};
    pid.have |= bit;
    expire(false);
}

// A copy of a packet taken among the last kReorderPackets (the hash covers
// the PID and the counter). A packet of silence comes again alike a whole
// lap of the counter on, next in line: only a copy from within the lap is
// one then.
bool TransportTap::taken_recently(const Pid &pid, uint64_t hash, int cc) const {
    const auto taken = std::find_if(std::begin(recent_), std::end(recent_),
                                    [&](const Taken &t) { return t.hash == hash; });
    return taken != std::end(recent_) && (cc != pid.next || pid.steps - taken->steps < 16);
}

// The gap that awaits this PID's counter, or gaps_.end().
std::deque<TransportTap::Gap>::iterator TransportTap::awaited(const Pid &pid, int number, int cc) {
    if (!(pid.missing & (1u << cc))) return gaps_.end();
    return std::find_if(gaps_.begin(), gaps_.end(),
                        [&](const Gap &g) { return g.pid == number && g.cc == cc; });
}

// The packet next in line, the first of its PID, or one whose sender says
// its counters start again, after which nothing is awaited.
void TransportTap::take_in_line(Pid &pid, int number, int cc, bool announced, const Packet &packet,
                                uint64_t place) {
    if (announced && pid.missing) {
        gaps_.erase(std::remove_if(gaps_.begin(), gaps_.end(),
                                   [&](const Gap &g) { return g.pid == number; }),
                    gaps_.end());
        pid.missing = 0;
    }
    give_up_counter(number, cc);
    pid.next = (cc + 1) & 15;
    ++pid.steps;
    held_[place] = packet;
}

// A packet a gap awaited goes back in place. Packets that came late together
// go back together, in the order they came, at the first one's place.
void TransportTap::take_late(std::deque<Gap>::iterator gap, Pid &pid, int number, int cc,
                             const Packet &packet) {
    uint64_t at = gap->before - kPlaceStep + 1 + uint64_t(gap->place);
    if (late_arrival_ + 1 == arrived_ && late_place_ + 1 < at && (late_place_ + 1) % kPlaceStep)
        at = late_place_ + 1;
    while (held_.count(at)) ++at;  // a place another late packet took
    late_place_ = at;
    late_arrival_ = arrived_;
    held_[at] = packet;
    gaps_.erase(gap);
    pid.missing &= uint16_t(~(1u << cc));
    ++window_.packets_out_of_order;
    note(Run::reordered, number, cc);
}

// A packet past counters that did not come: each of them opens a gap that
// awaits it for kReorderPackets arrivals.
void TransportTap::take_past_gap(Pid &pid, int number, int cc, const Packet &packet, uint64_t place) {
    const int missing = (cc - pid.next) & 15;
    for (int k = 0; k <= missing; ++k) give_up_counter(number, (pid.next + k) & 15);
    pid.steps += uint64_t(missing) + 1;
    for (int k = 0; k < missing; ++k) {
        const int lost_cc = (pid.next + k) & 15;
        gaps_.push_back({number, lost_cc, k, place, arrived_});
        pid.missing |= uint16_t(1u << lost_cc);
        pid.have &= uint16_t(~(1u << lost_cc));
    }
    pid.next = (cc + 1) & 15;
    held_[place] = packet;
}

// Gaps whose packets did not come within kReorderPackets arrivals (all of
// them at the end) are lost.
void TransportTap::expire(bool all) {
    while (!gaps_.empty() && (all || arrived_ - gaps_.front().arrived >= kReorderPackets))
        give_up(gaps_.front());
}

// The packets missing from one gap are lost: its time ran out, or the PID's
// counter came round to one of them again, after which a late packet could
// not be told from a new one.
void TransportTap::give_up(const Gap first) {
    say();
    for (auto g = gaps_.begin(); g != gaps_.end();) {
        if (g->pid != first.pid || g->before != first.before) {
            ++g;
            continue;
        }
        pids_[g->pid].missing &= uint16_t(~(1u << g->cc));
        ++window_.packets_lost;
        ++lost_;
        note(Run::lost, g->pid, g->cc);
        g = gaps_.erase(g);
    }
    say();
}

void TransportTap::give_up_counter(int number, int cc) {
    if (!(pids_[number].missing & (1u << cc))) return;
    const auto gap = std::find_if(gaps_.begin(), gaps_.end(),
                                  [&](const Gap &g) { return g.pid == number && g.cc == cc; });
    if (gap != gaps_.end()) give_up(*gap);
}

void TransportTap::drain() {
    const uint64_t limit = gaps_.empty() ? std::numeric_limits<uint64_t>::max()
                                         : gaps_.front().before - kPlaceStep + 1;
    while (!held_.empty() && held_.begin()->first < limit) {
        release(held_.begin()->second);
        held_.erase(held_.begin());
    }
}

// A packet in stream order: its clock reference and program tables.
void TransportTap::release(const Packet &packet) {
    const uint8_t *p = packet.bytes;
    released_ += kPacket;
    out_.insert(out_.end(), p, p + kPacket);
    const int number = (p[1] & 0x1F) << 8 | p[2];
    if (number == kNullPid) return;
    const bool unit_start = p[1] & 0x40;
    const int control = (p[3] >> 4) & 3;
    Pid &pid = pids_[number];
    const uint8_t *payload = p + 4;
    if (control & 2) {
        const int length = p[4];
        payload = p + 5 + length;
        if (length > 0 && (p[5] & 0x10) && length >= 7) {
            const uint8_t *b = p + 6;
            const int64_t base = int64_t{b[0]} << 25 | int64_t{b[1]} << 17 | int64_t{b[2]} << 9 |
                                 int64_t{b[3]} << 1 | b[4] >> 7;
            clock_reference(pid, number, base * 300 + ((b[4] & 1) << 8 | b[5]), p[5] & 0x80,
                            packet.arrival);
        }
    }
    if (!unit_start || !(control & 1) || payload >= p + kPacket) return;
    if (number == kPatPid) {
        table_seen(pid, window_.pat_interval_max);
        program_table(p, payload);
    } else if (pmt_pids_.count(number)) {
        table_seen(pid, window_.pmt_interval_max);
    }
}

// The step from the last clock reference on the PID, taken the short way
// round the 33-bit wrap: an interval when it goes forward by about what the
// bytes between them carry; an outage when packets were lost and it took
// about as long to come; else a discontinuity. Nothing is measured across
// the last two.
void TransportTap::clock_reference(Pid &pid, int number, int64_t pcr, bool announced,
                                   int64_t arrival) {
    if (pid.pcr >= 0 && !announced) {
        int64_t step = ((pcr - pid.pcr) % kPcrWrap + kPcrWrap) % kPcrWrap;
        if (step >= kPcrWrap / 2) step -= kPcrWrap;
        const uint64_t bytes = released_ - pid.pcr_byte + (lost_ - pid.pcr_lost) * kPacket;
        const double carried = double(bytes) * pid.ticks_per_byte;
        const bool jumped = step < 0 || (pid.ticks_per_byte > 0 ? double(step) > carried + kJumpTicks
                                                                : step > kFirstIntervalMost);
        // 27 MHz ticks from nanoseconds: 27 per thousand.
        const int64_t waited = arrival >= 0 && pid.pcr_arrival >= 0
                                   ? (arrival - pid.pcr_arrival) * 27 / 1000
                                   : -1;
        // Packets read late, from a busy machine's socket buffer, shorten
        // the wait that was seen: half the step will do.
        const bool outage = jumped && step > 0 && lost_ > pid.pcr_lost && waited >= 0 &&
                            step <= 2 * waited + kJumpTicks;
        if (outage) {
            clock_ += step;
            pid.ticks_per_byte = 0;
        } else if (jumped) {
            ++window_.pcr_discontinuities;
            ++jumps_;
            for (auto &[n, other] : pids_) other.table = -1;
            pid.ticks_per_byte = 0;
            char text[96];
            std::snprintf(text, sizeof text, "PID 0x%X: PCR discontinuity: %+.3f s",
                          unsigned(number), double(step) / 27e6);
            on_fault_(TapFault::pcr_discontinuity, text);
        } else {
            window_.pcr_interval_max = std::max(window_.pcr_interval_max, step);
            clock_ += step;
            pid.ticks_per_byte = bytes > 0 ? double(step) / double(bytes) : 0;
        }
    } else if (clock_ < 0) {
        clock_ = pcr;
    }
    pid.pcr = pcr;
    pid.pcr_arrival = arrival;
    pid.pcr_byte = released_;
    pid.pcr_lost = lost_;
}

// The PMT PIDs the PAT names, read from a section that starts and ends in
// this packet (as every PAT of one program does).
void TransportTap::program_table(const uint8_t *p, const uint8_t *payload) {
    const uint8_t *section = payload + 1 + payload[0];
    if (section + 8 > p + kPacket || section[0] != 0) return;
    const int length = (section[1] & 0x0F) << 8 | section[2];
    const uint8_t *end = section + 3 + length - 4;  // before the CRC
    if (end > p + kPacket) return;
    for (const uint8_t *entry = section + 8; entry + 4 <= end; entry += 4) {
        const int program = entry[0] << 8 | entry[1];
        if (program != 0) pmt_pids_.insert((entry[2] & 0x1F) << 8 | entry[3]);
    }
}

void TransportTap::table_seen(Pid &pid, int64_t &interval_max) {
    if (clock_ < 0) return;
    if (pid.table >= 0) interval_max = std::max(interval_max, clock_ - pid.table);
    pid.table = clock_;
}

TapWindow TransportTap::close_window() {
    // A table that stopped coming shows as the time since it last came,
    // while the stream goes on.
    for (const auto &[number, pid] : pids_) {
        if (pid.table < 0 || window_.bytes == 0) continue;
        int64_t &max = number == kPatPid ? window_.pat_interval_max : window_.pmt_interval_max;
        max = std::max(max, clock_ - pid.table);
    }
    TapWindow closed = window_;
    window_ = TapWindow{};
    return closed;
}

}  // namespace pcmtool
