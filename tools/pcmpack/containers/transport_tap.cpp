// SPDX-License-Identifier: BSD-2-Clause
#include "containers/transport_tap.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pcmtool {

namespace {

constexpr uint8_t kSync = 0x47;
constexpr int kPatPid = 0x0000;
constexpr int kNullPid = 0x1FFF;
// The program clock reference counts 27 MHz ticks modulo 2^33 * 300.
constexpr int64_t kPcrWrap = (int64_t{1} << 33) * 300;

}  // namespace

size_t TransportTap::take(uint8_t *data, size_t size) {
    window_.bytes += size;
    const uint8_t *in = data;
    uint8_t *out = data;  // where the bytes kept go
    auto keep = [&](size_t n) {
        std::memmove(out, in, n);
        out += n;
        in += n;
        size -= n;
    };
    while (size > 0) {
        if (partial_have_ == 0 && in[0] != kSync) {
            // Lost packet alignment: the stream is taken up again at the
            // next sync byte.
            ++window_.sync_losses;
            const void *next = std::memchr(in, kSync, size);
            keep(next ? size_t(static_cast<const uint8_t *>(next) - in) : size);
            continue;
        }
        if (partial_have_ == 0 && size >= kPacket) {
            if (packet(in)) {
                keep(kPacket);
            } else {
                in += kPacket;
                size -= kPacket;
            }
            continue;
        }
        // A packet cut by the end of a piece goes on as it came.
        const size_t n = std::min(size, kPacket - partial_have_);
        std::memcpy(partial_ + partial_have_, in, n);
        partial_have_ += n;
        keep(n);
        if (partial_have_ == kPacket) {
            partial_have_ = 0;
            packet(partial_);
        }
    }
    return static_cast<size_t>(out - data);
}

bool TransportTap::packet(const uint8_t *p) {
    const int pid_number = (p[1] & 0x1F) << 8 | p[2];
    if (pid_number == kNullPid) return true;
    const bool unit_start = p[1] & 0x40;
    const int control = (p[3] >> 4) & 3;
    const int cc = p[3] & 15;
    Pid &pid = pids_[pid_number];
    const uint8_t *payload = p + 4;
    bool discontinuity = false;
    int64_t pcr = -1;
    if (control & 2) {
        const int length = p[4];
        payload = p + 5 + length;
        if (length > 0) {
            discontinuity = p[5] & 0x80;
            if ((p[5] & 0x10) && length >= 7) {
                const uint8_t *b = p + 6;
                const int64_t base = int64_t{b[0]} << 25 | int64_t{b[1]} << 17 |
                                     int64_t{b[2]} << 9 | int64_t{b[3]} << 1 | b[4] >> 7;
                pcr = base * 300 + ((b[4] & 1) << 8 | b[5]);
            }
        }
    }
    // The counter steps with each packet that carries payload; a packet
    // may be sent twice in a row, but not three times.
    if (control & 1) {
        const bool repeated = pid.cc == cc && !discontinuity;
        pid.repeats = repeated ? pid.repeats + 1 : 0;
        if (repeated && pid.repeats == 1) return false;
        if (pid.cc >= 0 && !discontinuity && cc != ((pid.cc + 1) & 15)) {
            ++window_.cc_errors;
            char text[96];
            if (repeated)
                std::snprintf(text, sizeof text, "PID 0x%X: continuity counter %d came %d times",
                              unsigned(pid_number), cc, pid.repeats + 1);
            else
                std::snprintf(text, sizeof text,
                              "PID 0x%X: continuity counter %d where %d was due (%d packets lost)",
                              unsigned(pid_number), cc, (pid.cc + 1) & 15,
                              (cc - pid.cc - 1 + 16) & 15);
            on_fault_(text);
        }
        pid.cc = cc;
    }
    if (pcr >= 0) {
        if (pid.pcr >= 0 && !discontinuity) {
            const int64_t interval = ((pcr - pid.pcr) % kPcrWrap + kPcrWrap) % kPcrWrap;
            window_.pcr_interval_max = std::max(window_.pcr_interval_max, interval);
            clock_ += interval;
        } else if (clock_ < 0) {
            clock_ = pcr;
        }
        pid.pcr = pcr;
    }
    if (!unit_start || !(control & 1) || payload >= p + kPacket) return true;
    if (pid_number == kPatPid) {
        table_seen(pid, window_.pat_interval_max);
        program_table(p, payload);
    } else if (pmt_pids_.count(pid_number)) {
        table_seen(pid, window_.pmt_interval_max);
    }
    return true;
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
