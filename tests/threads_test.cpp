// SPDX-License-Identifier: BSD-2-Clause
// Distinct encoders on distinct threads: ten encoders of every layer run at
// once, one thread each, while two more threads call the presets and the
// checks over and over. Every stream must come out byte for byte as the
// same encoder writes it alone, every preset and check must answer as it
// does alone, and the host's allocator must get back every block. Built
// with -fsanitize=thread (scripts/test.sh), the same run shows any data race.
#include <pcmpack.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// The host: an allocator and a message sink that any thread may call.

std::atomic<long> g_live_blocks{0};
std::atomic<long> g_allocations{0};

void *host_malloc(size_t size) {
    void *block = std::malloc(size ? size : 1);
    if (block) {
        ++g_live_blocks;
        ++g_allocations;
    }
    return block;
}

void host_free(void *block) {
    if (block) --g_live_blocks;
    std::free(block);
}

// Each thread counts the messages that reach it; the library calls the sink
// on the thread that called it.
thread_local std::vector<std::string> t_messages;

void host_err_printf(const char *format, ...) { t_messages.emplace_back(format); }

void *host_lookup(const char *name) {
    if (std::strcmp(name, "malloc") == 0) return reinterpret_cast<void *>(&host_malloc);
    if (std::strcmp(name, "free") == 0) return reinterpret_cast<void *>(&host_free);
    if (std::strcmp(name, "err_printf") == 0) return reinterpret_cast<void *>(&host_err_printf);
    return nullptr;
}

// The host's stream: everything written and every aux_record, in order.
struct Capture {
    bufstream bs{};
    std::vector<uint8_t> bytes;
    std::vector<aux_record> records;
    int failed_writes = 0;
};

uint32_t capture_write(bufstream *bs, const uint8_t *data, uint32_t size) {
    Capture *c = static_cast<Capture *>(bs->host_slot1);
    c->bytes.insert(c->bytes.end(), data, data + size);
    return size;
}

uint32_t capture_aux(bufstream *bs, uint32_t, uint32_t, void *info, uint32_t size) {
    Capture *c = static_cast<Capture *>(bs->host_slot1);
    aux_record record{};
    if (size == sizeof record) std::memcpy(&record, info, sizeof record);
    c->records.push_back(record);
    return 0;
}

// ---------------------------------------------------------------------------
// The encoders: every layer, several shapes each.

struct Job {
    const char *name;
    int32_t layer, channels, quantization, frame_rate_code, sample_rate, input_flags;
};

constexpr Job kJobs[] = {
    {"DVD stereo 48 kHz", PCM_LAYER_DVD_LPCM, 2, PCM_QUANT_16, 0, 48000, 0},
    {"DVD mono 96 kHz big-endian", PCM_LAYER_DVD_LPCM, 1, PCM_QUANT_16, 0, 96000, 1},
    {"302M 8 ch 24-bit 29.97", PCM_LAYER_AES3_302M, 8, PCM_QUANT_24, 4, 48000, 0},
    {"302M 2 ch 20-bit 23.976 big-endian", PCM_LAYER_AES3_302M, 2, PCM_QUANT_20, 1, 48000, 1},
    {"D-10 8 ch 24-bit 25", PCM_LAYER_AES3_D10, 8, PCM_QUANT_24, 3, 48000, 0},
    {"D-10 4 ch 20-bit 29.97", PCM_LAYER_AES3_D10, 4, PCM_QUANT_20, 4, 48000, 0},
    {"planar 6 ch 24-bit 25", PCM_LAYER_AES3_PLANAR, 6, PCM_QUANT_24, 3, 48000, 0},
    {"planar 3 ch 16-bit 59.94 big-endian", PCM_LAYER_AES3_PLANAR, 3, PCM_QUANT_16, 7, 48000, 1},
    {"HDMV 6 ch 16-bit 48 kHz", PCM_LAYER_HDMV_LPCM, 6, PCM_QUANT_16, 0, 48000, 0},
    {"HDMV 8 ch 24-bit 96 kHz", PCM_LAYER_HDMV_LPCM, 8, PCM_QUANT_24, 0, 96000, 0},
};
constexpr size_t kJobCount = sizeof kJobs / sizeof kJobs[0];

