// SPDX-License-Identifier: BSD-2-Clause
// Audio over RTP as it goes on the wire, byte for byte: the RTP header, the
// L16, L24 and AM824 payloads, the AES3 channel-status block (its CRC from
// a bit-serial register, as the bits go out), packet geometry, the media
// clock, the SDP, the refusals of encode's rtp:// plan, and the packets of a
// -31 stream over a whole channel-status block.
#include "commands/encode_rtp.h"
#include "common.h"
#include "format/st2110.h"

#include <gtest/gtest.h>

#include <bitset>
#include <string>
#include <vector>

namespace {

namespace fmt = pcmpack_format;
using Bytes = std::vector<uint8_t>;

TEST(St2110, RtpHeaderBytes) {
    struct Row {
        fmt::RtpHeader header;
        Bytes bytes;
    };
    const Row rows[] = {
        {{97, false, 0x0102, 0x03040506, 0x0708090a},
         {0x80, 0x61, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a}},
        {{127, true, 0xffff, 0xffffffff, 0}, {0x80, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0}},
    };
    for (const Row &row : rows) {
        uint8_t out[fmt::kRtpHeaderBytes];
        fmt::write_rtp_header(row.header, out);
        EXPECT_EQ(Bytes(out, out + 12), row.bytes);
        fmt::RtpHeader back;
        size_t offset = 0, payload = 0;
        ASSERT_TRUE(fmt::read_rtp_header(out, 12, &back, &offset, &payload));
        EXPECT_EQ(back.payload_type, row.header.payload_type);
        EXPECT_EQ(back.marker, row.header.marker);
        EXPECT_EQ(back.sequence, row.header.sequence);
        EXPECT_EQ(back.timestamp, row.header.timestamp);
        EXPECT_EQ(back.ssrc, row.header.ssrc);
        EXPECT_EQ(offset, 12u);
        EXPECT_EQ(payload, 0u);
    }
}

TEST(St2110, RtpHeaderReadsPastCsrcExtensionAndPadding) {
    struct Row {
        const char *what;
        Bytes datagram;
        bool ok;
        size_t offset, payload;
    };
    const Bytes fixed = {0x61, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
    auto with = [&](uint8_t first, const Bytes &rest) {
        Bytes d(1 + fixed.size() + rest.size(), first);
        for (size_t i = 0; i < fixed.size(); ++i) d[1 + i] = fixed[i];
        for (size_t i = 0; i < rest.size(); ++i) d[1 + fixed.size() + i] = rest[i];
        return d;
    };
    const Row rows[] = {
        {"plain, 2 bytes of payload", with(0x80, {0xaa, 0xbb}), true, 12, 2},
        {"one CSRC", with(0x81, {1, 2, 3, 4, 0xaa}), true, 16, 1},
        {"extension of one word", with(0x90, {0xbe, 0xde, 0, 1, 9, 9, 9, 9, 0xaa}), true, 20, 1},
        {"two bytes of padding", with(0xa0, {0xaa, 0, 2}), true, 12, 1},
        {"version 1", with(0x40, {}), false, 0, 0},
        {"CSRC past the end", with(0x82, {1, 2, 3, 4}), false, 0, 0},
        {"padding longer than the datagram", with(0xa0, {40}), false, 0, 0},
        {"11 bytes", Bytes(11, 0x80), false, 0, 0},
    };
    for (const Row &row : rows) {
        fmt::RtpHeader h;
        size_t offset = 0, payload = 0;
        EXPECT_EQ(fmt::read_rtp_header(row.datagram.data(), row.datagram.size(), &h, &offset, &payload), row.ok)
            << row.what;
        if (!row.ok) continue;
        EXPECT_EQ(offset, row.offset) << row.what;
        EXPECT_EQ(payload, row.payload) << row.what;
    }
}

TEST(St2110, LinearPayloadsAreBigEndianInterleaved) {
    const int32_t samples[] = {0x12345600, -0x100, int32_t(0x80000000u), 0x7fffff00};
    struct Row {
        fmt::RtpAudio kind;
        Bytes bytes;
    };
    const Row rows[] = {
        {fmt::RtpAudio::l24, {0x12, 0x34, 0x56, 0xff, 0xff, 0xff, 0x80, 0, 0, 0x7f, 0xff, 0xff}},
        {fmt::RtpAudio::l16, {0x12, 0x34, 0xff, 0xff, 0x80, 0, 0x7f, 0xff}},
    };
    for (const Row &row : rows) {
        Bytes out(row.bytes.size());
        fmt::write_linear(row.kind, samples, 4, out.data());
        EXPECT_EQ(out, row.bytes);
        int32_t back[4];
        fmt::read_linear(row.kind, out.data(), 4, back);
        const uint32_t keep = row.kind == fmt::RtpAudio::l16 ? 0xffff0000u : 0xffffff00u;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(uint32_t(back[i]), uint32_t(samples[i]) & keep);
    }
}

TEST(St2110, Am824SubframesCarryTheFlagsAndEvenParity) {
    struct Row {
        fmt::Am824Subframe sub;
        uint8_t label;  // without the parity bit
    };
    const Row rows[] = {
        {{true, true, false, false, false, 0x00000100}, 0x30},
        {{false, true, true, false, false, 0x12345600}, 0x14},
        {{false, false, false, true, true, -0x100}, 0x03},
        {{false, false, true, true, true, 0}, 0x07},
    };
    for (const Row &row : rows) {
        uint8_t out[4];
        fmt::write_am824(row.sub, out);
        const uint32_t word = uint32_t(row.sub.word) >> 8;
        // AES3 keeps time slots 4 to 31 (word, V, U, C, P) at even parity.
        const bool odd = (std::bitset<24>(word).count() + std::bitset<3>(row.label & 7).count()) % 2;
        EXPECT_EQ(out[0], row.label | (odd ? 0x08 : 0));
        EXPECT_EQ(out[1], uint8_t(word >> 16));
        EXPECT_EQ(out[3], uint8_t(word));
        fmt::Am824Subframe back;
        EXPECT_TRUE(fmt::read_am824(out, &back));
        EXPECT_EQ(back.word, int32_t(uint32_t(row.sub.word) & 0xffffff00u));
        EXPECT_EQ(back.block_start, row.sub.block_start);
        EXPECT_EQ(back.channel_status, row.sub.channel_status);
        out[0] ^= 0x08;
        EXPECT_FALSE(fmt::read_am824(out, &back));
    }
}

// The CRC as AES3 describes it: a register preset to ones, x^8 + x^4 + x^3
// + x^2 + 1, fed bit by bit in the order the bits are sent (bit 0 of each
// byte first); the register's last stage goes out first, as bit 0 of byte 23.
uint8_t serial_crc(const uint8_t *bytes, size_t count) {
    unsigned r = 0xff;
    for (size_t i = 0; i < count; ++i)
        for (int bit = 0; bit < 8; ++bit) {
            const unsigned feedback = ((bytes[i] >> bit) & 1) ^ (r >> 7);
            r = (r << 1) & 0xff;
            if (feedback) r ^= 0x1d;
        }
    uint8_t sent = 0;
    for (int bit = 0; bit < 8; ++bit) sent |= uint8_t(((r >> (7 - bit)) & 1) << bit);
    return sent;
}

TEST(St2110, ChannelStatusIsProfessionalWithTheNonAudioBitAndItsCrc) {
    struct Row {
        fmt::ChannelStatus status;
        uint8_t byte0, byte2, byte4;
    };
    const Row rows[] = {
        {{48000, 24, false}, 0x85, 0x2c, 0},
        {{48000, 24, true}, 0x87, 0x2c, 0},
        {{48000, 16, true}, 0x87, 0x20, 0},
        {{48000, 20, false}, 0x85, 0x28, 0},
        {{96000, 24, false}, 0x05, 0x2c, 0x10},
    };
    for (const Row &row : rows) {
        uint8_t block[fmt::kChannelStatusBytes];
        fmt::write_channel_status(row.status, block);
        EXPECT_EQ(block[0], row.byte0);
        EXPECT_EQ(block[1], 0x08);  // two-channel mode
        EXPECT_EQ(block[2], row.byte2);
        EXPECT_EQ(block[4], row.byte4);
        EXPECT_EQ(block[23], serial_crc(block, 23));
        EXPECT_EQ(fmt::channel_status_bit(block, 0), true);  // professional
        EXPECT_EQ(fmt::channel_status_bit(block, 1), row.status.non_audio);
    }
}

TEST(St2110, PacketGeometry) {
    struct Row {
        fmt::RtpAudio kind;
        int rate, ptime_us, channels, samples;
        size_t bytes;
    };
    const Row rows[] = {
        {fmt::RtpAudio::l24, 48000, 1000, 2, 48, 300},    {fmt::RtpAudio::l24, 48000, 1000, 8, 48, 1164},
        {fmt::RtpAudio::l24, 48000, 125, 64, 6, 1164},    {fmt::RtpAudio::l16, 48000, 125, 2, 6, 36},
        {fmt::RtpAudio::am824, 48000, 1000, 8, 48, 1548}, {fmt::RtpAudio::am824, 96000, 125, 8, 12, 396},
        {fmt::RtpAudio::l24, 44100, 125, 2, 0, 12},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(fmt::samples_per_packet(row.rate, row.ptime_us), row.samples);
        EXPECT_EQ(fmt::rtp_packet_bytes(row.kind, row.channels, row.samples), row.bytes);
    }
}

TEST(St2110, MediaClockCountsSamplePeriodsFromTheEpoch) {
    struct Row {
        int64_t tai_ns;
        int rate;
        uint32_t timestamp;
        int64_t ceil;
    };
    const Row rows[] = {
        {0, 48000, 0, 0},
        {1'000'000'000, 48000, 48000, 48000},
        {20'833, 48000, 0, 1},  // just short of one period (20833.3 ns)
        {20'834, 48000, 1, 2},
        // 2^32 periods of 48 kHz are 89478.485333 s: the timestamp wraps there.
        {89478'485'334'000, 48000, 0, 4294967297},
        {1'700'000'000'000'000'000, 96000, uint32_t(1'700'000'000ull * 96000), 1'700'000'000ll * 96000},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(fmt::media_clock_timestamp(row.tai_ns, row.rate), row.timestamp) << row.tai_ns;
        EXPECT_EQ(fmt::media_clock_ticks_ceil(row.tai_ns, row.rate), row.ceil) << row.tai_ns;
    }
    // Two senders 300 ms apart stamp a common instant alike.
    const int64_t a = 1'800'000'000'123'456'789, b = a + 300'000'000;
    EXPECT_EQ(fmt::media_clock_timestamp(b, 48000) - fmt::media_clock_timestamp(a, 48000), 14400u);
    EXPECT_EQ(fmt::media_clock_instant_ns(48000 * 5 + 1, 48000), 5'000'020'833);
}

TEST(St2110, SdpAsReceiversReadIt) {
    fmt::SdpSession s;
    s.session_id = 42;
    s.origin_address = "127.0.0.1";
    s.destination = "127.0.0.1";
    s.channels = 8;
    s.ptime_us = 125;
    s.channel_order = "ST,ST,ST,ST";
    s.local_mac = "02-00-00-00-00-01";
    EXPECT_EQ(fmt::write_sdp(s),
              "v=0\r\no=- 42 0 IN IP4 127.0.0.1\r\ns=pcmpack\r\nt=0 0\r\nm=audio 5004 RTP/AVP 97\r\n"
              "c=IN IP4 127.0.0.1\r\na=rtpmap:97 L24/48000/8\r\n"
              "a=fmtp:97 channel-order=SMPTE2110.(ST,ST,ST,ST)\r\na=ptime:0.125\r\n"
              "a=ts-refclk:localmac=02-00-00-00-00-01\r\na=mediaclk:direct=0\r\n");
    s.kind = fmt::RtpAudio::am824;
    s.destination = "239.1.2.3";
    s.multicast = true;
    s.ptime_us = 1000;
    s.ptp_grandmaster = "39-A7-94-FF-FE-07-CB-D0:0";
    const std::string multicast = fmt::write_sdp(s);
    for (const char *line : {"c=IN IP4 239.1.2.3/32\r\n", "a=source-filter: incl IN IP4 239.1.2.3 127.0.0.1\r\n",
                             "a=rtpmap:97 AM824/48000/8\r\n", "a=ptime:1\r\n",
                             "a=ts-refclk:ptp=IEEE1588-2008:39-A7-94-FF-FE-07-CB-D0:0\r\n"})
        EXPECT_NE(multicast.find(line), std::string::npos) << line;
    s.origin_address = "0.0.0.0";  // the system chose no source for the group
    EXPECT_EQ(fmt::write_sdp(s).find("source-filter"), std::string::npos);
    s.destination = "::1";
    s.multicast = false;
    s.origin_address.clear();
    EXPECT_NE(fmt::write_sdp(s).find("o=- 42 0 IN IP6 ::\r\n"), std::string::npos);
    EXPECT_NE(fmt::write_sdp(s).find("c=IN IP6 ::1\r\n"), std::string::npos);
    EXPECT_EQ(fmt::channel_order(8, true), "71");
    EXPECT_EQ(fmt::channel_order(6, true), "51");
    EXPECT_EQ(fmt::channel_order(3, false), "ST,M");
    EXPECT_EQ(fmt::channel_order(1, false), "M");
}

TEST(St2110, PlanRefusesWhatTheStreamCannotCarry) {
    struct Row {
        const char *what;
        int st2110;
        const char *ptime;
        int rate, channels, bits;
        const char *refusal;  // "" : planned
        int resample = 0;
        bool data = false;  // pair 1 holds data bursts
    };
    const Row rows[] = {
        {"-30, 8 ch at 1 ms", 30, "1ms", 48000, 8, 24, ""},
        {"-31, 8 ch at 1 ms", 31, "1ms", 48000, 8, 24, "1548-byte datagrams"},
        {"-31, 8 ch at 125 us", 31, "125us", 48000, 8, 24, ""},
        {"-31, 3 ch", 31, "125us", 48000, 3, 24, "whole AES3 channel pairs"},
        {"44.1 kHz", 30, "1ms", 44100, 2, 24, "48000 or 96000 Hz (--resample 48000 converts it)"},
        {"44.1 kHz resampled", 30, "1ms", 44100, 2, 24, "", 48000},
        {"resampled to 44.1 kHz", 30, "1ms", 48000, 2, 24, "--resample 44100: ST 2110-30", 44100},
        {"bursts resampled", 31, "1ms", 44100, 2, 24, "would change the words of the source's data bursts",
         48000, true},
        {"-30, 20 bits", 30, "1ms", 48000, 2, 20, ""},  // the source's 20 bits go as L24
        {"-30, 64 ch at 125 us", 30, "125us", 48000, 64, 24, ""},
        {"-30, 16 ch at 1 ms", 30, "1ms", 48000, 16, 24, "give --ptime 125us"},
        {"-30, 16-bit source", 30, "1ms", 48000, 2, 16, ""},  // L24, unless --bits 16
    };
    for (const Row &row : rows) {
        pcmtool::EncodeOptions o;
        o.output = "rtp://127.0.0.1:5004";
        o.st2110 = row.st2110;
        o.ptime = row.ptime;
        pcmtool::RtpSourceFacts facts;
        facts.rate = row.rate;
        facts.channels = row.channels;
        facts.bits = row.bits;
        o.resample = row.resample;
        facts.data_pairs = {row.data};
        try {
            const pcmtool::RtpPlan plan = pcmtool::plan_rtp(o, facts);
            EXPECT_STREQ(row.refusal, "") << row.what;
            EXPECT_EQ(plan.kind, row.st2110 == 31 ? fmt::RtpAudio::am824 : fmt::RtpAudio::l24) << row.what;
        } catch (const pcmtool::Failure &f) {
            EXPECT_NE(std::string(row.refusal), "") << row.what << ": " << f.what();
            EXPECT_NE(std::string(f.what()).find(row.refusal), std::string::npos) << row.what << ": " << f.what();
        }
    }
    pcmtool::EncodeOptions o;
    for (const char *url : {"rtp://127.0.0.1", "rtp://::1:5004", "rtp://[::1]:70000", "udp://1.2.3.4:5"}) {
        o.output = url;
        EXPECT_THROW(pcmtool::plan_rtp(o, {}), pcmtool::Failure) << url;
    }
    o.output = "rtp://[::1]:5004";
    EXPECT_EQ(pcmtool::plan_rtp(o, {}).to.host, "::1");
    o.bits = 16;
    EXPECT_EQ(pcmtool::plan_rtp(o, {}).kind, fmt::RtpAudio::l16);
}

// A -31 stream over a whole channel-status block: the block start on the
// first subframe of frame 0 only, the frame start on every first subframe,
// and the C bits of 192 frames spelling each pair's block, with the
// non-audio bit on the pair that carries data alone.
TEST(St2110, Am824PacketsSpellEachPairsChannelStatus) {
    pcmtool::EncodeOptions o;
    o.output = "rtp://127.0.0.1:5004";
    o.st2110 = 31;
    o.ptime = "125us";
    o.ssrc = 7;
    pcmtool::RtpSourceFacts facts;
    facts.channels = 4;
    facts.data_pairs = {false, true};
    const pcmtool::RtpPlan plan = pcmtool::plan_rtp(o, facts);
    pcmtool::RtpCursor cursor;
    cursor.tick = 4294967290;  // the timestamp wraps after the first packet
    std::vector<int32_t> samples(6 * 4);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int32_t(i << 8);
    uint8_t status[2][24] = {};
    std::vector<uint8_t> packet(12 + 6 * 4 * 4);
    for (int p = 0; p < 32; ++p) {  // 32 packets of 6 frames: one block
        ASSERT_EQ(pcmtool::build_rtp_packet(plan, cursor, samples.data(), packet.data()), packet.size());
        fmt::RtpHeader h;
        size_t offset = 0, payload = 0;
        ASSERT_TRUE(fmt::read_rtp_header(packet.data(), packet.size(), &h, &offset, &payload));
        EXPECT_EQ(h.sequence, p);
        EXPECT_EQ(h.timestamp, uint32_t((4294967290u + 6u * uint64_t(p)) & 0xFFFFFFFFu));
        EXPECT_EQ(h.ssrc, 7u);
        for (int s = 0; s < 6; ++s)
            for (int ch = 0; ch < 4; ++ch) {
                fmt::Am824Subframe sub;
                EXPECT_TRUE(fmt::read_am824(&packet[12 + size_t(s * 4 + ch) * 4], &sub));
                const int frame = p * 6 + s;
                EXPECT_EQ(sub.block_start, frame == 0 && ch % 2 == 0) << frame;
                EXPECT_EQ(sub.frame_start, ch % 2 == 0);
                EXPECT_EQ(sub.word, samples[size_t(s * 4 + ch)]);
                if (ch % 2 == 1 && sub.channel_status) status[ch / 2][frame / 8] |= uint8_t(1 << (frame % 8));
            }
    }
    for (int pair = 0; pair < 2; ++pair) {
        uint8_t expected[24];
        fmt::write_channel_status({48000, 24, pair == 1}, expected);
        EXPECT_EQ(Bytes(status[pair], status[pair] + 24), Bytes(expected, expected + 24)) << pair;
        EXPECT_EQ(status[pair][0] & 0x02, pair == 1 ? 2 : 0);
    }
}

}  // namespace
