// SPDX-License-Identifier: BSD-2-Clause
// The tool's readers of files it did not write, on arbitrary bytes: the
// container reader (a transport stream, BDAV stream or program stream,
// demultiplexed by libavformat and handed to the stream reader, as inspect
// and unpack read it) and the audio file headers that encode reads (WAV,
// RF64, W64, AIFF, CAF and whatever else libsndfile opens, with the tool's
// own look at the data chunk's size).
// The bytes go to a memory file read through /proc/self/fd/N, so that the
// tool's own InputFile opens them by name as it opens a user's file. The
// container sniff that inspect uses picks the path: an input that looks like
// a container is demultiplexed, any other is opened as an audio file.
// Beyond "no crash, no read outside a buffer, no leak", the answers must
// hang together:
//   - the only failure is a Failure that tells what is wrong with the input,
//     never an internal one;
//   - a container walked to its end names the track it read, one of those
//     it lists; the stream reader's verdict comes with an offset inside what
//     was fed to it;
//   - an opened audio file has a rate, 1 to 1024 channels and a word length
//     the tool knows; a read never returns more periods than asked, nor
//     more stored words than the file's bytes hold.
#include "common.h"
#include "commands/stream_walk.h"
#include "containers/container.h"
#include "source/audio_source.h"
#include "source/input.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

void check(bool ok, const char *what, long long a = 0, long long b = 0) {
    if (!ok) fail(what, a, b);
}

// One memory file for the whole run, rewritten for each input.
const std::string &memory_file(const uint8_t *data, size_t size) {
    static const int fd = memfd_create("tool_input", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    check(fd >= 0, "memfd_create failed");
    check(ftruncate(fd, 0) == 0 && (size == 0 || pwrite(fd, data, size, 0) ==
                                                     static_cast<ssize_t>(size)),
          "the memory file could not be written");
    return path;
}

struct CountingSink : pcmpack_reader::FrameSink {
    uint64_t frames = 0;
    void on_frame(const pcmpack_reader::FrameInfo &, const int32_t *, size_t) override {
        ++frames;
    }
};

// The track asked for is picked by the input's length, as the way of reading
// an audio file is below: the second when it is 7 modulo 8, the first when
// 6, else none (so the seeds, whole packets, are read whole).
void read_container(const std::string &path, size_t size) {
    pcmtool::InputFile in(path);
    CountingSink sink;
    pcmpack_reader::IncrementalReader reader(sink, true);
    pcmtool::TrackChoice tracks;
    tracks.asked = size % 8 == 7 ? 2 : size % 8 == 6 ? 1 : 0;
    const uint64_t total = pcmtool::walk(in, reader, tracks);
    check(tracks.read >= 1 && static_cast<size_t>(tracks.read) <= tracks.ids.size(),
          "a container walked without a track among its tracks", tracks.read,
          static_cast<long long>(tracks.ids.size()));
    check(reader.bytes_fed() <= total, "the reader was fed more than the walk counted",
          static_cast<long long>(reader.bytes_fed()), static_cast<long long>(total));
    if (reader.failed())
        check(reader.error_offset() <= reader.bytes_fed(), "error past the bytes fed",
              static_cast<long long>(reader.error_offset()),
              static_cast<long long>(reader.bytes_fed()));
    else
        check(reader.ok(), "a finished walk neither failed nor ended well");
}

// Reads the samples the way encode does for the source's kind of words: as
// stored words, as 32-bit samples or as fractions; the input's length picks
// one of the three so that each is reached without a byte of the input
// spent on choosing.
void read_audio(const std::string &path, size_t size) {
    const auto source = pcmtool::open_audio_file(path);
    const int channels = source->channels();
    check(source->rate() > 0, "an opened source without a rate", source->rate());
    check(channels >= 1 && channels <= 1024, "channels", channels);
    check(source->bits() == 0 || source->bits() == 16 || source->bits() == 20 ||
              source->bits() == 24,
          "word length", source->bits());
    constexpr size_t kPeriods = 512;
    const size_t samples = kPeriods * static_cast<size_t>(channels);
    std::vector<int32_t> words(samples);
    std::vector<uint8_t> stored(samples * 3);
    std::vector<double> fractions(samples);
    const int way = static_cast<int>(size % 3);
    const bool as_stored = way == 0 && source->stored_words() !=
                                           pcmtool::AudioSource::Words::converted;
    uint64_t periods = 0;
    for (;;) {
        const size_t got = as_stored ? source->read_stored(stored.data(), kPeriods)
                           : way == 1 ? source->read_double(fractions.data(), kPeriods)
                                      : source->read(words.data(), kPeriods);
        check(got <= kPeriods, "read more periods than asked", static_cast<long long>(got));
        if (got == 0) break;
        periods += got;
        // Every sample takes at least one byte of the file, or is decoded
        // from a compressed one; a stored word always takes its bytes.
        if (as_stored)
            check(periods * static_cast<uint64_t>(channels) * 2 <= size,
                  "more stored words than the file holds", static_cast<long long>(periods),
                  static_cast<long long>(size));
        // A runaway decoder (a size field taken for audio) is cut off
        // rather than read for minutes.
        if (periods > (uint64_t{1} << 22)) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (pcmtool::route_libav_messages(true), true);
    (void)quiet;
    const std::string &path = memory_file(data, size);
    const pcmtool::Container container = pcmtool::sniff_container(data, size);
    try {
        if (container != pcmtool::Container::elementary)
            read_container(path, size);
        else
            read_audio(path, size);
    } catch (const pcmtool::Failure &failure) {
        const std::string text = failure.what();
        check(!text.empty() && text.rfind("internal:", 0) != 0,
              "a failure that is internal rather than about the input");
    }
    return 0;
}
