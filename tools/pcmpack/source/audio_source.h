// SPDX-License-Identifier: BSD-2-Clause
// Audio input of the encode subcommand: any file libsndfile reads (also from
// standard input), or raw interleaved PCM described on the command line.
// Samples come out interleaved, left-justified in 32 bits (a 16-bit sample s
// is s << 16, a 24-bit sample s << 8).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pcmtool {

class InputFile;

class AudioSource {
public:
    virtual ~AudioSource() = default;
    // Reads up to max_periods sample periods into out (channels() values per
    // period); returns the number read, 0 at the end. Throws Failure.
    virtual size_t read(int32_t *out, size_t max_periods) = 0;
    // Whether the source stores its samples as the 2- or 3-byte words the
    // layers take (16- or 24-bit integer PCM), and in which byte order: such
    // samples can reach the library as they are stored, with no conversion
    // pass at all.
    enum class Words { converted, little_endian, big_endian };
    virtual Words stored_words() const { return Words::converted; }
    // The same as read(), as the bytes the source stores (bits() / 8 bytes a
    // sample); only when stored_words() is not Words::converted.
    virtual size_t read_stored(uint8_t *out, size_t max_periods);
    // The same as read(), as full-scale fractions (-1.0 up to, not
    // including, +1.0), so that floating-point samples reach a conversion
    // unclipped and unrounded. Integer samples convert exactly.
    virtual size_t read_double(double *out, size_t max_periods);
    // The speaker position of each channel (libsndfile's SF_CHANNEL_MAP_*
    // values) when the source declares them; empty when it does not.
    virtual std::vector<int> channel_map() const { return {}; }
    // The file the samples are read from.
    virtual const InputFile &file() const = 0;

    int rate() const { return rate_; }
    int channels() const { return channels_; }
    // Word length of the source's samples: 16, 20 or 24; 0 when it has none
    // that the layers carry (8-bit is reported as 16, which holds it
    // exactly; 32-bit integer and floating point as 0).
    int bits() const { return bits_; }
    // Bits of the integer words the source stores (8, 16, 24 or 32); 0 for
    // floating point.
    int precision() const { return precision_; }
    const std::string &format() const { return format_; }
    // Sample periods in the source; -1 when unknown (a pipe).
    int64_t periods() const { return periods_; }

protected:
    int rate_ = 0;
    int channels_ = 0;
    int bits_ = 0;
    int precision_ = 0;
    std::string format_;
    int64_t periods_ = -1;

private:
    std::vector<int32_t> wide_;  // read_double's conversion buffer
};

std::unique_ptr<AudioSource> open_audio_file(const std::string &path);
std::unique_ptr<AudioSource> open_raw_pcm(const std::string &path, int rate, int channels,
                                          int bits, bool big_endian);

}  // namespace pcmtool
