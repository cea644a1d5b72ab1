// Walks a pcmpack output stream frame by frame. Every field is checked
// against what the stream header promises before the payload is touched,
// and every read is bounded by the frame size checked against the bytes that
// remain, so no input can make the reader look outside the buffer.
#include "stream_reader.h"

#include <cstdarg>
#include <cstdio>

namespace pcmpack_reader {
namespace {

constexpr int kStreamHeaderBytes = 8;
constexpr int kFrameHeaderBytes = 4;

// Sample periods per AES3 frame for each MPEG frame rate code 1..8, one
// entry per cadence step. Only the 1001 rates 30000/1001 and 60000/1001 need
// a five-frame cadence to hold a whole number of 48 kHz samples.
struct Cadence {
    int samples[5];
};
constexpr Cadence kAes3Cadence[9] = {
    {{0, 0, 0, 0, 0}},                 // no code 0
    {{2002, 2002, 2002, 2002, 2002}},  // 24000/1001
    {{2000, 2000, 2000, 2000, 2000}},  // 24
    {{1920, 1920, 1920, 1920, 1920}},  // 25
    {{1602, 1601, 1602, 1601, 1602}},  // 30000/1001
    {{1600, 1600, 1600, 1600, 1600}},  // 30
    {{960, 960, 960, 960, 960}},       // 50
    {{801, 801, 800, 801, 801}},       // 60000/1001
    {{800, 800, 800, 800, 800}},       // 60
};

// 27 MHz ticks per 48 kHz sample period.
constexpr double kTicksPerAes3Sample = 27000000.0 / 48000.0;
constexpr int64_t kDvdFrameTicks = 45000;    // 1/600 s
constexpr int64_t kHdmvFrameTicks = 135000;  // 1/200 s

// HDMV channel assignment code by channels_minus_one (only odd values, that
// is 2, 4, 6 or 8 channels, are coded), 0 = not codable; and the code of the
// layout with the same frame geometry whose last coded channel is not
// padding but LFE (9 5.1, 11 7.1), or mono (1) in the channels of 2.0.
constexpr int kHdmvAssignment[8] = {0, 3, 0, 4, 0, 8, 0, 10};
constexpr int kHdmvSameGeometry[8] = {0, 1, 0, 0, 0, 9, 0, 11};

// Samples held left-justified in 32 bits, from their bytes most significant
// first (hi, mid, lo) however the layout orders them.
inline uint32_t justify16(uint8_t hi, uint8_t lo) {
    return static_cast<uint32_t>(hi) << 24 | static_cast<uint32_t>(lo) << 16;
}
inline uint32_t justify24(uint8_t hi, uint8_t mid, uint8_t lo) {
    return justify16(hi, mid) | static_cast<uint32_t>(lo) << 8;
}

class Reader {
public:
    Reader(const uint8_t *data, size_t size, bool want_samples, ReadResult &result)
        : data_(data), size_(size), want_(want_samples), r_(result) {}

    void run();

private:
    // Records the first inconsistency; always returns false.
    bool fail(uint64_t offset, const char *format, ...) __attribute__((format(printf, 3, 4)));

    bool read_stream_header();
    bool read_dvd_header();
    bool read_hdmv_header();
    bool read_aes3_header();

    // Checks that a frame of `size` bytes fits at `offset`.
    bool frame_fits(uint64_t offset, uint64_t size);

    void read_dvd_frames();
    void read_hdmv_frames();
    void read_aes3_frames();
    bool read_302m_frame(uint64_t offset, int step, int samples, uint64_t *size);
    bool read_d10_frame(uint64_t offset, int step, int samples, uint64_t *size);
    bool read_planar_frame(uint64_t offset, int samples, uint64_t *size);

    void push(uint32_t left_justified) {
        r_.samples.push_back(static_cast<int32_t>(left_justified));
    }

