// SPDX-License-Identifier: BSD-2-Clause
// Where the tool's results go. Outputs keep the promises of the shell's `>`
// and of `cp`: an output never destroys an input and never appears half
// written; an existing file is replaced only when the user says so (-y, or
// "y" at the terminal's question), only when the user may write it, and
// then keeps its owner, group and mode; a run removes only what it created. A regular file is written unnamed (or under a temporary
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
    // user may not write or whose owner a new file cannot keep, a name too
    // long for its temporary name, a link the user must not follow. An
    // existing regular file is replaced only with `overwrite`, or when the
    // user answers "y" on a terminal. Throws Failure naming it.
    OutputFile(const std::string &path, bool overwrite);
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
    void keep_owner_and_mode(const struct stat &replaced);
    // Closes the output and removes its temporary file, if any.
    void discard();
    void confirm_replacing() const;
    [[noreturn]] void fail_to_create(int error) const;
    void flush();
    void write_all(const uint8_t *data, size_t size);
    void link_in();
    // The steps of putting an output in place. prepare() writes what is
    // left, syncs a regular file to disk and gives it its temporary name;
    // keep_old() links the file it replaces to a hidden name, so that
    // put_back() can restore it until drop_old(); place() renames the new
    // file over the target and sync_folder() makes the rename last. Those
    // that return an int return 0 or the errno of the failed call (put_back:
    // -1 when the old file could not be kept).
    void prepare();
    int keep_old();
    int place();
    int sync_folder() const;
    int put_back();
    void drop_old();
    [[noreturn]] void fail(const char *what, int error) const;

    std::string path_;
    std::string name_;
    std::string target_;     // the regular file to create or replace
    std::string temp_name_;  // its temporary name once this run created it
    std::string old_name_;   // the replaced file's hidden link during commit()
    bool old_unkept_ = false;  // replaced without a link to the old file
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
    // `overwrite`: existing files may be replaced without asking (-y).
    explicit OutputSet(bool overwrite) : overwrite_(overwrite) {}
    // Opens one more output. Throws Failure naming it.
    OutputFile &open(const std::string &path);
    // An input, by its open descriptor, that the renames must not replace;
    // `name` and `role` are for the message.
    void guard(int fd, const std::string &name, const std::string &role);
    // Completes every output, then puts them in place, all or none: a
    // failed rename or folder sync puts back what the earlier renames
    // replaced. The cleanup signals wait until it is done. Throws Failure
    // naming the step that failed; every name is then as it was, except
    // that a direct output (a descriptor, a device) has its bytes already.
    // A run that stops early on request (a live stream's SIGINT) calls it
    // once its last frame is written.
    void commit();

private:
    bool overwrite_;
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

// Every signal whose default action ends the process (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGUSR1, the real-time signals...)
// removes the temporary files this run created before the tool dies, but
// the faults of a bug (SIGSEGV, SIGBUS, SIGFPE, SIGILL), left to core dumps
// and sanitizers; a signal the parent ignored stays ignored, and one a
// runtime already handles (a profiler's SIGPROF) stays its. SIGKILL and a
// power loss cannot be caught: a named temporary file (or the hidden link
// to a file being replaced, during the renames) is then left for the user,
// and no later run touches it (it may be another run's, still writing).
void install_cleanup_handlers();

// For a run whose stream goes to the network, SIGINT and SIGTERM end the
// stream cleanly instead: from this call on they only make stop_requested()
// true, and the run ends after its last complete frame and commits its
// outputs. The other signals still clean up and end the tool.
void end_stream_on_stop_signals();
bool stop_requested();

}  // namespace pcmtool
