// SPDX-License-Identifier: BSD-2-Clause
// Data bursts in a channel pair: the preamble words of each mode written out
// in hex as they sit in the interleaved input, the frame's bits read back from
// the pair's words, the zero fill to the end of the burst period, and the
// frames whose burst is refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/host_fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A 32 kbit/s AC-3 frame at 48 kHz (frmsizecod 0: 64 words), bsid 8,
// bitstream mode 5.
Bytes ac3_frame() {
    Bytes frame(128);
    const uint8_t header[6] = {0x0B, 0x77, 0xC1, 0xD2, 0x00, 0x45};
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = i < 6 ? header[i] : static_cast<uint8_t>(i * 7 + 3);
    return frame;
}

// An E-AC-3 frame of `bytes` bytes at 48 kHz; numblkscod 0 is one audio
// block, 3 six.
Bytes eac3_frame(int numblkscod, uint32_t bytes) {
    Bytes frame(bytes, 0x5A);
    const uint32_t frmsiz = bytes / 2 - 1;
    frame[0] = 0x0B;
    frame[1] = 0x77;
    frame[2] = static_cast<uint8_t>(frmsiz >> 8);
    frame[3] = static_cast<uint8_t>(frmsiz);
    frame[4] = static_cast<uint8_t>(numblkscod << 4);
    frame[5] = 16 << 3;
    return frame;
}

// The bytes of channels 2*pair and 2*pair+1, sample period by sample period.
Bytes pair_bytes(const Bytes &pcm, int channels, int pair, int sample_bytes) {
    Bytes out;
    for (size_t at = 0; at + channels * sample_bytes <= pcm.size(); at += channels * sample_bytes)
        for (int i = 0; i < 2 * sample_bytes; ++i) out.push_back(pcm[at + 2 * pair * sample_bytes + i]);
    return out;
}

TEST(Burst337, PreamblesAndPayloadOfEachMode) {
    struct Case {
        int quantization, word_bits, sample_bytes;
        int32_t flags;
        int channels, pair, data_stream;
        const char *burst_start;  // Pa Pb Pc Pd and the first payload words
    };
    const Case cases[] = {
        {PCM_QUANT_16, 16, 2, 0, 2, 0, 0, "72 F8 1F 4E 01 05 00 04 77 0B D2 C1 45 00"},
        {PCM_QUANT_16, 16, 2, PCM_INPUT_BIG_ENDIAN, 4, 1, 3,
         "F8 72 4E 1F 65 01 04 00 0B 77 C1 D2 00 45"},
        {PCM_QUANT_20, 20, 3, 0, 2, 0, 0, "20 87 6F F0 E1 54 00 21 05 00 40 00 C0 77 0B 00 20 1D"},
        {PCM_QUANT_24, 24, 3, PCM_INPUT_BIG_ENDIAN, 8, 3, 7,
         "96 F8 72 A5 4E 1F E5 41 00 00 04 00 0B 77 C1 D2 00 45"},
    };
    const Bytes frame = ac3_frame();
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.word_bits << ", pair " << c.pair);
        Bytes pcm(1536u * c.channels * c.sample_bytes, 0xEE);
        ASSERT_EQ(pcmOutAudioBurstWrite(frame.data(), frame.size(), c.quantization, c.data_stream,
                                        c.channels, c.pair, c.flags, pcm.data(), pcm.size()),
                  0);
        const Bytes pair = pair_bytes(pcm, c.channels, c.pair, c.sample_bytes);
        const size_t shown = c.quantization == PCM_QUANT_16 ? 14 : 18;
        EXPECT_EQ(fakes::hex(fakes::slice(pair, 0, shown)), c.burst_start);

        // Read the payload back bit by bit from the words, most significant
        // bit first, whatever the byte order of the samples.
        const bool big = (c.flags & PCM_INPUT_BIG_ENDIAN) != 0;
        std::vector<int> bits;
        for (size_t w = 4; w < pair.size() / c.sample_bytes; ++w) {
            uint32_t word = 0;
            for (int b = 0; b < c.sample_bytes; ++b) {
                const int byte = big ? b : c.sample_bytes - 1 - b;
                word = word << 8 | pair[w * c.sample_bytes + byte];
            }
            for (int b = 8 * c.sample_bytes - 1; b >= 8 * c.sample_bytes - c.word_bits; --b)
                bits.push_back((word >> b) & 1);
        }
        for (size_t i = 0; i < frame.size() * 8; ++i)
            ASSERT_EQ(bits[i], (frame[i / 8] >> (7 - i % 8)) & 1) << "payload bit " << i;
        for (size_t i = frame.size() * 8; i < bits.size(); ++i)
            ASSERT_EQ(bits[i], 0) << "fill bit " << i;

        // Every other channel is the caller's.
        for (int p = 0; p < c.channels / 2; ++p) {
            if (p == c.pair) continue;
            EXPECT_EQ(pair_bytes(pcm, c.channels, p, c.sample_bytes),
                      Bytes(1536u * 2 * c.sample_bytes, 0xEE));
        }
    }
}

