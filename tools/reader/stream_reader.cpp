// SPDX-License-Identifier: BSD-2-Clause
// Walks a pcmpack output stream frame by frame. Every field is checked
// against what the stream header promises before the payload is touched,
// and every read is bounded by the frame size checked against the bytes that
// remain, so no input can make the reader look outside the buffer.
#include "stream_reader.h"

#include "groups_302m.h"

#include "format/frame_headers.h"
#include "format/stream_format.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace pcmpack_reader {
namespace {

using pcmpack_format::kFrameHeaderBytes;
using pcmpack_format::kStreamHeaderBytes;

// The HDMV assignment codes a frame of as many coded channels may carry:
// the padded layout's, and the one with the same geometry whose last coded
// channel is the LFE (5.1, 7.1) or whose one channel is mono; 0 for none.
struct HdmvCodes {
    int padded = 0;
    int same_geometry = 0;
};
HdmvCodes hdmv_codes(int coded_channels) {
    HdmvCodes codes;
    const pcmpack_format::HdmvLayout *padded = pcmpack_format::hdmv_layout_of_coded(coded_channels);
    if (!padded) return codes;
    codes.padded = padded->assignment;
    for (auto *l = pcmpack_format::hdmv_layouts_begin(); l != pcmpack_format::hdmv_layouts_end(); ++l)
        if (l->library_assignment == padded->assignment && l != padded) codes.same_geometry = l->assignment;
    return codes;
}

// Samples held left-justified in 32 bits, from their bytes most significant
// first (hi, mid, lo) however the layout orders them.
inline uint32_t justify16(uint8_t hi, uint8_t lo) {
    return static_cast<uint32_t>(hi) << 24 | static_cast<uint32_t>(lo) << 16;
}
inline uint32_t justify24(uint8_t hi, uint8_t mid, uint8_t lo) {
    return justify16(hi, mid) | static_cast<uint32_t>(lo) << 8;
}
// Four bytes, most significant first, as one number.
inline uint32_t justify_be32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return v;
#else
    return __builtin_bswap32(v);
#endif
}

}  // namespace

// The frame rules. A frame is checked once all of its bytes are at hand (or
// at the end of the stream, with what there is), so that its verdict and
// offsets do not depend on how the stream was cut into pieces.
class IncrementalReader::Walker {
public:
    Walker(FrameSink &sink, bool want_samples, VectorLevel vector_loops, IncrementalReader &owner)
        : want_(want_samples), sink_(sink), vector_loops_(vector_loops), owner_(owner) {}

    bool feed(const uint8_t *data, size_t size);
    bool finish();
    bool begin(const StreamParams &params);

    StreamInfo info;
    int step_ = 0;                     // AES3 cadence step of the next frame
    int first_step_ = 0;               // and of the first
    bool sizes_from_headers_ = false;  // see take_frame_sizes_from_headers()
    bool want_;                        // samples handed to the sink
    bool header_read_ = false;         // or the container's parameters taken

private:
    // Records the first inconsistency; always returns false.
    bool fail(uint64_t offset, const char *format, ...) __attribute__((format(printf, 3, 4)));

    bool read_stream_header();
    // What follows a valid stream header, or the parameters a container signals.
    void start(const StreamParams &params);

    // Bytes of the next frame, from the stream header and the cadence step.
    uint64_t next_frame_size() const;
    // The same, or from the payload size of the frame header that begins
    // with the staged bytes and then `data`; *known is false while fewer
    // than the two bytes of that size are at hand, and 2 is returned.
    uint64_t frame_size_at(const uint8_t *data, size_t size, bool *known) const;
    // Checks the frame at offset_ from its first `avail` bytes (fewer than
    // it needs only at the end of the stream), and hands it on.
    bool read_frame(const uint8_t *p, uint64_t avail);
    // Checks that a frame of `size` bytes fits in the `avail` bytes at `offset`.
    bool frame_fits(uint64_t offset, uint64_t size, uint64_t avail);

    bool read_dvd_frame(const uint8_t *p, uint64_t avail, uint64_t *size);
    bool read_hdmv_frame(const uint8_t *p, uint64_t avail, uint64_t *size);
    bool read_302m_frame(const uint8_t *p, uint64_t avail, uint64_t *size);
    bool read_d10_frame(const uint8_t *p, uint64_t avail, uint64_t *size);
    bool read_planar_frame(const uint8_t *p, uint64_t avail, uint64_t *size);