    const uint8_t *data_;
    size_t size_;
    bool want_;
    ReadResult &r_;
};

bool Reader::fail(uint64_t offset, const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    r_.ok = false;
    r_.error = text;
    r_.error_offset = offset;
    return false;
}

bool Reader::frame_fits(uint64_t offset, uint64_t size) {
    if (size_ - offset < size) {
        return fail(offset, "truncated frame: %llu bytes expected, %llu left",
                    static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>(size_ - offset));
    }
    return true;
}

void Reader::run() {
    if (!read_stream_header()) return;
    r_.ok = true;
    switch (r_.info.layer) {
    case 4: read_dvd_frames(); break;
    case 13: read_hdmv_frames(); break;
    default: read_aes3_frames(); break;
    }
}

bool Reader::read_stream_header() {
    if (size_ < kStreamHeaderBytes) {
        return fail(0, "truncated stream header: %zu of 8 bytes", size_);
    }
    for (int i = 0; i < kStreamHeaderBytes; ++i) r_.info.header[i] = data_[i];
    const uint8_t *h = data_;
    if (h[0] == 'L' && h[1] == 'P' && h[2] == 'C' && h[3] == 'M') {
        r_.info.layer = 4;
    } else if (h[0] == 'H' && h[1] == 'D' && h[2] == 'M' && h[3] == 'V') {
        r_.info.layer = 13;
    } else if (h[0] == 'A' && h[1] == 'E' && h[2] == 'S' && h[3] == '3') {
        if (h[4] < 10 || h[4] > 12) {
            return fail(4, "AES3 stream header names layer %d, not 10, 11 or 12", h[4]);
        }
        r_.info.layer = h[4];
    } else {
        return fail(0, "unknown stream tag %02X %02X %02X %02X", h[0], h[1], h[2], h[3]);
    }
    if (h[6] != 0 || h[7] != 0) {
        return fail(h[6] != 0 ? 6 : 7, "stream header bytes 6-7 are %02X %02X, not zero", h[6],
                    h[7]);
    }
    switch (r_.info.layer) {
    case 4: return read_dvd_header();
    case 13: return read_hdmv_header();
    default: return read_aes3_header();
    }
}

bool Reader::read_dvd_header() {
    const uint8_t b4 = data_[4];
    StreamInfo &info = r_.info;
    info.sample_rate = (b4 & 0x01) ? 96000 : 48000;
    info.emphasis = (b4 >> 1) & 1;
    info.channels = ((b4 >> 2) & 7) + 1;
    const int quantization = (b4 >> 5) & 3;
    info.mute = (b4 >> 7) & 1;
    info.dynamic_range = data_[5];
    info.bits = 16;
    if (info.channels > 2) {
        return fail(4, "DVD LPCM stream header codes %d channels, at most 2", info.channels);
    }
    if (quantization != 0) {
        return fail(4, "DVD LPCM stream header codes quantization %d, only 16 bits", quantization);
    }
    if (info.emphasis && info.sample_rate != 48000) {
        return fail(4, "DVD LPCM stream header sets emphasis at 96000 Hz");
    }
    return true;
}

bool Reader::read_hdmv_header() {
    StreamInfo &info = r_.info;
    if (data_[4] != 13) {
        return fail(4, "HDMV stream header byte 4 is %d, not the layer 13", data_[4]);
    }
    const uint8_t b5 = data_[5];
    if (b5 & 0x80) return fail(5, "HDMV stream header byte 5 has bit 7 set");
    const int rate = (b5 >> 5) & 3;
    if (rate > 1) return fail(5, "HDMV stream header codes sample rate %d, not 0 or 1", rate);
    info.sample_rate = rate ? 96000 : 48000;
    const int quantization = (b5 >> 3) & 3;
    if (quantization > 2) return fail(5, "HDMV stream header codes quantization 3");
    info.bits = 16 + 4 * quantization;
    const int channels_minus_one = b5 & 7;
    if (kHdmvAssignment[channels_minus_one] == 0) {
        return fail(5, "HDMV stream header codes %d channels, not 2, 4, 6 or 8",
                    channels_minus_one + 1);
    }
    info.channels = channels_minus_one + 1;
    return true;
}

bool Reader::read_aes3_header() {
    StreamInfo &info = r_.info;
    const uint8_t b5 = data_[5];
    info.frame_rate_code = (b5 >> 5) + 1;
    const int quantization = (b5 >> 3) & 3;
    info.channels = (b5 & 7) + 1;
    info.sample_rate = 48000;
    if (quantization > 2) return fail(5, "AES3 stream header codes quantization 3");
    info.bits = 16 + 4 * quantization;
    if (info.layer == 10 && info.channels % 2 != 0) {
        return fail(5, "SMPTE 302M stream header codes %d channels, not 2, 4, 6 or 8",
                    info.channels);
    }
    if (info.layer == 11 && quantization == 0) {
        return fail(5, "D-10 stream header codes 16 bits, only 20 or 24 are carried");
    }
    return true;
}

void Reader::read_dvd_frames() {
    const int channels = r_.info.channels;
    const uint64_t frame_size = (r_.info.sample_rate == 48000 ? 80u : 160u) * 2u * channels;
    uint64_t offset = kStreamHeaderBytes;
    for (int64_t k = 0; offset < size_; ++k) {
        if (!frame_fits(offset, frame_size)) return;
        const uint8_t *p = data_ + offset;
        if (want_) {
            for (uint64_t i = 0; i < frame_size; i += 2) {
                push(justify16(p[i], p[i + 1]));
            }
        }
        FrameInfo frame;
        frame.offset = offset;
        frame.size = static_cast<uint32_t>(frame_size);
        frame.sample_periods = static_cast<uint32_t>(frame_size / 2 / channels);
        frame.timestamp = k * kDvdFrameTicks;
        r_.frames.push_back(frame);
        offset += frame_size;
    }
}

void Reader::read_hdmv_frames() {
    const StreamInfo &info = r_.info;
    const uint32_t periods = info.sample_rate == 48000 ? 240 : 480;
    const uint32_t width = info.bits == 16 ? 2 : 3;
    const uint32_t payload = periods * width * info.channels;
    const int assignment = kHdmvAssignment[info.channels - 1];
    const int same_geometry = kHdmvSameGeometry[info.channels - 1];
    const int frequency = info.sample_rate == 48000 ? 1 : 4;
    const int bits_code = (info.bits - 12) / 4;  // 16 -> 1, 20 -> 2, 24 -> 3
    uint64_t offset = kStreamHeaderBytes;
    for (int64_t k = 0; offset < size_; ++k) {
        if (!frame_fits(offset, kFrameHeaderBytes)) return;
        const uint8_t *h = data_ + offset;
        const uint32_t coded_size = static_cast<uint32_t>(h[0]) << 8 | h[1];
        if (coded_size != payload) {
            fail(offset, "HDMV frame header gives payload size %u, the stream header implies %u",
                 coded_size, payload);
            return;
        }
        const int code = h[2] >> 4;
        if (info.hdmv_assignment == 0 && code != assignment && code != same_geometry) {
            if (same_geometry)
                fail(offset + 2,
                     "HDMV frame header channel assignment %d, expected %d or %d for %d channels",
                     code, assignment, same_geometry, info.channels);
            else
                fail(offset + 2, "HDMV frame header channel assignment %d, expected %d for %d channels",
                     code, assignment, info.channels);
            return;
        }
        if (info.hdmv_assignment != 0 && code != info.hdmv_assignment) {
            fail(offset + 2, "HDMV frame header channel assignment %d, the first frame has %d",
                 code, info.hdmv_assignment);
            return;
        }
        r_.info.hdmv_assignment = code;
        if ((h[2] & 15) != frequency) {
            fail(offset + 2, "HDMV frame header sampling frequency code %d, expected %d", h[2] & 15,
                 frequency);
            return;
        }
        if ((h[3] >> 6) != bits_code || (h[3] & 0x3F) != 0) {
            fail(offset + 3, "HDMV frame header byte 3 is %02X, expected %02X", h[3],
                 bits_code << 6);
            return;
        }
        if (!frame_fits(offset, kFrameHeaderBytes + payload)) return;
        const uint8_t *p = h + kFrameHeaderBytes;
        if (want_) {
            for (uint32_t i = 0; i < payload; i += width) {
                push(width == 2 ? justify16(p[i], p[i + 1]) : justify24(p[i], p[i + 1], p[i + 2]));
            }
        }
        FrameInfo frame;
        frame.offset = offset;
        frame.size = kFrameHeaderBytes + payload;
        frame.sample_periods = periods;
        frame.timestamp = k * kHdmvFrameTicks;
        r_.frames.push_back(frame);
        offset += frame.size;
    }
}

void Reader::read_aes3_frames() {
    const Cadence &cadence = kAes3Cadence[r_.info.frame_rate_code];
    double next_timestamp = 0.0;
    uint64_t offset = kStreamHeaderBytes;
    for (int step = 0; offset < size_; step = (step + 1) % 5) {
        const int samples = cadence.samples[step];
        uint64_t size = 0;
        bool good = false;
        const size_t samples_before = r_.samples.size();
        switch (r_.info.layer) {
        case 10: good = read_302m_frame(offset, step, samples, &size); break;
        case 11: good = read_d10_frame(offset, step, samples, &size); break;
        default: good = read_planar_frame(offset, samples, &size); break;
        }
        if (!good) {
            // A frame that fails partway leaves none of its samples behind:
            // the samples always belong to the frames listed.
            r_.samples.resize(samples_before);
            return;
        }
        FrameInfo frame;
        frame.offset = offset;
        frame.size = static_cast<uint32_t>(size);
        frame.sample_periods = static_cast<uint32_t>(samples);
        frame.cadence_step = step;
        frame.timestamp = static_cast<int64_t>(next_timestamp);
        r_.frames.push_back(frame);
        // The running sum keeps the half ticks of the 1001 rates; only the
        // stamp handed out is truncated.
        next_timestamp += samples * kTicksPerAes3Sample;
        offset += size;
    }
}

// A 302M group is one bit string per channel pair: the first sample's N
// bits least significant first, the nibble 1 0 0 b, the second sample's N
// bits, the nibble 1 0 0 0; sent most significant bit first into bytes.
// Reversing the whole string turns it into a number whose bit 0 is the
// first bit sent, so each field lies in plain ascending bits.
bool Reader::read_302m_frame(uint64_t offset, int step, int samples, uint64_t *size) {
    const StreamInfo &info = r_.info;
    const int pairs = info.channels / 2;
    const int n = info.bits;
    const int group_bits = 2 * n + 8;
    const int group_bytes = group_bits / 8;
    const uint32_t payload = static_cast<uint32_t>(samples) * pairs * group_bytes;
    if (!frame_fits(offset, kFrameHeaderBytes)) return false;
    const uint8_t *h = data_ + offset;
    const uint32_t coded_size = static_cast<uint32_t>(h[0]) << 8 | h[1];
    if (coded_size != payload) {
        return fail(offset,
                    "302M header gives payload size %u, cadence step %d of frame rate code %d "
                    "implies %u",
                    coded_size, step, info.frame_rate_code, payload);
    }
    if ((h[2] >> 6) != pairs - 1 || (h[2] & 0x3F) != 0) {
        return fail(offset + 2, "302M header byte 2 is %02X, expected %02X for %d channels", h[2],
                    (pairs - 1) << 6, info.channels);
    }
    if (h[3] != ((n - 16) / 4) << 4) {
        return fail(offset + 3, "302M header byte 3 is %02X, expected %02X for %d bits", h[3],
                    ((n - 16) / 4) << 4, n);
    }
    if (!frame_fits(offset, kFrameHeaderBytes + payload)) return false;
    const uint8_t *p = h + kFrameHeaderBytes;
    const uint64_t sample_mask = (uint64_t{1} << n) - 1;
    for (int group = 0; group < samples * pairs; ++group, p += group_bytes) {
        uint64_t sent = 0;
        for (int i = 0; i < group_bytes; ++i) sent = sent << 8 | p[i];
        uint64_t bits = 0;
        for (int i = 0; i < group_bits; ++i) bits |= ((sent >> i) & 1) << (group_bits - 1 - i);
        const int block_start = group % 192 == 0 ? 1 : 0;
        const unsigned marker1 = static_cast<unsigned>((bits >> n) & 15);
        const unsigned marker2 = static_cast<unsigned>((bits >> (2 * n + 4)) & 15);
        // Nibbles in sending order 1, 0, 0, b read back as b000 1.
        const unsigned want1 = 1u | static_cast<unsigned>(block_start) << 3;
        const uint64_t group_offset = static_cast<uint64_t>(p - data_);
        if (marker1 != want1) {
            if ((marker1 & 7) != 1) {
                return fail(group_offset,
                            "302M group %d: marker bits after the first sample are "
                            "not 1 0 0 b",
                            group);
            }
            return fail(group_offset,
                        block_start ? "302M group %d: block-start bit missing"
                                    : "302M group %d: block-start bit set off a block start",
                        group);
        }
        if (marker2 != 1) {
            return fail(group_offset,
                        "302M group %d: marker bits after the second sample are not 1 0 0 0",
                        group);
        }
        if (want_) {
            const uint32_t first = static_cast<uint32_t>(bits & sample_mask);
            const uint32_t second = static_cast<uint32_t>((bits >> (n + 4)) & sample_mask);
            push(first << (32 - n));
            push(second << (32 - n));
        }
    }
    *size = kFrameHeaderBytes + payload;
    return true;
}

// A D-10 element: step number (1001 rates only), sample count, channel mask,
// then eight 4-byte channel words per sample period, audio in word bits 4-23.
bool Reader::read_d10_frame(uint64_t offset, int step, int samples, uint64_t *size) {
    const StreamInfo &info = r_.info;
    const int code = info.frame_rate_code;
    const uint32_t payload = static_cast<uint32_t>(samples) * 32;
    if (!frame_fits(offset, kFrameHeaderBytes)) return false;
    const uint8_t *h = data_ + offset;
    const int want_step = (code == 4 || code == 7) ? step + 1 : 0;
    if (h[0] != want_step) {
        return fail(offset, "D-10 element header step number %d, expected %d", h[0], want_step);
    }
    const int coded_samples = h[1] | h[2] << 8;
    if (coded_samples != samples) {
        return fail(offset + 1,
                    "D-10 element header gives %d sample periods, cadence step %d of frame rate "
                    "code %d implies %d",
                    coded_samples, step, code, samples);
    }
    const int mask = (1 << info.channels) - 1;
    if (h[3] != mask) {
        return fail(offset + 3, "D-10 element channel mask %02X, expected %02X for %d channels",
                    h[3], mask, info.channels);
    }
    if (!frame_fits(offset, kFrameHeaderBytes + payload)) return false;
    const uint8_t *p = h + kFrameHeaderBytes;
    for (int period = 0; period < samples; ++period) {
        for (int slot = 0; slot < 8; ++slot, p += 4) {
            const uint64_t word_offset = static_cast<uint64_t>(p - data_);
            if (slot >= info.channels) {
                if (p[0] | p[1] | p[2] | p[3]) {
                    return fail(word_offset, "D-10 sample period %d: empty slot %d is not zero",
                                period, slot);
                }
                continue;
            }
            if ((p[0] & 7) != slot) {
                return fail(word_offset, "D-10 sample period %d: slot %d carries slot number %d",
                            period, slot, p[0] & 7);
            }
            const int block_start = (slot == 0 && period % 192 == 0) ? 1 : 0;
            if (((p[0] >> 3) & 1) != block_start) {
                return fail(word_offset,
                            block_start ? "D-10 sample period %d: block-start flag missing in "
                                          "slot %d"
                                        : "D-10 sample period %d: block-start flag set in slot %d",
                            period, slot);
            }
            if (p[3] != 0) {
                return fail(word_offset + 3, "D-10 sample period %d: slot %d word byte 3 is %02X",
                            period, slot, p[3]);
            }
            if (want_) {
                push(justify24(p[2], p[1], p[0] & 0xF0));
            }
        }
    }
    *size = kFrameHeaderBytes + payload;
    return true;
}

// A planar frame has no header: one little-endian plane per channel, each
// as long as the frame's sample count.
bool Reader::read_planar_frame(uint64_t offset, int samples, uint64_t *size) {
    const StreamInfo &info = r_.info;
    const uint32_t width = info.bits == 16 ? 2 : 3;
    const uint32_t plane = static_cast<uint32_t>(samples) * width;
    const uint32_t frame = plane * info.channels;
    if (!frame_fits(offset, frame)) return false;
    if (want_) {
        const uint8_t *p = data_ + offset;
        for (int period = 0; period < samples; ++period) {
            for (int ch = 0; ch < info.channels; ++ch) {
                const uint8_t *s = p + ch * plane + period * width;
                push(width == 2 ? justify16(s[1], s[0]) : justify24(s[2], s[1], s[0]));
            }
        }
    }
    *size = frame;
    return true;
}

}  // namespace

ReadResult read_stream(const uint8_t *data, size_t size, bool want_samples) {
    ReadResult result;
    if (data == nullptr) size = 0;
    Reader(data, size, want_samples, result).run();
    return result;
}

const char *layer_name(int layer) {
    switch (layer) {
    case 4: return "DVD LPCM";
    case 10: return "SMPTE 302M";
    case 11: return "D-10 AES3";
    case 12: return "planar AES3";
    case 13: return "HDMV LPCM";
    default: return "unknown";
    }
}

}  // namespace pcmpack_reader
