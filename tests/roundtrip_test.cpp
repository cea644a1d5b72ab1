// SPDX-License-Identifier: BSD-2-Clause
// Pack random audio through the library, read it back with the stream
// reader: for every layer and every setting it admits, the audio returns
// exactly, less only the bits the layout does not carry, followed by the
// zero samples that pad the last frame. The frames the reader finds are the
// frames the library reported, with the same sizes and timestamps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

#include "stream_reader.h"
#include "support/host_fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Config {
    int layer, channels, quantization, code, rate;
    int32_t flags;
};

std::ostream &operator<<(std::ostream &os, const Config &c) {
    return os << "layer " << c.layer << ", " << c.channels << " channels, quantization "
              << c.quantization << ", code " << c.code << ", " << c.rate << " Hz, "
              << (c.flags ? "big" : "little") << "-endian input";
}

// Sample periods of frames 0, 1 and 2.
std::vector<size_t> frame_periods(const Config &c) {
    static const size_t cadence[9][3] = {{0, 0, 0},          {2002, 2002, 2002}, {2000, 2000, 2000},
                                         {1920, 1920, 1920}, {1602, 1601, 1602}, {1600, 1600, 1600},
                                         {960, 960, 960},    {801, 801, 800},    {800, 800, 800}};
    if (c.layer == 4) {
        const size_t n = c.rate == 48000 ? 80 : 160;
        return {n, n, n};
    }
    if (c.layer == 13) {
        const size_t n = c.rate == 48000 ? 240 : 480;
        return {n, n, n};
    }
    return {cadence[c.code][0], cadence[c.code][1], cadence[c.code][2]};
}

size_t sample_width(const Config &c) { return c.quantization == 0 ? 2 : 3; }

// What the reader should give for one input sample: left-justified in 32
// bits, with the low four bits of 24 dropped where the layout has only 20.
int32_t expected_sample(const uint8_t *s, const Config &c) {
    // The HDMV payload is the caller's bytes unchanged: disc players read
    // them big-endian whatever the input flag says.
    const bool big_endian = c.layer == 13 || (c.flags & PCM_INPUT_BIG_ENDIAN);
    const uint32_t b0 = s[0], b1 = s[1], b2 = sample_width(c) == 3 ? s[2] : 0;
    uint32_t value;
    if (sample_width(c) == 2) {
        value = big_endian ? (b0 << 24 | b1 << 16) : (b1 << 24 | b0 << 16);
    } else {
        value = big_endian ? (b0 << 24 | b1 << 16 | b2 << 8) : (b2 << 24 | b1 << 16 | b0 << 8);
    }
    const bool twenty_bits = (c.layer == 10 && c.quantization == 1) || c.layer == 11;
    if (twenty_bits) value &= 0xFFFFF000u;
    return static_cast<int32_t>(value);
}

struct Encoded {
    Bytes stream;
    std::vector<aux_record> aux;
};

Encoded encode(const Config &c, const Bytes &input, std::mt19937 &gen) {
    fakes::Host host;
    fakes::RecordingStream out;
    const pcm_a_settings settings = fakes::make_settings(c.channels, c.layer, c.quantization);
    pcm_a_encoder *enc = host.new_encoder(&settings, c.flags, c.code, c.rate);
    EXPECT_NE(enc, nullptr);
    if (!enc) return {};
    EXPECT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    // Random call sizes: the stream must not depend on them.
    for (size_t at = 0; at < input.size();) {
        const size_t take = std::min<size_t>(input.size() - at, 1 + gen() % 5000);
        EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data() + at, static_cast<uint32_t>(take)), 0);
        at += take;
    }
    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
    pcmOutAudioFree(enc);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ(host.live_count(), 0u);
    return {out.bytes(), out.aux_records()};
}