    int cadence_samples() const { return static_cast<int>(pcmpack_format::frame_periods(info, step_)); }

    // Samples go straight into room made for the whole frame, with no size
    // check for each one, through a local copy of the cursor that the loops
    // keep in a register.
    static void put(int32_t *&out, uint32_t left_justified) {
        *out++ = static_cast<int32_t>(left_justified);
    }
    template <int Bits>
    bool read_302m_groups(const uint8_t *h, const uint8_t *p, int groups);
    template <int Bits>
    bool take_302m_samples(const uint8_t *p, int groups);
    bool fail_302m_group(const uint8_t *h, const uint8_t *p, int group, bool block_start,
                         uint64_t bits, int n);

    FrameSink &sink_;
    VectorLevel vector_loops_;
    IncrementalReader &owner_;
    bool failed_ = false;
    uint8_t header_[kStreamHeaderBytes] = {};
    size_t header_have_ = 0;
    std::vector<uint8_t> stage_;  // a frame cut by the end of a piece
    size_t stage_have_ = 0;
    uint64_t offset_ = kStreamHeaderBytes;  // of the next frame
    int64_t index_ = 0;                     // frames read
    uint64_t frame_bytes_ = 0;              // of the frame being read
    uint64_t periods_before_ = 0;           // sample periods of the frames read
    std::vector<int32_t> samples_;  // of the frame being read
    int32_t *cursor_ = nullptr;     // where its next sample goes
    std::vector<uint8_t> mirrored_; // a 302M frame's groups, every byte mirrored
    Groups302mDecoder decode_302m_ = nullptr;  // the vector loop for the stream's word length
    // Whose 302M marker nibbles the frames carry: a stream of ours always
    // has ours; a container's track as its first frame shows.
    enum class Markers { unknown, ours, theirs };
    Markers markers_ = Markers::ours;
};

bool IncrementalReader::Walker::fail(uint64_t offset, const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    failed_ = true;
    owner_.ok_ = false;
    owner_.error_ = text;
    owner_.error_offset_ = offset;
    // The frame that failed starts after the samples of those read; a
    // stream header that failed has no time.
    owner_.error_seconds_ =
        header_read_ ? double(periods_before_) / info.sample_rate : -1.0;
    return false;
}

bool IncrementalReader::Walker::frame_fits(uint64_t offset, uint64_t size, uint64_t avail) {
    if (avail < size) {
        return fail(offset, "truncated frame: %llu bytes expected, %llu left",
                    static_cast<unsigned long long>(size), static_cast<unsigned long long>(avail));
    }
    return true;
}

bool IncrementalReader::Walker::feed(const uint8_t *data, size_t size) {
    if (failed_) return false;
    if (header_have_ < kStreamHeaderBytes) {
        const size_t take = std::min(size, kStreamHeaderBytes - header_have_);
        std::memcpy(header_ + header_have_, data, take);
        header_have_ += take;
        data += take;
        size -= take;
        if (header_have_ < kStreamHeaderBytes) return true;
        if (!read_stream_header()) return false;
    }
    while (size > 0) {
        bool known = true;
        const uint64_t need = frame_size_at(data, size, &known);
        if (known) frame_bytes_ = need;
        if (stage_have_ == 0 && known && size >= need) {
            if (!read_frame(data, need)) return false;
            data += need;
            size -= static_cast<size_t>(need);
            continue;
        }
        if (stage_.size() < need) stage_.resize(static_cast<size_t>(need));
        const size_t take = static_cast<size_t>(std::min<uint64_t>(need - stage_have_, size));
        std::memcpy(stage_.data() + stage_have_, data, take);
        stage_have_ += take;
        data += take;
        size -= take;
        if (stage_have_ == need && known) {
            stage_have_ = 0;
            if (!read_frame(stage_.data(), need)) return false;
        }
    }
    return true;
}

bool IncrementalReader::Walker::finish() {
    if (failed_) return false;
    if (header_have_ < kStreamHeaderBytes) {
        return fail(0, "truncated stream header: %zu of 8 bytes", header_have_);
    }
    if (stage_have_ > 0) {
        const size_t have = stage_have_;
        if (sizes_from_headers_ && have < 2) frame_bytes_ = kFrameHeaderBytes;
        stage_have_ = 0;
        return read_frame(stage_.data(), have);
    }
    return true;
}

