// SPDX-License-Identifier: BSD-2-Clause
// How fast each layer packetizes, measured against two references on the same
// audio in the same run:
//   - memcpy of the same bytes, the floor of any packetizer: it copies the
//     audio, 4 KiB at a time, into one reused 4 KiB buffer that stays in the
//     L1 cache, just as a packetizer reads the caller's audio into a frame
//     buffer that stays in cache (of the copy sizes tried, 4 KiB to 256 KiB
//     and one 8 MiB block, this is the fastest, so the floor is the strict
//     one);
//   - libavcodec's encoder of the same format (s302m for layer 10,
//     pcm_bluray for layer 13, pcm_dvd for layer 4), fed the same samples in
//     its own sample format, each frame handed over by reference.
// Both in two regimes: 8 MiB of audio per pass, which the last-level cache
// holds, and 64 MiB streamed from main memory (names ending in /streamed;
// no peer there).
// pcmpack is driven through the public header as a host drives it: one
// encoder per benchmark, pcmOutAudioPutBytes fed in 1 MiB or 4 KiB pieces,
// and a bufstream whose write_bytes only counts. At 1 MiB pieces also as a
// host that wants every frame in memory of its own (a muxer's packet) gets
// it: through the bufstream, copying each write into a packet buffer, and
// through a frame sink lending the packet buffers, which the library packs
// in place (pcmOutAudioInitWithSink). The host's packet buffers are a ring of
// eight of the largest frame, as a muxer holds a few packets at a time.
//
// Every result is reported in audio samples per second (one sample = one
// channel of one sample period). At the end of the run a table gives the
// ratios to memcpy and to the peer, and checks each against its target.
#include <pcmpack.h>

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "support/kernel_ceiling.h"

namespace {

// About 8 MiB of interleaved audio per configuration: larger than the L2
// cache, so every benchmark streams its input instead of replaying it from
// the closest cache.
constexpr size_t kAudioBytes = size_t{8} << 20;
// The second regime: 64 MiB of audio per pass, more than the last-level
// cache holds, so that the audio streams from main memory.
constexpr size_t kStreamedAudioBytes = size_t{64} << 20;
constexpr size_t kLargePiece = size_t{1} << 20;
constexpr size_t kSmallPiece = size_t{4} << 10;
constexpr size_t kCopyChunk = size_t{4} << 10;
constexpr int kSampleRate = 48000;

// ---------------------------------------------------------------------------
// The audio every contender gets: random interleaved samples, little-endian,
// 2 bytes per 16-bit sample and 3 per 20/24-bit sample, as pcmpack takes
// them.

struct Audio {
    int channels = 0;
    int width = 0;  // bytes per sample
    size_t periods = 0;
    std::vector<uint8_t> bytes;
    // The same samples as libavcodec takes them: int16 for 16 bits, int32
    // with the sample in the top bits for 20 and 24 bits.
    std::vector<int16_t> s16;
    std::vector<int32_t> s32;

