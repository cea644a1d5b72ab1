// SPDX-License-Identifier: BSD-2-Clause
#include "outputs/file_stream.h"

#include "common.h"

#include <cstdio>
#include <cstring>

namespace pcmtool {

FileStream::FileStream(ByteSink *file, ByteSink *index_file, bool index_json)
    : out(file), index(index_file), json(index_json) {
    bs.host_slot1 = this;
    bs.write_bytes = &FileStream::write_bytes;
    bs.auxinfo = &FileStream::auxinfo;
    if (index && !json) index->write("offset,bytes,ticks,seconds\n", 27);
}

uint32_t FileStream::write_bytes(bufstream *stream, const uint8_t *data, uint32_t size) {
    auto *self = static_cast<FileStream *>(stream->host_slot1);
    if (!self->failure.empty()) return 0;
    try {
        if (self->frames)
            self->frames->add(data, size);
        else
            self->out->write(data, size);
    } catch (const Failure &failure) {
        if (self->failure.empty()) self->failure = failure.what();
        return 0;
    }
    self->written += size;
    return size;
}

uint32_t FileStream::auxinfo(bufstream *stream, uint32_t, uint32_t info_id, void *info,
                             uint32_t info_size) {
    auto *self = static_cast<FileStream *>(stream->host_slot1);
    if (info_id != AUX_FRAME_INFO_ID || info_size != sizeof(aux_record) || !info) return 0;
    aux_record record;
    std::memcpy(&record, info, sizeof record);
    if (self->index) self->index_line(record);
    self->recorded += record.byte_count;
    // A muxer failure stops the next write, which the library reports.
    if (self->frames && self->failure.empty()) {
        try {
            self->frames->end_unit(record.byte_count, record.timestamp);
        } catch (const Failure &failure) {
            self->failure = failure.what();
        }
    }
    return 0;
}

void FileStream::index_line(const aux_record &record) {
    char line[160];
    const unsigned long long offset = recorded;
    const unsigned bytes = record.byte_count;
    const long long ticks = record.timestamp;
    const double seconds = static_cast<double>(record.timestamp) / 27e6;
    int n;
    if (!json)
        n = ticks < 0 ? std::snprintf(line, sizeof line, "%llu,%u,%lld,\n", offset, bytes, ticks)
                      : std::snprintf(line, sizeof line, "%llu,%u,%lld,%.9f\n", offset, bytes,
                                      ticks, seconds);
    else
        n = ticks < 0
                ? std::snprintf(line, sizeof line,
                                "{\"offset\":%llu,\"bytes\":%u,\"ticks\":%lld,\"seconds\":null}\n",
                                offset, bytes, ticks)
                : std::snprintf(line, sizeof line,
                                "{\"offset\":%llu,\"bytes\":%u,\"ticks\":%lld,\"seconds\":%.9f}\n",
                                offset, bytes, ticks, seconds);
    try {
        index->write(line, static_cast<size_t>(n));
    } catch (const Failure &failure) {
        if (this->failure.empty()) this->failure = failure.what();
    }
}

}  // namespace pcmtool
