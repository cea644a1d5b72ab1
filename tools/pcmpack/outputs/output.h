// SPDX-License-Identifier: BSD-2-Clause
// Where the tool's results go. Outputs keep the promises of the shell's `>`
// and of `cp`: an output never destroys an input and never appears half
// written; only a file the user may write is replaced; a run removes only
// what it created. A regular file is written unnamed (or under a temporary
// name) in its folder and put in place only when complete and on disk; a
// device, pipe or socket is written directly, and so is a descriptor named
// as "-", /dev/stdout, /dev/fd/N or /proc/self/fd/N, as the shell opened it
// (`>>` appends). A symbolic link is followed to its target, except where
// the kernel's protected-symlink rule would refuse it to `>`. Bytes leave in
// large blocks.
#pragma once

#include "outputs/sink.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

class OutputFile : public ByteSink {
public:
    // Opens the output and refuses, before any audio is read, what could
    // only fail later: a missing or unwritable folder, an existing file the
    // user may not write, a name too long for its temporary name, a link
    // the user must not follow. Throws Failure naming it.
    explicit OutputFile(const std::string &path);
    // Whatever was written to a regular file and not put in place
    // disappears.
    ~OutputFile() override;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Appends at the current position, gathered into blocks of kBlock bytes.
    // Throws Failure naming the output.
    void write(const void *data, size_t size) override;

    // Going back to complete a header (WAV, RF64): only where seekable().
    // Positions count from where the output started (a descriptor the shell
    // opened may already hold bytes). seek() returns the new position or -1.
    bool seekable() const { return seekable_; }
    // What the output is when it cannot be seekable(), for messages: "a
    // pipe or socket", "a file opened for appending (>>)".
    const std::string &unseekable_kind() const { return unseekable_kind_; }
    int64_t tell() const { return position_; }
    int64_t seek(int64_t offset, int whence);
    int64_t length();

    // "stdout" for "-", else the path as given.
    const std::string &name() const override { return name_; }

    static constexpr size_t kBlock = size_t{1} << 20;

private:
    friend class OutputSet;

    void open_descriptor(int fd);
    void open_special(const std::string &path, const struct stat &st);
    void open_temporary(const std::string &target, const struct stat *replaced);
    void flush();
    void write_all(const uint8_t *data, size_t size);
    void link_in();
    // The two halves of putting an output in place. prepare() writes what
    // is left, syncs a regular file to disk and gives it its temporary name;
    // place() renames it over the target (sync_folder() then makes the
    // rename last).
    void prepare();
    void place();
    void sync_folder() const;
    [[noreturn]] void fail(const char *what, int error) const;

    std::string path_;
    std::string name_;
    std::string target_;     // the regular file to create or replace
    std::string temp_name_;  // its temporary name once this run created it
    int fd_ = -1;
    bool own_fd_ = true;     // false for standard output itself
    bool direct_ = false;    // a descriptor, a device, a pipe or a socket
    bool unnamed_ = false;   // O_TMPFILE: nothing to remove if we die
    bool seekable_ = false;
    std::string unseekable_kind_ = "a pipe or socket";
    bool committed_ = false;
    int64_t base_ = 0;       // file offset of position 0
    int64_t position_ = 0;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
};

// The outputs of one run, which appear together or not at all: each is
// opened (and refused) before any audio is read, and none is put in place
// until every one is complete and on disk. An input named here is checked
// again, by its open descriptor, just before the renames, so that names
// swapped during the run cannot make an output replace it.
class OutputSet {
public:
    // Opens one more output. Throws Failure naming it.
    OutputFile &open(const std::string &path);
    // An input, by its open descriptor, that the renames must not replace;
    // `name` and `role` are for the message.
    void guard(int fd, const std::string &name, const std::string &role);
    // Completes every output, then puts them in place. Throws Failure; an
    // output refused here leaves every name as it was, except that a direct
    // output (a descriptor, a device) has its bytes already.
    void commit();

private:
    std::vector<std::unique_ptr<OutputFile>> outputs_;
    struct Guarded {
        int fd;
        std::string name, role;
    };
    std::vector<Guarded> inputs_;
};

// One file the tool reads or writes, with its role for messages.
struct FileRole {
    std::string path;  // "-": standard input for an input, standard output for an output
    std::string role;  // "input", "output", "index", ...
};

// Refuses, before anything is written, any output that is the same file as
// an input or as another output (same device and inode where the file
// exists, same resolved path where it does not), and standard output named
// for two outputs. Throws Failure naming both.
void refuse_shared_files(const std::vector<FileRole> &inputs, const std::vector<FileRole> &outputs);

// SIGINT, SIGTERM, SIGHUP, SIGPIPE and SIGXFSZ (a file-size limit) remove
// the temporary files this run created before the tool dies; a signal the
// parent ignored stays ignored. SIGKILL and a power loss cannot be caught:
// a named temporary file is then left for the user, and no later run
// touches it (it may be another run's, still writing).
void install_cleanup_handlers();

// For a run whose stream goes to the network, SIGINT and SIGTERM end the
// stream cleanly instead: from this call on they only make stop_requested()
// true, and the run ends after its last complete frame and commits its
// outputs. The other signals still clean up and end the tool.
void end_stream_on_stop_signals();
bool stop_requested();

}  // namespace pcmtool
