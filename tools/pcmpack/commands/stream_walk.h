// SPDX-License-Identifier: BSD-2-Clause
// What inspect and unpack share: the stream, or a container's audio track,
// fed to the stream reader in the pieces it is read in.
#pragma once

#include "containers/container.h"
#include "containers/programme_tracks.h"
#include "source/channel_layout.h"
#include "source/input.h"

#include "reader/stream_reader.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

class LiveInput;

// The tracks of a container and the one read.
struct TrackChoice {
    int asked = 0;              // --track; 0: not given (the first is read)
    std::vector<int> ids;       // PID or stream id of each track of the layer
    int read = 0;               // 1-based: the track read; 0 for a stream
    std::string title;          // "SMPTE 302M" and so on
    std::string container;      // what was read: "an MPEG transport stream (.ts)" and so on
    // A container's: the input's byte where the packet that holds the
    // reader's first inconsistency starts; -1 when none or not known. The
    // reader's own offsets count the demuxed track, which the user cannot
    // find in the file.
    int64_t error_byte = -1;
    // A container's video and audio tracks, and the audio's place on the
    // video's frames.
    Programme programme;
};

// Feeds the whole input to the reader in the blocks it is read in, or, for
// a container, the audio track `tracks.asked` chooses; fills `tracks`, and
// says on stderr which track was read when there are several. After an
// inconsistency the rest is only counted. Returns the stream's bytes.
uint64_t walk(InputFile &in, pcmpack_reader::IncrementalReader &reader, TrackChoice &tracks);

// A live recording's readers: a fresh one for the first frame and after
// every break, and what is done where frames were lost on the way.
struct LiveReaders {
    std::function<std::unique_ptr<pcmpack_reader::IncrementalReader>()> make;
    ContainerReader::LossFn lost;
};

// The audio track of a live transport stream, recorded until `in` ends (its
// stop says so): the frames that arrived whole by then. A break in the
// presentation times goes to `readers.lost`, and the frames after it to a
// new reader started at their cadence step. `reader` is the one read last,
// null when no frame came; a reader's inconsistency ends the walk.
void walk_live(LiveInput &in, const LiveReaders &readers,
               std::unique_ptr<pcmpack_reader::IncrementalReader> &reader, TrackChoice &tracks);

// "NAME: byte N: what is wrong (T s into the audio)", for the reader's first
// inconsistency: N a byte of the input, the frame's own in a stream, the
// start of the packet that holds it in a container.
std::string describe_error(const std::string &name, const pcmpack_reader::IncrementalReader &r,
                           const TrackChoice &tracks);
// That byte of the input; -1 where the container did not say.
int64_t error_byte(const pcmpack_reader::IncrementalReader &r, const TrackChoice &tracks);

// The HDMV layout the frame headers name (the library's for a stream
// without frames).
const HdmvLayout &hdmv_layout_of(const pcmpack_reader::StreamInfo &i);

}  // namespace pcmtool
