// What inspect and unpack share: the stream, or a container's audio track,
// fed to the stream reader in the pieces it is read in.
#pragma once

#include "source/channel_layout.h"
#include "source/input.h"

#include "reader/stream_reader.h"

#include <cstdint>
#include <string>

namespace pcmtool {

// Feeds the whole input to the reader in the blocks it is read in, or, for
// a container, its audio track. After an inconsistency the rest is only
// counted. Returns the stream's bytes.
uint64_t walk(InputFile &in, pcmpack_reader::IncrementalReader &reader);

// "NAME: byte N: what is wrong", for the reader's first inconsistency.
std::string describe_error(const std::string &name, const pcmpack_reader::IncrementalReader &r);

// The HDMV layout the frame headers name (the library's for a stream
// without frames).
const HdmvLayout &hdmv_layout_of(const pcmpack_reader::StreamInfo &i);

}  // namespace pcmtool
