// SPDX-License-Identifier: BSD-2-Clause
#include "commands/stream_walk.h"

#include "common.h"
#include "containers/container.h"
#include "containers/live_input.h"

#include <cstdio>
#include <vector>

namespace pcmtool {

using pcmpack_reader::IncrementalReader;
using pcmpack_reader::StreamInfo;

// A live input is asked for bytes this long at a time; it hears its stop (a
// signal, --duration) while it waits.
constexpr int64_t kLiveWaitNs = 200'000'000;

const HdmvLayout &hdmv_layout_of(const StreamInfo &i) {
    const HdmvLayout *layout = i.hdmv_assignment ? hdmv_layout_of_assignment(i.hdmv_assignment)
                                                 : pcmpack_format::hdmv_layout_of_coded(i.channels);
    if (!layout) throw Failure("no HDMV layout for channel assignment " + std::to_string(i.hdmv_assignment));
    return *layout;
}

int64_t error_byte(const IncrementalReader &r, const TrackChoice &tracks) {
    return tracks.read > 0 ? tracks.error_byte : static_cast<int64_t>(r.error_offset());
}

std::string describe_error(const std::string &name, const IncrementalReader &r,
                           const TrackChoice &tracks) {
    std::string text = name + ": ";
    const int64_t byte = error_byte(r, tracks);
    if (byte >= 0) text += "byte " + std::to_string(byte) + ": ";
    if (tracks.read > 0)
        text += tracks.title + " track: " + (byte >= 0 ? "in the packet there: " : "");
    text += r.error();
    if (r.error_seconds() >= 0) {
        char at[48];
        std::snprintf(at, sizeof at, " (%.3f s into the audio)", r.error_seconds());
        text += at;
    }
    return text;
}

namespace {

// Where the access units handed to the reader came from: the reader's
// offset of each unit's first byte, and the input's. The reader holds at
// most one frame back, so its first inconsistency is in one of the last few.
class UnitPositions {
public:
    void add(uint64_t stream_offset, int64_t input_byte) {
        units_[next_ % kKept] = {stream_offset, input_byte};
        ++next_;
    }
    // The input's byte where the unit holding `stream_offset` starts; -1 if
    // it is no longer known.
    int64_t input_byte(uint64_t stream_offset) const {
        for (size_t k = 0; k < kKept && k < next_; ++k) {
            const Unit &u = units_[(next_ - 1 - k) % kKept];
            if (u.stream_offset <= stream_offset) return u.input_byte;
        }
        return -1;
    }

private:
    static constexpr size_t kKept = 16;
    struct Unit {
        uint64_t stream_offset;
        int64_t input_byte;
    };
    Unit units_[kKept] = {};
    size_t next_ = 0;
};

}  // namespace

// Feeds the audio track of a container to the reader as it is demuxed: the
// track's parameters in place of a stream header, then one access unit at a
// time. Returns the elementary stream's bytes.
static uint64_t walk_container(Container container, const ContainerReader::ReadFn &read,
                               const std::string &name, IncrementalReader &reader,
                               TrackChoice &tracks) {
    route_libav_messages(true);
    ContainerReader demuxer(container, read, name, tracks.asked ? tracks.asked : 1);
    tracks.ids = demuxer.track_ids();
    tracks.read = tracks.asked ? tracks.asked : 1;
    tracks.title = demuxer.track_title();
    if (tracks.ids.size() > 1) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%X", unsigned(tracks.ids[size_t(tracks.read - 1)]));
        std::fprintf(stderr, "pcmpack: %s: %zu %s tracks; reading track %d (id %s)%s\n",
                     name.c_str(), tracks.ids.size(), tracks.title.c_str(), tracks.read, id,
                     tracks.asked ? "" : ", --track N chooses another");
    }
    std::vector<uint8_t> piece;
    uint64_t total = 0;
    UnitPositions positions;
    // The first inconsistency ends the walk: damage further on in the
    // container would only hide it.
    bool first = true;
    while (demuxer.next(piece)) {
        if (first) {
            // A track that showed only after the probe is known from its
            // first packet on.
            tracks.ids = demuxer.track_ids();
            const ContainerReader::FramePlan &plan = demuxer.frame_plan();
            reader.start_at_cadence_step(plan.first_cadence_step);
            if (plan.sizes_from_headers) reader.take_frame_sizes_from_headers();
            total += pcmpack_format::kStreamHeaderBytes;
            first = false;
            if (!reader.begin(plan.params)) break;
        }
        positions.add(total, demuxer.unit_pos());
        total += piece.size();
        if (!reader.feed(piece.data(), piece.size())) break;
    }
    if (!reader.failed()) reader.finish();
    if (reader.failed()) tracks.error_byte = positions.input_byte(reader.error_offset());
    tracks.programme = demuxer.programme();
    return total;
}

uint64_t walk(InputFile &in, IncrementalReader &reader, TrackChoice &tracks) {
    uint8_t head[256];
    const Container container = sniff_container(head, in.peek(head, sizeof head));
    tracks.container = container_title(container);
    if (container != Container::elementary)
        return walk_container(
            container, [&in](uint8_t *data, size_t size) { return in.read(data, size); },
            in.name(), reader, tracks);
    if (tracks.asked)
        throw Failure(in.name() + ": --track " + std::to_string(tracks.asked) +
                      " chooses a container's track; this is an elementary stream");
    size_t n = 0;
    while (const uint8_t *block = in.next(&n)) {
        if (!reader.feed(block, n)) break;
    }
    if (!reader.failed()) {
        reader.finish();
        return reader.bytes_fed();
    }
    // After an impossible header the rest is counted only where the size is
    // known: a pipe or a device (/dev/zero) may never end.
    if (in.regular()) return static_cast<uint64_t>(in.size());
    return reader.bytes_fed();
}

void walk_live(LiveInput &in, const LiveReaders &readers, std::unique_ptr<IncrementalReader> &reader,
               TrackChoice &tracks) {
    uint64_t received = 0;
    tracks.container = container_title(Container::transport);
    const auto read = [&](uint8_t *data, size_t size) {
        size_t got = 0;
        while (got == 0 && !in.ended()) got = in.read(data, size, monotonic_ns() + kLiveWaitNs);
        received += got;
        return got;
    };
    ContainerReader::Live live;
    live.on_loss = [&](const ContainerReader::Loss &loss) {
        readers.lost(loss);
        reader.reset();
    };
    route_libav_messages(true);
    try {
        ContainerReader demuxer(Container::transport, read, in.name(), tracks.asked ? tracks.asked : 1,
                                &live);
        tracks.ids = demuxer.track_ids();
        tracks.read = tracks.asked ? tracks.asked : 1;
        tracks.title = demuxer.track_title();
        std::vector<uint8_t> unit;
        while (demuxer.next(unit)) {
            if (!reader) {
                tracks.ids = demuxer.track_ids();
                const ContainerReader::FramePlan &plan = demuxer.frame_plan();
                reader = readers.make();
                reader->start_at_cadence_step(demuxer.unit_cadence_step());
                if (plan.sizes_from_headers) reader->take_frame_sizes_from_headers();
                if (!reader->begin(plan.params)) return;
            }
            if (!reader->feed(unit.data(), unit.size())) return;
        }
    } catch (const Failure &) {
        if (received == 0 && !in.refused()) throw Failure(in.name() + ": no transport stream arrived");
        throw;
    }
    if (reader) reader->finish();
}

}  // namespace pcmtool
