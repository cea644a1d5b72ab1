#include "outputs/output.h"

#include "common.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace pcmtool {

namespace {

// Named temporary files that exist right now, removed by the signal handler.
// Plain arrays: the handler may only call async-signal-safe functions.
constexpr int kMaxTemps = 8;
constexpr size_t kMaxPath = 4096;
char g_temps[kMaxTemps][kMaxPath];
volatile sig_atomic_t g_temp_used[kMaxTemps];

void register_temp(const std::string &path) {
    if (path.size() >= kMaxPath) return;
    for (int i = 0; i < kMaxTemps; ++i) {
        if (!g_temp_used[i]) {
            std::memcpy(g_temps[i], path.c_str(), path.size() + 1);
            g_temp_used[i] = 1;
            return;
        }
    }
}

void unregister_temp(const std::string &path) {
    for (int i = 0; i < kMaxTemps; ++i)
        if (g_temp_used[i] && path == g_temps[i]) g_temp_used[i] = 0;
}

extern "C" void remove_temps_and_die(int sig) {
    for (int i = 0; i < kMaxTemps; ++i)
        if (g_temp_used[i]) unlink(g_temps[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Our temporary files are ".NAME.pcmpack-XXXXXX" next to NAME.
constexpr const char *kTempMark = ".pcmpack-";
constexpr size_t kTempSuffix = 6;
// A temporary file of ours untouched for this long belongs to a run that
// was killed (a running one writes continuously).
constexpr time_t kStaleSeconds = 24 * 3600;

std::string dir_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string temp_name(const std::string &target) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string suffix;
    for (size_t i = 0; i < kTempSuffix; ++i) suffix += kChars[device() % (sizeof kChars - 1)];
    return dir_of(target) + "/." + base_of(target) + kTempMark + suffix;
}

// Removes temporary files of ours that a killed run left in `dir`: our
// naming, our user, a regular file, and old.
void remove_stale_temps(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    const time_t now = std::time(nullptr);
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        const size_t mark = name.rfind(kTempMark);
        if (name.empty() || name[0] != '.' || mark == std::string::npos ||
            name.size() != mark + std::strlen(kTempMark) + kTempSuffix)
            continue;
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid() ||
            now - st.st_mtime < kStaleSeconds)
            continue;
        unlink(path.c_str());
    }
    closedir(d);
}

// The path a symbolic link chain ends at, for a link whose target does not
// exist yet (it is created); the path itself when it is no link.
std::string follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0) return path;
        target[n] = '\0';
        path = target[0] == '/' ? std::string(target) : dir_of(path) + "/" + target;
    }
    return path;
}

// The descriptor a /dev/stdout, /dev/fd/N or /proc/self/fd/N spelling
// stands for, or -1. A socket behind one of them cannot be opened by name.
int fd_spelled_by(const std::string &path) {
    if (path == "/dev/stdout") return STDOUT_FILENO;
    if (path == "/dev/stderr") return STDERR_FILENO;
    for (const char *prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const size_t n = std::strlen(prefix);
        if (path.compare(0, n, prefix) == 0 && path.size() > n) {
            char *end = nullptr;
            const long fd = std::strtol(path.c_str() + n, &end, 10);
            if (*end == '\0' && fd >= 0 && fd < INT_MAX) return static_cast<int>(fd);
        }
    }
    return -1;
}

}  // namespace

void install_cleanup_handlers() {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction act {};
        act.sa_handler = remove_temps_and_die;
        sigemptyset(&act.sa_mask);
        sigaction(sig, &act, nullptr);
    }
}

OutputFile::OutputFile(const std::string &path) : path_(path), name_(display_name(path, true)) {
    if (path_.empty()) throw Failure("no output file given (-o FILE)");
    if (is_stdout()) {
        fd_ = STDOUT_FILENO;
        direct_ = true;
        struct stat st;
        seekable_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) &&
                    !(fcntl(fd_, F_GETFL) & O_APPEND) && lseek(fd_, 0, SEEK_CUR) == 0;
    } else {
        struct stat st;
        const bool exists = stat(path_.c_str(), &st) == 0;
        if (base_of(path_).empty() || (exists && S_ISDIR(st.st_mode)))
            throw Failure(path_ + ": is a folder, not a file name");
        if (exists && !S_ISREG(st.st_mode)) {
            open_special(st);
        } else if (exists) {
            char resolved[PATH_MAX];
            if (!realpath(path_.c_str(), resolved)) fail("cannot create", errno);
            open_temporary(resolved, &st);
        } else {
            open_temporary(follow_links(path_), nullptr);
        }
    }
    buffer_.resize(kBlock);
}