// Two whole frames and part of a third, cut at any byte.
void round_trip(const Config &c, std::mt19937 &gen) {
    SCOPED_TRACE(testing::Message() << c);
    const std::vector<size_t> periods = frame_periods(c);
    const size_t period_bytes = c.channels * sample_width(c);
    const size_t whole = (periods[0] + periods[1]) * period_bytes;
    const size_t padded = whole + periods[2] * period_bytes;
    const size_t size = whole + 1 + gen() % (periods[2] * period_bytes - 1);
    Bytes input = fakes::random_bytes(size, static_cast<uint32_t>(gen()));

    const Encoded out = encode(c, input, gen);
    const pcmpack_reader::ReadResult r =
        pcmpack_reader::read_stream(out.stream.data(), out.stream.size());
    ASSERT_TRUE(r.ok) << r.error << " at byte " << r.error_offset;
    EXPECT_EQ(r.info.layer, c.layer);
    EXPECT_EQ(r.info.channels, c.channels);
    EXPECT_EQ(r.info.bits, 16 + 4 * c.quantization);
    EXPECT_EQ(r.info.sample_rate, c.layer == 4 || c.layer == 13 ? c.rate : 48000);
    if (c.layer >= 10 && c.layer <= 12) {
        EXPECT_EQ(r.info.frame_rate_code, c.code);
    }

    // The frames the library reported, one record each after the header.
    ASSERT_EQ(r.frames.size(), 3u);
    ASSERT_EQ(out.aux.size(), 4u);
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(r.frames[k].size, out.aux[k + 1].byte_count) << "frame " << k;
        EXPECT_EQ(r.frames[k].timestamp, out.aux[k + 1].timestamp) << "frame " << k;
        EXPECT_EQ(r.frames[k].sample_periods, periods[k]) << "frame " << k;
    }

    input.resize(padded, 0);
    const size_t width = sample_width(c);
    ASSERT_EQ(r.samples.size(), padded / width);
    // One assertion for the first difference keeps the loop cheap.
    size_t i = 0;
    while (i < r.samples.size() && r.samples[i] == expected_sample(&input[i * width], c)) ++i;
    if (i < r.samples.size()) {
        ASSERT_EQ(r.samples[i], expected_sample(&input[i * width], c))
            << "sample " << i << (i * width >= size ? " (zero padding)" : "");
    }
    // The padding is zero samples: the last whole period of input is followed
    // by nothing but zeros.
    i = (size + period_bytes - 1) / period_bytes * c.channels;
    while (i < r.samples.size() && r.samples[i] == 0) ++i;
    EXPECT_EQ(i, r.samples.size()) << "non-zero padding sample";
}

class RoundTrip : public testing::Test {
protected:
    void SetUp() override { gen_.seed(fakes::test_seed()); }
    void run(const Config &c) {
        round_trip(c, gen_);
        ++runs_;
    }
    void TearDown() override { EXPECT_GT(runs_, 0); }

    std::mt19937 gen_;
    int runs_ = 0;
};

TEST_F(RoundTrip, DvdLpcm) {
    for (int channels : {1, 2})
        for (int rate : {48000, 96000})
            for (int32_t flags : {0, PCM_INPUT_BIG_ENDIAN}) run({4, channels, 0, 0, rate, flags});
    EXPECT_EQ(runs_, 8);
}

TEST_F(RoundTrip, HdmvLpcm) {
    for (int channels : {2, 4, 6, 8})
        for (int quantization : {0, 1, 2})
            for (int rate : {48000, 96000})
                for (int32_t flags : {0, PCM_INPUT_BIG_ENDIAN})
                    run({13, channels, quantization, 0, rate, flags});
    EXPECT_EQ(runs_, 48);
}

TEST_F(RoundTrip, Smpte302m) {
    for (int channels : {2, 4, 6, 8})
        for (int quantization : {0, 1, 2})
            for (int code = 1; code <= 8; ++code)
                for (int32_t flags : {0, PCM_INPUT_BIG_ENDIAN})
                    run({10, channels, quantization, code, 48000, flags});
    EXPECT_EQ(runs_, 192);
}

TEST_F(RoundTrip, D10) {
    for (int channels = 1; channels <= 8; ++channels)
        for (int quantization : {1, 2})
            for (int code = 1; code <= 8; ++code)
                for (int32_t flags : {0, PCM_INPUT_BIG_ENDIAN})
                    run({11, channels, quantization, code, 48000, flags});
    EXPECT_EQ(runs_, 256);
}

TEST_F(RoundTrip, Planar) {
    for (int channels = 1; channels <= 8; ++channels)
        for (int quantization : {0, 1, 2})
            for (int code = 1; code <= 8; ++code)
                for (int32_t flags : {0, PCM_INPUT_BIG_ENDIAN})
                    run({12, channels, quantization, code, 48000, flags});
    EXPECT_EQ(runs_, 384);
}

TEST_F(RoundTrip, AesLayersIgnoreTheSampleRate) {
    run({10, 2, 2, 4, 96000, 0});
    run({11, 3, 1, 7, 96000, PCM_INPUT_BIG_ENDIAN});
    run({12, 5, 0, 1, 96000, 0});
}

}  // namespace