    size_t samples() const { return periods * static_cast<size_t>(channels); }
};

const Audio &audio_for(int channels, int width);

// The in-cache audio eight times over, as bytes only (no peer runs on it).
const Audio &streamed_audio_for(int channels, int width) {
    static std::map<std::pair<int, int>, std::unique_ptr<Audio>> cache;
    auto &slot = cache[{channels, width}];
    if (slot) return *slot;
    const Audio &small = audio_for(channels, width);
    slot = std::make_unique<Audio>();
    Audio &a = *slot;
    a.channels = channels;
    a.width = width;
    const size_t copies = kStreamedAudioBytes / kAudioBytes;
    a.periods = small.periods * copies;
    a.bytes.resize(small.bytes.size() * copies);
    for (size_t k = 0; k < copies; ++k) {
        memcpy(a.bytes.data() + k * small.bytes.size(), small.bytes.data(), small.bytes.size());
    }
    return a;
}

const Audio &audio_for(int channels, int width) {
    static std::map<std::pair<int, int>, std::unique_ptr<Audio>> cache;
    auto &slot = cache[{channels, width}];
    if (slot) return *slot;
    slot = std::make_unique<Audio>();
    Audio &a = *slot;
    a.channels = channels;
    a.width = width;
    a.periods = kAudioBytes / static_cast<size_t>(channels * width);
    a.bytes.resize(a.periods * static_cast<size_t>(channels * width));
    std::mt19937_64 rng(0x5eed0000u + static_cast<unsigned>(channels * 8 + width));
    for (auto &b : a.bytes) b = static_cast<uint8_t>(rng());
    if (width == 2) {
        a.s16.resize(a.samples());
        for (size_t i = 0; i < a.s16.size(); ++i) {
            a.s16[i] = static_cast<int16_t>(a.bytes[2 * i] | a.bytes[2 * i + 1] << 8);
        }
    } else {
        a.s32.resize(a.samples());
        for (size_t i = 0; i < a.s32.size(); ++i) {
            const uint32_t v = static_cast<uint32_t>(a.bytes[3 * i]) << 8 |
                               static_cast<uint32_t>(a.bytes[3 * i + 1]) << 16 |
                               static_cast<uint32_t>(a.bytes[3 * i + 2]) << 24;
            a.s32[i] = static_cast<int32_t>(v);
        }
    }
    return a;
}

int width_of_bits(int bits) { return bits == 16 ? 2 : 3; }
int quantization_of_bits(int bits) {
    return bits == 16 ? PCM_QUANT_16 : bits == 20 ? PCM_QUANT_20 : PCM_QUANT_24;
}

void set_rates(benchmark::State &state, size_t samples_per_iteration, size_t bytes_per_iteration) {
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(samples_per_iteration),
                                                     benchmark::Counter::kIsIterationInvariantRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes_per_iteration));
}

// ---------------------------------------------------------------------------
// pcmpack through the public header.

struct CountingSink {
    uint64_t bytes = 0;
    uint64_t writes = 0;
};

uint32_t count_bytes(bufstream *stream, const uint8_t *data, uint32_t size) {
    auto *sink = static_cast<CountingSink *>(stream->host_slot1);
    benchmark::DoNotOptimize(data);
    sink->bytes += size;
    ++sink->writes;
    return size;
}

uint32_t ignore_aux(bufstream *, uint32_t, uint32_t, void *, uint32_t) { return 0; }

// How the host takes the frames: counts the bufstream's bytes, copies them
// into its packet buffers, or lends the library its packet buffers.
enum class FrameRoute { counted, copied, lent };

struct PcmpackCase {
    int layer, channels, bits, frame_rate_code;
    size_t piece;
    bool streamed;  // 64 MiB from main memory rather than 8 MiB in cache
    FrameRoute route;
};

// The host's packet buffers: a ring of the largest frame, the next one
// taken for every frame.
constexpr size_t kPacketRing = 8;

struct PacketBuffers {
    std::vector<uint8_t> memory;
    size_t frame_room = 0;
    size_t next = 0;   // the ring's buffer the next frame goes to
    size_t filled = 0; // bytes of it the bufstream has copied so far

    uint8_t *current() { return memory.data() + next * frame_room; }
    void advance() {
        next = (next + 1) % kPacketRing;
        filled = 0;
    }
};

// The bufstream of a host that copies: each write goes to the end of the
// current packet buffer, and the aux_record closes it.
uint32_t copy_bytes(bufstream *stream, const uint8_t *data, uint32_t size) {
    auto *sink = static_cast<CountingSink *>(stream->host_slot1);
    auto *packets = static_cast<PacketBuffers *>(stream->host_slot2);
    if (packets->filled + size > packets->frame_room) return 0;
    memcpy(packets->current() + packets->filled, data, size);
    packets->filled += size;
    sink->bytes += size;
    ++sink->writes;
    return size;
}

