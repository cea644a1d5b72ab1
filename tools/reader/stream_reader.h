// SPDX-License-Identifier: BSD-2-Clause
// Reads a pcmpack output stream back: recognises the layer by its stream
// header, walks and validates the frames, and turns the payload back into
// interleaved PCM. Written from the output formats alone, independent of the
// library's packers, so that it can check them. Used by the tool's `inspect`
// and `unpack` and by the round-trip tests; not part of the library's
// exported interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "format/stream_format.h"
#include "vector_level.h"

namespace pcmpack_reader {

using pcmpack_format::StreamParams;

// The stream header's fields, and what the frames add to them.
struct StreamInfo : StreamParams {
    // HDMV only: the channel assignment code of the frame headers (3 2.0,
    // 4 3/0, 8 3/2, 10 3/4, or with the same coded channels 1 mono, 9 5.1,
    // 11 7.1); 0 until a frame header has been read.
    int hdmv_assignment = 0;
    uint8_t header[8] = {};   // the stream header as read
};

struct FrameInfo {
    uint64_t offset = 0;          // byte offset of the frame (of its header, if it has one)
    uint32_t size = 0;            // bytes, including the frame's own 4-byte header if any
    uint32_t sample_periods = 0;  // sample periods carried
    int cadence_step = 0;         // 0..4 for the AES3 layers, 0 otherwise
    int64_t timestamp = 0;        // 27 MHz ticks, as the encoder stamps the frame
};

struct ReadResult {
    bool ok = false;          // false: see error and error_offset
    std::string error;        // the first inconsistency found, in words
    uint64_t error_offset = 0;  // the offending byte; for a truncated frame, the frame's start
    StreamInfo info;
    std::vector<FrameInfo> frames;  // every complete, valid frame before any error
    // Interleaved samples of those frames (when asked for), each held
    // left-justified in 32 bits: a 16-bit sample s is s << 16, a 24-bit or
    // 20-bit sample s is s << 8. Bits the layout does not carry are 0.
    std::vector<int32_t> samples;
};

// Receives what an IncrementalReader finds, frame by frame.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // The stream header was read and is valid.
    virtual void on_header(const StreamInfo &info) { (void)info; }
    // A complete, valid frame; `samples` holds its interleaved samples
    // (`count` values, left-justified as in ReadResult) when they were asked
    // for, and is empty otherwise. Valid for the duration of the call.
    virtual void on_frame(const FrameInfo &frame, const int32_t *samples, size_t count) = 0;
};

// Reads a stream that arrives in pieces of any size (a file read in blocks, a
// pipe, a demuxer's packets), holding at most one frame: whole frames are
// read straight from the piece handed in, and only a frame cut by the end of
// a piece is gathered. Gives the same frames, samples and first error as
// read_stream() on the whole stream, whatever the pieces.
class IncrementalReader {
public:
    // `vector_loops` caps the level of the vector loops, used only where the
    // processor has them; every level reads as the portable loops do.
    IncrementalReader(FrameSink &sink, bool want_samples,
                      VectorLevel vector_loops = VectorLevel::avx2);
    ~IncrementalReader();
    IncrementalReader(const IncrementalReader &) = delete;
    IncrementalReader &operator=(const IncrementalReader &) = delete;

    // For a stream without its own header (a container's audio track): the
    // parameters the container signals, in place of the stream header; then
    // feed() takes the frames. Only before the first feed(). Returns false
    // (see error()) for parameters no stream header could carry. A 302M
    // track's marker nibbles are then held to ours only if its first frame
    // has them: other writers send their AES3 input's bits.
    bool begin(const StreamParams &params);
    // Stops or resumes handing samples to the sink, from the next frame on:
    // a sink that has learnt what it needs of them saves their unpacking.
    void want_samples(bool want);
    // The next bytes of the stream. Returns false once an inconsistency is
    // found (see error()); later calls do nothing.
    bool feed(const uint8_t *data, size_t size);
    // The end of the stream: a stream header or frame cut short is an
    // inconsistency. Returns ok().
    bool finish();

    bool ok() const { return ok_; }
    bool failed() const { return !error_.empty(); }
    const std::string &error() const { return error_; }
    uint64_t error_offset() const { return error_offset_; }
    // Where the first inconsistency is in the audio: seconds of the samples
    // of the frames before it; negative for a stream header.
    double error_seconds() const { return error_seconds_; }
    // The stream header's fields; valid only once on_header() was called.
    const StreamInfo &info() const;
    // Bytes handed in so far.
    uint64_t bytes_fed() const { return fed_; }

    // What a container tells of its track before the first byte is fed.
    // The AES3 cadence of a recording cut anywhere starts at any step.
    void start_at_cadence_step(int step);
    // Other writers cut HDMV LPCM into access units of their own length (and
    // 302M, whose parameters then carry pcmpack_format::kNoFrameRate):
    // each frame's size is then its header's payload size, in whole sample
    // periods, and its time follows from the periods before it.
    void take_frame_sizes_from_headers();

    class Walker;  // the frame rules, one instance per stream

private:
    std::unique_ptr<Walker> walker_;
    bool ok_ = false;
    std::string error_;
    uint64_t error_offset_ = 0;
    double error_seconds_ = -1.0;
    uint64_t fed_ = 0;
};

// Reads a whole stream held in memory. Never reads outside [data, data+size)
// whatever the bytes are.
ReadResult read_stream(const uint8_t *data, size_t size, bool want_samples = true,
                       VectorLevel vector_loops = VectorLevel::avx2);

using pcmpack_format::layer_name;

}  // namespace pcmpack_reader
