#include "audio_source.h"

#include "common.h"

#include <sndfile.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace pcmtool {

namespace {

// libsndfile reading a file held in memory: standard input, which may be a
// pipe, is read whole first so that every container works, not only those
// that can be parsed without seeking.
struct MemoryFile {
    std::vector<uint8_t> data;
    sf_count_t pos = 0;

    static sf_count_t get_filelen(void *user) {
        return static_cast<sf_count_t>(static_cast<MemoryFile *>(user)->data.size());
    }
    static sf_count_t seek(sf_count_t offset, int whence, void *user) {
        auto *m = static_cast<MemoryFile *>(user);
        const sf_count_t size = static_cast<sf_count_t>(m->data.size());
        sf_count_t target = offset;
        if (whence == SEEK_CUR) target = m->pos + offset;
        if (whence == SEEK_END) target = size + offset;
        if (target < 0 || target > size) return -1;
        m->pos = target;
        return m->pos;
    }
    static sf_count_t read(void *ptr, sf_count_t count, void *user) {
        auto *m = static_cast<MemoryFile *>(user);
        const sf_count_t size = static_cast<sf_count_t>(m->data.size());
        const sf_count_t n = count < size - m->pos ? count : size - m->pos;
        if (n <= 0) return 0;
        std::memcpy(ptr, m->data.data() + m->pos, static_cast<size_t>(n));
        m->pos += n;
        return n;
    }
    static sf_count_t write(const void *, sf_count_t, void *) { return 0; }
    static sf_count_t tell(void *user) { return static_cast<MemoryFile *>(user)->pos; }
};

class SndfileSource : public AudioSource {
public:
    explicit SndfileSource(const std::string &path) : name_(display_name(path)) {
        SF_INFO info{};
        if (path == "-") {
            memory_.data = read_all(path);
            SF_VIRTUAL_IO io{MemoryFile::get_filelen, MemoryFile::seek, MemoryFile::read,
                             MemoryFile::write, MemoryFile::tell};
            file_ = sf_open_virtual(&io, SFM_READ, &info, &memory_);
        } else {
            struct stat st;
            if (stat(path.c_str(), &st) != 0)
                throw Failure(path + ": cannot open: " + std::strerror(errno));
            if (S_ISDIR(st.st_mode)) throw Failure(path + ": is a folder, not a file");
            file_ = sf_open(path.c_str(), SFM_READ, &info);
        }
        if (!file_)
            throw Failure(name_ + ": not an audio file that can be read (" +
                          sf_strerror(nullptr) +
                          "); for headerless PCM give --rate, --channels and --bits");
        rate_ = info.samplerate;
        channels_ = info.channels;
        periods_ = info.frames;
        SF_FORMAT_INFO fmt{};
        fmt.format = info.format & SF_FORMAT_TYPEMASK;
        const char *container =
            sf_command(file_, SFC_GET_FORMAT_INFO, &fmt, sizeof fmt) == 0 ? fmt.name : "audio";
        switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_ALAW:
        case SF_FORMAT_ULAW:
            bits_ = 16;
            precision_ = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 16 : 8;
            format_ = precision_ == 16 ? "16-bit" : "8-bit";
            break;
        case SF_FORMAT_PCM_24:
            bits_ = 24;
            precision_ = 24;
            format_ = "24-bit";
            break;
        case SF_FORMAT_PCM_32:
            precision_ = 32;
            format_ = "32-bit";
            break;
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
            format_ = "floating-point";
            floating_ = true;
            break;
        default:
            // Compressed formats decode to more bits than the layers carry.
            precision_ = 32;
            format_ = "compressed";
            break;
        }
        std::vector<int> map(static_cast<size_t>(channels_));
        if (sf_command(file_, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                       static_cast<int>(map.size() * sizeof(int))) == SF_TRUE)
            map_ = std::move(map);
        format_ += std::string(" ") + container;
    }
    ~SndfileSource() override {
        if (file_) sf_close(file_);
    }

    size_t read(int32_t *out, size_t max_periods) override {
        if (floating_) return read_floating(out, max_periods);
        const sf_count_t got = sf_readf_int(file_, out, static_cast<sf_count_t>(max_periods));
        return checked(got);
    }

    size_t read_16(int16_t *out, size_t max_periods) override {
        if (floating_ || bits_ != 16) return AudioSource::read_16(out, max_periods);
        return checked(sf_readf_short(file_, out, static_cast<sf_count_t>(max_periods)));
    }

    size_t read_double(double *out, size_t max_periods) override {
        if (!floating_) return AudioSource::read_double(out, max_periods);
        return checked(sf_readf_double(file_, out, static_cast<sf_count_t>(max_periods)));
    }

    std::vector<int> channel_map() const override { return map_; }

private:
    size_t checked(sf_count_t got) {
        if (got < 0 || sf_error(file_) != SF_ERR_NO_ERROR)
            throw Failure(name_ + ": read failed: " + sf_strerror(file_));
        return static_cast<size_t>(got);
    }