bool IncrementalReader::Walker::read_stream_header() {
    std::memcpy(info.header, header_, kStreamHeaderBytes);
    StreamParams params;
    pcmpack_format::HeaderFault fault;
    if (!pcmpack_format::decode_stream_header(header_, &params, &fault))
        return fail(fault.offset, "%s", fault.text.c_str());
    start(params);
    return true;
}

void IncrementalReader::Walker::start(const StreamParams &params) {
    static_cast<StreamParams &>(info) = params;
    header_read_ = true;
    // 302M of another writer's packet lengths: each frame says its own.
    if (info.layer == pcmpack_format::kLayer302m && info.frame_rate_code == pcmpack_format::kNoFrameRate)
        sizes_from_headers_ = true;
    if (info.layer == pcmpack_format::kLayer302m) decode_302m_ = vector_302m_decoder(info.bits, vector_loops_);
    owner_.ok_ = true;
    sink_.on_header(info);
}

bool IncrementalReader::Walker::begin(const StreamParams &params) {
    header_have_ = kStreamHeaderBytes;
    markers_ = Markers::unknown;
    pcmpack_format::HeaderFault fault;
    if (!pcmpack_format::check_stream_params(params, &fault))
        return fail(fault.offset, "%s", fault.text.c_str());
    // inspect shows the header the stream would carry; no header codes
    // 302M without a frame rate, and its bytes stay zero.
    if (params.frame_rate_code != pcmpack_format::kNoFrameRate || !pcmpack_format::is_aes3(params.layer))
        pcmpack_format::encode_stream_header(params, info.header);
    start(params);
    return true;
}

uint64_t IncrementalReader::Walker::frame_size_at(const uint8_t *data, size_t size,
                                                 bool *known) const {
    *known = true;
    if (!sizes_from_headers_) return next_frame_size();
    uint8_t coded[2];
    size_t have = std::min<size_t>(stage_have_, 2);
    if (have > 0) std::memcpy(coded, stage_.data(), have);
    for (size_t i = 0; have < 2 && i < size; ++i) coded[have++] = data[i];
    if (have < 2) {
        *known = false;
        return 2;
    }
    return kFrameHeaderBytes + pcmpack_format::coded_payload_bytes(coded);
}

uint64_t IncrementalReader::Walker::next_frame_size() const {
    return pcmpack_format::frame_bytes(info, step_);
}

bool IncrementalReader::Walker::read_frame(const uint8_t *p, uint64_t avail) {
    // Every sample takes at least 2 bytes of the frame.
    const size_t most = static_cast<size_t>(frame_bytes_ / 2);
    if (samples_.size() < most) samples_.resize(most);
    cursor_ = samples_.data();
    uint64_t size = 0;
    bool good = false;
    switch (info.layer) {
    case 4: good = read_dvd_frame(p, avail, &size); break;
    case 13: good = read_hdmv_frame(p, avail, &size); break;
    case 10: good = read_302m_frame(p, avail, &size); break;
    case 11: good = read_d10_frame(p, avail, &size); break;
    default: good = read_planar_frame(p, avail, &size); break;
    }
    // A frame that fails partway hands on none of its samples: the samples
    // always belong to the frames listed.
    if (!good) return false;
    FrameInfo frame;
    frame.offset = offset_;
    frame.size = static_cast<uint32_t>(size);
    frame.sample_periods = pcmpack_format::frame_periods(info, step_);
    frame.cadence_step = step_;
    // Times count from the first frame, at whatever step it was cut.
    frame.timestamp = pcmpack_format::frame_timestamp(info, index_ + first_step_) -
                      pcmpack_format::frame_timestamp(info, first_step_);
    if (sizes_from_headers_) {
        frame.sample_periods = static_cast<uint32_t>((size - kFrameHeaderBytes) /
                                                     pcmpack_format::period_bytes(info));
        frame.timestamp = static_cast<int64_t>(periods_before_ * 27000000 /
                                               static_cast<uint64_t>(info.sample_rate));
    }
    periods_before_ += frame.sample_periods;
    step_ = (step_ + 1) % pcmpack_format::cadence_steps(info);
    ++index_;
    offset_ += size;
    sink_.on_frame(frame, samples_.data(), static_cast<size_t>(cursor_ - samples_.data()));
    return true;
}

