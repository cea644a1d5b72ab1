// SPDX-License-Identifier: BSD-2-Clause
#include "format/stream_format.h"

#include "format/frame_headers.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace pcmpack_format {

namespace {

using S = Speaker;

struct LayerRow {
    int layer;
    const char *name;
};

constexpr LayerRow kLayers[] = {
    {kLayerDvd, "DVD LPCM"},
    {kLayer302m, "SMPTE 302M"},
    {kLayerD10, "D-10 AES3"},
    {kLayerPlanar, "planar AES3"},
    {kLayerHdmv, "HDMV LPCM"},
};

// MPEG frame_rate_code order. Only the 1001 rates 30000/1001 and 60000/1001
// vary from frame to frame: five frames of them hold 8008 and 4004 samples.
constexpr FrameRate kFrameRates[] = {
    {1, 24000, 1001, "24000/1001", "23.976", {2002, 2002, 2002, 2002, 2002}},
    {2, 24, 1, "24", "", {2000, 2000, 2000, 2000, 2000}},
    {3, 25, 1, "25", "", {1920, 1920, 1920, 1920, 1920}},
    {4, 30000, 1001, "30000/1001", "29.97", {1602, 1601, 1602, 1601, 1602}},
    {5, 30, 1, "30", "", {1600, 1600, 1600, 1600, 1600}},
    {6, 50, 1, "50", "", {960, 960, 960, 960, 960}},
    {7, 60000, 1001, "60000/1001", "59.94", {801, 801, 800, 801, 801}},
    {8, 60, 1, "60", "", {800, 800, 800, 800, 800}},
};

constexpr bool cadence_matches_rate(const FrameRate &r) {
    int sum = 0;
    for (int p : r.periods) sum += p;
    return int64_t{sum} * r.num == int64_t{kAes3SampleRate} * kCadenceSteps * r.den;
}
static_assert(cadence_matches_rate(kFrameRates[0]) && cadence_matches_rate(kFrameRates[3]) &&
                  cadence_matches_rate(kFrameRates[6]) && cadence_matches_rate(kFrameRates[7]),
              "five frames of a cadence hold exactly five frames' time of 48 kHz samples");

// The library writes 2.0, 3/0, 3/2 and 3/4; mono, 5.1 and 7.1 have the same
// frame geometry as 2.0, 3/2 and 3/4, with the padding slot carrying the
// LFE (or, for mono, the padding after the one channel). The coded orders
// are those libavcodec's HDMV decoder and mkvmerge both read: LFE comes
// last, and the 3/4 layouts carry side left before the back pair and side
// right after it.
constexpr HdmvLayout kHdmvLayouts[] = {
    {"mono", 1, 3, 2, {S::fc, S::pad}},
    {"2.0", 3, 3, 2, {S::fl, S::fr}},
    {"3/0", 4, 4, 4, {S::fl, S::fr, S::fc, S::pad}},
    {"3/2", 8, 8, 6, {S::fl, S::fr, S::fc, S::ls, S::rs, S::pad}},
    {"5.1", 9, 8, 6, {S::fl, S::fr, S::fc, S::ls, S::rs, S::lfe}},
    {"3/4", 10, 10, 8, {S::fl, S::fr, S::fc, S::sl, S::bl, S::br, S::sr, S::pad}},
    {"7.1", 11, 10, 8, {S::fl, S::fr, S::fc, S::sl, S::bl, S::br, S::sr, S::lfe}},
};

bool fault(HeaderFault *f, size_t offset, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
bool fault(HeaderFault *f, size_t offset, const char *format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    f->offset = offset;
    f->text = text;
    return false;
}

// The fields of each layer's header bytes 4 and 5, as they are coded.
void read_dvd_fields(const uint8_t *h, StreamParams *p) {
    const uint8_t b4 = h[4];
    p->sample_rate = (b4 & 0x01) ? 96000 : 48000;
    p->emphasis = (b4 >> 1) & 1;
    p->channels = ((b4 >> 2) & 7) + 1;
    p->bits = word_length_bits((b4 >> 5) & 3);
    p->mute = (b4 >> 7) & 1;
    p->dynamic_range = h[5];
}

void read_hdmv_fields(const uint8_t *h, StreamParams *p) {
    const uint8_t b5 = h[5];
    p->sample_rate = ((b5 >> 5) & 3) ? 96000 : 48000;
    p->bits = word_length_bits((b5 >> 3) & 3);
    p->channels = (b5 & 7) + 1;
}

void read_aes3_fields(const uint8_t *h, StreamParams *p) {
    const uint8_t b5 = h[5];
    p->frame_rate_code = (b5 >> 5) + 1;
    p->bits = word_length_bits((b5 >> 3) & 3);
    p->channels = (b5 & 7) + 1;
    p->sample_rate = kAes3SampleRate;
}

// What each layer carries, checked on the parameters; the fault names the
// header byte that codes the field.
bool check_dvd(const StreamParams &p, HeaderFault *f) {
    if (p.channels < 1 || p.channels > 2)
        return fault(f, 4, "DVD LPCM stream header codes %d channels, at most 2", p.channels);
    if (p.bits != 16)
        return fault(f, 4, "DVD LPCM stream header codes quantization %d, only 16 bits", word_length_code(p.bits));
    if (p.sample_rate != 48000 && p.sample_rate != 96000)
        return fault(f, 4, "DVD LPCM stream header codes %d Hz, not 48000 or 96000", p.sample_rate);
    if (p.emphasis && p.sample_rate != 48000)
        return fault(f, 4, "DVD LPCM stream header sets emphasis at 96000 Hz");
    return true;
}

bool check_hdmv(const StreamParams &p, HeaderFault *f) {
    if (p.sample_rate != 48000 && p.sample_rate != 96000)
        return fault(f, 5, "HDMV stream header codes sample rate %d, not 0 or 1", p.sample_rate / 48000);
    if (p.bits != 16 && p.bits != 20 && p.bits != 24)
        return fault(f, 5, "HDMV stream header codes quantization %d", word_length_code(p.bits));
    if (!hdmv_layout_of_coded(p.channels))
        return fault(f, 5, "HDMV stream header codes %d channels, not 2, 4, 6 or 8", p.channels);
    return true;
}

bool check_aes3(const StreamParams &p, HeaderFault *f) {
    const bool any_length = p.layer == kLayer302m && p.frame_rate_code == kNoFrameRate;
    if (!any_length && !frame_rate(p.frame_rate_code))
        return fault(f, 5, "AES3 stream header codes frame rate code %d, not 1 to 8", p.frame_rate_code);
    if (p.bits != 16 && p.bits != 20 && p.bits != 24)
        return fault(f, 5, "AES3 stream header codes quantization %d", word_length_code(p.bits));
    if (p.channels < 1 || p.channels > 8 || p.sample_rate != kAes3SampleRate)
        return fault(f, 5, "AES3 stream header codes %d channels at %d Hz", p.channels, p.sample_rate);
    if (p.layer == kLayer302m && p.channels % 2 != 0)
        return fault(f, 5, "SMPTE 302M stream header codes %d channels, not 2, 4, 6 or 8", p.channels);
    if (p.layer == kLayerD10 && p.bits == 16)
        return fault(f, 5, "D-10 stream header codes 16 bits, only 20 or 24 are carried");
    return true;
}

}  // namespace

bool is_aes3(int layer) { return layer == kLayer302m || layer == kLayerD10 || layer == kLayerPlanar; }

const char *layer_name(int layer) {
    for (const LayerRow &l : kLayers)
        if (l.layer == layer) return l.name;
    return "unknown layer";
}

const FrameRate *frame_rate(int code) {
    for (const FrameRate &r : kFrameRates)
        if (r.code == code) return &r;
    return nullptr;
}
const FrameRate *frame_rates_begin() { return std::begin(kFrameRates); }
const FrameRate *frame_rates_end() { return std::end(kFrameRates); }

bool decode_stream_header(const uint8_t h[kStreamHeaderBytes], StreamParams *p, HeaderFault *f) {
    *p = StreamParams{};
    if (std::memcmp(h, "LPCM", 4) == 0) {
        p->layer = kLayerDvd;
    } else if (std::memcmp(h, "HDMV", 4) == 0) {
        if (h[4] != kLayerHdmv) return fault(f, 4, "HDMV stream header byte 4 is %d, not the layer 13", h[4]);
        p->layer = kLayerHdmv;
    } else if (std::memcmp(h, "AES3", 4) == 0) {
        if (!is_aes3(h[4])) return fault(f, 4, "AES3 stream header names layer %d, not 10, 11 or 12", h[4]);
        p->layer = h[4];
    } else {
        return fault(f, 0, "unknown stream tag %02X %02X %02X %02X", h[0], h[1], h[2], h[3]);
    }
    if (h[6] != 0 || h[7] != 0)
        return fault(f, h[6] != 0 ? 6 : 7, "stream header bytes 6-7 are %02X %02X, not zero", h[6], h[7]);
    switch (p->layer) {
    case kLayerDvd: read_dvd_fields(h, p); break;
    case kLayerHdmv:
        // Bit 7 and the rate codes 2 and 3 have no field to land in.
        if (h[5] & 0x80) return fault(f, 5, "HDMV stream header byte 5 has bit 7 set");
        if (((h[5] >> 5) & 3) > 1)
            return fault(f, 5, "HDMV stream header codes sample rate %d, not 0 or 1", (h[5] >> 5) & 3);
        read_hdmv_fields(h, p);
        break;
    default: read_aes3_fields(h, p); break;
    }
    return check_stream_params(*p, f);
}

bool check_stream_params(const StreamParams &p, HeaderFault *f) {
    switch (p.layer) {
    case kLayerDvd: return check_dvd(p, f);
    case kLayerHdmv: return check_hdmv(p, f);
    case kLayer302m:
    case kLayerD10:
    case kLayerPlanar: return check_aes3(p, f);
    default: return fault(f, 4, "layer %d has no stream of its own", p.layer);
    }
}

void encode_stream_header(const StreamParams &p, uint8_t h[kStreamHeaderBytes]) {
    std::memset(h, 0, kStreamHeaderBytes);
    const int channels_minus_one = p.channels - 1;
    const int quantization = word_length_code(p.bits);
    if (p.layer == kLayerDvd) {
        std::memcpy(h, "LPCM", 4);
        h[4] = static_cast<uint8_t>(p.mute << 7 | quantization << 5 | channels_minus_one << 2 |
                                    p.emphasis << 1 | (p.sample_rate == 96000 ? 1 : 0));
        h[5] = static_cast<uint8_t>(p.dynamic_range);
    } else if (p.layer == kLayerHdmv) {
        std::memcpy(h, "HDMV", 4);
        h[4] = kLayerHdmv;
        h[5] = static_cast<uint8_t>((p.sample_rate == 96000 ? 1 : 0) << 5 | quantization << 3 |
                                    channels_minus_one);
    } else {
        std::memcpy(h, "AES3", 4);
        h[4] = static_cast<uint8_t>(p.layer);
        h[5] = static_cast<uint8_t>((p.frame_rate_code - 1) << 5 | quantization << 3 | channels_minus_one);
    }
}

int cadence_steps(const StreamParams &p) {
    return is_aes3(p.layer) && p.frame_rate_code != kNoFrameRate ? kCadenceSteps : 1;
}

uint32_t period_bytes(const StreamParams &p) {
    // One 302M group per channel pair: two samples and their four flag bits each.
    if (p.layer == kLayer302m)
        return static_cast<uint32_t>(p.channels / 2) * ((2u * static_cast<uint32_t>(p.bits) + 8u) / 8u);
    return (p.bits == 16 ? 2u : 3u) * static_cast<uint32_t>(p.channels);
}

uint32_t frame_periods(const StreamParams &p, int step) {
    switch (p.layer) {
    case kLayerDvd: return p.sample_rate == 48000 ? 80u : 160u;
    case kLayerHdmv: return p.sample_rate == 48000 ? 240u : 480u;
    default: {
        const FrameRate *rate = frame_rate(p.frame_rate_code);
        return rate ? static_cast<uint32_t>(rate->periods[step % kCadenceSteps]) : 0u;
    }
    }
}

uint32_t frame_bytes(const StreamParams &p, int step) {
    const uint32_t periods = frame_periods(p, step);
    switch (p.layer) {
    case kLayerDvd: return periods * period_bytes(p);
    case kLayerHdmv: return kFrameHeaderBytes + periods * period_bytes(p);
    case kLayer302m: return kFrameHeaderBytes + periods * period_bytes(p);
    // D-10 always carries eight 4-byte channel words per sample period.
    case kLayerD10: return kFrameHeaderBytes + periods * 32u;
    default: return periods * period_bytes(p);
    }
}

int64_t frame_timestamp(const StreamParams &p, int64_t index) {
    switch (p.layer) {
    case kLayerDvd: return index * kDvdFrameTicks;
    case kLayerHdmv: return index * kHdmvFrameTicks;
    default: {
        // 27 MHz / 48 kHz = 562.5 ticks a sample period: whole cadences in
        // exact integers, the rest summed step by step.
        const FrameRate *rate = frame_rate(p.frame_rate_code);
        if (!rate) return 0;
        int64_t periods = 0;
        for (int step = 0; step < kCadenceSteps; ++step) periods += rate->periods[step];
        periods *= index / kCadenceSteps;
        for (int step = 0; step < index % kCadenceSteps; ++step) periods += rate->periods[step];
        return periods * 1125 / 2;
    }
    }
}

const HdmvLayout *hdmv_layouts_begin() { return std::begin(kHdmvLayouts); }
const HdmvLayout *hdmv_layouts_end() { return std::end(kHdmvLayouts); }

const HdmvLayout *hdmv_layout_of_assignment(int assignment) {
    for (const HdmvLayout &l : kHdmvLayouts)
        if (l.assignment == assignment) return &l;
    return nullptr;
}

const HdmvLayout *hdmv_layout_of_coded(int coded_channels) {
    for (const HdmvLayout &l : kHdmvLayouts)
        if (l.coded_channels == coded_channels && l.assignment == l.library_assignment) return &l;
    return nullptr;
}

const HdmvLayout *hdmv_layout_named(const char *name) {
    for (const HdmvLayout &l : kHdmvLayouts)
        if (std::strcmp(l.name, name) == 0) return &l;
    return nullptr;
}

}  // namespace pcmpack_format