    // Full scale (+-1.0) maps to the full 32-bit range; louder samples clip
    // instead of wrapping round.
    size_t read_floating(int32_t *out, size_t max_periods) {
        floats_.resize(max_periods * static_cast<size_t>(channels_));
        const sf_count_t got =
            sf_readf_double(file_, floats_.data(), static_cast<sf_count_t>(max_periods));
        if (got < 0 || sf_error(file_) != SF_ERR_NO_ERROR)
            throw Failure(name_ + ": read failed: " + sf_strerror(file_));
        const size_t n = static_cast<size_t>(got) * static_cast<size_t>(channels_);
        for (size_t i = 0; i < n; ++i) {
            const double scaled = floats_[i] * 2147483648.0;
            out[i] = scaled >= 2147483647.0    ? INT32_MAX
                     : scaled <= -2147483648.0 ? INT32_MIN
                                               : static_cast<int32_t>(std::lrint(scaled));
        }
        return static_cast<size_t>(got);
    }

    std::string name_;
    bool floating_ = false;
    std::vector<int> map_;
    std::vector<double> floats_;
    MemoryFile memory_;
    SNDFILE *file_ = nullptr;
};

class RawSource : public AudioSource {
public:
    RawSource(const std::string &path, int rate, int channels, int bits, bool big_endian)
        : name_(display_name(path)), big_endian_(big_endian) {
        rate_ = rate;
        channels_ = channels;
        bits_ = bits;
        precision_ = bits;
        width_ = bits == 16 ? 2 : 3;
        format_ = std::to_string(bits) + "-bit raw " + (big_endian ? "big-endian" : "little-endian");
        if (path == "-") {
            file_ = stdin;
        } else {
            struct stat st;
            if (stat(path.c_str(), &st) != 0)
                throw Failure(path + ": cannot open: " + std::strerror(errno));
            if (S_ISDIR(st.st_mode)) throw Failure(path + ": is a folder, not a file");
            file_ = fopen(path.c_str(), "rb");
            if (!file_) throw Failure(path + ": cannot open: " + std::strerror(errno));
            const int64_t period = static_cast<int64_t>(width_) * channels;
            if (st.st_size % period != 0) {
                fclose(file_);
                file_ = nullptr;
                throw Failure(path + ": " + std::to_string(st.st_size) +
                              " bytes is not a whole number of sample periods of " +
                              std::to_string(period) + " bytes (" + std::to_string(channels) +
                              " channels of " + std::to_string(width_) + " bytes)");
            }
            periods_ = st.st_size / period;
        }
    }
    ~RawSource() override {
        if (file_ && file_ != stdin) fclose(file_);
    }

    size_t read(int32_t *out, size_t max_periods) override {
        const size_t period = static_cast<size_t>(width_) * static_cast<size_t>(channels_);
        buffer_.resize(period * max_periods);
        size_t got = fread(buffer_.data(), 1, buffer_.size(), file_);
        if (ferror(file_)) throw Failure(name_ + ": read failed: " + std::strerror(errno));
        if (got % period != 0) {
            if (!feof(file_)) {
                // A short read from a pipe: complete the last period.
                got += fread(buffer_.data() + got, 1, period - got % period, file_);
            }
            if (got % period != 0)
                throw Failure(name_ + ": ends inside a sample period (" +
                              std::to_string(got % period) + " of " + std::to_string(period) +
                              " bytes)");
        }
        const size_t samples = got / static_cast<size_t>(width_);
        const uint8_t *p = buffer_.data();
        for (size_t i = 0; i < samples; ++i, p += width_) {
            uint32_t v;
            if (width_ == 2)
                v = big_endian_ ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16)
                                : (uint32_t{p[1]} << 24 | uint32_t{p[0]} << 16);
            else
                v = big_endian_ ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8)
                                : (uint32_t{p[2]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[0]} << 8);
            out[i] = static_cast<int32_t>(v);
        }
        return got / period;
    }

private:
    std::string name_;
    bool big_endian_;
    int width_ = 2;
    FILE *file_ = nullptr;
    std::vector<uint8_t> buffer_;
};

}  // namespace

size_t AudioSource::read_16(int16_t *out, size_t max_periods) {
    wide_.resize(max_periods * static_cast<size_t>(channels_));
    const size_t got = read(wide_.data(), max_periods);
    const size_t samples = got * static_cast<size_t>(channels_);
    for (size_t i = 0; i < samples; ++i) out[i] = static_cast<int16_t>(wide_[i] >> 16);
    return got;
}

size_t AudioSource::read_double(double *out, size_t max_periods) {
    wide_.resize(max_periods * static_cast<size_t>(channels_));
    const size_t got = read(wide_.data(), max_periods);
    const size_t samples = got * static_cast<size_t>(channels_);
    for (size_t i = 0; i < samples; ++i) out[i] = std::ldexp(static_cast<double>(wide_[i]), -31);
    return got;
}

std::unique_ptr<AudioSource> open_audio_file(const std::string &path) {
    return std::make_unique<SndfileSource>(path);
}

std::unique_ptr<AudioSource> open_raw_pcm(const std::string &path, int rate, int channels,
                                          int bits, bool big_endian) {
    return std::make_unique<RawSource>(path, rate, channels, bits, big_endian);
}

}  // namespace pcmtool
