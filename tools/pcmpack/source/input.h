// SPDX-License-Identifier: BSD-2-Clause
// An input file or standard input, read in large blocks whatever size the
// reader asks for (a pipe: as large as what has come, once the reader has
// what it asked for). A pipe can be read only forwards, except over its header
// while hold_header() is in force.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

class InputFile {
public:
    // Opens the input; "-" is standard input. Throws Failure naming it.
    explicit InputFile(const std::string &path);
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    // "stdin" for "-", else the path as given.
    const std::string &name() const { return name_; }
    // A regular file: its size is known and any position can be read.
    bool regular() const { return regular_; }
    // Bytes in a regular file; -1 for a pipe or device.
    int64_t size() const { return size_; }
    // The open descriptor: the file being read, whatever its name is now.
    int fd() const { return fd_; }
    // A pipe: when its first bytes came (monotonic nanoseconds), the moment
    // a read that waited for them returned, or when the process started if
    // they were already there; -1 before they came and for a regular file.
    int64_t first_bytes_ns() const { return first_bytes_ns_; }

    // Copies up to `size` bytes from the current position; fewer only at the
    // end. Throws Failure when the system reports a read error.
    size_t read(void *data, size_t size);
    // The next bytes, as they are held: at most kBlock, none at the end.
    // Valid until the next call.
    const uint8_t *next(size_t *size);
    // Copies up to `size` bytes from the current position without
    // consuming them.
    size_t peek(void *data, size_t size);
    // Moves the position; returns it, or -1 where a pipe cannot go back.
    int64_t seek(int64_t offset, int whence);
    int64_t tell() const { return position_; }
    // True once nothing is left after the current position.
    bool at_end();

    // While a container header is parsed: a pipe's first kHeaderBytes are
    // kept so that the parser can go back over them, and it sees the input
    // end there (a parser that skips over the audio to look for chunks
    // after it must not read a pipe through). release_header() ends it.
    void hold_header();
    void release_header();

    static constexpr size_t kBlock = size_t{1} << 20;
    static constexpr size_t kHeaderBytes = size_t{4} << 20;
    // What stays behind the position of a pipe: a reader that reads ahead
    // in blocks of its own (libsndfile: 64 KiB) can go back over it.
    static constexpr size_t kLookback = size_t{128} << 10;

private:
    // Makes the buffer hold `want` bytes from the current position, or all
    // that is left; returns false when nothing is left.
    bool fill(size_t want);
    size_t read_some(uint8_t *to, size_t size, int64_t at, size_t at_least);

    std::string name_;
    int fd_ = -1;
    bool own_fd_ = false;
    bool regular_ = false;
    int64_t size_ = -1;
    int64_t first_bytes_ns_ = -1;
    int64_t base_ = 0;        // file offset of stream position 0 (standard input)
    int64_t position_ = 0;    // stream position of the reader
    std::vector<uint8_t> buffer_;
    int64_t buffer_at_ = 0;   // stream position of buffer_[0]
    size_t held_ = 0;         // bytes in buffer_
    bool ended_ = false;      // a pipe gave its last byte
    bool holding_ = false;    // hold_header() in force on a pipe
};

}  // namespace pcmtool
