// SPDX-License-Identifier: BSD-2-Clause
#include "source/input.h"

#include "common.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace pcmtool {

namespace {

// A pipe this large lets a fast writer hand over a block in one read.
constexpr int kPipeBytes = 1 << 20;
// A read that took longer than this waited for its bytes.
constexpr int64_t kWaitedNs = 1'000'000;

// When this process started, on the monotonic clock: the kernel keeps it in
// clock ticks since boot (/proc/self/stat, field 22), counted before the
// libraries were loaded. The present moment when it cannot be read.
int64_t process_started_ns() {
    const int64_t now = monotonic_ns();
    char fields[1024];
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, fields, sizeof fields - 1) : -1;
    if (fd >= 0) close(fd);
    if (n <= 0) return now;
    fields[n] = 0;
    // The fields after the command's name, which may hold spaces itself.
    const char *field = std::strrchr(fields, ')');
    for (int number = 2; field && number < 22; ++number) field = std::strchr(field + 1, ' ');
    timespec boot{};
    if (!field || clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return now;
    const int64_t ticks = std::strtoll(field + 1, nullptr, 10);
    const int64_t age = int64_t{boot.tv_sec} * 1'000'000'000 + boot.tv_nsec -
                        ticks * (1'000'000'000 / sysconf(_SC_CLK_TCK));
    return age > 0 ? now - age : now;
}

}  // namespace

InputFile::InputFile(const std::string &path) : name_(display_name(path)) {
    if (path == "-") {
        fd_ = STDIN_FILENO;
    } else {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) throw Failure(path + ": cannot open: " + std::strerror(errno));
        own_fd_ = true;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        const int error = errno;
        if (own_fd_) close(fd_);
        throw Failure(name_ + ": cannot open: " + std::strerror(error));
    }
    if (S_ISDIR(st.st_mode)) {
        if (own_fd_) close(fd_);
        throw Failure(name_ + ": is a folder, not a file");
    }
    regular_ = S_ISREG(st.st_mode);
    if (regular_) {
        const off_t at = lseek(fd_, 0, SEEK_CUR);
        base_ = at > 0 ? at : 0;
        size_ = static_cast<int64_t>(st.st_size) - base_;
        if (size_ < 0) size_ = 0;
    } else if (S_ISFIFO(st.st_mode)) {
#ifdef F_SETPIPE_SZ
        fcntl(fd_, F_SETPIPE_SZ, kPipeBytes);  // a hint: smaller pipes still work
#endif
    }
    buffer_.resize(kBlock);
}

InputFile::~InputFile() {
    if (own_fd_) close(fd_);
}

