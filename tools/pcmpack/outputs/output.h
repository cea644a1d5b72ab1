// Where the tool's results go. An output never destroys an input and never
// appears half written: a regular file is written unnamed (or under a
// temporary name) in its folder and put in place only when complete and on
// disk; a device, pipe or socket is written directly; a symbolic link is
// followed to its target. Bytes leave in large blocks.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

class OutputFile {
public:
    // Opens the output; "-" is standard output. Throws Failure naming it.
    explicit OutputFile(const std::string &path);
    // Without commit(), whatever was written to a regular file disappears.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Appends at the current position, gathered into blocks of kBlock bytes.
    // Throws Failure naming the output.
    void write(const void *data, size_t size);

    // Going back to complete a header (WAV, RF64, container indexes): only
    // where seekable(). seek() returns the new position or -1.
    bool seekable() const { return seekable_; }
    int64_t tell() const { return position_; }
    int64_t seek(int64_t offset, int whence);
    int64_t length();

    // Writes what is left and puts the output in place: a regular file is
    // synced to disk before it gets its name, and its folder after. Throws
    // Failure; nothing is then under the name unless only the folder's sync
    // failed.
    void commit();

    // "stdout" for "-", else the path as given.
    const std::string &name() const { return name_; }
    bool is_stdout() const { return path_ == "-"; }

    static constexpr size_t kBlock = size_t{1} << 20;

private:
    void open_special(const struct stat &st);
    void open_temporary(const std::string &target, const struct stat *replaced);
    void flush();
    void write_all(const uint8_t *data, size_t size);
    void link_in();
    void sync_folder() const;
    [[noreturn]] void fail(const char *what, int error) const;

    std::string path_;
    std::string name_;
    std::string target_;     // the regular file to create or replace
    std::string temp_name_;  // a named temporary file, when unnamed ones are not possible
    int fd_ = -1;
    bool direct_ = false;    // standard output, a device, a pipe or a socket
    bool unnamed_ = false;   // O_TMPFILE: nothing to remove if we die
    bool seekable_ = false;
    bool committed_ = false;
    int64_t position_ = 0;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
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

// SIGINT, SIGTERM, SIGHUP and SIGPIPE remove the temporary files of outputs
// still open before the tool dies; a signal the parent ignored stays ignored.
void install_cleanup_handlers();

}  // namespace pcmtool
