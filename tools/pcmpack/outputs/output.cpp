// SPDX-License-Identifier: BSD-2-Clause
#include "outputs/output.h"

#include "common.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace pcmtool {

namespace {

// Named temporary files this run created, removed by the signal handler.
// Plain arrays: the handler may only call async-signal-safe functions.
constexpr int kMaxTemps = 8;
constexpr size_t kMaxPath = 4096;
char g_temps[kMaxTemps][kMaxPath];
volatile sig_atomic_t g_temp_used[kMaxTemps];

// The signals whose default action ends the process, the real-time ones
// aside (added by range: SIGRTMIN is not a constant). The faults of a bug
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL) are not here: the state they leave is
// not to be trusted, and sanitizers and core dumps need them.
constexpr int kCleanupSignals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGTRAP,   SIGABRT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM,
    SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

sigset_t cleanup_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kCleanupSignals) sigaddset(&set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
    return set;
}

// A live stream ends itself on SIGINT and SIGTERM (end_stream_on_stop_signals).
volatile sig_atomic_t g_stop_ends_stream = 0;
volatile sig_atomic_t g_stop_requested = 0;

void register_temp(const std::string &path) {
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
    if (g_stop_ends_stream && (sig == SIGINT || sig == SIGTERM)) {
        g_stop_requested = 1;
        return;
    }
    for (int i = 0; i < kMaxTemps; ++i)
        if (g_temp_used[i]) unlink(g_temps[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Holds the cleanup signals while a name is created and registered: a
// signal between the two would otherwise leave our file behind, and one
// before a failed creation must not remove a file of the same name that is
// not ours.
class SignalsHeld {
public:
    SignalsHeld() {
        const sigset_t set = cleanup_signals();
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t old_;
};

// Our temporary files are ".NAME.pcmpack-XXXXXX" next to NAME.
constexpr const char *kTempMark = ".pcmpack-";
constexpr size_t kTempSuffix = 6;

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

// The kernel's protected-symlink rule, which `>` meets: in a sticky folder
// that anyone may write (/tmp), a link is followed only by its owner or
// when the folder's owner owns it, so that a link planted by another user
// cannot aim someone's output at a file of the planter's choosing. The tool
// follows links itself and renames onto their target, where the kernel
// never looks, so it applies the rule itself, whatever the system setting.
bool protected_link(const std::string &link, const struct stat &link_st) {
    struct stat dir;
    if (lstat(dir_of(link).c_str(), &dir) != 0) return false;
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return shared && link_st.st_uid != geteuid() && link_st.st_uid != dir.st_uid;
}

// The path a symbolic link chain ends at, which may not exist yet (it is
// then created); the path itself when it is no link. Throws Failure for a
// link the protected-symlink rule refuses.
std::string follow_links(std::string path, const std::string &name) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        if (protected_link(path, st))
            throw Failure(name + ": a symbolic link that another user planted in a shared folder "
                                 "(sticky, writable by all); it is not followed, as the system "
                                 "refuses it to `>`");
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0) return path;
        target[n] = '\0';
        path = target[0] == '/' ? std::string(target) : dir_of(path) + "/" + target;
    }
    return path;
}

// The descriptor a /dev/stdout, /dev/fd/N or /proc/self/fd/N spelling
// stands for, or -1.
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
    const sigset_t set = cleanup_signals();
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&set, sig) != 1) continue;
        // Ignored by the parent, or handled by a runtime loaded before main().
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) ||
            old.sa_handler != SIG_DFL)
            continue;
        struct sigaction act {};
        act.sa_handler = remove_temps_and_die;
        sigemptyset(&act.sa_mask);
        sigaction(sig, &act, nullptr);
    }
}

void end_stream_on_stop_signals() { g_stop_ends_stream = 1; }

bool stop_requested() { return g_stop_requested != 0; }

OutputFile::OutputFile(const std::string &path, bool overwrite)
    : path_(path), name_(display_name(path, true)) {
    if (path_.empty()) throw Failure("no output file given (-o FILE)");
    const int spelled = path_ == "-" ? STDOUT_FILENO : fd_spelled_by(path_);
    if (spelled >= 0) {
        open_descriptor(spelled);
    } else {
        const std::string target = follow_links(path_, name_);
        struct stat st;
        const bool exists = stat(target.c_str(), &st) == 0;
        if (base_of(target).empty() || (exists && S_ISDIR(st.st_mode)))
            throw Failure(path_ + ": is a folder, not a file name");
        if (exists && !S_ISREG(st.st_mode)) {
            open_special(target, st);
        } else {
            // As `>` and `cp` do: root may write any file, others only
            // what its mode lets them.
            if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
                fail("cannot replace", errno);
            // A refusal from here on comes after the temporary file was
            // made, which no destructor would remove.
            try {
                open_temporary(target, exists ? &st : nullptr);
                // Asked last: what would refuse the file anyway is said first.
                if (exists && !overwrite) confirm_replacing();
            } catch (const Failure &) {
                discard();
                throw;
            }
        }
    }
    buffer_.resize(kBlock);
}