uint32_t close_packet(bufstream *stream, uint32_t, uint32_t, void *, uint32_t) {
    auto *packets = static_cast<PacketBuffers *>(stream->host_slot2);
    benchmark::DoNotOptimize(packets->current());
    packets->advance();
    return 0;
}

// The frame sink of a host that lends: the current packet buffer, then the
// next one.
struct LendingHost {
    CountingSink counts;
    PacketBuffers packets;
};

uint8_t *lend_packet(void *opaque, uint32_t size, uint32_t *lent) {
    auto *host = static_cast<LendingHost *>(opaque);
    if (size > host->packets.frame_room) return nullptr;
    *lent = static_cast<uint32_t>(host->packets.frame_room);
    return host->packets.current();
}

int32_t take_packet(void *opaque, uint8_t *data, const aux_record *record) {
    auto *host = static_cast<LendingHost *>(opaque);
    benchmark::DoNotOptimize(data);
    if (record == nullptr) return 0;
    host->counts.bytes += record->byte_count;
    ++host->counts.writes;
    host->packets.advance();
    return 0;
}

const Audio &audio_of(const PcmpackCase &c) {
    const int width = c.bits == 16 ? 2 : 3;
    return c.streamed ? streamed_audio_for(c.channels, width) : audio_for(c.channels, width);
}

struct Encoder {
    pcm_a_encoder *enc = nullptr;
    LendingHost host;
    CountingSink &sink = host.counts;
    bufstream stream{};

    explicit Encoder(const PcmpackCase &c) {
        pcm_a_settings settings{c.channels - 1, c.layer, 0, 0, quantization_of_bits(c.bits), 128};
        enc = pcmOutAudioNew(nullptr, &settings, 0, c.frame_rate_code, kSampleRate);
        pcm_frame_geometry geometry{};
        if (enc == nullptr ||
            pcmOutAudioFrameGeometry(&settings, c.frame_rate_code, kSampleRate, &geometry) != 0) {
            pcmOutAudioFree(enc);
            enc = nullptr;
            return;
        }
        host.packets.frame_room = geometry.frame_bytes[0];
        host.packets.memory.resize(kPacketRing * host.packets.frame_room);
        stream.host_slot1 = &sink;
        stream.host_slot2 = &host.packets;
        stream.write_bytes = c.route == FrameRoute::copied ? copy_bytes : count_bytes;
        stream.auxinfo = c.route == FrameRoute::copied ? close_packet : ignore_aux;
        const pcm_frame_sink lender{lend_packet, take_packet, &host};
        const int32_t bound = c.route == FrameRoute::lent ? pcmOutAudioInitWithSink(enc, &lender)
                                                           : pcmOutAudioInit(enc, &stream);
        if (bound != 0) {
            pcmOutAudioFree(enc);
            enc = nullptr;
        }
    }
    ~Encoder() {
        if (enc == nullptr) return;
        pcmOutAudioDone(enc, 1);
        pcmOutAudioFree(enc);
    }
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

    bool feed(const std::vector<uint8_t> &audio, size_t piece) {
        for (size_t at = 0; at < audio.size(); at += piece) {
            const size_t n = std::min(piece, audio.size() - at);
            if (pcmOutAudioPutBytes(enc, audio.data() + at, static_cast<uint32_t>(n)) != 0) {
                return false;
            }
        }
        return true;
    }
};

void bm_pcmpack(benchmark::State &state, PcmpackCase c) {
    const Audio &audio = audio_of(c);
    Encoder encoder(c);
    if (encoder.enc == nullptr) {
        state.SkipWithError("pcmOutAudioNew/Init refused the settings");
        return;
    }
    for (auto _ : state) {
        if (!encoder.feed(audio.bytes, c.piece)) {
            state.SkipWithError("pcmOutAudioPutBytes failed");
            return;
        }
    }
    if (encoder.sink.writes == 0) state.SkipWithError("nothing was written");
    set_rates(state, audio.samples(), audio.bytes.size());
}