bool IncrementalReader::Walker::read_dvd_frame(const uint8_t *p, uint64_t avail, uint64_t *size) {
    const uint64_t frame_size = next_frame_size();
    if (!frame_fits(offset_, frame_size, avail)) return false;
    if (want_) {
        int32_t *out = cursor_;
        for (uint64_t i = 0; i < frame_size; i += 2) put(out, justify16(p[i], p[i + 1]));
        cursor_ = out;
    }
    *size = frame_size;
    return true;
}

bool IncrementalReader::Walker::read_hdmv_frame(const uint8_t *h, uint64_t avail, uint64_t *size) {
    const uint32_t periods = info.sample_rate == 48000 ? 240 : 480;
    const uint32_t width = info.bits == 16 ? 2 : 3;
    const uint32_t period_bytes = width * static_cast<uint32_t>(info.channels);
    const HdmvCodes codes = hdmv_codes(info.channels);
    const int assignment = codes.padded;
    const int same_geometry = codes.same_geometry;
    const uint64_t offset = offset_;
    pcmpack_format::HdmvFrameHeader got;
    if (!frame_fits(offset, kFrameHeaderBytes, avail) ||
        !pcmpack_format::decode_hdmv_frame_header(h, avail, &got))
        return false;
    // The header the stream header implies, its payload aside.
    pcmpack_format::HdmvFrameHeader want;
    want.rate_code = pcmpack_format::hdmv_rate_code(info.sample_rate);
    want.bits_code = pcmpack_format::hdmv_bits_code(info.bits);
    uint8_t wanted[kFrameHeaderBytes];
    pcmpack_format::encode_hdmv_frame_header(want, wanted);
    const uint32_t coded_size = got.payload_bytes;
    const uint32_t payload = sizes_from_headers_ ? coded_size : periods * period_bytes;
    if (sizes_from_headers_ && (coded_size == 0 || coded_size % period_bytes != 0)) {
        return fail(offset, "HDMV frame header gives payload size %u, not whole sample periods of %u bytes",
                    coded_size, period_bytes);
    }
    if (coded_size != payload) {
        return fail(offset, "HDMV frame header gives payload size %u, the stream header implies %u",
                    coded_size, payload);
    }
    const int code = got.assignment;
    if (info.hdmv_assignment == 0 && code != assignment && code != same_geometry) {
        if (same_geometry)
            return fail(offset + 2,
                        "HDMV frame header channel assignment %d, expected %d or %d for %d channels",
                        code, assignment, same_geometry, info.channels);
        return fail(offset + 2, "HDMV frame header channel assignment %d, expected %d for %d channels",
                    code, assignment, info.channels);
    }
    if (info.hdmv_assignment != 0 && code != info.hdmv_assignment) {
        return fail(offset + 2, "HDMV frame header channel assignment %d, the first frame has %d",
                    code, info.hdmv_assignment);
    }
    info.hdmv_assignment = code;
    if (got.rate_code != want.rate_code) {
        return fail(offset + 2, "HDMV frame header sampling frequency code %d, expected %d",
                    got.rate_code, want.rate_code);
    }
    if (h[3] != wanted[3]) {
        return fail(offset + 3, "HDMV frame header byte 3 is %02X, expected %02X", h[3], wanted[3]);
    }
    if (!frame_fits(offset, kFrameHeaderBytes + payload, avail)) return false;
    const uint8_t *p = h + kFrameHeaderBytes;
    if (want_ && width == 2) {
        int32_t *out = cursor_;
        for (uint32_t i = 0; i < payload; i += 2) put(out, justify16(p[i], p[i + 1]));
        cursor_ = out;
    } else if (want_) {
        // Each word read as 4 bytes (the fourth is the next word's), but for
        // the last, which may end the data at hand.
        int32_t *out = cursor_;
        uint32_t i = 0;
        for (; i + 3 < payload; i += 3) put(out, justify_be32(p + i) & 0xFFFFFF00u);
        put(out, justify24(p[i], p[i + 1], p[i + 2]));
        cursor_ = out;
    }
    *size = kFrameHeaderBytes + payload;
    return true;
}