// A descriptor the shell opened is written where it stands, as `>` or `>>`
// left it: the bytes before and after the tool's stay. A file behind it
// seeks only where it was not opened for appending.
void OutputFile::open_descriptor(int fd) {
    direct_ = true;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) fail("cannot open", errno);
    if ((flags & O_ACCMODE) == O_RDONLY)
        throw Failure(name_ + ": cannot write: the descriptor is open for reading only");
    if (path_ == "-") {
        fd_ = fd;
        own_fd_ = false;
    } else {
        fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (fd_ < 0) fail("cannot open", errno);
    }
    struct stat st;
    if (fstat(fd_, &st) != 0) fail("cannot open", errno);
    const bool file = S_ISREG(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
    const off_t at = file ? lseek(fd_, 0, SEEK_CUR) : -1;
    if (file && (flags & O_APPEND)) {
        unseekable_kind_ = "a file opened for appending (>>)";
    } else if (at >= 0) {
        seekable_ = true;
        base_ = at;
    } else if (file) {
        unseekable_kind_ = "a terminal or device that cannot seek";
    }
}

// Devices, pipes and sockets are written in place: renaming over them would
// replace the device itself.
void OutputFile::open_special(const std::string &path, const struct stat &st) {
    direct_ = true;
    if (S_ISSOCK(st.st_mode)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) fail("cannot open", ENAMETOOLONG);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            const int error = errno;
            close(fd_);
            fd_ = -1;
            errno = error;
        }
    } else {
        fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (fd_ < 0) fail("cannot open", errno);
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        const off_t at = lseek(fd_, 0, SEEK_CUR);
        seekable_ = at >= 0;
        base_ = at >= 0 ? at : 0;
        if (!seekable_) unseekable_kind_ = "a terminal or device that cannot seek";
    }
}

// A regular file: written unnamed in the target's folder where the system
// allows (a killed run leaves nothing), else under a temporary name. Either
// way the temporary name has to fit the folder, and the folder has to take
// a new file: both are known now, not after the audio.
void OutputFile::open_temporary(const std::string &target, const struct stat *replaced) {
    target_ = target;
    seekable_ = true;
    const std::string dir = dir_of(target_);
    const std::string temp = temp_name(target_);
    long name_max = pathconf(dir.c_str(), _PC_NAME_MAX);
    if (name_max <= 0) name_max = NAME_MAX;
    if (base_of(temp).size() > static_cast<size_t>(name_max) || temp.size() >= kMaxPath)
        throw Failure(name_ + ": name too long: its temporary name (." + base_of(target_) +
                      kTempMark + "XXXXXX) would pass the " + std::to_string(name_max) +
                      " bytes a name may have in its folder; choose a shorter name");
    const mode_t mode = replaced ? (replaced->st_mode & 07777) : 0666;
#ifdef O_TMPFILE
    fd_ = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd_ >= 0) {
        unnamed_ = true;
        if (replaced) keep_owner_and_mode(*replaced);
        return;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) fail_to_create(errno);
#endif
    int error = EEXIST;
    for (int attempt = 0; attempt < 16 && fd_ < 0 && error == EEXIST; ++attempt) {
        const std::string name = attempt == 0 ? temp : temp_name(target_);
        const SignalsHeld held;
        fd_ = open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
        error = errno;
        if (fd_ >= 0) {
            temp_name_ = name;
            register_temp(temp_name_);
        }
    }
    if (fd_ < 0) fail_to_create(error);
    if (replaced) keep_owner_and_mode(*replaced);
}