// Output bytes of one pass of the audio through a layer, for the memcpy of
// the output size (layer 11 writes more than it reads).
size_t output_bytes_of(const PcmpackCase &c) {
    const Audio &audio = audio_of(c);
    Encoder encoder(c);
    if (encoder.enc == nullptr || !encoder.feed(audio.bytes, kLargePiece)) return 0;
    return static_cast<size_t>(encoder.sink.bytes);
}

// ---------------------------------------------------------------------------
// The floor: memcpy of a given number of bytes, 4 KiB at a time, into one
// reused buffer. The buffer sits half a page away from the source's page
// offset: where the two addresses agree in their low 12 bits, a load that
// follows a store to the buffer waits for it (4 KiB aliasing), which made
// copies of the same size differ by up to 3 times from one allocation to
// the next.

void bm_memcpy(benchmark::State &state, size_t bytes, size_t samples) {
    std::vector<uint8_t> source(bytes);
    std::mt19937 rng(7);
    for (auto &b : source) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> buffer(kCopyChunk + 4096);
    const uintptr_t want = (reinterpret_cast<uintptr_t>(source.data()) + 2048) % 4096;
    const uintptr_t have = reinterpret_cast<uintptr_t>(buffer.data()) % 4096;
    uint8_t *frame = buffer.data() + (want + 4096 - have) % 4096;
    for (auto _ : state) {
        for (size_t at = 0; at < bytes; at += kCopyChunk) {
            memcpy(frame, source.data() + at, std::min(kCopyChunk, bytes - at));
            benchmark::ClobberMemory();
        }
    }
    set_rates(state, samples, bytes);
}

// ---------------------------------------------------------------------------
// The peer: a libavcodec encoder fed the same samples frame by frame.

struct PeerCase {
    const char *codec;
    int channels, bits;
    // Samples per frame, cycling; empty = the encoder's own frame size.
    std::vector<int> frame_sizes;
};

void no_free(void *, uint8_t *) {}

bool pick_layout(const AVCodec *codec, int channels, AVChannelLayout *layout) {
    if (codec->ch_layouts != nullptr) {
        for (const AVChannelLayout *l = codec->ch_layouts; l->nb_channels != 0; ++l) {
            if (l->nb_channels == channels) return av_channel_layout_copy(layout, l) == 0;
        }
        return false;
    }
    av_channel_layout_default(layout, channels);
    return true;
}