// Devices, pipes and sockets are written in place: renaming over them would
// replace the device itself.
void OutputFile::open_special(const struct stat &st) {
    direct_ = true;
    const int spelled = fd_spelled_by(path_);
    if (S_ISSOCK(st.st_mode) && spelled >= 0) {
        fd_ = fcntl(spelled, F_DUPFD_CLOEXEC, 0);
    } else if (S_ISSOCK(st.st_mode)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path) fail("cannot open", ENAMETOOLONG);
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            const int error = errno;
            close(fd_);
            fd_ = -1;
            errno = error;
        }
    } else {
        fd_ = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (fd_ < 0) fail("cannot open", errno);
    seekable_ = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? lseek(fd_, 0, SEEK_CUR) >= 0 : false;
}

// A regular file: written unnamed in the target's folder where the system
// allows (a killed run leaves nothing), else under a temporary name.
void OutputFile::open_temporary(const std::string &target, const struct stat *replaced) {
    target_ = target;
    seekable_ = true;
    const std::string dir = dir_of(target_);
    const mode_t mode = replaced ? (replaced->st_mode & 07777) : 0666;
#ifdef O_TMPFILE
    fd_ = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd_ >= 0) {
        unnamed_ = true;
        if (replaced) fchmod(fd_, mode);  // the replaced file's permissions, not the umask's
        return;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) fail("cannot create", errno);
#endif
    remove_stale_temps(dir);
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        temp_name_ = temp_name(target_);
        fd_ = open(temp_name_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        temp_name_.clear();
        fail("cannot create", errno);
    }
    register_temp(temp_name_);
    if (replaced) fchmod(fd_, mode);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) close(fd_);
    if (!committed_ && !temp_name_.empty()) {
        unlink(temp_name_.c_str());
        unregister_temp(temp_name_);
    }
}

void OutputFile::fail(const char *what, int error) const {
    throw Failure(name_ + ": " + what + ": " + std::strerror(error));
}

void OutputFile::write_all(const uint8_t *data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("write failed", n < 0 ? errno : EIO);
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void OutputFile::flush() {
    if (used_ == 0) return;
    const size_t n = used_;
    used_ = 0;
    write_all(buffer_.data(), n);
}

void OutputFile::write(const void *data, size_t size) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    position_ += static_cast<int64_t>(size);
    if (used_ + size < kBlock) {
        std::memcpy(buffer_.data() + used_, p, size);
        used_ += size;
        return;
    }
    // A block or more with nothing waiting goes out as it is, uncopied.
    if (used_ == 0) {
        write_all(p, size);
        return;
    }
    // Top the block up and send it; a remainder of a block or more goes out
    // as it is, a smaller one waits in the buffer.
    const size_t top = kBlock - used_;
    std::memcpy(buffer_.data() + used_, p, top);
    used_ = kBlock;
    flush();
    p += top;
    size -= top;
    if (size >= kBlock) {
        write_all(p, size);
    } else {
        std::memcpy(buffer_.data(), p, size);
        used_ = size;
    }
}

int64_t OutputFile::seek(int64_t offset, int whence) {
    if (!seekable_) return -1;
    flush();
    const off_t at = lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < 0) return -1;
    position_ = at;
    return position_;
}

int64_t OutputFile::length() {
    flush();
    struct stat st;
    if (!seekable_ || fstat(fd_, &st) != 0) return position_;
    return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : position_;
}

// Gives the unnamed file a temporary name in its folder; rename() then puts
// it in place in one step.
void OutputFile::link_in() {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp_name_ = temp_name(target_);
        register_temp(temp_name_);
        if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, temp_name_.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return;
#ifdef AT_EMPTY_PATH
        if (errno == ENOENT && linkat(fd_, "", AT_FDCWD, temp_name_.c_str(), AT_EMPTY_PATH) == 0)
            return;
#endif
        const int error = errno;
        unregister_temp(temp_name_);
        temp_name_.clear();
        if (error != EEXIST) fail("cannot create", error);
    }
    fail("cannot create", EEXIST);
}

