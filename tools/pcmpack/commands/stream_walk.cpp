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

const HdmvLayout &hdmv_layout_of(const StreamInfo &i) {
    const HdmvLayout *layout = i.hdmv_assignment ? hdmv_layout_of_assignment(i.hdmv_assignment)
                                                 : pcmpack_format::hdmv_layout_of_coded(i.channels);
    if (!layout) throw Failure("no HDMV layout for channel assignment " + std::to_string(i.hdmv_assignment));
    return *layout;
}

std::string describe_error(const std::string &name, const IncrementalReader &r) {
    return name + ": byte " + std::to_string(r.error_offset()) + ": " + r.error();
}

// Feeds the audio track of a container to the reader as it is demuxed: the
// track's parameters in place of a stream header, then one access unit at a
// time. A live input's last unit may be cut by the end of the recording.
// Returns the elementary stream's bytes.
static uint64_t walk_container(Container container, const ContainerReader::ReadFn &read,
                               const std::string &name, bool live, IncrementalReader &reader,
                               TrackChoice &tracks) {
    route_libav_messages(true);
    const ContainerReader::Live strict_live;
    ContainerReader demuxer(container, read, name, tracks.asked ? tracks.asked : 1,
                            live ? &strict_live : nullptr);
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
    // The first inconsistency ends the walk: damage further on in the
    // container would only hide it.
    bool first = true;
    while (demuxer.next(piece)) {
        if (first) {
            const ContainerReader::FramePlan &plan = demuxer.frame_plan();
            reader.start_at_cadence_step(plan.first_cadence_step);
            if (plan.sizes_from_headers) reader.take_frame_sizes_from_headers();
            total += pcmpack_format::kStreamHeaderBytes;
            first = false;
            if (!reader.begin(plan.params)) break;
        }
        total += piece.size();
        if (!reader.feed(piece.data(), piece.size())) break;
    }
    if (!reader.failed()) reader.finish();
    return total;
}

uint64_t walk(InputFile &in, IncrementalReader &reader, TrackChoice &tracks) {
    uint8_t head[256];
    const Container container = sniff_container(head, in.peek(head, sizeof head));
    tracks.container = container_title(container);
    if (container != Container::elementary)
        return walk_container(
            container, [&in](uint8_t *data, size_t size) { return in.read(data, size); },
            in.name(), false, reader, tracks);
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

uint64_t walk_live(LiveInput &in, int64_t until, IncrementalReader &reader, TrackChoice &tracks) {
    uint64_t received = 0;
    tracks.container = container_title(Container::transport);
    try {
        return walk_container(
        Container::transport,
        [&](uint8_t *data, size_t size) {
            size_t got = 0;
            while (got == 0 && !in.ended() && monotonic_ns() < until) got = in.read(data, size, until);
            received += got;
            return got;
        },
        in.name(), true, reader, tracks);
    } catch (const Failure &) {
        if (received == 0 && !in.refused()) throw Failure(in.name() + ": no transport stream arrived");
        throw;
    }
}

}  // namespace pcmtool
