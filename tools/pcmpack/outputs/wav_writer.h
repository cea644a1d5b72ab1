// SPDX-License-Identifier: BSD-2-Clause
// A WAV file written through an OutputFile by libsndfile: RF64 once the
// audio passes what the 32-bit sizes of a WAV header can count (4 GiB), a
// plain WAV below that.
#pragma once

#include "outputs/output.h"

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

class WavWriter {
public:
    // 16-bit or 24-bit words. `most_bytes` bounds the audio bytes to come
    // when known (-1: unknown): below 4 GiB a plain WAV is written, else RF64
    // that becomes a WAV if the audio stays small. The header is completed
    // last, so the output has to be seekable (a file or a device, not a
    // pipe). Throws Failure.
    // `positions` (libsndfile's SF_CHANNEL_MAP_*), when not empty, gives
    // the file a channel mask.
    WavWriter(OutputFile &out, int rate, int channels, int bits, int64_t most_bytes,
              const std::vector<int> &positions = {});
    ~WavWriter();
    WavWriter(const WavWriter &) = delete;
    WavWriter &operator=(const WavWriter &) = delete;

    // Interleaved samples, left-justified in 32 bits. Throws Failure.
    void write(const int32_t *samples, size_t periods);
    // Completes the header. Throws Failure.
    void finish();

private:
    [[noreturn]] void fail();
    void flush();

    OutputFile &out_;
    SNDFILE *file_ = nullptr;
    int width_;                  // bytes per sample: 2 or 3
    size_t block_;               // bytes per sample period
    // Left-justified samples to the file's words, in the processor's best loop.
    void (*to_words_)(const int32_t *samples, size_t count, int width, uint8_t *out);
    std::vector<uint8_t> words_;  // the samples as the file stores them
    size_t held_ = 0;             // bytes of words_ not yet written
    std::string failure_;  // why a write through the output failed

    static sf_count_t get_filelen(void *user);
    static sf_count_t seek(sf_count_t offset, int whence, void *user);
    static sf_count_t read(void *ptr, sf_count_t count, void *user);
    static sf_count_t write_bytes(const void *ptr, sf_count_t count, void *user);
    static sf_count_t tell(void *user);
};

}  // namespace pcmtool
