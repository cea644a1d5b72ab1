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
    sink = pcm_frame_sink{&FileStream::lend, &FileStream::take, this};
    if (index && !json) index->write("offset,bytes,ticks,seconds\n", 27);
}

int32_t FileStream::bind(pcm_a_encoder *encoder) {
    return frames ? pcmOutAudioInitWithSink(encoder, &sink) : pcmOutAudioInit(encoder, &bs);
}

void FileStream::keep(const Failure &reason) {
    if (failure.empty()) failure = reason.what();
}

uint32_t FileStream::write_bytes(bufstream *stream, const uint8_t *data, uint32_t size) {
    auto *self = static_cast<FileStream *>(stream->host_slot1);
    if (!self->failure.empty()) return 0;
    try {
        self->out->write(data, size);
    } catch (const Failure &failure) {
        self->keep(failure);
        return 0;
    }
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
    return 0;
}

uint8_t *FileStream::lend(void *opaque, uint32_t size, uint32_t *lent) {
    auto *self = static_cast<FileStream *>(opaque);
    if (!self->failure.empty()) return nullptr;
    try {
        uint8_t *memory = self->frames->lend(size);
        *lent = size;
        return memory;
    } catch (const Failure &failure) {
        self->keep(failure);
        return nullptr;
    }
}

int32_t FileStream::take(void *opaque, uint8_t *, const aux_record *record) {
    auto *self = static_cast<FileStream *>(opaque);
    try {
        if (!record) {
            self->frames->drop();
            return 0;
        }
        // The index says what the library made, also of a frame the muxer
        // then refuses.
        if (self->index) self->index_line(*record);
        self->recorded += record->byte_count;
        if (!self->failure.empty()) return 1;
        self->frames->take(record->byte_count, record->timestamp);
    } catch (const Failure &failure) {
        self->keep(failure);
        return 1;
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
        keep(failure);
    }
}

}  // namespace pcmtool
