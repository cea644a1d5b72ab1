// SPDX-License-Identifier: BSD-2-Clause
#include "outputs/wav_writer.h"

#include "common.h"
#include "vector_level.h"

#include <cstdio>
#include <cstring>

namespace pcmtool {

namespace {

// Little-endian bytes of a number, `n` of them.
void store_le(uint8_t *out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Left-justified samples as the little-endian words a WAV file stores; 24-bit
// words four at a time, as one 12-byte run.
void to_le_words(const int32_t *samples, size_t count, int width, uint8_t *out) {
    const auto word = [&](size_t i) { return uint64_t{static_cast<uint32_t>(samples[i]) >> (32 - 8 * width)}; };
    size_t i = 0;
    if (width == 3) {
        for (; i + 4 <= count; i += 4, out += 12) {
            store_le(out, word(i) | word(i + 1) << 24 | word(i + 2) << 48, 8);
            store_le(out + 8, word(i + 2) >> 16 | word(i + 3) << 8, 4);
        }
    }
    for (; i < count; ++i, out += width) store_le(out, word(i), width);
}

#if TOOL_X86_VECTORS
// The same in registers: each sample's top `width` bytes closed up in its
// 16-byte lane by one byte shuffle. Every store may run up to
// kWordsOverrun bytes past the words it completes.
TOOL_TARGET_SSSE3 __m128i top_bytes(int width) {
    return width == 3 ? _mm_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1)
                      : _mm_setr_epi8(2, 3, 6, 7, 10, 11, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1);
}

TOOL_TARGET_SSSE3 void to_le_words_ssse3(const int32_t *samples, size_t count, int width,
                                         uint8_t *out) {
    const __m128i top = top_bytes(width);
    size_t i = 0;
    for (; i + 4 <= count; i += 4, out += 4 * width) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(samples + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_shuffle_epi8(v, top));
    }
    to_le_words(samples + i, count - i, width, out);
}

// Eight at a time: the two lanes' runs joined by a move of 4-byte pieces.
TOOL_TARGET_AVX2 void to_le_words_avx2(const int32_t *samples, size_t count, int width,
                                       uint8_t *out) {
    const __m256i top = _mm256_broadcastsi128_si256(top_bytes(width));
    const __m256i join = width == 3 ? _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7)
                                    : _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    size_t i = 0;
    for (; i + 8 <= count; i += 8, out += 8 * width) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(samples + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out),
                            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, top), join));
    }
    to_le_words_ssse3(samples + i, count - i, width, out);
}
#endif

constexpr size_t kWordsOverrun = 32;

using WordsLoop = void (*)(const int32_t *samples, size_t count, int width, uint8_t *out);

WordsLoop words_loop() {
#if TOOL_X86_VECTORS
    switch (pcmpack_reader::vector_level()) {
    case pcmpack_reader::VectorLevel::portable: return to_le_words;
    case pcmpack_reader::VectorLevel::ssse3: return to_le_words_ssse3;
    case pcmpack_reader::VectorLevel::avx2: return to_le_words_avx2;
    }
#endif
    return to_le_words;
}

}  // namespace

sf_count_t WavWriter::get_filelen(void *user) {
    return static_cast<WavWriter *>(user)->out_.length();
}

sf_count_t WavWriter::seek(sf_count_t offset, int whence, void *user) {
    return static_cast<WavWriter *>(user)->out_.seek(offset, whence);
}

sf_count_t WavWriter::read(void *, sf_count_t, void *) { return 0; }

sf_count_t WavWriter::write_bytes(const void *ptr, sf_count_t count, void *user) {
    auto *self = static_cast<WavWriter *>(user);
    // No exception may cross libsndfile: a failed write is a short count.
    try {
        self->out_.write(ptr, static_cast<size_t>(count));
    } catch (const Failure &failure) {
        if (self->failure_.empty()) self->failure_ = failure.what();
        return 0;
    }
    return count;
}

sf_count_t WavWriter::tell(void *user) { return static_cast<WavWriter *>(user)->out_.tell(); }

WavWriter::WavWriter(OutputFile &out, int rate, int channels, int bits, int64_t most_bytes,
                     const std::vector<int> &positions)
    : out_(out), width_(bits == 16 ? 2 : 3), block_(static_cast<size_t>(width_) * static_cast<size_t>(channels)),
      to_words_(words_loop()) {
    if (!out_.seekable())
        throw Failure(out_.name() +
                      ": a WAV file's header is completed after its audio, so it cannot be "
                      "written to " + out_.unseekable_kind() + "; give a file name");
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    // The header's 32-bit sizes count the whole file; leave room for the header.
    const bool fits_wav = most_bytes >= 0 && most_bytes <= int64_t{0xFFFFFFFF} - 65536;
    const int wav = positions.empty() ? SF_FORMAT_WAV : SF_FORMAT_WAVEX;
    info.format = (fits_wav ? wav : SF_FORMAT_RF64) |
                  (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    SF_VIRTUAL_IO io{get_filelen, seek, read, write_bytes, tell};
    file_ = sf_open_virtual(&io, SFM_WRITE, &info, this);
    if (!file_) {
        if (!failure_.empty()) throw Failure(failure_);
        throw Failure(out_.name() + ": cannot write WAV: " + sf_strerror(nullptr));
    }
    if (!fits_wav) sf_command(file_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    std::vector<int> map = positions;
    if (!map.empty() && sf_command(file_, SFC_SET_CHANNEL_MAP_INFO, map.data(),
                                   static_cast<int>(map.size() * sizeof(int))) != SF_TRUE) {
        sf_close(file_);
        file_ = nullptr;
        throw Failure(out_.name() + ": cannot write the channel mask");
    }
}

WavWriter::~WavWriter() {
    if (file_) sf_close(file_);
}

void WavWriter::fail() {
    const std::string why = failure_.empty() ? out_.name() + ": write failed: " + sf_strerror(file_)
                                             : failure_;
    throw Failure(why);
}


// The words gather up to a block of the output, which then goes out through
// libsndfile uncopied.
void WavWriter::write(const int32_t *samples, size_t periods) {
    const size_t bytes = periods * block_;
    const size_t room = held_ + bytes + kWordsOverrun;
    if (words_.size() < room) words_.resize(room);
    to_words_(samples, bytes / static_cast<size_t>(width_), width_, words_.data() + held_);
    held_ += bytes;
    if (held_ >= OutputFile::kBlock) flush();
}

void WavWriter::flush() {
    if (held_ == 0) return;
    const size_t bytes = held_;
    held_ = 0;
    if (sf_write_raw(file_, words_.data(), static_cast<sf_count_t>(bytes)) !=
            static_cast<sf_count_t>(bytes) ||
        !failure_.empty())
        fail();
}

void WavWriter::finish() {
    flush();
    SNDFILE *file = file_;
    file_ = nullptr;
    if (sf_close(file) != 0 || !failure_.empty()) {
        throw Failure(failure_.empty() ? out_.name() + ": write failed" : failure_);
    }
}

}  // namespace pcmtool
