// SPDX-License-Identifier: BSD-2-Clause
// encode to rtp://HOST:PORT: the source's samples as SMPTE ST 2110-30
// (L16, L24) or ST 2110-31 (AM824) packets, each stamped with the media
// clock at its first sample's instant and sent when its last sample is
// due, on CLOCK_TAI; the SDP written before the first packet leaves.
#pragma once

#include "commands/encode_options.h"
#include "format/st2110.h"
#include "outputs/datagram_sender.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

// Whether the output is an rtp:// URL.
bool is_rtp_url(const std::string &output);

// What the source holds, as the plan needs it.
struct RtpSourceFacts {
    int rate = 48000;
    int channels = 2;
    int bits = 24;                 // 16, 20, 24; 0: none the stream carries (floating point)
    std::vector<bool> data_pairs;  // pairs that hold data bursts (-31)
    bool surround = false;         // the source's channel map says 5.1 or 7.1
};

struct RtpPlan {
    pcmpack_format::RtpAudio kind = pcmpack_format::RtpAudio::l24;
    int rate = 48000;
    int channels = 2;
    int bits = 24;
    int ptime_us = 1000;
    int samples_per_packet = 48;
    int payload_type = 97;
    uint32_t ssrc = 0;
    std::vector<bool> data_pairs;  // -31: the non-audio bit of each pair
    std::string channel_order;
    UdpDestination to;
};

// Checks the options against the source; throws Failure with every reason
// in the words of the option to change.
RtpPlan plan_rtp(const EncodeOptions &options, const RtpSourceFacts &source);

// The packet state of a stream: what one packet leaves to the next.
struct RtpCursor {
    uint16_t sequence = 0;
    int64_t tick = 0;   // media clock tick of the next packet's first sample
    uint64_t frame = 0;  // AES3 frames sent, which places the channel-status bits
};

// One packet of `plan.samples_per_packet` interleaved sample periods
// (left-justified 32-bit words) into `out`, which holds
// rtp_packet_bytes(); advances the cursor. Returns the bytes written.
size_t build_rtp_packet(const RtpPlan &plan, RtpCursor &cursor, const int32_t *samples, uint8_t *out);

// Runs encode for an rtp:// output.
int encode_rtp(const EncodeOptions &options);

}  // namespace pcmtool
