#include "common.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pcmtool {

namespace {

// Temporary files still open, removed by the signal handler. Plain arrays:
// the handler may only call async-signal-safe functions.
constexpr int kMaxTemps = 8;
constexpr size_t kMaxPath = 4096;
char g_temps[kMaxTemps][kMaxPath];
volatile sig_atomic_t g_temp_used[kMaxTemps];

int register_temp(const std::string &path) {
    if (path.size() >= kMaxPath) return -1;
    for (int i = 0; i < kMaxTemps; ++i) {
        if (!g_temp_used[i]) {
            std::memcpy(g_temps[i], path.c_str(), path.size() + 1);
            g_temp_used[i] = 1;
            return i;
        }
    }
    return -1;
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

std::string errno_text() { return std::strerror(errno); }

}  // namespace

void install_cleanup_handlers() {
    signal(SIGINT, remove_temps_and_die);
    signal(SIGTERM, remove_temps_and_die);
    signal(SIGHUP, remove_temps_and_die);
    signal(SIGPIPE, remove_temps_and_die);
}

std::string display_name(const std::string &path, bool output) {
    if (path == "-") return output ? "stdout" : "stdin";
    return path;
}

OutputFile::OutputFile(const std::string &path) : path_(path) {
    if (path_.empty()) throw Failure("no output file given (-o FILE)");
    if (is_stdout()) {
        file_ = stdout;
        return;
    }
    const size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    if (base.empty()) throw Failure(path_ + ": is a folder, not a file name");
    struct stat st;
    if (stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw Failure(path_ + ": is a folder, not a file name");
    if (stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A device or a pipe (/dev/null, a FIFO): written in place, since
        // renaming over it would replace the device itself.
        file_ = fopen(path_.c_str(), "wb");
        if (!file_) throw Failure(path_ + ": cannot open: " + errno_text());
        direct_ = true;
        return;
    }
    std::string pattern = dir + "." + base + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) throw Failure(path_ + ": cannot create: " + errno_text());
    temp_ = name.data();
    register_temp(temp_);
    // mkstemp creates the file private to its owner; give the result the
    // permissions any newly created file would get.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    file_ = fdopen(fd, "wb");
    if (!file_) {
        close(fd);
        unlink(temp_.c_str());
        unregister_temp(temp_);
        throw Failure(path_ + ": cannot create: " + errno_text());
    }
    // Frames arrive a few kilobytes at a time; gather them into large writes.
    setvbuf(file_, nullptr, _IOFBF, size_t{1} << 20);
}

OutputFile::~OutputFile() {
    if (committed_ || is_stdout()) return;
    if (direct_) {
        if (file_) fclose(file_);
        return;
    }
    if (file_) fclose(file_);
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        unregister_temp(temp_);
    }
}

void OutputFile::write(const void *data, size_t size) {
    if (size == 0) return;
    if (!file_ || fwrite(data, 1, size, file_) != size)
        throw Failure(display_name(path_, true) + ": write failed: " + errno_text());
}

void OutputFile::close_stream() {
    if (file_ && !is_stdout()) {
        fclose(file_);
        file_ = nullptr;
    }
}

void OutputFile::commit() {
    if (is_stdout()) {
        if (fflush(stdout) != 0) throw Failure("stdout: write failed: " + errno_text());
        committed_ = true;
        return;
    }
    if (file_) {
        int err = 0;
        if (fflush(file_) != 0) err = errno;
        if (fclose(file_) != 0 && err == 0) err = errno;
        file_ = nullptr;
        if (err != 0) throw Failure(path_ + ": write failed: " + std::strerror(err));
    }
    if (direct_) {
        committed_ = true;
        return;
    }
    if (rename(temp_.c_str(), path_.c_str()) != 0)
        throw Failure(path_ + ": cannot create: " + errno_text());
    unregister_temp(temp_);
    committed_ = true;
}

std::vector<uint8_t> read_all(const std::string &path) {
    FILE *f = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (!f) throw Failure(path + ": cannot open: " + errno_text());
    if (path != "-") {
        struct stat st;
        if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
            fclose(f);
            throw Failure(path + ": is a folder, not a file");
        }
    }
    std::vector<uint8_t> data;
    uint8_t chunk[1 << 16];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + got);
    const bool failed = ferror(f) != 0;
    if (path != "-") fclose(f);
    if (failed) throw Failure(display_name(path) + ": read failed: " + errno_text());
    return data;
}

Progress::Progress(const char *what, double total_seconds)
    : what_(what), total_(total_seconds), enabled_(isatty(STDERR_FILENO) != 0) {}

Progress::~Progress() {
    if (enabled_ && last_drawn_ >= 0) std::fprintf(stderr, "\r\033[K");
}

void Progress::update(double done_seconds) {
    if (!enabled_) return;
    using namespace std::chrono;
    const long long now =
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    if (last_drawn_ >= 0 && now - last_tick_ < 250) return;
    last_tick_ = now;
    last_drawn_ = done_seconds;
    if (total_ > 0)
        std::fprintf(stderr, "\r%s: %.1f s of %.1f s (%d%%)\033[K", what_, done_seconds, total_,
                     static_cast<int>(100.0 * done_seconds / total_));
    else
        std::fprintf(stderr, "\r%s: %.1f s\033[K", what_, done_seconds);
    std::fflush(stderr);
}

}  // namespace pcmtool
