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

// A muxer that takes the library's frames in place of the output: the bytes
// of each as they come, then its end with its presentation time (27 MHz
// ticks; -1 marks the stream header). Throws Failure naming the output.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void add(const uint8_t *data, size_t size) = 0;
    virtual void end_unit(uint32_t byte_count, int64_t ticks) = 0;
};

// No exception may cross the library: a failed write is answered with a
// short count, which the library turns into P002, and its reason is kept in
// `failure` for the message.
struct FileStream {
    bufstream bs{};
    ByteSink *out = nullptr;
    FrameSink *frames = nullptr;  // null: the elementary stream itself
    ByteSink *index = nullptr;
    bool json = false;
    uint64_t written = 0;   // bytes on the stream so far
    uint64_t recorded = 0;  // bytes covered by aux_records so far
    std::string failure;    // why a write failed; the library only says P002

    // Writes the CSV index's heading at once; JSON lines have none.
    FileStream(ByteSink *file, ByteSink *index_file, bool index_json);
    FileStream(const FileStream &) = delete;
    FileStream &operator=(const FileStream &) = delete;

private:
    static uint32_t write_bytes(bufstream *stream, const uint8_t *data, uint32_t size);
    static uint32_t auxinfo(bufstream *stream, uint32_t, uint32_t info_id, void *info,
                            uint32_t info_size);
    void index_line(const aux_record &record);
};

}  // namespace pcmtool
