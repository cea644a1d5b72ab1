// SPDX-License-Identifier: BSD-2-Clause
// The live monitor's check of a transport stream as it arrives, on packets
// built here: what a datagram dropped, sent twice or overtaken by the next
// does to the continuity counters of each PID, and what a clock reference
// that wraps, jumps or comes late does to the PCR figures.
#include "containers/transport_tap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using pcmtool::TapFault;
using pcmtool::TapWindow;
using pcmtool::TransportTap;

constexpr int kAudio = 0x100;
constexpr int kData = 0x101;
constexpr int64_t kMs = 27000;  // 27 MHz ticks
constexpr int64_t kPcrWrap = (int64_t{1} << 33) * 300;

struct Built {
    int pid;
    int cc;
    int64_t pcr = -1;         // -1: none
    bool announced = false;   // the discontinuity indicator
    uint32_t serial = 0;      // written in the payload: which packet this is
};

std::vector<uint8_t> packet(const Built &b) {
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = uint8_t(b.pid >> 8 & 0x1F);
    p[2] = uint8_t(b.pid);
    p[3] = uint8_t(0x10 | b.cc);
    if (b.pcr >= 0 || b.announced) {
        p[3] |= 0x20;
        p[4] = b.pcr >= 0 ? 7 : 1;
        p[5] = uint8_t((b.announced ? 0x80 : 0) | (b.pcr >= 0 ? 0x10 : 0));
        if (b.pcr >= 0) {
            const int64_t base = b.pcr / 300, ext = b.pcr % 300;
            const uint8_t field[6] = {uint8_t(base >> 25), uint8_t(base >> 17), uint8_t(base >> 9),
                                      uint8_t(base >> 1), uint8_t((base & 1) << 7 | 0x7E | ext >> 8),
                                      uint8_t(ext)};
            std::memcpy(&p[6], field, 6);
        }
    }
    std::memcpy(&p[184], &b.serial, 4);
    return p;
}

uint32_t serial_of(const uint8_t *p) {
    uint32_t s;
    std::memcpy(&s, p + 184, 4);
    return s;
}

// A stream of datagrams of seven packets: the audio PID in six, a second
// PID in the seventh, and a clock reference 1 ms apart in each first.
std::vector<std::vector<Built>> datagrams(int count) {
    std::vector<std::vector<Built>> out;
    uint32_t serial = 0;
    int audio_cc = 0, data_cc = 0;
    for (int d = 0; d < count; ++d) {
        std::vector<Built> datagram;
        for (int k = 0; k < 6; ++k) {
            datagram.push_back({kAudio, audio_cc, k == 0 ? 1000 * kMs + d * kMs : -1, false, ++serial});
            audio_cc = (audio_cc + 1) & 15;
        }
        datagram.push_back({kData, data_cc, -1, false, ++serial});
        data_cc = (data_cc + 1) & 15;
        out.push_back(datagram);
    }
    return out;
}

struct Seen {
    TapWindow window;
    std::vector<uint32_t> serials;  // in the order given out
    std::vector<std::string> faults;
};

// `arrivals`: when each piece came, in ms; none: not known.
Seen run(const std::vector<std::vector<uint8_t>> &pieces, const std::vector<int64_t> &arrivals = {}) {
    Seen seen;
    TransportTap tap([&](TapFault, const std::string &text) { seen.faults.push_back(text); });
    auto drain = [&] {
        uint8_t out[188 * 3];
        while (size_t n = tap.give(out, sizeof out))
            for (size_t k = 0; k + 188 <= n; k += 188) seen.serials.push_back(serial_of(out + k));
    };
    for (size_t k = 0; k < pieces.size(); ++k) {
        tap.take(pieces[k].data(), pieces[k].size(), arrivals.empty() ? -1 : arrivals[k] * 1000000);
        drain();
    }
    tap.flush();
    drain();
    seen.window = tap.close_window();
    return seen;
}

