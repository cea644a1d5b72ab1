// SPDX-License-Identifier: BSD-2-Clause
// Drives the encoder through whatever sequence of calls the input spells out:
// settings valid and invalid, any frame rate code and sample rate, New, Init,
// PutBytes of any size, Done with and without abort, Free, in any order, with
// a host whose allocator and bufstream fail at chosen calls. With bit 4 of
// the first byte set, two encoders are driven interleaved, each call aimed at
// one of them, and each is checked as if it were alone.
//
// Invariants checked on every input:
//   - nothing crashes and the sanitizers stay quiet;
//   - every message the library sends starts "Pnnn:" and has no line end;
//   - the caller's buffer is never written;
//   - a call whose write the host failed returns 1, and PutBytes on an
//     initialised encoder with no failure returns 0;
//   - after Done only the encoder object is held, after Free nothing is (per
//     encoder: every block is booked to the encoder whose call allocated it),
//     and "free" is never handed a pointer that "malloc" did not return;
//   - while no failure has been injected into an encoder's stream, that stream
//     is well formed: the stream header first, with its tag and parameter
//     bytes, then whole frames of the sizes the frame rate and word length
//     give, each followed by one aux_record with the right byte count and a
//     timestamp that continues the frame sequence; for DVD, HDMV and planar
//     frames the payload is the audio that went in.
#include <pcmpack.h>

#if __has_include(<fuzzer/FuzzedDataProvider.h>)
#include <fuzzer/FuzzedDataProvider.h>
#else
#include <FuzzedDataProvider.h>  // replay builds put its directory on the path
#endif

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

void check(bool ok, const char *what, long long a = 0, long long b = 0) {
    if (!ok) fail(what, a, b);
}

// ---------------------------------------------------------------------------
// The host: a lookup with no context pointer, so its state is global here.

struct HostState {
    bool supply_allocator = true;  // "malloc" and "free" as a counted pair
    bool supply_err = true, supply_wrn = true, supply_inf = true;
    int malloc_calls = 0;
    int fail_malloc_call = 0;  // 1-based; 0 = never
    bool malloc_failed = false;
    int owner = 0;                     // the encoder slot whose call is running
    std::map<void *, int> live;        // block -> slot that allocated it
    int messages = 0;

    size_t held_by(int slot) const {
        size_t n = 0;
        for (const auto &block : live) n += block.second == slot;
        return n;
    }
};

HostState g_host;

void *host_malloc(size_t size) {
    ++g_host.malloc_calls;
    if (g_host.malloc_calls == g_host.fail_malloc_call) {
        g_host.malloc_failed = true;
        return nullptr;
    }
    void *block = std::malloc(size ? size : 1);
    g_host.live[block] = g_host.owner;
    return block;
}

void host_free(void *ptr) {
    auto it = g_host.live.find(ptr);
    check(it != g_host.live.end(), "free was handed a pointer malloc did not return");
    g_host.live.erase(it);
    std::free(ptr);
}

void check_message(const char *format) {
    ++g_host.messages;
    check(format != nullptr, "message without format");
    check(format[0] == 'P' && format[1] >= '0' && format[1] <= '9' && format[2] >= '0' &&
              format[2] <= '9' && format[3] >= '0' && format[3] <= '9' && format[4] == ':',
          "message without a Pnnn: code");
    check(std::strchr(format, '\n') == nullptr, "message with a line end");
}

void host_err_printf(const char *format, ...) {
    check_message(format);
    // Read every "%d" argument as the host's printf would.
    va_list args;
    va_start(args, format);
    for (const char *p = std::strstr(format, "%d"); p; p = std::strstr(p + 2, "%d")) {
        (void)va_arg(args, int32_t);
    }
    va_end(args);
}

void host_quiet_sink(const char *, ...) { fail("warning or information sink was called"); }