// Reads until `size` bytes are in or the input ends; a pipe, until
// `at_least` are in: a live capture hands over its audio as it is recorded,
// and what has come must not wait for a whole block behind it.
size_t InputFile::read_some(uint8_t *to, size_t size, int64_t at, size_t at_least) {
    size_t got = 0;
    while (got < size && (regular_ || got < at_least)) {
        const int64_t asked = first_bytes_ns_ < 0 && !regular_ ? monotonic_ns() : 0;
        const ssize_t n = regular_ ? pread(fd_, to + got, size - got, static_cast<off_t>(base_ + at) + static_cast<off_t>(got))
                                   : ::read(fd_, to + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure(name_ + ": read failed: " + std::strerror(errno));
        if (n > 0 && asked > 0) {
            // A read that returned at once found bytes that came while
            // the tool started: they may be as old as the process.
            const int64_t now = monotonic_ns();
            first_bytes_ns_ = now - asked > kWaitedNs ? now : process_started_ns();
        }
        if (n == 0) {
            if (!regular_) ended_ = true;
            break;
        }
        got += static_cast<size_t>(n);
    }
    return got;
}

bool InputFile::fill(size_t want) {
    const int64_t end = buffer_at_ + static_cast<int64_t>(held_);
    if (position_ >= buffer_at_ && position_ + static_cast<int64_t>(want) <= end) return true;
    if (regular_) {
        if (position_ >= size_) return false;
        buffer_at_ = position_;
        held_ = read_some(buffer_.data(), buffer_.size(), position_, buffer_.size());
        return held_ > 0;
    }
    if (position_ < buffer_at_) return false;  // seek() refuses to go there
    if (holding_) {
        // Everything from the start stays; the input seems to end at
        // kHeaderBytes.
        const int64_t limit = static_cast<int64_t>(kHeaderBytes);
        // A parser that skips past the seeming end (over audio of a size
        // not yet known) finds the end there whatever comes: a live capture
        // is not held up until kHeaderBytes of it have come.
        if (position_ >= limit) return false;
        const int64_t wanted = std::min(position_ + static_cast<int64_t>(want), limit);
        if (wanted > end && !ended_) {
            const size_t grow = static_cast<size_t>(std::min<int64_t>(
                limit, std::max<int64_t>(wanted, end + static_cast<int64_t>(kBlock))));
            buffer_.resize(grow);
            held_ += read_some(buffer_.data() + held_, grow - held_, 0, static_cast<size_t>(wanted - end));
        }
        return position_ < buffer_at_ + static_cast<int64_t>(held_);
    }
    size_t keep = 0;
    if (position_ <= end) {
        // Keep what is still ahead of the position, and kLookback bytes
        // before it (a reader that read ahead may step back), then read on.
        const int64_t keep_from = std::max(buffer_at_, position_ - static_cast<int64_t>(kLookback));
        keep = static_cast<size_t>(end - keep_from);
        std::memmove(buffer_.data(), buffer_.data() + (keep_from - buffer_at_), keep);
        buffer_at_ = keep_from;
    } else {
        // A pipe has to be read through up to the position.
        int64_t skip = position_ - end;
        while (skip > 0 && !ended_)
            skip -= static_cast<int64_t>(read_some(
                buffer_.data(), static_cast<size_t>(std::min<int64_t>(skip, static_cast<int64_t>(buffer_.size()))), 0, 1));
        if (skip > 0) {
            buffer_at_ = position_ - skip;
            held_ = 0;
            return false;
        }
        buffer_at_ = position_;
    }
    held_ = keep;
    const int64_t short_of = position_ + static_cast<int64_t>(want) - (buffer_at_ + static_cast<int64_t>(keep));
    if (!ended_)
        held_ += read_some(buffer_.data() + keep, buffer_.size() - keep, 0,
                           static_cast<size_t>(std::max<int64_t>(short_of, 1)));
    return position_ < buffer_at_ + static_cast<int64_t>(held_);
}

const uint8_t *InputFile::next(size_t *size) {
    *size = 0;
    if (!fill(1)) return nullptr;
    const size_t from = static_cast<size_t>(position_ - buffer_at_);
    *size = held_ - from;
    position_ += static_cast<int64_t>(*size);
    return buffer_.data() + from;
}

size_t InputFile::read(void *data, size_t size) {
    uint8_t *to = static_cast<uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        if (!fill(1)) break;
        const size_t from = static_cast<size_t>(position_ - buffer_at_);
        const size_t n = std::min(size - done, held_ - from);
        std::memcpy(to + done, buffer_.data() + from, n);
        done += n;
        position_ += static_cast<int64_t>(n);
    }
    return done;
}

size_t InputFile::peek(void *data, size_t size) {
    size = std::min(size, buffer_.size());
    if (!fill(size)) return 0;
    const size_t from = static_cast<size_t>(position_ - buffer_at_);
    const size_t n = std::min(size, held_ - from);
    std::memcpy(data, buffer_.data() + from, n);
    return n;
}

bool InputFile::at_end() { return !fill(1); }

void InputFile::hold_header() { holding_ = !regular_; }

void InputFile::release_header() { holding_ = false; }

int64_t InputFile::seek(int64_t offset, int whence) {
    int64_t target = offset;
    if (whence == SEEK_CUR) target = position_ + offset;
    if (whence == SEEK_END) {
        if (!regular_) return -1;
        target = size_ + offset;
    }
    if (target < 0) return -1;
    if (!regular_ && target < buffer_at_) return -1;
    position_ = target;
    return position_;
}

}  // namespace pcmtool
