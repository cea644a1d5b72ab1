// SPDX-License-Identifier: BSD-2-Clause
// Compressed audio for one channel pair of an AES3 layer: an AC-3 or E-AC-3
// file, cut into frames at the sizes their headers give, each frame becoming
// one data burst that the library writes into the pair's words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

class DataBursts {
public:
    // Reads the whole file and checks that every frame's burst fits its burst
    // period in the mode of `quantization` (PCM_QUANT_*). Throws Failure,
    // naming the frame and its byte offset, before any audio is written.
    DataBursts(const std::string &path, int quantization);

    // PCM_DATA_TYPE_* of the first frame, and its name.
    uint32_t data_type() const { return frames_.front().data_type; }
    const char *data_type_name() const;
    size_t frame_count() const { return frames_.size(); }
    // Sample periods from the first burst to the end of the last one's period.
    uint64_t periods() const { return periods_; }

    // Writes the pair's words of the next `periods` sample periods into
    // `pcm`, interleaved little-endian samples of `channels` channels and
    // `sample_bytes` bytes (2, or 3, which also holds a 16-bit-mode word in
    // its upper bytes); channels 2*pair and 2*pair+1 only. Past the last
    // burst the pair is silent.
    void fill(uint8_t *pcm, size_t periods, int channels, int pair, size_t sample_bytes);

private:
    struct Frame {
        size_t offset;
        uint32_t bytes, burst_period, data_type;
    };
    void next_burst();

    int quantization_;
    size_t sample_bytes_;
    std::vector<uint8_t> file_;
    std::vector<Frame> frames_;
    uint64_t periods_ = 0;
    size_t next_frame_ = 0;
    std::vector<uint8_t> burst_;  // the current burst period, two channels
    size_t burst_at_ = 0;         // sample periods of it already handed out
};

}  // namespace pcmtool