void OutputFile::commit() {
    flush();
    if (direct_) {
        if (fd_ != STDOUT_FILENO && close(fd_) != 0) {
            fd_ = -1;
            fail("write failed", errno);
        }
        fd_ = -1;
        committed_ = true;
        return;
    }
    // The data reaches the disk before the file gets its name: a power loss
    // after "done" must not leave an empty or partial file under that name.
    if (fdatasync(fd_) != 0) fail("sync to disk failed", errno);
    if (unnamed_) link_in();
    const int closed = close(fd_);
    const int close_error = errno;
    fd_ = -1;
    if (closed != 0) fail("write failed", close_error);
    if (rename(temp_name_.c_str(), target_.c_str()) != 0) fail("cannot create", errno);
    unregister_temp(temp_name_);
    temp_name_.clear();
    committed_ = true;
    sync_folder();
}

// The rename is on disk only once the folder is: after a power loss the name
// would otherwise still lead to the replaced file, or to nothing. The file
// is complete and in place by now, so a failure says so.
void OutputFile::sync_folder() const {
    const int fd = open(dir_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    const int synced = fsync(fd);
    const int error = errno;
    close(fd);
    // Some file systems cannot sync a folder at all; nothing to report there.
    if (synced != 0 && error != EINVAL && error != ENOTSUP)
        throw Failure(name_ + ": written, but syncing its folder to disk failed (" +
                      std::strerror(error) + "): the name may not survive a power loss");
}

// --- the same file under two names -----------------------------------------

namespace {

struct Identity {
    bool exists = false;
    bool regular = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string resolved;  // for a file still to be created
};

Identity identity_of(const std::string &path, int standard_fd) {
    Identity id;
    struct stat st;
    if (path == "-") {
        if (fstat(standard_fd, &st) == 0) {
            id.exists = true;
            id.regular = S_ISREG(st.st_mode);
            id.dev = st.st_dev;
            id.ino = st.st_ino;
        }
        return id;
    }
    if (stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.regular = S_ISREG(st.st_mode);
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        return id;
    }
    const std::string target = follow_links(path);
    char dir[PATH_MAX];
    id.resolved = realpath(dir_of(target).c_str(), dir) ? std::string(dir) + "/" + base_of(target)
                                                        : target;
    return id;
}

bool same(const Identity &a, const Identity &b) {
    if (a.exists != b.exists) return false;
    if (a.exists) return a.dev == b.dev && a.ino == b.ino;
    return a.resolved == b.resolved;
}

// Writing a device like /dev/null twice loses nothing.
bool is_null_device(const Identity &id) {
    struct stat st;
    return id.exists && stat("/dev/null", &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino;
}

std::string described(const FileRole &f, bool output) {
    return "the " + f.role + " " + display_name(f.path, output);
}

}  // namespace

void refuse_shared_files(const std::vector<FileRole> &inputs, const std::vector<FileRole> &outputs) {
    std::vector<Identity> out_ids;
    for (size_t i = 0; i < outputs.size(); ++i) {
        const FileRole &o = outputs[i];
        for (size_t j = 0; j < i; ++j) {
            if (o.path == "-" && outputs[j].path == "-")
                throw Failure("standard output cannot take both " + outputs[j].role + " and " +
                              o.role + "; give one of them a file name");
        }
        out_ids.push_back(identity_of(o.path, STDOUT_FILENO));
    }
    for (size_t i = 0; i < outputs.size(); ++i) {
        const Identity &id = out_ids[i];
        if (is_null_device(id)) continue;
        for (const FileRole &in : inputs) {
            // Reading a terminal, pipe or device that is also written
            // destroys nothing; a regular file would be replaced.
            const Identity in_id = identity_of(in.path, STDIN_FILENO);
            if (same(id, in_id) && (!in_id.exists || in_id.regular))
                throw Failure(display_name(outputs[i].path, true) + ": is the same file as " +
                              described(in, false) + "; writing " + outputs[i].role +
                              " there would destroy it");
        }
        for (size_t j = 0; j < i; ++j) {
            if (same(id, out_ids[j]))
                throw Failure(display_name(outputs[i].path, true) + ": is the same file as " +
                              described(outputs[j], true) + "; choose another name for the " +
                              outputs[i].role);
        }
    }
}

}  // namespace pcmtool
