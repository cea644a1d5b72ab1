// SPDX-License-Identifier: BSD-2-Clause
// The bufstream that encode hands to the library: the library's bytes go to
// the output, or to a muxer in its place, and each frame record becomes a
// line of the index as it is announced, so that the index of any length of
// audio takes no memory.
#pragma once

#include "outputs/sink.h"

#include <pcmpack.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcmtool {

struct Failure;

// A muxer that takes the library's frames in place of the output: it lends
// the memory of each stream header and frame, which the library packs in
// place, then takes it back with the frame's presentation time (27 MHz
// ticks; -1 marks the stream header), or gets it back unused. Throws Failure
// naming the output.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual uint8_t *lend(size_t size) = 0;
    virtual void take(uint32_t byte_count, int64_t ticks) = 0;
    virtual void drop() = 0;
};

// No exception may cross the library: a failed write is answered with a
// short count, which the library turns into P002, a muxer that cannot lend
// or take a frame with a refusal (P029, P030), and the reason is kept in
// `failure` for the message. The library is bound to `bs` (Init) for the
// output itself, to `sink` (InitWithSink) for a muxer.
struct FileStream {
    bufstream bs{};
    pcm_frame_sink sink{};
    ByteSink *out = nullptr;
    FrameSink *frames = nullptr;  // null: the elementary stream itself
    ByteSink *index = nullptr;
    bool json = false;
    uint64_t recorded = 0;  // bytes covered by aux_records so far
    std::string failure;    // why a write failed; the library only says P002

    // Writes the CSV index's heading at once; JSON lines have none.
    FileStream(ByteSink *file, ByteSink *index_file, bool index_json);
    FileStream(const FileStream &) = delete;
    FileStream &operator=(const FileStream &) = delete;

    // Binds the encoder to the output or the muxer; 0 or the library's 1.
    int32_t bind(pcm_a_encoder *encoder);

private:
    static uint32_t write_bytes(bufstream *stream, const uint8_t *data, uint32_t size);
    static uint32_t auxinfo(bufstream *stream, uint32_t, uint32_t info_id, void *info,
                            uint32_t info_size);
    static uint8_t *lend(void *opaque, uint32_t size, uint32_t *lent);
    static int32_t take(void *opaque, uint8_t *data, const aux_record *record);
    void index_line(const aux_record &record);
    // Notes a failure's reason, the first one only.
    void keep(const Failure &failure);
};

}  // namespace pcmtool
