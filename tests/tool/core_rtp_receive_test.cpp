// SPDX-License-Identifier: BSD-2-Clause
// The ST 2110 receiver's pure parts: the session description it reads, the
// datagrams it puts back in order with what it counts on the way, and the
// offset of arrival from the sampling instant on the media clock.
#include "containers/rtp_order.h"
#include "format/sdp_read.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pcmpack_format::RtpAudio;
using pcmpack_format::RtpSession;
using pcmtool::RtpCounts;
using pcmtool::RtpOrder;
using pcmtool::RtpPacket;

const std::string kHead = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=s\r\nt=0 0\r\n";

struct SdpRow {
    const char *name;
    std::string text;
    const char *error;  // a piece of the refusal; nullptr: read
    RtpSession want;
};

TEST(SdpRead, ReadsWhatAReceiverNeedsAndRefusesTheRest) {
    const SdpRow rows[] = {
        {"-30 session-level c=", kHead + "c=IN IP4 127.0.0.1\r\nm=audio 5004 RTP/AVP 97\r\na=rtpmap:97 L24/48000/8\r\n"
                                 "a=ptime:1\r\na=mediaclk:direct=0\r\n",
         nullptr, {"127.0.0.1", false, 5004, 97, RtpAudio::l24, 48000, 8, 1000000, 0, ""}},
        {"-31 media-level c= and TTL, 125 us, CRLF-less", kHead + "m=audio 6000 RTP/AVP 98\nc=IN IP4 239.1.2.3/64\n"
                                                           "a=rtpmap:98 AM824/48000/2\na=ptime:0.125\na=mediaclk:direct=7\n",
         nullptr, {"239.1.2.3", false, 6000, 98, RtpAudio::am824, 48000, 2, 125000, 7, ""}},
        {"a group from one sender", kHead + "a=source-filter: incl IN IP4 239.1.2.3 192.0.2.7\r\nm=audio 6000 RTP/AVP 98\r\n"
                                    "c=IN IP4 239.1.2.3/32\r\na=rtpmap:98 L24/48000/2\r\n",
         nullptr, {"239.1.2.3", false, 6000, 98, RtpAudio::l24, 48000, 2, 0, 0, "192.0.2.7"}},
        {"a group from all senders but one", kHead + "m=audio 6000 RTP/AVP 98\r\nc=IN IP6 ff3e::1\r\n"
                                             "a=source-filter: excl IN IP6 ff3e::1 2001:db8::7\r\n"
                                             "a=rtpmap:98 L24/48000/2\r\n",
         nullptr, {"ff3e::1", true, 6000, 98, RtpAudio::l24, 48000, 2, 0, 0, ""}},
        {"IPv6, L16, one channel by default", kHead + "c=IN IP6 ::1\r\nm=audio 5006 RTP/AVP 96\r\na=rtpmap:96 L16/96000\r\n",
         nullptr, {"::1", true, 5006, 96, RtpAudio::l16, 96000, 1, 0, 0, ""}},
        {"the audio after a video section", kHead + "c=IN IP4 127.0.0.1\r\nm=video 7000 RTP/AVP 96\r\na=rtpmap:96 raw/90000\r\n"
                                                "m=audio 5008 RTP/AVP 97\r\na=rtpmap:97 L24/48000/2\r\n",
         nullptr, {"127.0.0.1", false, 5008, 97, RtpAudio::l24, 48000, 2, 0, 0, ""}},
        {"an rtpmap of another payload type", kHead + "c=IN IP4 127.0.0.1\r\nm=audio 5004 RTP/AVP 97\r\na=rtpmap:96 L24/48000/2\r\n",
         "no a=rtpmap for payload type 97", {}},
        {"an encoding not received", kHead + "c=IN IP4 127.0.0.1\r\nm=audio 5004 RTP/AVP 97\r\na=rtpmap:97 opus/48000/2\r\n",
         "the payload is opus/48000/2", {}},
        {"no audio section", kHead + "c=IN IP4 127.0.0.1\r\nm=video 5004 RTP/AVP 97\r\n", "no audio media section", {}},
        {"no address", kHead + "m=audio 5004 RTP/AVP 97\r\na=rtpmap:97 L24/48000/2\r\n", "no connection address", {}},
        {"a channel count of nothing", kHead + "c=IN IP4 127.0.0.1\r\nm=audio 5004 RTP/AVP 97\r\na=rtpmap:97 L24/48000/x\r\n",
         "names no clock rate and channel count", {}},
        {"a packet time of nothing", kHead + "c=IN IP4 127.0.0.1\r\nm=audio 5004 RTP/AVP 97\r\na=rtpmap:97 L24/48000/2\r\n"
                                     "a=ptime:0\r\n", "is no packet time", {}},
    };
    for (const SdpRow &row : rows) {
        RtpSession got;
        std::string error;
        const bool read = pcmpack_format::read_sdp(row.text, got, error);
        if (row.error) {
            EXPECT_FALSE(read) << row.name;
            EXPECT_NE(error.find(row.error), std::string::npos) << row.name << ": " << error;
            continue;
        }
        ASSERT_TRUE(read) << row.name << ": " << error;
        const RtpSession &w = row.want;
        EXPECT_EQ(got.address, w.address) << row.name;
        EXPECT_EQ(got.ipv6, w.ipv6) << row.name;
        EXPECT_EQ(got.port, w.port) << row.name;
        EXPECT_EQ(got.payload_type, w.payload_type) << row.name;
        EXPECT_EQ(got.encoding, w.encoding) << row.name;
        EXPECT_EQ(got.rate, w.rate) << row.name;
        EXPECT_EQ(got.channels, w.channels) << row.name;
        EXPECT_EQ(got.ptime_ns, w.ptime_ns) << row.name;
        EXPECT_EQ(got.clock_offset, w.clock_offset) << row.name;
        EXPECT_EQ(got.source, w.source) << row.name;
    }
}