// A 302M frame: its header, then one group per channel pair and sample
// period (groups_302m.h).
bool IncrementalReader::Walker::read_302m_frame(const uint8_t *h, uint64_t avail, uint64_t *size) {
    const int step = step_;
    const int pairs = info.channels / 2;
    const int n = info.bits;
    const uint32_t period_bytes = pcmpack_format::period_bytes(info);
    const uint64_t offset = offset_;
    pcmpack_format::S302mFrameHeader got;
    if (!frame_fits(offset, kFrameHeaderBytes, avail) ||
        !pcmpack_format::decode_302m_frame_header(h, avail, &got))
        return false;
    const uint32_t coded_size = got.payload_bytes;
    if (sizes_from_headers_ && (coded_size == 0 || coded_size % period_bytes != 0)) {
        return fail(offset, "302M header gives payload size %u, not whole sample periods of %u bytes",
                    coded_size, period_bytes);
    }
    const int samples = sizes_from_headers_ ? static_cast<int>(coded_size / period_bytes) : cadence_samples();
    const uint32_t payload = static_cast<uint32_t>(samples) * period_bytes;
    if (coded_size != payload) {
        return fail(offset,
                    "302M header gives payload size %u, cadence step %d of frame rate code %d "
                    "implies %u",
                    coded_size, step, info.frame_rate_code, payload);
    }
    // Our frames identify no channels and align nothing: the bytes after the
    // payload size are the channel count and word length alone.
    pcmpack_format::S302mFrameHeader want;
    want.channels = info.channels;
    want.bits_code = pcmpack_format::word_length_code(n);
    uint8_t wanted[kFrameHeaderBytes];
    pcmpack_format::encode_302m_frame_header(want, wanted);
    if (h[2] != wanted[2]) {
        return fail(offset + 2, "302M header byte 2 is %02X, expected %02X for %d channels", h[2],
                    wanted[2], info.channels);
    }
    if (h[3] != wanted[3]) {
        return fail(offset + 3, "302M header byte 3 is %02X, expected %02X for %d bits", h[3],
                    wanted[3], n);
    }
    if (!frame_fits(offset, kFrameHeaderBytes + payload, avail)) return false;
    const uint8_t *p = h + kFrameHeaderBytes;
    const int groups = samples * pairs;
    const bool good = n == 16   ? read_302m_groups<16>(h, p, groups)
                      : n == 20 ? read_302m_groups<20>(h, p, groups)
                                : read_302m_groups<24>(h, p, groups);
    if (!good) return false;
    *size = kFrameHeaderBytes + payload;
    return true;
}

// The groups of one frame: both marker nibbles checked, both samples taken.
// The vector loop, where the processor has one, reads a frame whose markers
// are all in place (its samples room enough to be thrown away when not
// wanted). Otherwise, and to name what is out of place, the portable loop:
// when the samples are wanted the frame is mirrored in one pass before its
// groups are read; when not, the marker nibbles are checked in the groups
// as sent, against mirrored masks.
//
// The marker nibbles are the AES3 validity, user, channel status and block
// start bits. Ours are always 1 0 0 b with a block start every 192 groups of
// a frame; other writers send them as their AES3 input has them. A
// container's track is held to ours when its first frame has them, and
// otherwise read for its samples alone.
template <int Bits>
bool IncrementalReader::Walker::read_302m_groups(const uint8_t *h, const uint8_t *p, int groups) {
    using G = Group302m<Bits>;
    constexpr int kGroupBytes = G::kBytes;
    if (markers_ == Markers::theirs) return take_302m_samples<Bits>(p, groups);
    if (decode_302m_ != nullptr && decode_302m_(p, groups, cursor_)) {
        if (want_) cursor_ += 2 * static_cast<size_t>(groups);
        if (markers_ == Markers::unknown) markers_ = Markers::ours;
        return true;
    }
    const size_t bytes = static_cast<size_t>(groups) * kGroupBytes;
    const uint8_t *from = p;
    if (want_) {
        if (mirrored_.size() < bytes + 8) mirrored_.resize(bytes + 8);
        mirror_payload(p, bytes, mirrored_.data());
        from = mirrored_.data();
    }
    // The same masks in the bytes as sent.
    const uint64_t mask = want_ ? G::kMarkerMask : mirror_bytes(G::kMarkerMask);
    const uint64_t plain = want_ ? G::kPlain : mirror_bytes(G::kPlain);
    const uint64_t block = want_ ? G::kBlockStart : mirror_bytes(G::kBlockStart);
    int next_block_start = 0;
    int32_t *out = cursor_;
    for (int group = 0; group < groups; ++group, from += kGroupBytes) {
        // The mirrored frame has room after its last group; the frame as
        // sent has the next group's bytes after every group but the last.
        const uint64_t v = group_at<kGroupBytes>(from, want_ || group + 1 < groups);
        const bool block_start = group == next_block_start;
        if (block_start) next_block_start += kGroupsPerBlock;
        if ((v & mask) != (block_start ? block : plain)) {
            if (markers_ == Markers::unknown) {
                markers_ = Markers::theirs;
                return take_302m_samples<Bits>(p, groups);
            }
            return fail_302m_group(h, p + static_cast<size_t>(group) * kGroupBytes, group,
                                   block_start, want_ ? v : mirror_bytes(v), Bits);
        }
        if (want_) {
            put(out, static_cast<uint32_t>(v & G::kSampleMask) << (32 - Bits));
            put(out, static_cast<uint32_t>((v >> (Bits + 4)) & G::kSampleMask) << (32 - Bits));
        }
    }
    cursor_ = out;
    if (markers_ == Markers::unknown) markers_ = Markers::ours;
    return true;
}