void bm_peer(benchmark::State &state, PeerCase c) {
    const Audio &audio = audio_for(c.channels, width_of_bits(c.bits));
    const AVCodec *codec = avcodec_find_encoder_by_name(c.codec);
    if (codec == nullptr) {
        state.SkipWithError("encoder not in this libavcodec");
        return;
    }
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    const bool s16 = c.bits == 16;
    ctx->sample_fmt = s16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S32;
    ctx->sample_rate = kSampleRate;
    ctx->bits_per_raw_sample = c.bits;
    ctx->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;  // s302m is marked experimental
    if (!pick_layout(codec, c.channels, &ctx->ch_layout) ||
        avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        state.SkipWithError("encoder refused the format");
        return;
    }
    std::vector<int> frame_sizes = c.frame_sizes;
    if (frame_sizes.empty()) frame_sizes.push_back(ctx->frame_size > 0 ? ctx->frame_size : 1920);

    const size_t sample_bytes = s16 ? sizeof(int16_t) : sizeof(int32_t);
    uint8_t *samples = s16 ? reinterpret_cast<uint8_t *>(const_cast<int16_t *>(audio.s16.data()))
                           : reinterpret_cast<uint8_t *>(const_cast<int32_t *>(audio.s32.data()));
    const size_t period_bytes = sample_bytes * static_cast<size_t>(c.channels);
    AVBufferRef *whole = av_buffer_create(samples, audio.periods * period_bytes, no_free, nullptr,
                                          AV_BUFFER_FLAG_READONLY);
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    size_t periods_fed = 0;
    uint64_t out_bytes = 0;
    bool failed = false;
    for (auto _ : state) {
        size_t at = 0;
        for (size_t k = 0;; k = (k + 1) % frame_sizes.size()) {
            const size_t n = static_cast<size_t>(frame_sizes[k]);
            if (at + n > audio.periods) break;
            frame->nb_samples = static_cast<int>(n);
            frame->format = ctx->sample_fmt;
            frame->sample_rate = kSampleRate;
            av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
            frame->buf[0] = av_buffer_ref(whole);
            frame->data[0] = samples + at * period_bytes;
            frame->extended_data = frame->data;
            frame->linesize[0] = static_cast<int>(n * period_bytes);
            failed |= avcodec_send_frame(ctx, frame) < 0;
            av_frame_unref(frame);
            while (avcodec_receive_packet(ctx, packet) == 0) {
                out_bytes += static_cast<uint64_t>(packet->size);
                av_packet_unref(packet);
            }
            at += n;
        }
        periods_fed = at;
        if (failed) break;
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    av_buffer_unref(&whole);
    avcodec_free_context(&ctx);
    if (failed || out_bytes == 0) {
        state.SkipWithError("the encoder failed");
        return;
    }
    set_rates(state, periods_fed * static_cast<size_t>(c.channels),
              periods_fed * static_cast<size_t>(c.channels * width_of_bits(c.bits)));
}

// ---------------------------------------------------------------------------
// What to run, and how each pcmpack case is judged.

std::string pcmpack_name(const PcmpackCase &c) {
    char name[96];
    snprintf(name, sizeof name, "pcmpack/L%d/%dch/%dbit%s%s/%s%s", c.layer, c.channels, c.bits,
             c.layer == 4 || c.layer == 13 ? ""
                                           : (c.frame_rate_code == 3 ? "/fr3" : "/fr4"),
             c.streamed ? "/streamed" : "", c.piece == kLargePiece ? "1MiB" : "4KiB",
             c.route == FrameRoute::copied ? "/copied"
             : c.route == FrameRoute::lent ? "/lent"
                                            : "");
    return name;
}

std::string memcpy_name(int channels, int bits, bool streamed) {
    // 20- and 24-bit audio share their 3-byte samples, and so their floor.
    return "memcpy/in/" + std::to_string(channels) + "ch/" + std::to_string(width_of_bits(bits)) +
           "byte-samples" + (streamed ? "/streamed" : "");
}

std::string memcpy_out_name(const PcmpackCase &c) {
    return "memcpy/out/L" + std::to_string(c.layer) + "/" + std::to_string(c.channels) + "ch" +
           (c.streamed ? "/streamed" : "");
}

std::string peer_name(const char *codec, int channels, int bits, int frame_rate_code) {
    std::string name = std::string("libavcodec/") + codec + "/" + std::to_string(channels) + "ch/" +
                       std::to_string(bits) + "bit";
    if (frame_rate_code != 0) name += "/fr" + std::to_string(frame_rate_code);
    return name;
}

struct Row {
    PcmpackCase c;
    std::string name, small_name, memcpy_in, memcpy_out, peer, peer_label;
    std::string copied_name, lent_name;  // 1 MiB pieces into the host's packet buffers
};

// Frame sizes of the AES3 cadence at 48 kHz, the peer's frames for layer 10.
std::vector<int> aes3_frames(int frame_rate_code) {
    if (frame_rate_code == 4) return {1602, 1601, 1602, 1601, 1602};
    return {1920};
}

std::vector<Row> register_all() {
    std::vector<Row> rows;
    std::map<std::string, bool> registered;
    auto once = [&](const std::string &name) {
        if (registered[name]) return false;
        registered[name] = true;
        return true;
    };

    struct Layer {
        int layer;
        std::vector<int> channels, bits, frame_rate_codes;
        const char *peer;
    };
    const std::vector<Layer> layers = {
        {4, {2}, {16}, {3}, "pcm_dvd"},
        {13, {2, 8}, {16, 20, 24}, {3}, "pcm_bluray"},
        {10, {2, 8}, {16, 20, 24}, {3, 4}, "s302m"},
        {11, {2, 8}, {20, 24}, {3, 4}, nullptr},
        {12, {2, 8}, {16, 20, 24}, {3, 4}, nullptr},
        // Every other channel count takes its own regrouping loop.
        {12, {3, 4, 5, 6, 7}, {16, 20, 24}, {3}, nullptr},
    };
    for (bool streamed : {false, true}) {
    for (const Layer &l : layers) {
        for (int ch : l.channels) {
            for (int bits : l.bits) {
                for (int fr : l.frame_rate_codes) {
                    Row row;
                    row.c = {l.layer, ch, bits, fr, kLargePiece, streamed, FrameRoute::counted};
                    row.name = pcmpack_name(row.c);
                    PcmpackCase small = row.c;
                    small.piece = kSmallPiece;
                    row.small_name = pcmpack_name(small);
                    row.memcpy_in = memcpy_name(ch, bits, streamed);
                    benchmark::RegisterBenchmark(row.name.c_str(), bm_pcmpack, row.c);
                    benchmark::RegisterBenchmark(row.small_name.c_str(), bm_pcmpack, small);
                    for (FrameRoute route : {FrameRoute::copied, FrameRoute::lent}) {
                        PcmpackCase packets = row.c;
                        packets.route = route;
                        std::string &name =
                            route == FrameRoute::copied ? row.copied_name : row.lent_name;
                        name = pcmpack_name(packets);
                        benchmark::RegisterBenchmark(name.c_str(), bm_pcmpack, packets);
                    }
                    if (once(row.memcpy_in)) {
                        const Audio &a = audio_of(row.c);
                        benchmark::RegisterBenchmark(row.memcpy_in.c_str(), bm_memcpy,
                                                     a.bytes.size(), a.samples());
                    }
                    if (l.layer == 11) {
                        row.memcpy_out = memcpy_out_name(row.c);
                        if (once(row.memcpy_out)) {
                            const Audio &a = audio_of(row.c);
                            benchmark::RegisterBenchmark(row.memcpy_out.c_str(), bm_memcpy,
                                                         output_bytes_of(row.c), a.samples());
                        }
                    }
                    if (l.peer != nullptr && !streamed) {
                        // pcm_bluray and pcm_dvd take 16 or 24 bits: at 20 bits they are
                        // fed the same samples and write them as 24-bit words, the same
                        // 3 bytes a sample that layer 13 carries.
                        const int peer_bits = l.layer == 10 ? bits : (bits == 16 ? 16 : 24);
                        const int peer_fr = l.layer == 10 ? fr : 0;
                        row.peer = peer_name(l.peer, ch, peer_bits, peer_fr);
                        row.peer_label = l.peer;
                        if (peer_bits != bits) row.peer_label += "@24";
                        if (once(row.peer)) {
                            PeerCase p{l.peer, ch, peer_bits,
                                       l.layer == 10 ? aes3_frames(fr) : std::vector<int>{}};
                            benchmark::RegisterBenchmark(row.peer.c_str(), bm_peer, p);
                        }
                    }
                    rows.push_back(row);
                }
            }
        }
    }
    }
    return rows;
}

// ---------------------------------------------------------------------------
// The summary: remembers samples/s of every run (the median when the run is
// repeated) and prints the ratios once everything has run.

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that a log stays plain text.
    SummaryReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") continue;
            auto it = run.counters.find("samples/s");
            if (it == run.counters.end()) continue;
            const std::string name = run.run_name.str();
            // A median, once there, wins over the single repetitions.
            if (aggregate || medians_.count(name) == 0) rates_[name] = it->second.value;
            if (aggregate) medians_[name] = true;
        }
    }

    double rate(const std::string &name) const {
        auto it = rates_.find(name);
        return it == rates_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> rates_;
    std::map<std::string, bool> medians_;
};

