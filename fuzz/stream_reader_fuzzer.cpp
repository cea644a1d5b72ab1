// SPDX-License-Identifier: BSD-2-Clause
// The stream reader behind the tool's `inspect` and `unpack`, on arbitrary
// bytes. Beyond "no crash, no read outside the buffer", its answer must hang
// together:
//   - a failure names an error and an offset inside the input; success names
//     none;
//   - the frames tile the input from byte 8 on without gap or overlap, each
//     of the size its layer, word length and channel count give for its
//     sample count, with the cadence steps 0, 1, 2, 3, 4, 0, ... and
//     timestamps that start at 0 and never go back;
//   - the samples are exactly those of the listed frames, left-justified
//     with the bits the layout does not carry at 0 (20-bit samples keep
//     their low nibble where the layout carries three whole bytes);
//   - reading without samples gives the same verdict and frames;
//   - the portable loops give what the vector loops give;
//   - the listed frames alone, read again, are a valid stream with the same
//     frames.
#include "stream_reader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using pcmpack_reader::FrameInfo;
using pcmpack_reader::ReadResult;

[[noreturn]] void fail(const char *what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

void check(bool ok, const char *what, long long a = 0, long long b = 0) {
    if (!ok) fail(what, a, b);
}

uint64_t frame_size_for(const ReadResult &r, uint32_t periods) {
    const int ch = r.info.channels;
    const int width = r.info.bits == 16 ? 2 : 3;
    switch (r.info.layer) {
    case 4: return uint64_t{periods} * 2 * ch;
    case 13: return 4 + uint64_t{periods} * width * ch;
    case 10: return 4 + uint64_t{periods} * (ch / 2) * ((2 * r.info.bits + 8) / 8);
    case 11: return 4 + uint64_t{periods} * 32;
    default: return uint64_t{periods} * width * ch;
    }
}

bool same_frames(const std::vector<FrameInfo> &a, const std::vector<FrameInfo> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].offset != b[i].offset || a[i].size != b[i].size ||
            a[i].sample_periods != b[i].sample_periods ||
            a[i].cadence_step != b[i].cadence_step || a[i].timestamp != b[i].timestamp)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size heap copy, so that any read past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);
    const ReadResult r = pcmpack_reader::read_stream(bytes.data(), bytes.size(), true);

    if (r.ok) {
        check(r.error.empty(), "success with an error text");
    } else {
        check(!r.error.empty(), "failure without an error text");
        check(r.error_offset <= size, "error offset past the input", (long long)r.error_offset,
              (long long)size);
    }
    if (size < 8) {
        check(!r.ok && r.frames.empty(), "a stream shorter than its header was accepted");
        return 0;
    }
    if (r.ok || !r.frames.empty()) {
        check(r.info.layer == 4 || (r.info.layer >= 10 && r.info.layer <= 13), "layer",
              r.info.layer);
        check(r.info.channels >= 1 && r.info.channels <= 8, "channels", r.info.channels);
        check(r.info.bits == 16 || r.info.bits == 20 || r.info.bits == 24, "bits", r.info.bits);
    }

    uint64_t offset = 8;
    uint64_t periods = 0;
    int64_t last_time = 0;
    const bool aes3 = r.info.layer >= 10 && r.info.layer <= 12;
    for (size_t i = 0; i < r.frames.size(); ++i) {
        const FrameInfo &f = r.frames[i];
        check(f.offset == offset, "frames do not tile the stream", (long long)i,
              (long long)f.offset);
        check(f.size == frame_size_for(r, f.sample_periods), "frame size for its sample count",
              (long long)i, f.size);
        check(f.sample_periods > 0, "frame without samples", (long long)i);
        check(f.cadence_step == (aes3 ? static_cast<int>(i % 5) : 0), "cadence step",
              (long long)i, f.cadence_step);
        check(i == 0 ? f.timestamp == 0 : f.timestamp >= last_time, "timestamp order",
              (long long)i, f.timestamp);
        last_time = f.timestamp;
        offset += f.size;
        periods += f.sample_periods;
    }
    check(offset <= size, "frames run past the input", (long long)offset, (long long)size);
    if (r.ok) check(offset == size, "success with bytes left over", (long long)offset);
    else check(r.error_offset >= offset || r.frames.empty(), "error inside an accepted frame",
               (long long)r.error_offset, (long long)offset);

    const uint64_t want_samples = periods * static_cast<uint64_t>(r.info.channels);
    check(r.samples.size() == want_samples, "samples are not those of the listed frames",
          (long long)r.samples.size(), (long long)want_samples);
    // 302M and D-10 carry only the 20 bits of a 20-bit sample; planar and
    // HDMV frames carry its three bytes whole.
    const bool carries_20 = r.info.layer == 10 || r.info.layer == 11;
    const uint32_t uncarried =
        r.info.bits == 16 ? 0xFFFFu : (r.info.bits == 20 && carries_20) ? 0xFFFu : 0xFFu;
    for (size_t i = 0; i < r.samples.size(); ++i) {
        check((static_cast<uint32_t>(r.samples[i]) & uncarried) == 0,
              "sample has bits below its word length", (long long)i);
    }

    const ReadResult quick = pcmpack_reader::read_stream(bytes.data(), bytes.size(), false);
    check(quick.ok == r.ok && quick.error == r.error && quick.error_offset == r.error_offset,
          "verdict depends on asking for samples");
    check(same_frames(quick.frames, r.frames), "frames depend on asking for samples");
    check(quick.samples.empty(), "samples returned when none were asked for");

    const ReadResult portable = pcmpack_reader::read_stream(
        bytes.data(), bytes.size(), true, pcmpack_reader::VectorLevel::portable);
    check(portable.ok == r.ok && portable.error == r.error &&
              portable.error_offset == r.error_offset && same_frames(portable.frames, r.frames) &&
              portable.samples == r.samples,
          "the portable loops read differently from the vector loops");

    if (!r.ok && !r.frames.empty()) {
        std::vector<uint8_t> good(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        const ReadResult again = pcmpack_reader::read_stream(good.data(), good.size(), true);
        check(again.ok, "the accepted frames alone are not a valid stream");
        check(same_frames(again.frames, r.frames), "the accepted frames read differently alone");
        check(again.samples == r.samples, "the accepted frames decode differently alone");
    }
    return 0;
}