// The new file takes the owner, group and permission bits of the one it
// replaces, as `>` and `cp` keep them by writing in place: a user's file
// replaced by root stays the user's. Owner first: a change of owner clears
// the set-id bits. Only root may give a file away, so a user replacing
// another's file (one the group may write, say) is refused now rather than
// left owning it.
void OutputFile::keep_owner_and_mode(const struct stat &replaced) {
    if (fchown(fd_, replaced.st_uid, replaced.st_gid) != 0)
        throw Failure(name_ + ": cannot replace it keeping its owner and group " +
                      std::to_string(replaced.st_uid) + ":" + std::to_string(replaced.st_gid) +
                      " (fchown: " + std::strerror(errno) + "); only root can give a file away");
    if (fchmod(fd_, replaced.st_mode & 07777) != 0) fail("cannot keep its permissions", errno);
}

// As ffmpeg does: a question on a terminal, a refusal naming -y elsewhere
// (a script must not hang on a question nobody reads).
void OutputFile::confirm_replacing() const {
    if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO))
        throw Failure(name_ + " exists; add -y (--overwrite) to replace it");
    std::fprintf(stderr, "File '%s' already exists. Overwrite? [y/N] ", name_.c_str());
    std::fflush(stderr);
    std::string answer;
    char c = 0;
    ssize_t n = 0;
    while ((n = read(STDIN_FILENO, &c, 1)) == 1 && c != '\n') answer += c;
    if (n <= 0) std::fputc('\n', stderr);
    // Any answer that starts with y, as ffmpeg takes it.
    if (answer.empty() || (answer[0] != 'y' && answer[0] != 'Y'))
        throw Failure(name_ + " exists; not replaced");
}

// A permission refused by the folder is the folder's to fix: say so, not
// merely that the file cannot be created.
void OutputFile::fail_to_create(int error) const {
    const std::string dir = dir_of(target_);
    if ((error == EACCES || error == EPERM) &&
        faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        throw Failure(name_ + ": cannot create a file in " + dir + ": " + std::strerror(error) +
                      " (the folder is not writable)");
    if (error == EROFS)
        throw Failure(name_ + ": cannot create a file in " + dir + ": " + std::strerror(error));
    fail("cannot create", error);
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
    if (fd_ >= 0 && own_fd_) close(fd_);
    fd_ = -1;
    if (!committed_ && !temp_name_.empty()) {
        unlink(temp_name_.c_str());
        unregister_temp(temp_name_);
        temp_name_.clear();
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
    if (whence == SEEK_SET) offset += base_;
    const off_t at = lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < base_) return -1;
    position_ = at - base_;
    return position_;
}

int64_t OutputFile::length() {
    flush();
    struct stat st;
    if (!seekable_ || fstat(fd_, &st) != 0) return position_;
    return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) - base_ : position_;
}

// Gives the unnamed file a temporary name in its folder; rename() then puts
// it in place in one step. The name is ours to remove only once linkat()
// made it.
void OutputFile::link_in() {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
    int error = EEXIST;
    for (int attempt = 0; attempt < 16 && error == EEXIST; ++attempt) {
        const std::string name = temp_name(target_);
        const SignalsHeld held;
        bool linked = linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
#ifdef AT_EMPTY_PATH
        if (!linked && errno == ENOENT)
            linked = linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
#endif
        error = errno;
        if (linked) {
            temp_name_ = name;
            register_temp(temp_name_);
            return;
        }
    }
    throw Failure(name_ + ": cannot give it a name in " + dir_of(target_) + " (linkat: " +
                  std::strerror(error) + ")");
}