void *host_lookup(const char *name) {
    if (std::strcmp(name, "malloc") == 0)
        return g_host.supply_allocator ? reinterpret_cast<void *>(&host_malloc) : nullptr;
    if (std::strcmp(name, "free") == 0)
        return g_host.supply_allocator ? reinterpret_cast<void *>(&host_free) : nullptr;
    if (std::strcmp(name, "err_printf") == 0)
        return g_host.supply_err ? reinterpret_cast<void *>(&host_err_printf) : nullptr;
    if (std::strcmp(name, "wrn_printf") == 0)
        return g_host.supply_wrn ? reinterpret_cast<void *>(&host_quiet_sink) : nullptr;
    if (std::strcmp(name, "inf_printf") == 0)
        return g_host.supply_inf ? reinterpret_cast<void *>(&host_quiet_sink) : nullptr;
    fail("lookup asked for an unknown name");
}

// ---------------------------------------------------------------------------
// The frame geometry each layer must produce, from the formats themselves.

struct Geometry {
    int layer = 0;
    int channels = 0;
    int width = 0;  // input bytes per sample
    uint32_t in[5] = {};
    uint32_t out[5] = {};  // bytes written per frame, any frame header included
    double duration[5] = {};
    bool cadence = false;  // AES3: frames follow the five-step cadence
};

constexpr int kAes3Samples[9][5] = {
    {0, 0, 0, 0, 0},
    {2002, 2002, 2002, 2002, 2002},
    {2000, 2000, 2000, 2000, 2000},
    {1920, 1920, 1920, 1920, 1920},
    {1602, 1601, 1602, 1601, 1602},
    {1600, 1600, 1600, 1600, 1600},
    {960, 960, 960, 960, 960},
    {801, 801, 800, 801, 801},
    {800, 800, 800, 800, 800},
};

Geometry geometry_for(const pcm_a_settings &s, int frame_rate_code, int sample_rate) {
    Geometry g;
    g.layer = s.audio_layer;
    g.channels = s.channels_minus_one + 1;
    g.width = s.quantization == 0 ? 2 : 3;
    switch (s.audio_layer) {
    case 4: {
        const uint32_t samples = sample_rate == 48000 ? 80 : 160;
        g.width = 2;
        g.in[0] = g.out[0] = samples * 2 * g.channels;
        g.duration[0] = 45000.0;
        break;
    }
    case 13: {
        const uint32_t samples = sample_rate == 48000 ? 240 : 480;
        g.in[0] = samples * g.width * g.channels;
        g.out[0] = g.in[0] + 4;  // the HDMV frame header
        g.duration[0] = 135000.0;
        break;
    }
    default: {
        g.cadence = true;
        const int pairs = g.channels / 2;
        for (int i = 0; i < 5; ++i) {
            const uint32_t n = kAes3Samples[frame_rate_code][i];
            g.duration[i] = n * 562.5;
            if (s.audio_layer == 10) {
                g.in[i] = n * pairs * (s.quantization == 0 ? 4 : 6);
                g.out[i] = n * pairs * (s.quantization == 0 ? 5 : s.quantization == 1 ? 6 : 7) + 4;
            } else if (s.audio_layer == 11) {
                g.in[i] = n * 3 * g.channels;
                g.out[i] = n * 32 + 4;
            } else {
                g.in[i] = g.out[i] = n * g.width * g.channels;
            }
        }
    }
    }
    return g;
}

// ---------------------------------------------------------------------------
// The host's stream: records each write and aux_record and checks them
// against the frame sequence the geometry predicts.

struct Expectation {
    Geometry geo;
    pcm_a_settings settings{};
    int input_flags = 0;
    int frame_rate_code = 0;
    int sample_rate = 0;
    bool header_seen = false;
    bool tainted = false;  // a write failed: the stream is no longer checked
    int step = 0;          // AES3 cadence step of the next frame
    double next_time = 0;  // AES3 running timestamp
    int lpcm_frames = 0;   // DVD/HDMV frames since Init
    std::vector<uint8_t> fed;  // audio given since Init, not yet seen framed
    size_t fed_used = 0;
    // Writes of the frame now in progress.
    std::vector<std::vector<uint8_t>> pending_writes;
};