TEST(Burst337, FrameHeaders) {
    struct Case {
        Bytes header;
        int32_t result;
        uint32_t data_type, frame_bytes, burst_period;
    };
    const Case cases[] = {
        {{0x0B, 0x77, 0, 0, 0x00, 0x40}, 0, PCM_DATA_TYPE_AC3, 128, 1536},    // 32 kbit/s
        {{0x0B, 0x77, 0, 0, 0x25, 0x40}, 0, PCM_DATA_TYPE_AC3, 2560, 1536},   // 640 kbit/s
        {{0x0B, 0x77, 0x01, 0x7F, 0x34, 0x87}, 0, PCM_DATA_TYPE_EAC3, 768, 1536},  // 6 blocks
        {{0x0B, 0x77, 0x00, 0x5F, 0x04, 0x80}, 0, PCM_DATA_TYPE_EAC3, 192, 256},   // 1 block
        {{0x0B, 0x77, 0x00, 0x5F, 0x24, 0x80}, 0, PCM_DATA_TYPE_EAC3, 192, 768},   // 3 blocks
        {{0x0B, 0x77, 0, 0, 0x26, 0x40}, 1, 0, 0, 0},      // frmsizecod past the table
        {{0x0B, 0x77, 0, 0, 0x40, 0x40}, 1, 0, 0, 0},      // 44.1 kHz
        {{0x77, 0x0B, 0, 0, 0x00, 0x40}, 1, 0, 0, 0},      // byte-swapped sync word
        {{0x0B, 0x77, 0, 0, 0x00, 10 << 3}, 1, 0, 0, 0},   // bsid 10: neither
        {{0x0B, 0x77, 0, 0, 0x00}, 1, 0, 0, 0},            // short of a header
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(fakes::hex(c.header));
        pcm_burst_frame info{99, 99, 99, 99};
        ASSERT_EQ(pcmOutAudioBurstFrame(c.header.data(), c.header.size(), &info), c.result);
        if (c.result != 0) {
            EXPECT_EQ(info.data_type, 99u);
            continue;
        }
        EXPECT_EQ(info.data_type, c.data_type);
        EXPECT_EQ(info.frame_bytes, c.frame_bytes);
        EXPECT_EQ(info.burst_period, c.burst_period);
    }
}

TEST(Burst337, RefusedBurstsWriteNothing) {
    const Bytes ac3 = ac3_frame();
    // 1016 payload bytes fill a one-block period (512 words) in the 16-bit
    // mode; 1020 bytes need two words more than it has.
    const Bytes eac3_fits = eac3_frame(0, 1016), eac3_too_long = eac3_frame(0, 1020);
    struct Case {
        const Bytes *frame;
        size_t frame_size;
        int quantization, data_stream, channels, pair;
        size_t periods;
        int32_t result;
    };
    const Case cases[] = {
        {&ac3, 128, PCM_QUANT_16, 0, 2, 0, 1536, 0},
        {&ac3, 127, PCM_QUANT_16, 0, 2, 0, 1536, 1},
        {&ac3, 128, PCM_QUANT_16, 0, 2, 0, 1535, 1},
        {&ac3, 128, PCM_QUANT_16, 0, 2, 1, 1536, 1},
        {&ac3, 128, 3, 0, 2, 0, 1536, 1},
        {&ac3, 128, PCM_QUANT_24, 8, 2, 0, 1536, 1},
        {&eac3_fits, 1016, PCM_QUANT_16, 0, 2, 0, 256, 0},
        {&eac3_too_long, 1020, PCM_QUANT_16, 0, 2, 0, 256, 1},
        {&eac3_too_long, 1020, PCM_QUANT_24, 0, 2, 0, 256, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "frame " << c.frame_size << " mode " << c.quantization
                                        << " periods " << c.periods);
        const int sample_bytes = c.quantization == PCM_QUANT_16 ? 2 : 3;
        Bytes pcm(c.periods * c.channels * sample_bytes, 0xEE);
        EXPECT_EQ(pcmOutAudioBurstWrite(c.frame->data(), c.frame_size, c.quantization,
                                        c.data_stream, c.channels, c.pair, 0, pcm.data(),
                                        pcm.size()),
                  c.result);
        if (c.result != 0) {
            EXPECT_EQ(pcm, Bytes(pcm.size(), 0xEE));
        }
    }
}

}  // namespace