uint32_t next_random(uint32_t &state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Half a second of noise, and the piece sizes it is fed in: 1 to 4096 bytes,
// so that frames are cut at every kind of place.
struct Input {
    std::vector<uint8_t> audio;
    std::vector<uint32_t> pieces;
};

Input make_input(const Job &job, uint32_t seed) {
    Input in;
    const size_t width = job.quantization == PCM_QUANT_16 ? 2 : 3;
    in.audio.resize(static_cast<size_t>(job.sample_rate / 2) * job.channels * width);
    uint32_t state = seed;
    for (uint8_t &b : in.audio) b = static_cast<uint8_t>(next_random(state));
    for (size_t left = in.audio.size(); left != 0;) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(left, 1 + next_random(state) % 4096));
        in.pieces.push_back(n);
        left -= n;
    }
    return in;
}

struct Result {
    Capture out;
    int32_t init = -1, put_failures = 0, done = -1;
    bool created = false;
    size_t messages = 0;
};

void run(const Job &job, const Input &in, Result &r) {
    const size_t messages_before = t_messages.size();
    pcm_a_settings s{};
    s.channels_minus_one = job.channels - 1;
    s.audio_layer = job.layer;
    s.quantization = job.quantization;
    s.dynamic_range = 128;
    pcm_a_encoder *enc =
        pcmOutAudioNew(host_lookup, &s, job.input_flags, job.frame_rate_code, job.sample_rate);
    r.created = enc != nullptr;
    if (!enc) return;
    r.out.bs.host_slot1 = &r.out;
    r.out.bs.write_bytes = capture_write;
    r.out.bs.auxinfo = capture_aux;
    r.init = pcmOutAudioInit(enc, &r.out.bs);
    size_t at = 0;
    for (uint32_t n : in.pieces) {
        if (pcmOutAudioPutBytes(enc, in.audio.data() + at, n) != 0) ++r.put_failures;
        at += n;
    }
    r.done = pcmOutAudioDone(enc, 0);
    pcmOutAudioFree(enc);
    r.messages = t_messages.size() - messages_before;
}

// ---------------------------------------------------------------------------
// The configuration calls, with what each answers alone.

constexpr int32_t kVideoTypes[] = {0, 1, 3, 4, 10, 13, 14, 18, 28, 32, 39, 41, 44, 4112, 10240,
                                   65536, 65813, 99999, -1};

struct CheckCase {
    int32_t channels_minus_one, layer, quantization, emphasis, video_type, sample_rate;
};

constexpr CheckCase kChecks[] = {
    {1, 4, 0, 0, PCM_VIDEO_TYPE_DVD, 48000},   {1, 10, 0, 0, PCM_VIDEO_TYPE_DVD, 48000},
    {7, 4, 2, 1, PCM_VIDEO_TYPE_DVD_VR, 44100}, {1, 10, 0, 1, PCM_VIDEO_TYPE_DVHS, 48000},
    {3, 13, 1, 0, PCM_VIDEO_TYPE_HDMV, 96000},  {9, 99, 7, 3, PCM_VIDEO_TYPE_DEFAULT, 1},
    {0, 11, 0, 0, PCM_VIDEO_TYPE_XDCAM_IMX, 48000},
};

struct ConfigAnswers {
    std::vector<std::string> preset_names;
    std::vector<pcm_a_settings> presets;
    std::vector<int32_t> first, all, quiet;
    std::vector<size_t> messages_all;
    std::string last_error;
    int32_t next = -1;

    bool operator==(const ConfigAnswers &o) const {
        if (presets.size() != o.presets.size()) return false;
        for (size_t i = 0; i < presets.size(); ++i)
            if (std::memcmp(&presets[i], &o.presets[i], sizeof presets[i]) != 0) return false;
        return preset_names == o.preset_names && first == o.first && all == o.all &&
               quiet == o.quiet && messages_all == o.messages_all &&
               last_error == o.last_error && next == o.next;
    }
};