// The samples of a frame whose marker nibbles are not checked.
template <int Bits>
bool IncrementalReader::Walker::take_302m_samples(const uint8_t *p, int groups) {
    using G = Group302m<Bits>;
    if (!want_) return true;
    const size_t bytes = static_cast<size_t>(groups) * G::kBytes;
    if (mirrored_.size() < bytes + 8) mirrored_.resize(bytes + 8);
    mirror_payload(p, bytes, mirrored_.data());
    const uint8_t *from = mirrored_.data();
    int32_t *out = cursor_;
    for (int group = 0; group < groups; ++group, from += G::kBytes) {
        const uint64_t v = group_at<G::kBytes>(from, true);
        put(out, static_cast<uint32_t>(v & G::kSampleMask) << (32 - Bits));
        put(out, static_cast<uint32_t>((v >> (Bits + 4)) & G::kSampleMask) << (32 - Bits));
    }
    cursor_ = out;
    return true;
}

// Which marker nibble of a group is wrong, and how.
bool IncrementalReader::Walker::fail_302m_group(const uint8_t *h, const uint8_t *p, int group,
                                                bool block_start, uint64_t bits, int n) {
    const uint64_t group_offset = offset_ + static_cast<uint64_t>(p - h);
    const unsigned marker1 = static_cast<unsigned>((bits >> n) & 15);
    if (marker1 == (1u | (block_start ? 8u : 0u))) {
        return fail(group_offset,
                    "302M group %d: marker bits after the second sample are not 1 0 0 0", group);
    }
    if ((marker1 & 7) != 1) {
        return fail(group_offset,
                    "302M group %d: marker bits after the first sample are not 1 0 0 b", group);
    }
    return fail(group_offset,
                block_start ? "302M group %d: block-start bit missing"
                            : "302M group %d: block-start bit set off a block start",
                group);
}