void OutputFile::prepare() {
    flush();
    if (direct_) {
        if (own_fd_ && close(fd_) != 0) {
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
}

// The file being replaced gets a second, hidden name beside it, which
// keeps its bytes after the rename until every output of the run is in
// place. A file that is not there (any more) has nothing to keep.
int OutputFile::keep_old() {
    int error = EEXIST;
    for (int attempt = 0; attempt < 16 && error == EEXIST; ++attempt) {
        const std::string name = temp_name(target_);
        if (link(target_.c_str(), name.c_str()) == 0) {
            old_name_ = name;
            return 0;
        }
        error = errno;
    }
    return error == ENOENT ? 0 : error;
}

int OutputFile::place() {
    if (rename(temp_name_.c_str(), target_.c_str()) != 0) return errno;
    unregister_temp(temp_name_);
    temp_name_.clear();
    committed_ = true;
    return 0;
}

// Undoes place(): the old file back under its name, or no file where there
// was none.
int OutputFile::put_back() {
    if (old_unkept_) return -1;
    const int undone = old_name_.empty() ? unlink(target_.c_str())
                                         : rename(old_name_.c_str(), target_.c_str());
    if (undone != 0) return errno;
    old_name_.clear();
    return 0;
}

void OutputFile::drop_old() {
    if (!old_name_.empty()) unlink(old_name_.c_str());
    old_name_.clear();
}

// The rename is on disk only once the folder is: after a power loss the name
// would otherwise still lead to the replaced file, or to nothing.
int OutputFile::sync_folder() const {
    const int fd = open(dir_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    const int synced = fsync(fd);
    const int error = errno;
    close(fd);
    // Some file systems cannot sync a folder at all; nothing to report there.
    return synced != 0 && error != EINVAL && error != ENOTSUP ? error : 0;
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
    const std::string target = follow_links(path, display_name(path));
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

// --- the outputs of one run ---------------------------------------------------

OutputFile &OutputSet::open(const std::string &path) {
    outputs_.push_back(std::make_unique<OutputFile>(path, overwrite_));
    return *outputs_.back();
}

void OutputSet::guard(int fd, const std::string &name, const std::string &role) {
    inputs_.push_back({fd, name, role});
}

namespace {

// "a.wav", "a.wav and b.ac3", "a.wav, b.csv and b.ac3".
std::string listed(const std::vector<std::string> &names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

}  // namespace

void OutputSet::commit() {
    // Every output complete and on disk under its temporary name first: a
    // failure of any leaves every name as it was.
    try {
        for (const auto &out : outputs_) out->prepare();
    } catch (const Failure &failure) {
        throw Failure(std::string(failure.what()) + "; no file was replaced");
    }
    std::vector<OutputFile *> files;
    for (const auto &out : outputs_)
        if (!out->direct_) files.push_back(out.get());
    for (OutputFile *out : files) {
        struct stat target;
        if (stat(out->target_.c_str(), &target) != 0) continue;
        for (const Guarded &in : inputs_) {
            struct stat read;
            if (fstat(in.fd, &read) == 0 && S_ISREG(read.st_mode) &&
                read.st_dev == target.st_dev && read.st_ino == target.st_ino)
                throw Failure(out->name() + ": is now the same file as the " + in.role + " " +
                              in.name + " (renamed during the run); it is left as it "
                              "is, and nothing is written");
        }
    }
    // From the first rename to the last folder sync, a signal would leave
    // some names replaced and others not: it waits for the end of commit().
    const SignalsHeld held;
    // A file system without hard links cannot keep the old files; a single
    // output needs them only to undo a failed folder sync, so it goes on.
    for (size_t i = 0; i < files.size(); ++i) {
        const int error = files[i]->keep_old();
        files[i]->old_unkept_ = error != 0;
        if (error == 0 || files.size() == 1) continue;
        for (size_t j = 0; j < i; ++j) files[j]->drop_old();
        throw Failure("cannot keep " + files[i]->name() +
                      " while the other outputs are put in place (link: " + std::strerror(error) +
                      "); no file was replaced");
    }
    // Undoes the renames of files[0, count) and says which step failed.
    const auto roll_back = [&files](size_t count, const std::string &step) {
        std::vector<std::string> restored;
        std::string lost;
        // Last renamed, first put back.
        for (size_t left = count; left > 0; --left) {
            OutputFile *file = files[left - 1];
            const std::string old = file->old_name_;
            const int error = file->put_back();
            if (error == 0) {
                restored.insert(restored.begin(), file->name());
            } else if (error < 0) {
                lost += "; " + file->name() + " holds the new bytes (the file system kept no "
                        "link to the old ones)";
            } else {
                lost += "; " + file->name() + " could not be put back (" + std::strerror(error) +
                        (old.empty() ? ")" : "): its old bytes are in " + old);
                file->old_name_.clear();  // the user's now, not ours to remove
            }
        }
        for (OutputFile *out : files) out->drop_old();
        const bool one = restored.size() == 1;
        const std::string kept =
            !restored.empty() ? "; " + listed(restored) + (one ? " was left as it was" : " were left as they were")
            : lost.empty()    ? "; no file was replaced"
                              : "";
        throw Failure(step + kept + lost);
    };
    for (size_t i = 0; i < files.size(); ++i) {
        const int error = files[i]->place();
        if (error != 0)
            roll_back(i, "cannot put " + files[i]->name() + " in place (rename: " +
                             std::strerror(error) + ")");
    }
    for (OutputFile *out : files) {
        const int error = out->sync_folder();
        if (error != 0)
            roll_back(files.size(), "cannot sync the folder of " + out->name() + " to disk (fsync: " +
                                        std::strerror(error) + ")");
    }
    for (OutputFile *out : files) out->drop_old();
}

}  // namespace pcmtool
