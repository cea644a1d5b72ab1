// SPDX-License-Identifier: BSD-2-Clause
#include "source/audio_source.h"

#include "common.h"
#include "source/input.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace pcmtool {

namespace {

// libsndfile reads through an InputFile, so that a pipe is read in large
// blocks and as it comes, never held whole. Positions are counted from
// `base`: the audio that follows a WAV header whose size fields are
// placeholders is read as headerless PCM from where the header's data ends.
// A file whose audio ends before the file does (a chunk or a tag follows
// it) seems to end at `end`.
struct InputView {
    InputFile *in = nullptr;
    int64_t base = 0;
    int64_t end = -1;  // -1: where the input ends
    // Bytes shown in place of the input's at patch_at (-1: none).
    int64_t patch_at = -1;
    uint8_t patch[8] = {};

    static InputView &of(void *user) { return *static_cast<InputView *>(user); }
    static sf_count_t get_filelen(void *user) {
        const InputView &v = of(user);
        // A pipe's length is unknown: as long as it goes on.
        if (v.end >= 0) return v.end - v.base;
        return v.in->regular() ? v.in->size() - v.base : INT64_MAX / 4;
    }
    static sf_count_t seek(sf_count_t offset, int whence, void *user) {
        const InputView &v = of(user);
        const int64_t at = v.in->seek(whence == SEEK_SET ? offset + v.base : offset, whence);
        return at < 0 ? -1 : at - v.base;
    }
    static sf_count_t read(void *ptr, sf_count_t count, void *user) {
        const InputView &v = of(user);
        if (v.end >= 0) count = std::max<sf_count_t>(0, std::min<sf_count_t>(count, v.end - v.in->tell()));
        const int64_t at = v.in->tell();
        const size_t got = v.in->read(ptr, static_cast<size_t>(count));
        const int64_t from = std::max(at, v.patch_at);
        const int64_t to = std::min(at + static_cast<int64_t>(got), v.patch_at + 8);
        if (v.patch_at >= 0 && from < to)
            std::memcpy(static_cast<uint8_t *>(ptr) + (from - at), v.patch + (from - v.patch_at),
                        static_cast<size_t>(to - from));
        return static_cast<sf_count_t>(got);
    }
    static sf_count_t write(const void *, sf_count_t, void *) { return 0; }
    static sf_count_t tell(void *user) { return of(user).in->tell() - of(user).base; }
};

SF_VIRTUAL_IO input_io() {
    return SF_VIRTUAL_IO{InputView::get_filelen, InputView::seek, InputView::read,
                         InputView::write, InputView::tell};
}

uint32_t load_le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool host_is_little_endian() {
    const uint16_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

uint64_t load_le64(const uint8_t *p) { return load_le32(p) | uint64_t{load_le32(p + 4)} << 32; }

// The chunk whose body is the audio, as each container heads it: an id, the
// chunk's size and, in some, fields before the first audio byte.
struct DataChunk {
    int container;     // libsndfile's SF_FORMAT_* type
    const char *id;
    int id_bytes;      // 4, or a Wave64 GUID's 16
    int size_bytes;    // 4 or 8, right after the id
    bool big_endian;
    int header_bytes;  // from the chunk's start to the first audio byte
    int not_audio;     // bytes the size counts that are no audio
};

constexpr DataChunk kDataChunks[] = {
    {SF_FORMAT_WAV, "data", 4, 4, false, 8, 0},
    {SF_FORMAT_WAVEX, "data", 4, 4, false, 8, 0},
    {SF_FORMAT_RF64, "data", 4, 4, false, 8, 0},  // all ones: the size is in ds64
    {SF_FORMAT_AIFF, "SSND", 4, 4, true, 16, 8},  // offset and block size, then audio
    {SF_FORMAT_W64, "data\xF3\xAC\xD3\x11\x8C\xD1\x00\xC0\x4F\x8E\xDB\x8A", 16, 8, false, 24,
     24},                                         // the size counts the whole chunk
    {SF_FORMAT_CAF, "data", 4, 8, true, 16, 4},   // the edit count, then audio
};

constexpr int kMaxChunkHeader = 24;

constexpr bool chunk_headers_fit() {
    for (const DataChunk &chunk : kDataChunks)
        if (chunk.id_bytes + chunk.size_bytes > chunk.header_bytes ||
            chunk.header_bytes > kMaxChunkHeader)
            return false;
    return true;
}
static_assert(chunk_headers_fit(), "a data chunk's id and size lie within its header");

const DataChunk *data_chunk_of(int container) {
    for (const DataChunk &chunk : kDataChunks)
        if (chunk.container == container) return &chunk;
    return nullptr;
}

uint64_t load_size(const uint8_t *p, int size_bytes, bool big_endian) {
    uint64_t size = 0;
    for (int i = 0; i < size_bytes; ++i)
        size |= uint64_t{p[big_endian ? size_bytes - 1 - i : i]} << (8 * i);
    return size;
}

// What a writer puts in a data size when it cannot know it (writing to a
// pipe): 0 or all ones; in 64 bits also the largest positive size.
bool is_placeholder_size(uint64_t size, int size_bytes) {
    return size == 0 || (size_bytes == 4 ? size == 0xFFFFFFFFu : size >= uint64_t{INT64_MAX});
}

// sox, writing to a pipe, gives the audio the largest whole number of sample
// periods below a round mark instead: a size that no real file of that
// length contradicts, so it counts only where the input holds less.
struct LengthMark {
    int container;  // libsndfile's SF_FORMAT_* type
    uint64_t mark;  // bytes of audio, before rounding down to whole periods
};

constexpr LengthMark kLengthMarks[] = {
    {SF_FORMAT_WAV, 0x7FFFF000},
    {SF_FORMAT_WAVEX, 0x7FFFF000},
    {SF_FORMAT_AIFF, 0x7F000000},
};

bool is_length_mark(int container, uint64_t audio_bytes, uint64_t period_bytes) {
    if (period_bytes == 0) return false;
    for (const LengthMark &m : kLengthMarks)
        if (m.container == container && audio_bytes == m.mark - m.mark % period_bytes) return true;
    return false;
}

// A WAV header's 32-bit size wraps at 4 GiB.
constexpr uint64_t kWrap = uint64_t{1} << 32;
// On a pipe, what follows the audio a WAV header announces is taken for a
// tag or padding when the input ends within this many bytes; more is the
// rest of audio whose size wrapped.
constexpr size_t kTrailerBytes = size_t{512} << 10;
static_assert(kTrailerBytes + InputFile::kLookback < InputFile::kBlock,
              "a pipe's buffer holds the trailer ahead of the position");

// Bytes per sample of the PCM encodings whose data can be read on past the
// header's length as headerless PCM; 0 for the others.
int pcm_width(int subformat) {
    switch (subformat) {
    case SF_FORMAT_PCM_U8: return 1;
    case SF_FORMAT_PCM_16: return 2;
    case SF_FORMAT_PCM_24: return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT: return 4;
    case SF_FORMAT_DOUBLE: return 8;
    default: return 0;
    }
}

// An input without a byte is named as such, whatever it was taken for.
void refuse_empty(InputFile &in) {
    uint8_t first;
    if (in.peek(&first, 1) == 0) throw Failure(in.name() + ": the input is empty");
}

class SndfileSource : public AudioSource {
public:
    explicit SndfileSource(std::unique_ptr<InputFile> input)
        : in_(std::move(input)), name_(in_->name()) {
        view_.in = in_.get();
        SF_INFO info{};
        SF_VIRTUAL_IO io = input_io();
        in_->hold_header();
        size_caf_to_end();
        refuse_empty(*in_);
        file_ = sf_open_virtual(&io, SFM_READ, &info, &view_);
        // libsndfile's own words ("SF_INFO struct incomplete", "Format not
        // recognised") name its internals, not what the user can change.
        if (!file_)
            throw Failure(name_ + ": not an audio file libsndfile recognises; for headerless PCM "
                                  "give --rate and --channels");
        // A constructor that throws runs no destructor: close the file here
        // when the header turns out damaged.
        try {
            describe(info);
        } catch (...) {
            sf_close(file_);
            file_ = nullptr;
            throw;
        }
    }
    ~SndfileSource() override {
        if (file_) sf_close(file_);
    }

private:
    // A CAF data chunk may give its size as -1: the audio runs to the end of
    // the file (a writer on a pipe cannot know more). libsndfile refuses
    // that, so it is shown a size instead: what the file holds, or for a
    // pipe more than any pipe brings.
    void size_caf_to_end() {
        std::vector<uint8_t> head(size_t{64} << 10);
        head.resize(in_->peek(head.data(), head.size()));
        if (head.size() < 8 || std::memcmp(head.data(), "caff", 4) != 0) return;
        for (size_t at = 8; at + 12 <= head.size();) {
            const uint64_t size = load_size(&head[at + 4], 8, true);
            if (std::memcmp(&head[at], "data", 4) == 0) {
                if (size != UINT64_MAX) return;
                const int64_t chunk_end = static_cast<int64_t>(at) + 12;
                const uint64_t shown = in_->regular() && in_->size() >= chunk_end
                                           ? static_cast<uint64_t>(in_->size() - chunk_end)
                                           : uint64_t{1} << 60;
                for (int i = 0; i < 8; ++i) view_.patch[i] = static_cast<uint8_t>(shown >> (56 - 8 * i));
                view_.patch_at = static_cast<int64_t>(at) + 4;
                return;
            }
            if (size > head.size()) return;
            at += 12 + static_cast<size_t>(size);
        }
    }

    // What the opened file holds, checked against what its header announces.
    void describe(const SF_INFO &info) {
        rate_ = info.samplerate;
        channels_ = info.channels;
        periods_ = info.frames;
        declared_periods_ = info.frames;
        format_code_ = info.format;
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
        stored_ = stored_order(info.format);
        check_data_size();
        in_->release_header();
    }

public:

    // Floating-point samples have no word length, so a conversion is always
    // planned for them and they are read through read_double().
    size_t read(int32_t *out, size_t max_periods) override {
        return fill(out, size_t(channels_), max_periods, [this](int32_t *at, size_t n) {
            return checked(sf_readf_int(file_, at, static_cast<sf_count_t>(n)));
        });
    }

    Words stored_words() const override { return stored_; }

    size_t read_stored(uint8_t *out, size_t max_periods) override {
        if (stored_ == Words::converted) return AudioSource::read_stored(out, max_periods);
        const size_t period = static_cast<size_t>(bits_ / 8) * static_cast<size_t>(channels_);
        return fill(out, period, max_periods, [this, period](uint8_t *at, size_t n) {
            // A sample period cut by the end of the file is dropped, as
            // sf_readf_int drops it.
            return checked(sf_read_raw(file_, at, static_cast<sf_count_t>(n * period))) / period;
        });
    }

    size_t read_double(double *out, size_t max_periods) override {
        if (!floating_) return AudioSource::read_double(out, max_periods);
        return fill(out, size_t(channels_), max_periods, [this](double *at, size_t n) {
            return checked(sf_readf_double(file_, at, static_cast<sf_count_t>(n)));
        });
    }

    std::vector<int> channel_map() const override { return map_; }
    const InputFile &file() const override { return *in_; }

private:
    // 16- and 24-bit integer PCM in an uncompressed container is stored as
    // the layers' words, in the container's byte order: swapped against this
    // machine's or not. FLAC and the like decode to such samples but store
    // none.
    Words stored_order(int format) {
        const int sub = format & SF_FORMAT_SUBMASK;
        if (sub != SF_FORMAT_PCM_16 && sub != SF_FORMAT_PCM_24) return Words::converted;
        switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
        case SF_FORMAT_RF64:
        case SF_FORMAT_W64:
        case SF_FORMAT_AIFF:
        case SF_FORMAT_CAF:
        case SF_FORMAT_AU:
        case SF_FORMAT_RAW: break;
        default: return Words::converted;
        }
        const bool swapped = sf_command(file_, SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_TRUE;
        return swapped == host_is_little_endian() ? Words::big_endian : Words::little_endian;
    }

    // Reads until max_periods are in (`per_period` values each) or the audio
    // ends, going on past the header's size where more audio follows it.
    template <typename Value, typename ReadSome>
    size_t fill(Value *out, size_t per_period, size_t max_periods, ReadSome read_some) {
        size_t got = 0;
        while (got < max_periods) {
            const size_t n = read_some(out + got * per_period, max_periods - got);
            got += n;
            read_periods_ += n;
            if (n == 0 && !carry_on()) break;
        }
        return got;
    }

    // Finds the size the header gives the audio, and refuses a file that
    // holds less than that (a truncated copy). A WAV header carries the size
    // in 32 bits: it wraps above 4 GiB, and a writer that cannot go back (a
    // pipe) leaves a placeholder.
    void check_data_size() {
        const int type = format_code_ & SF_FORMAT_TYPEMASK;
        width_ = pcm_width(format_code_ & SF_FORMAT_SUBMASK);
        // A FLAC stream info counts the sample periods; 0 (unknown, a stream
        // written to a pipe) comes back from libsndfile as SF_COUNT_MAX.
        if (type == SF_FORMAT_FLAC) {
            sized_ = declared_periods_ != SF_COUNT_MAX;
            return;
        }
        const DataChunk *chunk = data_chunk_of(type);
        if (!chunk) return;
        data_offset_ = in_->tell();
        uint8_t header[kMaxChunkHeader];
        const int64_t chunk_at = data_offset_ - chunk->header_bytes;
        const bool found = chunk_at >= 0 && in_->seek(chunk_at, SEEK_SET) >= 0 &&
                           in_->read(header, size_t(chunk->header_bytes)) ==
                               size_t(chunk->header_bytes) &&
                           std::memcmp(header, chunk->id, chunk->id_bytes) == 0;
        // RIFX is the WAV layout with every number big-endian.
        const bool riff = type == SF_FORMAT_WAV || type == SF_FORMAT_WAVEX;
        big_endian_riff_ = riff && (format_code_ & SF_FORMAT_ENDMASK) == SF_ENDIAN_BIG;
        uint64_t size = found ? load_size(header + chunk->id_bytes, chunk->size_bytes,
                                          chunk->big_endian || big_endian_riff_)
                              : 0;
        if (found && type == SF_FORMAT_RF64 && size == 0xFFFFFFFFu) size = rf64_data_size();
        in_->seek(data_offset_, SEEK_SET);
        if (!found) return;
        const int64_t block = int64_t{width_} * channels_;
        const int64_t held = in_->regular() ? in_->size() - data_offset_ : -1;
        const uint64_t audio = size - std::min<uint64_t>(size, chunk->not_audio);
        placeholder_ = is_placeholder_size(size, chunk->size_bytes) ||
                       ((held < 0 || audio > static_cast<uint64_t>(held)) &&
                        is_length_mark(type, audio, static_cast<uint64_t>(block)));
        declared_bytes_ = placeholder_ ? 0 : audio;
        // A header announcing no audio and followed by another header: a
        // writer that could not go back over its header on a pipe wrote it
        // again instead (sox's CAF). The audio between is nowhere described.
        uint8_t magic[4], next[4];
        if (!placeholder_ && declared_bytes_ == 0 && in_->seek(0, SEEK_SET) == 0 &&
            in_->read(magic, 4) == 4 && in_->seek(data_offset_, SEEK_SET) >= 0 &&
            in_->peek(next, 4) == 4 && std::memcmp(magic, next, 4) == 0)
            throw Failure(name_ + ": damaged: its header announces no audio and another header "
                                  "follows it (a writer that cannot write this format to a pipe; "
                                  "have it write a file, or WAV, to the pipe)");
        in_->seek(data_offset_, SEEK_SET);
        // The count libsndfile gives a pipe need not be the header's.
        sized_ = !placeholder_ && block != 0;
        if (sized_) declared_periods_ = static_cast<int64_t>(declared_bytes_) / block;
        // A WAV header's 32-bit size may have wrapped; an RF64 header written
        // to a pipe has none.
        wav_ = (riff || (type == SF_FORMAT_RF64 && placeholder_)) && width_ != 0;
        if (held < 0 || placeholder_) return;
        if (declared_bytes_ > static_cast<uint64_t>(held))
            throw Failure(name_ + ": damaged: its header announces " +
                          std::to_string(declared_bytes_) + " bytes of audio, the file holds " +
                          std::to_string(held) + " (a truncated copy?)");
        // Only a file that holds 4 GiB past the data chunk's start can have
        // a size that wrapped; the audio then ends at the last whole wrap
        // that fits, and what follows it is another chunk, a tag or padding.
        const uint64_t wraps = (static_cast<uint64_t>(held) - declared_bytes_) / kWrap;
        if (!wav_ || wraps == 0) {
            wav_ = false;
            return;
        }
        view_.end = data_offset_ + static_cast<int64_t>(declared_bytes_ + wraps * kWrap);
    }

    // An RF64 (BW64) data chunk whose 32-bit size is all ones has its size in
    // the ds64 chunk, which comes first: 0 when there is none.
    uint64_t rf64_data_size() {
        uint8_t ds64[24];
        if (in_->seek(12, SEEK_SET) < 0 || in_->read(ds64, sizeof ds64) != sizeof ds64 ||
            std::memcmp(ds64, "ds64", 4) != 0)
            return 0;
        return load_le64(ds64 + 16);
    }

    // libsndfile gives no more audio. Refuses an input that ended before the
    // audio its header announces; returns true when more audio follows the
    // announced size and reading goes on.
    bool carry_on() {
        if (raw_) {
            // Read on as a wrapped size: a pipe must have held 4 GiB of it.
            const int64_t after = in_->tell() - data_offset_;
            if (!placeholder_ && after < static_cast<int64_t>(kWrap))
                throw Failure(name_ + ": damaged: its WAV header gives " +
                              std::to_string(declared_bytes_) + " bytes of audio, " +
                              std::to_string(after) +
                              " follow, which is neither that size nor one that wrapped at 4 GiB");
            return false;
        }
        if (sized_ && read_periods_ < static_cast<uint64_t>(declared_periods_)) refuse_short();
        if (!wav_) return false;
        const int64_t block = int64_t{width_} * channels_;
        const int64_t resume = data_offset_ + static_cast<int64_t>(read_periods_) * block;
        if (in_->seek(resume, SEEK_SET) < 0 || in_->at_end()) return false;
        if (!placeholder_ && (!more_audio_follows() || pipe_ends_soon())) return false;
        // The rest is audio of the same kind: read it as headerless PCM.
        if (!placeholder_)
            std::fprintf(stderr,
                         "pcmpack: %s: the WAV header gives %llu bytes of audio but more follows "
                         "(a size that wrapped at 4 GiB?); reading to the end\n",
                         name_.c_str(), static_cast<unsigned long long>(declared_bytes_));
        sf_close(file_);
        file_ = nullptr;
        view_.base = resume;
        SF_INFO info{};
        info.samplerate = rate_;
        info.channels = channels_;
        info.format = SF_FORMAT_RAW | (format_code_ & SF_FORMAT_SUBMASK) |
                      (big_endian_riff_ ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
        SF_VIRTUAL_IO io = input_io();
        file_ = sf_open_virtual(&io, SFM_READ, &info, &view_);
        if (!file_) throw Failure(name_ + ": read failed: " + sf_strerror(nullptr));
        raw_ = true;
        periods_ = -1;
        return true;
    }

    // The input ended before the audio its header announces: a pipe that was
    // cut, or compressed audio cut where a frame ends.
    [[noreturn]] void refuse_short() const {
        const uint64_t block = static_cast<uint64_t>(width_) * static_cast<uint64_t>(channels_);
        const bool in_bytes = block != 0 && declared_bytes_ != 0;
        throw Failure(name_ + ": damaged: ends after " +
                      std::to_string(in_bytes ? read_periods_ * block : read_periods_) + " of the " +
                      std::to_string(in_bytes ? declared_bytes_
                                              : static_cast<uint64_t>(declared_periods_)) +
                      (in_bytes ? " bytes" : " sample periods") + " of audio its header announces");
    }

    // Whether audio goes on after the header's data size: not when nothing
    // but the pad byte follows, nor when another chunk does (a LIST, a cue
    // list: a four-letter name and, in a file, a size that fits what is left).
    bool more_audio_follows() {
        const int64_t chunk_at = data_offset_ + static_cast<int64_t>(declared_bytes_ + (declared_bytes_ & 1));
        const int64_t ahead = chunk_at - in_->tell();
        uint8_t bytes[128];
        if (ahead < 0 || ahead + 8 > static_cast<int64_t>(sizeof bytes)) return false;
        const size_t want = static_cast<size_t>(ahead) + 8;
        if (in_->peek(bytes, want) < want) return false;
        const uint8_t *chunk = bytes + ahead;
        for (int i = 0; i < 4; ++i)
            if (chunk[i] < 0x20 || chunk[i] > 0x7E) return true;
        if (!in_->regular()) return false;
        const int64_t size = static_cast<int64_t>(load_size(chunk + 4, 4, big_endian_riff_));
        return chunk_at + 8 + size > in_->size();
    }

    // On a pipe: whether the input ends within kTrailerBytes, which is then
    // a tag or padding after the audio rather than audio past a wrapped size.
    bool pipe_ends_soon() {
        if (in_->regular()) return false;
        trailer_.resize(kTrailerBytes + 1);
        return in_->peek(trailer_.data(), trailer_.size()) <= kTrailerBytes;
    }

    size_t checked(sf_count_t got) {
        if (got < 0 || sf_error(file_) != SF_ERR_NO_ERROR)
            throw Failure(name_ + ": read failed: " + sf_strerror(file_));
        return static_cast<size_t>(got);
    }

    std::unique_ptr<InputFile> in_;
    std::string name_;
    InputView view_;
    bool floating_ = false;
    std::vector<int> map_;
    SNDFILE *file_ = nullptr;
    Words stored_ = Words::converted;
    int format_code_ = 0;
    int width_ = 0;
    int64_t declared_periods_ = 0;
    uint64_t read_periods_ = 0;
    // Where the audio starts and the size the header gives it.
    bool sized_ = false;        // the header's size is known: the audio must reach it
    bool placeholder_ = false;  // the header's writer did not know the size
    bool wav_ = false;          // audio may go on past the size (a WAV header's 32 bits)
    bool raw_ = false;          // reading on past the header's size
    bool big_endian_riff_ = false;  // RIFX: the WAV layout, big-endian
    std::vector<uint8_t> trailer_;
    int64_t data_offset_ = 0;
    uint64_t declared_bytes_ = 0;
};

// Files that start like this carry a header that says what the audio is;
// their header bytes are no audio.
struct Signature {
    const char *magic;
    size_t length;
    const char *what;
};

constexpr Signature kSignatures[] = {
    {"RIFF", 4, "a RIFF (WAV) header"},
    {"RIFX", 4, "a RIFX (WAV) header"},
    {"RF64", 4, "an RF64 header"},
    {"BW64", 4, "a BW64 header"},
    {"riff", 4, "a Wave64 header"},
    {"FORM", 4, "an IFF (AIFF) header"},
    {"fLaC", 4, "a FLAC header"},
    {"caff", 4, "a CAF header"},
    {"OggS", 4, "an Ogg header"},
    {".snd", 4, "an AU header"},
    {"NIST_1A", 7, "a NIST SPHERE header"},
    {"wvpk", 4, "a WavPack header"},
    {"LPCM", 4, "a pcmpack DVD LPCM stream header"},
    {"HDMV", 4, "a pcmpack HDMV LPCM stream header"},
    {"AES3", 4, "a pcmpack AES3 stream header"},
};

class RawSource : public AudioSource {
public:
    const InputFile &file() const override { return *in_; }
    RawSource(std::unique_ptr<InputFile> input, int rate, int channels, int bits, bool big_endian)
        : in_(std::move(input)), name_(in_->name()), big_endian_(big_endian) {
        rate_ = rate;
        channels_ = channels;
        bits_ = bits;
        precision_ = bits;
        width_ = bits == 16 ? 2 : 3;
        format_ = std::to_string(bits) + "-bit raw " + (big_endian ? "big-endian" : "little-endian");
        refuse_empty(*in_);
        uint8_t head[8] = {};
        const size_t seen = in_->peek(head, sizeof head);
        for (const Signature &sig : kSignatures) {
            if (seen >= sig.length && std::memcmp(head, sig.magic, sig.length) == 0)
                throw Failure(name_ + ": starts with " + sig.what +
                              "; --rate, --channels, --bits and --endian describe headerless PCM "
                              "only (leave them out and the header is read)");
        }
        if (in_->regular()) {
            const int64_t period = static_cast<int64_t>(width_) * channels;
            if (in_->size() % period != 0)
                throw Failure(name_ + ": " + std::to_string(in_->size()) +
                              " bytes is not a whole number of sample periods of " +
                              std::to_string(period) + " bytes (" + std::to_string(channels) +
                              " channels of " + std::to_string(width_) + " bytes)");
            periods_ = in_->size() / period;
        }
    }

    size_t read(int32_t *out, size_t max_periods) override {
        buffer_.resize(static_cast<size_t>(width_) * static_cast<size_t>(channels_) * max_periods);
        const size_t got = read_stored(buffer_.data(), max_periods);
        const size_t samples = got * static_cast<size_t>(channels_);
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
        return got;
    }

    Words stored_words() const override {
        return big_endian_ ? Words::big_endian : Words::little_endian;
    }

    size_t read_stored(uint8_t *out, size_t max_periods) override {
        const size_t period = static_cast<size_t>(width_) * static_cast<size_t>(channels_);
        const size_t got = in_->read(out, period * max_periods);
        if (got % period != 0)
            throw Failure(name_ + ": ends inside a sample period (" +
                          std::to_string(got % period) + " of " + std::to_string(period) +
                          " bytes)");
        return got / period;
    }

private:
    std::unique_ptr<InputFile> in_;
    std::string name_;
    bool big_endian_;
    int width_ = 2;
    std::vector<uint8_t> buffer_;
};

}  // namespace

size_t AudioSource::read_stored(uint8_t *, size_t) {
    throw Failure("internal: the source's samples are converted, not stored as words");
}

size_t AudioSource::read_double(double *out, size_t max_periods) {
    wide_.resize(max_periods * static_cast<size_t>(channels_));
    const size_t got = read(wide_.data(), max_periods);
    const size_t samples = got * static_cast<size_t>(channels_);
    for (size_t i = 0; i < samples; ++i) out[i] = std::ldexp(static_cast<double>(wide_[i]), -31);
    return got;
}

std::unique_ptr<AudioSource> open_audio_file(const std::string &path) {
    return std::make_unique<SndfileSource>(std::make_unique<InputFile>(path));
}

std::unique_ptr<AudioSource> open_raw_pcm(const std::string &path, int rate, int channels,
                                          int bits, bool big_endian) {
    return std::make_unique<RawSource>(std::make_unique<InputFile>(path), rate, channels, bits,
                                       big_endian);
}

}  // namespace pcmtool