// A D-10 element: step number (1001 rates only), sample count, channel mask,
// then eight 4-byte channel words per sample period, audio in word bits 4-23.
bool IncrementalReader::Walker::read_d10_frame(const uint8_t *h, uint64_t avail, uint64_t *size) {
    const int step = step_;
    const int samples = cadence_samples();
    const int code = info.frame_rate_code;
    const uint32_t payload = static_cast<uint32_t>(samples) * 32;
    const uint64_t offset = offset_;
    pcmpack_format::D10ElementHeader got;
    if (!frame_fits(offset, kFrameHeaderBytes, avail) ||
        !pcmpack_format::decode_d10_element_header(h, avail, &got))
        return false;
    const int want_step = (code == 4 || code == 7) ? step + 1 : 0;
    if (got.step != want_step) {
        return fail(offset, "D-10 element header step number %d, expected %d", got.step, want_step);
    }
    if (got.sample_periods != samples) {
        return fail(offset + 1,
                    "D-10 element header gives %d sample periods, cadence step %d of frame rate "
                    "code %d implies %d",
                    got.sample_periods, step, code, samples);
    }
    const int mask = (1 << info.channels) - 1;
    if (got.channel_mask != mask) {
        return fail(offset + 3, "D-10 element channel mask %02X, expected %02X for %d channels",
                    got.channel_mask, mask, info.channels);
    }
    if (!frame_fits(offset, kFrameHeaderBytes + payload, avail)) return false;
    const uint8_t *p = h + kFrameHeaderBytes;
    for (int period = 0; period < samples; ++period) {
        for (int slot = 0; slot < 8; ++slot, p += 4) {
            const uint64_t word_offset = offset + static_cast<uint64_t>(p - h);
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
            if (want_) put(cursor_, justify24(p[2], p[1], p[0] & 0xF0));
        }
    }
    *size = kFrameHeaderBytes + payload;
    return true;
}

// A planar frame has no header: one little-endian plane per channel, each
// as long as the frame's sample count.
bool IncrementalReader::Walker::read_planar_frame(const uint8_t *p, uint64_t avail, uint64_t *size) {
    const int samples = cadence_samples();
    const uint32_t width = info.bits == 16 ? 2 : 3;
    const uint32_t plane = static_cast<uint32_t>(samples) * width;
    const uint32_t frame = plane * static_cast<uint32_t>(info.channels);
    if (!frame_fits(offset_, frame, avail)) return false;
    if (want_) {
        for (int period = 0; period < samples; ++period) {
            for (int ch = 0; ch < info.channels; ++ch) {
                const uint8_t *s = p + static_cast<uint32_t>(ch) * plane + static_cast<uint32_t>(period) * width;
                put(cursor_, width == 2 ? justify16(s[1], s[0]) : justify24(s[2], s[1], s[0]));
            }
        }
    }
    *size = frame;
    return true;
}

IncrementalReader::IncrementalReader(FrameSink &sink, bool want_samples, VectorLevel vector_loops)
    : walker_(std::make_unique<Walker>(sink, want_samples, vector_loops, *this)) {}

IncrementalReader::~IncrementalReader() = default;

bool IncrementalReader::begin(const StreamParams &params) {
    // The header the stream would carry counts as read, so that offsets and
    // byte counts are those of the elementary stream.
    fed_ += pcmpack_format::kStreamHeaderBytes;
    return walker_->begin(params);
}

bool IncrementalReader::feed(const uint8_t *data, size_t size) {
    fed_ += size;
    return walker_->feed(data, size);
}

bool IncrementalReader::finish() {
    if (!walker_->finish()) return false;
    return ok_;
}

const StreamInfo &IncrementalReader::info() const { return walker_->info; }

void IncrementalReader::start_at_cadence_step(int step) {
    walker_->step_ = walker_->first_step_ =
        ((step % pcmpack_format::kCadenceSteps) + pcmpack_format::kCadenceSteps) %
        pcmpack_format::kCadenceSteps;
}

void IncrementalReader::want_samples(bool want) { walker_->want_ = want; }

void IncrementalReader::take_frame_sizes_from_headers() { walker_->sizes_from_headers_ = true; }

namespace {

// Collects everything into a ReadResult.
class ResultSink : public FrameSink {
public:
    explicit ResultSink(ReadResult &result) : r_(result) {}
    void on_frame(const FrameInfo &frame, const int32_t *samples, size_t count) override {
        r_.frames.push_back(frame);
        r_.samples.insert(r_.samples.end(), samples, samples + count);
    }

private:
    ReadResult &r_;
};

}  // namespace

ReadResult read_stream(const uint8_t *data, size_t size, bool want_samples,
                       VectorLevel vector_loops) {
    ReadResult result;
    if (data == nullptr) size = 0;
    ResultSink sink(result);
    IncrementalReader reader(sink, want_samples, vector_loops);
    if (size > 0) reader.feed(data, size);
    reader.finish();
    result.ok = reader.ok();
    result.error = reader.error();
    result.error_offset = reader.error_offset();
    result.info = reader.info();
    return result;
}


}  // namespace pcmpack_reader