std::string ratio(double a, double b) {
    if (a <= 0 || b <= 0) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.2f", a / b);
    return text;
}

std::string msamples(double rate) {
    if (rate <= 0) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1f", rate / 1e6);
    return text;
}

// Each target is a ratio within this run; the list says which were met.
std::string judge(const Row &row, double large, double small, double floor_in, double floor_out,
                  double peer, int *missed) {
    std::string verdict;
    auto check = [&](const char *label, double value, double reference, double at_least) {
        if (value <= 0 || reference <= 0) return;
        const bool met = value >= at_least * reference;
        if (!met) ++*missed;
        if (!verdict.empty()) verdict += " ";
        verdict += std::string(met ? "ok:" : "MISSED:") + label;
    };
    const int layer = row.c.layer;
    check("memcpy/2", large, floor_in, 0.5);
    check("3xpeer", large, peer, 3.0);
    if (layer == 11) check("0.9xmemcpy(out)", large, floor_out, 0.9);
    check("4KiB", small, large, 0.8);
    // Layer 13 copies nothing when whole frames arrive; in 4 KiB pieces it
    // gathers split frames, which should cost no more than a copy.
    if (layer == 13) check("4KiB:0.8xmemcpy", small, floor_in, 0.8);
    return verdict;
}

struct Measured {
    double large, small, floor_in, floor_out, peer;
};