struct OrderRow {
    const char *name;
    std::vector<int> arrivals;  // sequence numbers as they arrive; -1: another sender starts
    std::vector<int> released;  // in order; a lost one negative (-1 - sequence)
    RtpCounts counts;           // packets, lost, duplicated, out of order, late
};

// Depth 4: a hole is given up once four datagrams past it have arrived.
TEST(RtpOrder, PutsDatagramsBackInOrderAndCountsWhatTheWayDid) {
    const OrderRow rows[] = {
        {"in order", {10, 11, 12}, {10, 11, 12}, {3, 0, 0, 0, 0}},
        {"one overtaken", {10, 12, 11, 13}, {10, 11, 12, 13}, {4, 0, 0, 1, 0}},
        {"a repeat at once and later", {10, 10, 11, 12, 10}, {10, 11, 12}, {5, 0, 2, 0, 0}},
        {"a repeat still held", {10, 12, 12, 11}, {10, 11, 12}, {4, 0, 1, 1, 0}},
        {"lost, given up at the depth", {10, 12, 13, 14, 15, 16}, {10, -12, 12, 13, 14, 15, 16}, {6, 1, 0, 0, 0}},
        {"lost at the end", {10, 11, 13}, {10, 11, -13, 13}, {3, 1, 0, 0, 0}},
        {"late after its place was given up", {10, 12, 13, 14, 15, 11}, {10, -12, 12, 13, 14, 15}, {6, 1, 0, 0, 1}},
        {"across the wrap", {65534, 0, 65535, 1}, {65534, 65535, 0, 1}, {4, 0, 0, 1, 0}},
        {"a jump past the depth", {10, 20}, {10, -12, -13, -14, -15, -16, -17, -18, -19, -20, 20}, {2, 9, 0, 0, 0}},
        {"another sender starts over", {10, 11, 12, -1, 500, 501}, {10, 11, 12, 500, 501}, {5, 0, 0, 0, 0}},
        {"a hole held as the sender changes", {10, 12, -1, 7, 8, 7}, {10, -12, 12, 7, 8}, {5, 1, 1, 0, 0}},
    };
    for (const OrderRow &row : rows) {
        std::vector<int> released;
        RtpOrder order(4, [&released](const RtpPacket &p, bool lost) {
            released.push_back(lost ? -1 - int(p.sequence) : int(p.sequence));
        });
        const uint8_t byte = 0;
        for (const int sequence : row.arrivals)
            if (sequence < 0)
                order.restart();
            else
                order.arrive({uint16_t(sequence), uint32_t(sequence * 48), &byte, 1});
        order.finish();
        EXPECT_EQ(released, row.released) << row.name;
        const RtpCounts &c = order.totals(), &w = row.counts;
        EXPECT_EQ(c.packets, w.packets) << row.name;
        EXPECT_EQ(c.lost, w.lost) << row.name;
        EXPECT_EQ(c.duplicated, w.duplicated) << row.name;
        EXPECT_EQ(c.out_of_order, w.out_of_order) << row.name;
        EXPECT_EQ(c.late, w.late) << row.name;
    }
}

struct OffsetRow {
    const char *name;
    int64_t arrival_ns;
    uint32_t timestamp;
    int rate;
    uint32_t clock_offset;
    int64_t offset_ns;
};

TEST(MediaClockOffset, IsArrivalLessTheSamplingInstantNearestIt) {
    // 48000 ticks are one second; 2^32 ticks at 48 kHz end 89478.485333... s
    // after the epoch, where the timestamp wraps.
    const OffsetRow rows[] = {
        {"1 ms after the first sample", 1001000000, 48000, 48000, 0, 1000000},
        {"2 ms before it (a sender ahead)", 998000000, 48000, 48000, 0, -2000000},
        {"the media clock's offset", 1001000000, 48000 + 960, 48000, 960, 1000000},
        {"past the wrap", 89478485333333 + 1000000 + 20833, 1, 48000, 0, 1000000},
        {"96 kHz", 2000500000, 192000, 96000, 0, 500000},
    };
    for (const OffsetRow &row : rows)
        EXPECT_EQ(pcmtool::media_clock_offset_ns(row.arrival_ns, row.timestamp, row.rate, row.clock_offset),
                  row.offset_ns)
            << row.name;
}

}  // namespace
