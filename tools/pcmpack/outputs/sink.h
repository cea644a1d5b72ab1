// SPDX-License-Identifier: BSD-2-Clause
// Where a stream's bytes go: an output file (output.h) or a network
// destination (network_output.h). The muxer and the bufstream write to a
// sink and never ask which one it is.
#pragma once

#include <cstddef>
#include <string>

namespace pcmtool {

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Appends. Throws Failure naming the output.
    virtual void write(const void *data, size_t size) = 0;
    // A whole frame has been written: a live output sends what it holds
    // now rather than wait for a full block.
    virtual void frame_done() {}
    // Whether frame_done() needs the frame's bytes first: a file takes
    // them in large blocks, when the muxer's buffer is full.
    virtual bool live() const { return false; }
    // For messages: "stdout", the path or the URL as given.
    virtual const std::string &name() const = 0;
};

}  // namespace pcmtool