struct Stream {
    bufstream bs{};
    int write_calls = 0;
    int fail_write_call = 0;  // 1-based; 0 = never
    int fail_how = 0;         // the failing write returns 0, one short, one too many
    bool failed_in_call = false;
    Expectation *expect = nullptr;
};

void check_header(const Expectation &e, const std::vector<uint8_t> &w) {
    check(w.size() == 8, "stream header is not 8 bytes", (long long)w.size());
    const pcm_a_settings &s = e.settings;
    const int cm1 = s.channels_minus_one;
    uint8_t tag[4];
    uint8_t p5;
    if (s.audio_layer == 4) {
        std::memcpy(tag, "LPCM", 4);
        const uint8_t p4 = static_cast<uint8_t>((e.sample_rate != 48000 ? 1 : 0) |
                                                (s.emphasis ? 2 : 0) | (cm1 & 7) << 2 |
                                                (s.quantization & 3) << 5 | (s.mute_flag & 1) << 7);
        check(w[4] == p4, "LPCM header byte 4", w[4], p4);
        p5 = static_cast<uint8_t>(s.dynamic_range);
    } else if (s.audio_layer == 13) {
        std::memcpy(tag, "HDMV", 4);
        check(w[4] == 13, "HDMV header byte 4", w[4]);
        p5 = static_cast<uint8_t>((e.sample_rate == 96000 ? 0x20 : 0) | (s.quantization & 3) << 3 |
                                  (cm1 & 7));
    } else {
        std::memcpy(tag, "AES3", 4);
        check(w[4] == s.audio_layer, "AES3 header byte 4", w[4]);
        p5 = static_cast<uint8_t>((e.frame_rate_code - 1) << 5 | (s.quantization & 3) << 3 |
                                  (cm1 & 7));
    }
    check(std::memcmp(w.data(), tag, 4) == 0, "stream header tag");
    check(w[5] == p5, "stream header byte 5", w[5], p5);
    check(w[6] == 0 && w[7] == 0, "stream header bytes 6-7 not zero");
}

// The next frame's worth of audio as the host gave it, zero-padded when the
// frame was flushed from a partial remainder.
std::vector<uint8_t> take_input(Expectation &e, size_t n) {
    std::vector<uint8_t> in(n, 0);
    const size_t have = e.fed.size() - e.fed_used;
    if (have != 0 && n != 0) std::memcpy(in.data(), e.fed.data() + e.fed_used, have < n ? have : n);
    e.fed_used += have < n ? have : n;
    if (e.fed_used > 65536) {
        e.fed.erase(e.fed.begin(), e.fed.begin() + static_cast<std::ptrdiff_t>(e.fed_used));
        e.fed_used = 0;
    }
    return in;
}

void check_frame_content(Expectation &e, const std::vector<uint8_t> &payload, uint32_t in_bytes) {
    const std::vector<uint8_t> in = take_input(e, in_bytes);
    const bool be = (e.input_flags & 1) != 0;
    const Geometry &g = e.geo;
    if (g.layer == 13) {
        check(payload == in, "HDMV payload differs from the input");
    } else if (g.layer == 4) {
        for (size_t i = 0; i + 1 < in.size(); i += 2) {
            const uint8_t hi = be ? in[i] : in[i + 1], lo = be ? in[i + 1] : in[i];
            check(payload[i] == hi && payload[i + 1] == lo, "DVD sample word not big-endian",
                  (long long)i);
        }
    } else if (g.layer == 12) {
        const size_t w = g.width, ch = g.channels, n = in.size() / (w * ch);
        for (size_t p = 0; p < n; ++p)
            for (size_t c = 0; c < ch; ++c)
                for (size_t b = 0; b < w; ++b) {
                    const uint8_t want = in[(p * ch + c) * w + (be ? w - 1 - b : b)];
                    check(payload[c * n * w + p * w + b] == want, "planar byte misplaced",
                          (long long)(p * ch + c), (long long)b);
                }
    } else if (g.layer == 10) {
        const uint32_t size = static_cast<uint32_t>(payload.size());
        check(payload[0] == ((size - 4) >> 8 & 0xFF) && payload[1] == ((size - 4) & 0xFF),
              "302M payload size field");
        check(payload[2] == (((g.channels / 2) - 1) << 6), "302M channel field", payload[2]);
        check(payload[3] == (e.settings.quantization << 4), "302M bits field", payload[3]);
    } else if (g.layer == 11) {
        const uint32_t n = (static_cast<uint32_t>(payload.size()) - 4) / 32;
        const bool numbered = e.frame_rate_code == 4 || e.frame_rate_code == 7;
        check(payload[0] == (numbered ? e.step + 1 : 0), "D-10 element sequence byte");
        check(payload[1] == (n & 0xFF) && payload[2] == (n >> 8), "D-10 sample count");
        check(payload[3] == ((1u << g.channels) - 1), "D-10 channel mask", payload[3]);
    }
}

