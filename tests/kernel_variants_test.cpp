// SPDX-License-Identifier: BSD-2-Clause
// Every vector level writes exactly the stream of the portable scalar loops:
// each layer, word length, channel count, frame rate code and byte order is
// packed by the scalar path in one call to a bufstream and by each vector
// level in mixed piece sizes, to a bufstream and into frames the host lends,
// and the whole streams (bytes, write boundaries and aux records; for lent
// frames, which come whole, bytes and aux records) are compared. A level the
// processor lacks is skipped.
//
// The level is picked the way the test suite runs whole programs at each
// level: through PCMPACK_TEST_KERNELS, which support/kernel_ceiling.cpp reads
// after each pcmOutAudioInit.
//
// Each case prints its seed when it fails; PCMPACK_TEST_SEED=<n> replays one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/encoder.h"
#include "support/host_fakes.h"
#include "support/kernel_ceiling.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Sets PCMPACK_TEST_KERNELS for the encoders made while it lives; restores the
// previous value after.
class KernelsFromEnvironment {
public:
    explicit KernelsFromEnvironment(const std::string &level) {
        const char *old = std::getenv("PCMPACK_TEST_KERNELS");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("PCMPACK_TEST_KERNELS", level.c_str(), 1);
    }
    ~KernelsFromEnvironment() {
        if (had_) {
            setenv("PCMPACK_TEST_KERNELS", old_.c_str(), 1);
        } else {
            unsetenv("PCMPACK_TEST_KERNELS");
        }
    }

private:
    bool had_ = false;
    std::string old_;
};

struct Stream {
    std::string calls;    // write sizes and aux records, in order
    std::string records;  // the aux records alone
    Bytes bytes;
};

Stream encode(const std::string &level, const pcm_a_settings &settings, int32_t flags,
              int32_t code, int32_t rate, const Bytes &input,
              const std::vector<uint32_t> &pieces,
              fakes::FrameRoute route = fakes::FrameRoute::bufstream) {
    const KernelsFromEnvironment kernels(level);
    fakes::Host host;
    fakes::RecordingStream out;
    fakes::LendingSink sink;
    pcm_a_encoder *enc = pcmOutAudioNew(host.lookup(), &settings, flags, code, rate);
    EXPECT_NE(enc, nullptr);
    if (!enc) return {};
    EXPECT_EQ(fakes::init_for(route, enc, out, sink), 0);
    // The comparison means something only if the level asked for is the
    // one the packing loops run.
    EXPECT_STREQ(pcmpack::kKernelLevelNames[static_cast<int>(enc->kernel_level)], level.c_str());
    size_t at = 0;
    for (uint32_t piece : pieces) {
        EXPECT_EQ(pcmOutAudioPutBytes(enc, input.data() + at, piece), 0);
        at += piece;
    }
    EXPECT_EQ(pcmOutAudioDone(enc, 0), 0);
    pcmOutAudioFree(enc);
    EXPECT_TRUE(host.errors.empty());
    if (route == fakes::FrameRoute::bufstream) {
        return {fakes::describe_events(out.events), fakes::describe_records(out.events),
                out.bytes()};
    }
    EXPECT_TRUE(out.events.empty());
    EXPECT_EQ(sink.outstanding(), 0u);
    EXPECT_EQ(sink.overlong_frames + sink.foreign_takes, 0);
    // Each lent frame is written whole: one write per aux_record, which the
    // records alone say.
    return {fakes::describe_records(sink.events), {}, sink.bytes()};
}

// Pieces of every kind a host makes: single bytes, a few bytes that cut
// sample periods, a page, and more than a frame.
std::vector<uint32_t> mixed_pieces(size_t total, uint32_t frame_bytes, std::mt19937 &gen) {
    std::vector<uint32_t> pieces;
    for (size_t left = total; left > 0;) {
        uint32_t piece = 0;
        switch (gen() % 5) {
        case 0: piece = 1; break;
        case 1: piece = 1 + gen() % 31; break;
        case 2: piece = 4096; break;
        case 3: piece = gen() % frame_bytes; break;
        default: piece = frame_bytes + gen() % (2 * frame_bytes); break;
        }
        piece = static_cast<uint32_t>(std::min<size_t>(piece, left));
        pieces.push_back(piece);
        left -= piece;
    }
    return pieces;
}

uint32_t base_seed() {
    const char *text = std::getenv("PCMPACK_TEST_SEED");
    return text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 20261207u;
}

struct LayerCase {
    int32_t layer;
    std::vector<int> channels;
    std::vector<int> quantizations;
    std::vector<int32_t> rates;
    std::vector<int32_t> frame_rate_codes;
};

const std::vector<int32_t> kAllCodes = {1, 2, 3, 4, 5, 6, 7, 8};

const LayerCase kLayers[] = {
    {4, {1, 2}, {0}, {48000, 96000}, {0}},
    {13, {2, 4, 6, 8}, {0, 1, 2}, {48000, 96000}, {0}},
    {10, {2, 4, 6, 8}, {0, 1, 2}, {48000}, kAllCodes},
    {11, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2}, {48000}, kAllCodes},
    {12, {1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 2}, {48000}, kAllCodes},
};