Measured measured(const Row &row, const SummaryReporter &report) {
    return {report.rate(row.name), report.rate(row.small_name), report.rate(row.memcpy_in),
            row.memcpy_out.empty() ? 0 : report.rate(row.memcpy_out),
            row.peer.empty() ? 0 : report.rate(row.peer)};
}

std::string case_label(const Row &row) {
    std::string label = row.name.substr(strlen("pcmpack/"));
    return label.substr(0, label.rfind('/'));
}

// What 4 KiB pieces cost beyond 1 MiB pieces, per sample, counted in copies
// of the input: (1/rate_4K - 1/rate_1M) / (1/rate_memcpy). About 1 means the
// difference is the one copy that gathers a frame split across pieces.
std::string extra_copies(const Measured &m) {
    if (m.large <= 0 || m.small <= 0 || m.floor_in <= 0) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.2f", (1 / m.small - 1 / m.large) * m.floor_in);
    return text;
}

void print_summary(const std::vector<Row> &rows, const SummaryReporter &report) {
    printf("\nRatios in this run, from samples/s (one sample = one channel of one sample "
           "period):\n");
    printf("  x memcpy   pcmpack (1 MiB pieces) / memcpy of the same input bytes\n");
    printf("  x cpy out  layer 11: pcmpack (1 MiB pieces) / memcpy of its output bytes\n");
    printf("  x peer     pcmpack (1 MiB pieces) / libavcodec's encoder of the format\n");
    printf("  4K/1M      pcmpack in 4 KiB pieces / in 1 MiB pieces\n");
    printf("  4K extra   (1/rate 4K - 1/rate 1M) in units of 1/rate memcpy: the extra cost of\n");
    printf("             4 KiB pieces counted in copies of the input\n\n");
    printf("| %-20s | %8s | %9s | %6s | %-13s | %6s | %8s | %s\n", "case", "x memcpy", "x cpy out",
           "x peer", "peer", "4K/1M", "4K extra", "targets |");
    printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(22, '-').c_str(),
           std::string(10, '-').c_str(), std::string(11, '-').c_str(), std::string(8, '-').c_str(),
           std::string(15, '-').c_str(), std::string(8, '-').c_str(), std::string(10, '-').c_str(),
           std::string(9, '-').c_str());
    int missed = 0;
    for (const Row &row : rows) {
        const Measured m = measured(row, report);
        if (m.large <= 0) continue;  // filtered out of this run
        const std::string verdict =
            judge(row, m.large, m.small, m.floor_in, m.floor_out, m.peer, &missed);
        printf("| %-20s | %8s | %9s | %6s | %-13s | %6s | %8s | %s |\n", case_label(row).c_str(),
               ratio(m.large, m.floor_in).c_str(), ratio(m.large, m.floor_out).c_str(),
               ratio(m.large, m.peer).c_str(),
               row.peer_label.empty() ? "-" : row.peer_label.c_str(),
               ratio(m.small, m.large).c_str(), extra_copies(m).c_str(), verdict.c_str());
    }
    printf("\nTargets missed in this run: %d\n", missed);

    printf("\nInto the host's packet buffers, 1 MiB pieces: the bufstream's bytes copied by the\n"
           "host (copied), or packed by the library into buffers the host lends (lent); both\n"
           "against memcpy of the input, and lent against copied:\n\n");
    printf("| %-20s | %8s | %8s | %9s | %9s |\n", "case", "x memcpy", "copied", "lent",
           "lent/cop");
    printf("|%s|%s|%s|%s|%s|\n", std::string(22, '-').c_str(), std::string(10, '-').c_str(),
           std::string(10, '-').c_str(), std::string(11, '-').c_str(),
           std::string(11, '-').c_str());
    for (const Row &row : rows) {
        const Measured m = measured(row, report);
        const double copied = report.rate(row.copied_name), lent = report.rate(row.lent_name);
        if (copied <= 0 && lent <= 0) continue;
        printf("| %-20s | %8s | %8s | %9s | %9s |\n", case_label(row).c_str(),
               ratio(m.large, m.floor_in).c_str(), ratio(copied, m.floor_in).c_str(),
               ratio(lent, m.floor_in).c_str(), ratio(lent, copied).c_str());
    }

    printf("\nAbsolute figures of this machine, millions of samples per second:\n\n");
    printf("| %-20s | %11s | %11s | %11s | %12s | %9s |\n", "case", "pcmpack 1M", "pcmpack 4K",
           "memcpy in", "memcpy out", "peer");
    printf("|%s|%s|%s|%s|%s|%s|\n", std::string(22, '-').c_str(), std::string(13, '-').c_str(),
           std::string(13, '-').c_str(), std::string(13, '-').c_str(),
           std::string(14, '-').c_str(), std::string(11, '-').c_str());
    for (const Row &row : rows) {
        const Measured m = measured(row, report);
        if (m.large <= 0) continue;
        printf("| %-20s | %11s | %11s | %11s | %12s | %9s |\n", case_label(row).c_str(),
               msamples(m.large).c_str(), msamples(m.small).c_str(), msamples(m.floor_in).c_str(),
               msamples(m.floor_out).c_str(), msamples(m.peer).c_str());
    }
}

}  // namespace

// Which packing loops the encoders run: the highest level the processor has,
// or the one PCMPACK_TEST_KERNELS names.
void print_kernel_level() {
    const char *requested = getenv("PCMPACK_TEST_KERNELS");
    printf("packing loops: highest level of this processor %s; PCMPACK_TEST_KERNELS=%s\n",
           pcmpack::kKernelLevelNames[static_cast<int>(kernel_ceiling::processor_level())],
           requested ? requested : "(unset: the highest)");
}

int main(int argc, char **argv) {
    av_log_set_level(AV_LOG_ERROR);
    print_kernel_level();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const std::vector<Row> rows = register_all();
    SummaryReporter report;
    benchmark::RunSpecifiedBenchmarks(&report);
    print_summary(rows, report);
    benchmark::Shutdown();
    return 0;
}