uint32_t on_write(bufstream *bs, const uint8_t *data, uint32_t size) {
    Stream *st = reinterpret_cast<Stream *>(bs);
    ++st->write_calls;
    check(data != nullptr || size == 0, "write from a null buffer");
    // Touch every byte, so that a write out of a released or short buffer is
    // caught right here.
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    (void)sum;
    Expectation *e = st->expect;
    if (st->write_calls == st->fail_write_call) {
        st->failed_in_call = true;
        if (e) e->tainted = true;
        return st->fail_how == 0 ? 0 : st->fail_how == 1 ? size - 1 : size + 1;
    }
    if (e && !e->tainted) e->pending_writes.emplace_back(data, data + size);
    return size;
}

uint32_t on_aux(bufstream *bs, uint32_t offset, uint32_t id, void *info, uint32_t info_size) {
    Stream *st = reinterpret_cast<Stream *>(bs);
    check(offset == 0 && id == AUX_FRAME_INFO_ID && info_size == 16 && info != nullptr,
          "auxinfo arguments");
    aux_record rec;
    std::memcpy(&rec, info, sizeof rec);
    Expectation *e = st->expect;
    if (!e || e->tainted) return 0;
    std::vector<std::vector<uint8_t>> writes;
    writes.swap(e->pending_writes);
    if (!e->header_seen) {
        check(writes.size() == 1, "stream header not one write", (long long)writes.size());
        check_header(*e, writes[0]);
        check(rec.byte_count == 8 && rec.timestamp == -1, "stream header aux_record",
              rec.byte_count, rec.timestamp);
        e->header_seen = true;
        return 0;
    }
    const Geometry &g = e->geo;
    const int step = g.cadence ? e->step : 0;
    std::vector<uint8_t> frame;
    if (g.layer == 13) {
        check(writes.size() == 2, "HDMV frame not two writes", (long long)writes.size());
        const std::vector<uint8_t> &fh = writes[0];
        check(fh.size() == 4, "HDMV frame header size", (long long)fh.size());
        const uint32_t payload = g.in[0];
        static constexpr uint8_t kAssignment[8] = {0, 3, 0, 4, 0, 8, 0, 10};
        check(fh[0] == (payload >> 8) && fh[1] == (payload & 0xFF), "HDMV payload size");
        check(fh[2] == (kAssignment[e->settings.channels_minus_one] << 4 |
                        (e->sample_rate == 96000 ? 4 : 1)),
              "HDMV channel/rate byte", fh[2]);
        check(fh[3] == ((e->settings.quantization + 1) << 6), "HDMV bits byte", fh[3]);
        frame = writes[1];
        check(frame.size() == payload, "HDMV payload size", (long long)frame.size(), payload);
    } else {
        check(writes.size() == 1, "frame not one write", (long long)writes.size());
        frame = writes[0];
        check(frame.size() == g.out[step], "frame size", (long long)frame.size(), g.out[step]);
    }
    check(rec.byte_count == g.out[step], "aux byte_count", rec.byte_count, g.out[step]);
    int64_t want_time;
    if (g.cadence) {
        want_time = static_cast<int64_t>(e->next_time);
    } else {
        want_time = static_cast<int64_t>(e->lpcm_frames * g.duration[0]);
    }
    check(rec.timestamp == want_time, "timestamp", rec.timestamp, want_time);
    check_frame_content(*e, frame, g.in[step]);
    if (g.cadence) {
        e->next_time += g.duration[step];
        e->step = (e->step + 1) % 5;
    } else {
        ++e->lpcm_frames;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Settings: mostly combinations the library accepts, sometimes anything.

constexpr int kLayers[] = {4, 10, 11, 12, 13};

pcm_a_settings pick_settings(FuzzedDataProvider &in, int32_t &sample_rate) {
    pcm_a_settings s{};
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        s.channels_minus_one = in.ConsumeIntegral<int32_t>();
        s.audio_layer = in.ConsumeIntegral<int32_t>();
        s.emphasis = in.ConsumeIntegral<int32_t>();
        s.mute_flag = in.ConsumeIntegral<int32_t>();
        s.quantization = in.ConsumeIntegral<int32_t>();
        s.dynamic_range = in.ConsumeIntegral<int32_t>();
        sample_rate = in.ConsumeBool() ? in.ConsumeIntegral<int32_t>() : 48000;
        return s;
    }
    s.audio_layer = in.PickValueInArray(kLayers);
    s.channels_minus_one = in.ConsumeIntegralInRange(0, 7);
    s.quantization = in.ConsumeIntegralInRange(0, 2);
    s.emphasis = in.ConsumeIntegralInRange(0, 1);
    s.mute_flag = in.ConsumeIntegralInRange(0, 1);
    s.dynamic_range = in.ConsumeIntegralInRange(-300, 300);
    sample_rate = in.ConsumeBool() ? 48000 : 96000;
    // Nudge towards what the checks admit, so that most runs get to stream.
    if (in.ConsumeIntegralInRange(0, 3) != 0) {
        if (s.audio_layer == 4) {
            s.channels_minus_one &= 1;
            s.quantization = 0;
            if (sample_rate != 48000) s.emphasis = 0;
        } else if (s.audio_layer == 10 || s.audio_layer == 13) {
            s.channels_minus_one |= 1;
        } else if (s.audio_layer == 11 && s.quantization == 0) {
            s.quantization = 2;
        }
    }
    return s;
}

bool settings_valid(const pcm_a_settings &s, int32_t rate) {
    const int L = s.audio_layer, c = s.channels_minus_one, q = s.quantization;
    if (L != 4 && L != 10 && L != 11 && L != 12 && L != 13) return false;
    if (rate != 48000 && rate != 96000) return false;
    if (c < 0 || c > 7) return false;
    if ((L == 10 || L == 13) && c % 2 == 0) return false;
    if (L == 4) {
        if (q != 0 || c > 1) return false;
        if (s.mute_flag < 0 || s.mute_flag > 1) return false;
        if (s.emphasis < 0 || s.emphasis > 1) return false;
        if (s.emphasis == 1 && rate != 48000) return false;
        return true;
    }
    if (L == 11) return q == 1 || q == 2;
    return q >= 0 && q <= 2;
}

// ---------------------------------------------------------------------------

enum Op : uint8_t { kNew, kInit, kPut, kDone, kFree, kFailMalloc, kFailWrite, kOpCount };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    g_host = HostState{};
    const uint8_t host_mode = in.ConsumeIntegral<uint8_t>();
    const bool null_lookup = (host_mode & 0x0F) == 0x0F;
    g_host.supply_allocator = (host_mode & 1) == 0 || null_lookup;
    g_host.supply_err = (host_mode & 2) == 0;
    g_host.supply_wrn = (host_mode & 4) == 0;
    g_host.supply_inf = (host_mode & 8) == 0;
    // Blocks are counted when they go through the host's pair; with a null
    // lookup the C library's pair is used and LeakSanitizer does the counting.
    const bool counted = g_host.supply_allocator && !null_lookup;
    const int slot_count = (host_mode & 0x10) ? 2 : 1;

    // One encoder per slot, each with its own stream and expectation.
    struct Slot {
        Stream stream;
        Expectation expect;
        pcm_a_encoder *enc = nullptr;
        bool initialised = false;  // the last Init succeeded and no Done since
    };
    Slot slots[2];
    for (Slot &slot : slots) {
        slot.stream.bs.write_bytes = on_write;
        slot.stream.bs.auxinfo = on_aux;
    }
    std::vector<uint8_t> buffer;
    uint32_t seed = 0x9E3779B9u;
    uint32_t audio_budget = 512 * 1024;

    for (int ops = 0; ops < 64 && in.remaining_bytes() > 0; ++ops) {
        const int which = slot_count == 2 && in.ConsumeBool() ? 1 : 0;
        Slot &slot = slots[which];
        Stream &stream = slot.stream;
        Expectation &expect = slot.expect;
        pcm_a_encoder *&enc = slot.enc;
        bool &initialised = slot.initialised;
        g_host.owner = which;
        const Op op = static_cast<Op>(in.ConsumeIntegralInRange<int>(0, kOpCount - 1));
        stream.failed_in_call = false;
        g_host.malloc_failed = false;
        switch (op) {
        case kNew: {
            if (enc) break;  // one encoder at a time; the host owns the old one
            int32_t rate = 48000;
            const pcm_a_settings s = pick_settings(in, rate);
            int32_t frc = in.ConsumeIntegralInRange(0, 9);
            if (in.ConsumeIntegralInRange(0, 15) == 0) frc = in.ConsumeIntegral<int32_t>();
            const int32_t flags = in.ConsumeBool() ? in.ConsumeIntegral<int32_t>()
                                                   : in.ConsumeIntegralInRange(0, 1);
            const size_t live_before = g_host.held_by(which);
            const bool null_settings = in.ConsumeIntegralInRange(0, 31) == 0;
            enc = pcmOutAudioNew(null_lookup ? nullptr : host_lookup, null_settings ? nullptr : &s,
                                 flags, frc, rate);
            const bool aes3 = s.audio_layer != 4 && s.audio_layer != 13;
            const bool acceptable = !null_settings && settings_valid(s, rate) &&
                                    !(aes3 && (frc < 1 || frc > 8));
            if (enc) {
                check(acceptable, "New accepted what it should refuse", s.audio_layer, frc);
            } else {
                check(!acceptable || g_host.malloc_failed, "New refused valid settings",
                      s.audio_layer, frc);
                if (counted) check(g_host.held_by(which) == live_before, "refused New kept memory");
            }
            initialised = false;
            if (enc) {
                expect = Expectation{};
                expect.settings = s;
                expect.input_flags = flags;
                expect.frame_rate_code = frc;
                expect.sample_rate = rate;
                expect.geo = geometry_for(s, frc, rate);
                stream.expect = &expect;
            }
            break;
        }
        case kInit: {
            const bool null_stream = in.ConsumeIntegralInRange(0, 15) == 0;
            const int32_t r = pcmOutAudioInit(enc, null_stream ? nullptr : &stream.bs);
            if (!enc || null_stream) {
                check(r == 1, "Init without encoder or stream did not fail");
                break;
            }
            check(r == (g_host.malloc_failed ? 1 : 0), "Init result", r, g_host.malloc_failed);
            initialised = r == 0;
            // Init starts a new frame count and drops a partial frame.
            expect.lpcm_frames = 0;
            expect.fed.clear();
            expect.fed_used = 0;
            if (counted && enc) {
                const size_t want = r ? 1 : (expect.geo.cadence ? 3 : 2);
                check(g_host.held_by(which) == want, "blocks held after Init",
                      (long long)g_host.held_by(which), (long long)want);
            }
            break;
        }
        case kPut: {
            const int mode = in.ConsumeIntegralInRange(0, 5);
            uint32_t n;
            const uint32_t frame = expect.geo.in[expect.geo.cadence ? expect.step : 0];
            switch (mode) {
            case 0: n = 0; break;
            case 1: n = in.ConsumeIntegralInRange<uint32_t>(1, 16); break;
            case 2: n = in.ConsumeIntegralInRange<uint32_t>(1, 4096); break;
            case 3:
                n = frame + static_cast<uint32_t>(in.ConsumeIntegralInRange<int>(-3, 3));
                if (n > 400000) n = 0;
                break;
            case 4: n = in.ConsumeIntegralInRange<uint32_t>(1, 3) * frame; break;
            default: n = in.ConsumeIntegralInRange<uint32_t>(0, 100000); break;
            }
            // Keep each input quick: a few hundred kilobytes of audio at most.
            if (n > audio_budget) n = audio_budget;
            audio_budget -= n;
            buffer.resize(n);
            seed = seed * 1664525u + 1013904223u + in.ConsumeIntegral<uint8_t>();
            uint32_t x = seed;
            for (uint32_t i = 0; i < n; ++i) {
                x ^= x << 13; x ^= x >> 17; x ^= x << 5;
                buffer[i] = static_cast<uint8_t>(x);
            }
            const std::vector<uint8_t> before = buffer;
            const bool null_data = n == 0 ? in.ConsumeBool() : in.ConsumeIntegralInRange(0, 63) == 0;
            // Frames are checked while the call runs, so the audio is on
            // record before it; a refused call writes nothing to check.
            const bool accepted = enc && initialised && !(null_data && n != 0);
            if (accepted) expect.fed.insert(expect.fed.end(), buffer.begin(), buffer.end());
            const int32_t r = pcmOutAudioPutBytes(enc, null_data ? nullptr : buffer.data(), n);
            check(buffer == before, "PutBytes wrote into the caller's buffer");
            if (!accepted) {
                check(r == 1, "PutBytes without an initialised encoder or data did not fail");
                break;
            }
            check(r == (stream.failed_in_call ? 1 : 0), "PutBytes result", r, stream.failed_in_call);
            break;
        }
        case kDone: {
            const int32_t abort_flag = in.ConsumeBool() ? 0 : in.ConsumeIntegral<int32_t>();
            const int32_t r = pcmOutAudioDone(enc, abort_flag);
            if (!enc) {
                check(r == 1, "Done on null did not fail");
                break;
            }
            check(r == (stream.failed_in_call ? 1 : 0), "Done result", r, stream.failed_in_call);
            if (abort_flag != 0) check(!stream.failed_in_call, "aborting Done wrote");
            if (counted) {
                check(g_host.held_by(which) == 1, "blocks held after Done",
                      (long long)g_host.held_by(which));
            }
            initialised = false;
            break;
        }
        case kFree: {
            pcmOutAudioFree(enc);
            enc = nullptr;
            initialised = false;
            stream.expect = nullptr;
            if (counted) {
                check(g_host.held_by(which) == 0, "blocks held after Free",
                      (long long)g_host.held_by(which));
            }
            break;
        }
        case kFailMalloc:
            g_host.fail_malloc_call = g_host.malloc_calls + in.ConsumeIntegralInRange(1, 3);
            break;
        case kFailWrite: {
            stream.fail_write_call = stream.write_calls + in.ConsumeIntegralInRange(1, 8);
            stream.fail_how = in.ConsumeIntegralInRange(0, 2);
            break;
        }
        default: break;
        }
    }
    // The host tidies up as a careful one would: Done, then Free.
    for (int which = 0; which < slot_count; ++which) {
        Slot &slot = slots[which];
        if (!slot.enc) continue;
        g_host.owner = which;
        slot.stream.failed_in_call = false;
        const int32_t r = pcmOutAudioDone(slot.enc, 0);
        check(r == (slot.stream.failed_in_call ? 1 : 0), "final Done result", r);
        pcmOutAudioFree(slot.enc);
    }
    if (counted) {
        check(g_host.live.empty(), "blocks held at the end", (long long)g_host.live.size());
    }
    return 0;
}