// Longest frame of each layer, in sample periods; the 1001 rates need their
// whole five-frame cadence.
uint32_t periods_to_feed(int32_t layer, int32_t code, int32_t rate) {
    if (layer == 4) return rate / 600 * 3;
    if (layer == 13) return rate / 200 * 3;
    const bool cadence = code == 4 || code == 7;
    return cadence ? 5 * 1602 : 2 * 2002;
}

// Each vector level on its own, so that a processor without it counts the
// level as skipped.
class KernelVariants : public testing::TestWithParam<pcmpack::KernelLevel> {};

TEST_P(KernelVariants, EveryLevelWritesTheScalarStream) {
    const std::string level = pcmpack::kKernelLevelNames[static_cast<int>(GetParam())];
    if (!kernel_ceiling::processor_has(GetParam())) {
        GTEST_SKIP() << "this processor has no " << level << " level to compare";
    }
    int compared = 0;
    uint32_t seed = base_seed();
    for (const LayerCase &lc : kLayers) {
        for (int channels : lc.channels) {
            for (int q : lc.quantizations) {
                for (int32_t rate : lc.rates) {
                    for (int32_t code : lc.frame_rate_codes) {
                        for (int32_t flags : {0, PCM_INPUT_BIG_ENDIAN}) {
                            ++seed;
                            SCOPED_TRACE("layer " + std::to_string(lc.layer) + ", " +
                                         std::to_string(channels) + " channels, quantization " +
                                         std::to_string(q) + ", rate " + std::to_string(rate) +
                                         ", frame rate code " + std::to_string(code) +
                                         ", input_flags " + std::to_string(flags) +
                                         ", PCMPACK_TEST_SEED=" + std::to_string(seed));
                            std::mt19937 gen(seed);
                            const uint32_t width = q == 0 ? 2 : 3;
                            const uint32_t period_bytes = channels * width;
                            // A partial last frame, cut inside a sample period.
                            const uint32_t bytes =
                                periods_to_feed(lc.layer, code, rate) * period_bytes +
                                1 + gen() % (3 * period_bytes);
                            const Bytes input = fakes::random_bytes(bytes, gen());
                            const pcm_a_settings settings =
                                fakes::make_settings(channels, lc.layer, q);
                            const Stream expected =
                                encode("scalar", settings, flags, code, rate, input, {bytes});
                            ASSERT_FALSE(expected.bytes.empty());
                            const std::vector<uint32_t> pieces =
                                mixed_pieces(bytes, 2002 * period_bytes, gen);
                            for (fakes::FrameRoute route :
                                 {fakes::FrameRoute::bufstream, fakes::FrameRoute::lent}) {
                                SCOPED_TRACE(fakes::route_name(route));
                                const Stream got = encode(level, settings, flags, code, rate,
                                                          input, pieces, route);
                                EXPECT_EQ(route == fakes::FrameRoute::bufstream
                                              ? expected.calls
                                              : expected.records,
                                          got.calls);
                                ASSERT_EQ(expected.bytes.size(), got.bytes.size());
                                const auto diff =
                                    std::mismatch(expected.bytes.begin(), expected.bytes.end(),
                                                  got.bytes.begin());
                                ASSERT_TRUE(diff.first == expected.bytes.end())
                                    << "first difference at stream byte "
                                    << (diff.first - expected.bytes.begin());
                            }
                            ++compared;
                        }
                    }
                }
            }
        }
    }
    // 8 DVD, 48 HDMV and 832 AES3 cases, each taken both ways.
    EXPECT_EQ(compared, 888);
}

INSTANTIATE_TEST_SUITE_P(EachLevel, KernelVariants,
                         testing::Values(pcmpack::KernelLevel::ssse3, pcmpack::KernelLevel::avx2,
                                         pcmpack::KernelLevel::avx512, pcmpack::KernelLevel::neon),
                         [](const testing::TestParamInfo<pcmpack::KernelLevel> &info) {
                             return pcmpack::kKernelLevelNames[static_cast<int>(info.param)];
                         });

// Init runs the highest level the processor has, or the lower one a test
// program asks for. The CTest runs at each level pass through here, so a run
// at a level the processor lacks (which would quietly run the one below)
// counts as skipped.
TEST(KernelLevel, InitRunsTheHighestOrTheOneAskedFor) {
    const pcmpack::KernelLevel asked = kernel_ceiling::requested_level();
    const pcmpack::KernelLevel offered = kernel_ceiling::processor_level();
    fakes::Host host;
    fakes::RecordingStream out;
    const pcm_a_settings settings = fakes::make_settings(2, PCM_LAYER_AES3_302M, PCM_QUANT_24);
    pcm_a_encoder *enc = pcmOutAudioNew(host.lookup(), &settings, 0, 3, 48000);
    ASSERT_NE(enc, nullptr);
    ASSERT_EQ(pcmOutAudioInit(enc, out.stream()), 0);
    const pcmpack::KernelLevel runs = enc->kernel_level;
    pcmOutAudioFree(enc);
    // A level of the other processor family lowers nothing.
    EXPECT_EQ(runs, kernel_ceiling::processor_has(asked) ? asked : offered);
    if (!kernel_ceiling::processor_has(asked)) {
        GTEST_SKIP() << "this processor has no "
                     << pcmpack::kKernelLevelNames[static_cast<int>(asked)]
                     << " level: the tests ran at "
                     << pcmpack::kKernelLevelNames[static_cast<int>(runs)];
    }
}

}  // namespace