std::vector<uint8_t> bytes_of(const std::vector<Built> &datagram) {
    std::vector<uint8_t> out;
    for (const Built &b : datagram) {
        const std::vector<uint8_t> p = packet(b);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::vector<uint32_t> serials_of(const std::vector<std::vector<Built>> &stream, const std::vector<int> &order) {
    std::vector<uint32_t> out;
    for (int d : order)
        for (const Built &b : stream[size_t(d)]) out.push_back(b.serial);
    return out;
}

// What the network did to datagrams 0..N-1, as the order they arrived in
// (a datagram named twice came twice; one not named was lost), and what the
// tap must count and give on, in packets.
struct ContinuityRow {
    const char *name;
    int datagrams;
    std::vector<int> arrived;
    std::vector<int> given;  // the datagrams given on, in order
    uint64_t lost, duplicated, out_of_order;
};

const ContinuityRow kContinuity[] = {
    {"whole", 4, {0, 1, 2, 3}, {0, 1, 2, 3}, 0, 0, 0},
    // 6 audio packets and 1 of the other PID overtaken, none lost.
    {"swapped_pair", 4, {0, 2, 1, 3}, {0, 1, 2, 3}, 0, 0, 7},
    {"swapped_across_a_wrap", 6, {0, 1, 3, 2, 4, 5}, {0, 1, 2, 3, 4, 5}, 0, 0, 7},
    {"datagram_sent_twice", 4, {0, 1, 1, 2, 3}, {0, 1, 2, 3}, 0, 7, 0},
    {"datagram_sent_twice_later", 4, {0, 1, 2, 1, 3}, {0, 1, 2, 3}, 0, 7, 0},
    // The gap is given up once kReorderPackets more packets have come.
    {"datagram_lost", 14, {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13},
     {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, 7, 0, 0},
    {"swapped_twice", 8, {0, 2, 1, 3, 5, 4, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}, 0, 0, 14},
    {"lost_at_the_end", 3, {0, 2}, {0, 2}, 7, 0, 0},
};

TEST(TransportTap, ContinuityFaultsCountedByKind) {
    for (const ContinuityRow &row : kContinuity) {
        SCOPED_TRACE(row.name);
        const auto stream = datagrams(row.datagrams);
        std::vector<std::vector<uint8_t>> pieces;
        for (int d : row.arrived) pieces.push_back(bytes_of(stream[size_t(d)]));
        const Seen seen = run(pieces);
        EXPECT_EQ(seen.window.packets_lost, row.lost);
        EXPECT_EQ(seen.window.packets_duplicated, row.duplicated);
        EXPECT_EQ(seen.window.packets_out_of_order, row.out_of_order);
        EXPECT_EQ(seen.serials, serials_of(stream, row.given));
        // Put back in order, the clock references step 1 ms at a time.
        EXPECT_EQ(seen.window.pcr_discontinuities, 0u);
        EXPECT_EQ(seen.window.pcr_interval_max, row.lost ? 2 * kMs : kMs);
        const bool faulty = row.lost + row.duplicated + row.out_of_order > 0;
        EXPECT_EQ(!seen.faults.empty(), faulty);
    }
}

// One packet, by the order it came in: the repeat MPEG allows is no fault.
TEST(TransportTap, PacketSentTwiceInARowIsAllowedOnceNotThrice) {
    const auto stream = datagrams(2);
    std::vector<Built> twice = stream[0], thrice = stream[0];
    twice.insert(twice.begin() + 3, stream[0][2]);
    thrice.insert(thrice.begin() + 3, {stream[0][2], stream[0][2]});
    const Seen once_more = run({bytes_of(twice), bytes_of(stream[1])});
    EXPECT_EQ(once_more.serials, serials_of(stream, {0, 1}));
    EXPECT_TRUE(once_more.faults.empty());
    const Seen twice_more = run({bytes_of(thrice), bytes_of(stream[1])});
    EXPECT_EQ(twice_more.serials, serials_of(stream, {0, 1}));
    EXPECT_EQ(twice_more.window.packets_duplicated, 1u);
    EXPECT_EQ(twice_more.window.packets_lost + twice_more.window.packets_out_of_order, 0u);
}

// Datagrams lost, sent twice or overtaken by the next, at random: no packet
// is given on twice, and each one that came is given on or counted as
// duplicated or out of order. (Overtaken by more, the audio PID's counter
// comes round before the late packets come, and cannot tell them from new.)
TEST(TransportTap, AnyArrivalOrderGivesEachPacketAtMostOnce) {
    const char *given_seed = std::getenv("PCMPACK_TEST_SEED");
    const unsigned seed = given_seed ? unsigned(std::strtoul(given_seed, nullptr, 10)) : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 200; ++round) {
        const auto stream = datagrams(40);
        std::vector<int> order;
        bool moved = true;  // the last datagram came twice or late: left as it is
        for (int d = 0; d < 40; ++d) {
            const unsigned fate = random() % 8;
            if (fate == 0) continue;  // lost
            order.push_back(d);
            if (fate == 1) order.push_back(d);  // sent twice
            if (fate == 2 && !moved) std::swap(order.back(), order[order.size() - 2]);  // overtakes
            moved = fate == 1 || fate == 2;
        }
        std::vector<std::vector<uint8_t>> pieces;
        for (int d : order) pieces.push_back(bytes_of(stream[size_t(d)]));
        const Seen seen = run(pieces);
        std::set<uint32_t> given(seen.serials.begin(), seen.serials.end());
        std::string arrived;
        for (int d : order) arrived += std::to_string(d) + " ";
        ASSERT_EQ(given.size(), seen.serials.size()) << "datagrams in the order they came: " << arrived;
        EXPECT_LE(order.size() * 7, seen.serials.size() + seen.window.packets_duplicated +
                                        seen.window.packets_out_of_order);
    }
}

// Clock references on the audio PID, each after `packets` packets of the
// stream: what the intervals and discontinuities read.
struct ClockRow {
    const char *name;
    std::vector<int64_t> pcrs;  // 27 MHz
    std::vector<int> packets;   // before each, after the first
    bool announced_last;        // the sender marks the last one a discontinuity
    int64_t waited_ms;          // the last one came this long after the one before
                                // and packets before it were lost; -1: neither
    int64_t interval_max;       // -1: none
    uint64_t discontinuities;
    const char *said;           // in the fault, when one
};

const int64_t kTop = kPcrWrap - 10 * kMs;
const ClockRow kClock[] = {
    {"steady", {0, 20 * kMs, 40 * kMs, 60 * kMs}, {10, 10, 10}, false, -1, 20 * kMs, 0, nullptr},
    {"across_the_wrap", {kTop - 20 * kMs, kTop, kTop + 20 * kMs - kPcrWrap}, {10, 10}, false, -1,
     20 * kMs, 0, nullptr},
    {"restart_back_3_2_s", {5000 * kMs, 5020 * kMs, 1820 * kMs, 1840 * kMs}, {10, 10, 10}, false,
     -1, 20 * kMs, 1, "PCR discontinuity: -3.200 s"},
    {"restart_at_zero_is_no_wrap", {3600000 * kMs, 3600020 * kMs, 0, 20 * kMs}, {10, 10, 10},
     false, -1, 20 * kMs, 1, "PCR discontinuity: -3600.020 s"},
    {"splice_forward_10_s", {0, 20 * kMs, 10020 * kMs, 10040 * kMs}, {10, 10, 10}, false, -1,
     20 * kMs, 1, "PCR discontinuity: +10.000 s"},
    // 60 ms of packets between two: a late clock reference, not a jump.
    {"late_with_its_bytes", {0, 20 * kMs, 80 * kMs}, {10, 30}, false, -1, 60 * kMs, 0, nullptr},
    {"forward_a_frame_past_its_bytes", {0, 20 * kMs, 100 * kMs}, {10, 10}, false, -1, 20 * kMs, 1,
     "PCR discontinuity: +0.080 s"},
    {"announced_jump", {0, 20 * kMs, 9000 * kMs}, {10, 10}, true, -1, 20 * kMs, 0, nullptr},
    // A second with nothing received: packets lost, the clock ran on.
    {"outage_of_a_second", {0, 20 * kMs, 1040 * kMs}, {10, 10}, false, 1000, 20 * kMs, 0, nullptr},
    {"loss_and_a_jump_at_once", {0, 20 * kMs, 1040 * kMs}, {10, 10}, false, 20, 20 * kMs, 1,
     "PCR discontinuity: +1.020 s"},
};

TEST(TransportTap, ClockReferencesWrapOnlyWhereTheClockWrapped) {
    for (const ClockRow &row : kClock) {
        SCOPED_TRACE(row.name);
        std::vector<std::vector<uint8_t>> pieces;
        std::vector<int64_t> arrivals;
        int cc = 0;
        uint32_t serial = 0;
        for (size_t k = 0; k < row.pcrs.size(); ++k) {
            const bool last = k + 1 == row.pcrs.size();
            if (last && row.waited_ms >= 0) cc += 3;  // lost on the way
            for (int n = 0; k > 0 && n < row.packets[k - 1] - 1; ++n) {
                pieces.push_back(packet({kData, cc++ & 15, -1, false, ++serial}));
                arrivals.push_back(int64_t(k) * 20);
            }
            pieces.push_back(packet({kAudio, int(k) & 15, row.pcrs[k], last && row.announced_last, ++serial}));
            arrivals.push_back(last && row.waited_ms >= 0 ? int64_t(k - 1) * 20 + row.waited_ms : int64_t(k) * 20);
        }
        const Seen seen = run(pieces, arrivals);
        EXPECT_EQ(seen.window.pcr_interval_max, row.interval_max);
        EXPECT_EQ(seen.window.pcr_discontinuities, row.discontinuities);
        std::string said;
        for (const std::string &fault : seen.faults)
            if (fault.find("PCR") != std::string::npos) said += fault;
        EXPECT_EQ(said.empty(), row.said == nullptr) << said;
        if (row.said) {
            EXPECT_NE(said.find(row.said), std::string::npos) << said;
        }
    }
}

}  // namespace