ConfigAnswers ask_configuration() {
    t_messages.clear();
    ConfigAnswers a;
    for (int32_t video_type : kVideoTypes) {
        pcm_a_settings s;
        std::memset(&s, 0x5A, sizeof s);
        const char *name = pcmOutAudioDefaults(&s, video_type);
        a.preset_names.emplace_back(name ? name : "(none)");
        a.presets.push_back(s);
    }
    for (const CheckCase &c : kChecks) {
        pcm_a_settings s{};
        s.channels_minus_one = c.channels_minus_one;
        s.audio_layer = c.layer;
        s.quantization = c.quantization;
        s.emphasis = c.emphasis;
        s.dynamic_range = 128;
        a.first.push_back(pcmOutAudioCheckFirst(host_lookup, &s, c.video_type, c.sample_rate));
        const size_t before = t_messages.size();
        a.all.push_back(pcmOutAudioChkSettings(host_lookup, &s, c.video_type, c.sample_rate,
                                               PCM_CHECK_REPORT_ALL, 0));
        a.messages_all.push_back(t_messages.size() - before);
        a.quiet.push_back(pcmOutAudioCheckSettings(&s, c.video_type, c.sample_rate));
    }
    a.last_error = pcmOutAudioGetLastErrString();
    a.next = pcmOutAudioCheckNext();
    return a;
}

TEST(Threads, EncodersOnSeparateThreadsWriteWhatEachWritesAlone) {
    static_assert(kJobCount >= 8, "at least eight encoders at once");
    std::vector<Input> inputs;
    std::vector<Result> alone(kJobCount);
    for (size_t i = 0; i < kJobCount; ++i) {
        inputs.push_back(make_input(kJobs[i], 0x2545F491u * static_cast<uint32_t>(i + 1)));
        run(kJobs[i], inputs[i], alone[i]);
        ASSERT_TRUE(alone[i].created) << kJobs[i].name;
        ASSERT_EQ(alone[i].init, 0) << kJobs[i].name;
        ASSERT_GT(alone[i].out.records.size(), 10u) << kJobs[i].name;
    }
    const ConfigAnswers config_alone = ask_configuration();
    ASSERT_EQ(g_live_blocks.load(), 0);

    constexpr int kCheckers = 2;
    constexpr int kRounds = 2;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<Result> together(kJobCount);
        std::atomic<int> waiting{static_cast<int>(kJobCount) + kCheckers};
        std::atomic<size_t> finished{0};
        std::atomic<int> config_mismatches{0}, config_rounds{0};
        const auto start_together = [&waiting] {
            --waiting;
            while (waiting.load() != 0) std::this_thread::yield();
        };

        std::vector<std::thread> threads;
        for (size_t i = 0; i < kJobCount; ++i) {
            threads.emplace_back([&, i] {
                start_together();
                run(kJobs[i], inputs[i], together[i]);
                ++finished;
            });
        }
        for (int c = 0; c < kCheckers; ++c) {
            threads.emplace_back([&] {
                start_together();
                // Ask while any encoder runs, and at least a few times.
                for (int n = 0; n < 3 || finished.load() != kJobCount; ++n) {
                    if (!(ask_configuration() == config_alone)) ++config_mismatches;
                    ++config_rounds;
                }
            });
        }
        for (std::thread &t : threads) t.join();

        for (size_t i = 0; i < kJobCount; ++i) {
            SCOPED_TRACE(std::string(kJobs[i].name) + ", round " + std::to_string(round));
            EXPECT_TRUE(together[i].created);
            EXPECT_EQ(together[i].init, 0);
            EXPECT_EQ(together[i].put_failures, 0);
            EXPECT_EQ(together[i].done, 0);
            EXPECT_EQ(together[i].messages, 0u);
            EXPECT_TRUE(together[i].out.bytes == alone[i].out.bytes)
                << together[i].out.bytes.size() << " bytes against " << alone[i].out.bytes.size()
                << " alone";
            ASSERT_EQ(together[i].out.records.size(), alone[i].out.records.size());
            for (size_t k = 0; k < alone[i].out.records.size(); ++k) {
                EXPECT_EQ(together[i].out.records[k].byte_count, alone[i].out.records[k].byte_count);
                EXPECT_EQ(together[i].out.records[k].timestamp, alone[i].out.records[k].timestamp);
            }
        }
        EXPECT_EQ(config_mismatches.load(), 0) << "of " << config_rounds.load() << " rounds";
        EXPECT_EQ(g_live_blocks.load(), 0) << "blocks the encoders did not give back";
    }
    EXPECT_GT(g_allocations.load(), 0) << "the host's allocator was never used";
}

}  // namespace
