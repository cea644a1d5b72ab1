// SPDX-License-Identifier: BSD-2-Clause
// Runs packets through one of libavcodec's audio decoders and hands back
// what it made of them: sample format, channel count and layout, sample
// rate, and every sample as an integer, interleaved as the decoder gives it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace interop {

struct DecodedPacket {
    int send_result = 0;  // avcodec_send_packet's result (0 = accepted)
    int samples = 0;      // sample periods the packet decoded to
};

struct Decoded {
    bool opened = false;
    std::string sample_format;  // "s16", "s32", "s16p" or "s32p" for the decoders used here
    int channels = 0;
    uint64_t channel_mask = 0;  // the native channel layout's speaker bits
    int sample_rate = 0;
    int bits_per_raw_sample = 0;
    std::vector<DecodedPacket> packets;
    std::vector<int32_t> samples;  // interleaved; s16 values widened, s32 as is
    bool consistent = true;        // every frame had the same format and layout
};

// Decodes every packet in order with the named decoder, then drains it.
// Decoders of headerless PCM need the channel count and rate from the
// container; pass them as `channels` and `sample_rate` (0 = leave unset).
// Planar output is interleaved here, so `samples` always reads the same.
Decoded decode(const char *decoder_name, const std::vector<std::vector<uint8_t>> &packets,
               int channels = 0, int sample_rate = 0);

}  // namespace interop
