// SPDX-License-Identifier: BSD-2-Clause
// D-10 audio elements as the library writes them: the element header with
// its cadence step number, sample count and channel mask, then eight 4-byte
// channel words per sample period, audio-free slots left zero.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/host_fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode_d10(int channels, int quantization, int32_t flags, int code, const Bytes &input) {
    return fakes::encode_in_one_call(fakes::make_settings(channels, 11, quantization), flags, code,
                                     input);
}

using fakes::slice;

// Channel word of `slot` in sample period `period` of the element at `element`.
Bytes word(const Bytes &stream, size_t element, size_t period, int slot) {
    return slice(stream, element + 4 + period * 32 + static_cast<size_t>(slot) * 4, 4);
}

TEST(PackD10, ChannelWordsOfTheFirstSamplePeriods) {
    struct Case {
        int32_t flags;
        int quantization;
        Bytes period;  // one sample period: channel 0, channel 1
    };
    const Case cases[] = {
        {0, 2, {0x56, 0x34, 0x12, 0xEF, 0xCD, 0xAB}},
        {PCM_INPUT_BIG_ENDIAN, 2, {0x12, 0x34, 0x56, 0xAB, 0xCD, 0xEF}},
        {0, 1, {0x56, 0x34, 0x12, 0xEF, 0xCD, 0xAB}},
        {PCM_INPUT_BIG_ENDIAN, 1, {0x12, 0x34, 0x56, 0xAB, 0xCD, 0xEF}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "flags " << c.flags << " quantization " << c.quantization);
        Bytes input = c.period;
        input.insert(input.end(), c.period.begin(), c.period.end());
        const Bytes stream = encode_d10(2, c.quantization, c.flags, 3, input);
        ASSERT_EQ(stream.size(), 8u + 4u + 1920u * 32u);
        EXPECT_EQ(fakes::hex(slice(stream, 8, 4)), "00 80 07 03");
        EXPECT_EQ(fakes::hex(slice(stream, 12, 32)),
                  "58 34 12 00 E1 CD AB 00 00 00 00 00 00 00 00 00 "
                  "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
        EXPECT_EQ(fakes::hex(slice(stream, 12 + 32, 8)), "50 34 12 00 E1 CD AB 00");
        // The zero-filled rest: slot-numbered zero samples, empty slots zero.
        EXPECT_EQ(fakes::hex(word(stream, 8, 2, 0)), "00 00 00 00");
        EXPECT_EQ(fakes::hex(word(stream, 8, 2, 1)), "01 00 00 00");
        EXPECT_EQ(fakes::hex(word(stream, 8, 192, 0)), "08 00 00 00");
        EXPECT_EQ(fakes::hex(word(stream, 8, 192, 1)), "01 00 00 00");
        EXPECT_EQ(fakes::hex(word(stream, 8, 192, 2)), "00 00 00 00");
    }
}

TEST(PackD10, TwentyAndTwentyFourBitsPackAlike) {
    const Bytes input = fakes::random_bytes(3 * 6 * 1920 + 33, 23);
    for (int32_t flags : {0, PCM_INPUT_BIG_ENDIAN}) {
        const Bytes twenty = encode_d10(6, 1, flags, 3, input);
        ASSERT_FALSE(twenty.empty());
        EXPECT_EQ(slice(twenty, 8, twenty.size() - 8),
                  slice(encode_d10(6, 2, flags, 3, input), 8, twenty.size() - 8));
    }
}

TEST(PackD10, LowFourInputBitsAreNotCarried) {
    for (int32_t flags : {0, PCM_INPUT_BIG_ENDIAN}) {
        const Bytes input = fakes::random_bytes(3 * 3 * 960, 29);
        Bytes changed = input;
        for (size_t i = flags ? 2 : 0; i < changed.size(); i += 3) changed[i] ^= 0x0F;
        EXPECT_EQ(encode_d10(3, 2, flags, 6, input), encode_d10(3, 2, flags, 6, changed));
        // The upper half of the least significant byte is carried.
        Bytes upper = input;
        upper[flags ? 2 : 0] ^= 0x10;
        EXPECT_NE(encode_d10(3, 2, flags, 6, input), encode_d10(3, 2, flags, 6, upper));
    }
}

// Every word of a random element against the layout: audio in bits 4-23,
// slot number in bits 0-2, block-start flag in bit 3 of slot 0 every 192
// sample periods, empty slots zero, for every channel count.
TEST(PackD10, EveryWordForEveryChannelCount) {
    std::mt19937 gen(fakes::test_seed());
    for (int channels = 1; channels <= 8; ++channels) {
        SCOPED_TRACE(testing::Message() << channels << " channels");
        const size_t periods = 960;
        const Bytes input =
            fakes::random_bytes(periods * channels * 3, static_cast<uint32_t>(gen()));
        const Bytes stream = encode_d10(channels, 2, 0, 6, input);
        ASSERT_EQ(stream.size(), 8u + 4u + periods * 32u);
        const uint8_t mask = static_cast<uint8_t>((1u << channels) - 1);
        EXPECT_EQ(fakes::hex(slice(stream, 8, 4)), fakes::hex({0x00, 0xC0, 0x03, mask}));
        int flags_seen = 0;
        for (size_t p = 0; p < periods; ++p) {
            for (int slot = 0; slot < 8; ++slot) {
                Bytes want = {0, 0, 0, 0};
                if (slot < channels) {
                    const uint8_t *s = &input[(p * channels + slot) * 3];
                    const bool flag = slot == 0 && p % 192 == 0;
                    flags_seen += flag;
                    want = {static_cast<uint8_t>((s[0] & 0xF0) | (flag ? 0x08 : 0) | slot), s[1],
                            s[2], 0};
                }
                ASSERT_EQ(fakes::hex(word(stream, 8, p, slot)), fakes::hex(want))
                    << "period " << p << " slot " << slot;
            }
        }
        EXPECT_EQ(flags_seen, 5);
    }
}

TEST(PackD10, EightChannelsFillEverySlot) {
    const Bytes stream = encode_d10(8, 1, 0, 8, Bytes(1, 0));
    EXPECT_EQ(fakes::hex(slice(stream, 8, 4)), "00 20 03 FF");
    EXPECT_EQ(fakes::hex(slice(stream, 12, 32)),
              "08 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 "
              "04 00 00 00 05 00 00 00 06 00 00 00 07 00 00 00");
}

TEST(PackD10, OneChannelLeavesSlotsOneToSevenEmpty) {
    const Bytes stream = encode_d10(1, 2, 0, 8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(fakes::hex(slice(stream, 8, 4)), "00 20 03 01");
    EXPECT_EQ(fakes::hex(slice(stream, 12, 32)),
              "F8 FF FF 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(fakes::hex(word(stream, 8, 1, 0)), "F0 FF FF 00");
}

TEST(PackD10, ElementHeadersFollowTheCadence) {
    struct Case {
        int code;
        std::vector<std::string> headers;
    };
    // clang-format off
    const Case cases[] = {
        {4, {"01 42 06 03", "02 41 06 03", "03 42 06 03", "04 41 06 03", "05 42 06 03", "01 42 06 03"}},
        {7, {"01 21 03 03", "02 21 03 03", "03 20 03 03", "04 21 03 03", "05 21 03 03", "01 21 03 03"}},
        {3, {"00 80 07 03", "00 80 07 03", "00 80 07 03", "00 80 07 03", "00 80 07 03", "00 80 07 03"}},
        {1, {"00 D2 07 03", "00 D2 07 03", "00 D2 07 03", "00 D2 07 03", "00 D2 07 03", "00 D2 07 03"}},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code);
        // Five whole elements and one more started.
        size_t periods = 0;
        std::vector<size_t> counts;
        for (const std::string &h : c.headers) {
            const size_t n = std::stoul(h.substr(6, 2), nullptr, 16) << 8 |
                             std::stoul(h.substr(3, 2), nullptr, 16);
            counts.push_back(n);
            periods += n;
        }
        const size_t input = (periods - counts.back()) * 6 + 6;
        const Bytes stream = encode_d10(2, 1, 0, c.code, fakes::random_bytes(input, 31));
        size_t at = 8;
        for (size_t k = 0; k < c.headers.size(); ++k) {
            EXPECT_EQ(fakes::hex(slice(stream, at, 4)), c.headers[k]) << "element " << k;
            at += 4 + counts[k] * 32;
        }
        EXPECT_EQ(at, stream.size());
    }
}

TEST(PackD10, BlockStartFlagEvery192SamplePeriods) {
    const Bytes stream = encode_d10(4, 2, 0, 3, fakes::random_bytes(1920 * 12, 37));
    ASSERT_EQ(stream.size(), 8u + 4u + 1920u * 32u);
    std::vector<size_t> flagged;
    for (size_t p = 0; p < 1920; ++p) {
        for (int slot = 0; slot < 8; ++slot) {
            if (stream[8 + 4 + p * 32 + slot * 4] & 0x08) {
                EXPECT_EQ(slot, 0);
                flagged.push_back(p);
            }
        }
    }
    EXPECT_EQ(flagged, (std::vector<size_t>{0, 192, 384, 576, 768, 960, 1152, 1344, 1536, 1728}));
}

TEST(PackD10, EachElementStartsANewBlock) {
    // 60000/1001: the second element starts with the flag though 801 periods
    // of the first are not a multiple of 192.
    const Bytes stream = encode_d10(1, 1, 0, 7, Bytes(801 * 3 + 3, 0x77));
    const size_t second = 8 + 4 + 801 * 32;
    ASSERT_EQ(stream.size(), second + 4 + 801 * 32);
    EXPECT_EQ(fakes::hex(word(stream, second, 0, 0)), "78 77 77 00");
    EXPECT_EQ(fakes::hex(word(stream, second, 1, 0)), "00 00 00 00");  // the zero fill
    EXPECT_EQ(fakes::hex(word(stream, second, 192, 0)), "08 00 00 00");
    EXPECT_EQ(fakes::hex(word(stream, 8, 0, 0)), "78 77 77 00");
    EXPECT_EQ(fakes::hex(word(stream, 8, 33, 0)), "70 77 77 00");
    EXPECT_EQ(fakes::hex(word(stream, 8, 192, 0)), "78 77 77 00");
}

}  // namespace
