// SPDX-License-Identifier: BSD-2-Clause
#include "source/data_bursts.h"

#include "common.h"

#include <pcmpack.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pcmtool {

namespace {

std::vector<uint8_t> read_whole(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) throw Failure(path + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes;
    uint8_t block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) throw Failure(path + ": read failed");
    return bytes;
}

int mode_bits(int quantization) {
    return quantization == PCM_QUANT_16 ? 16 : quantization == PCM_QUANT_20 ? 20 : 24;
}

}  // namespace

DataBursts::DataBursts(const std::string &path, int quantization)
    : quantization_(quantization), sample_bytes_(quantization == PCM_QUANT_16 ? 2 : 3),
      file_(read_whole(path)) {
    std::vector<uint8_t> scratch;
    for (size_t at = 0; at < file_.size();) {
        pcm_burst_frame info{};
        const std::string where = path + ": frame " + std::to_string(frames_.size() + 1) +
                                  " at byte " + std::to_string(at);
        if (pcmOutAudioBurstFrame(file_.data() + at, file_.size() - at, &info) != 0)
            throw Failure(where + ": not the header of a 48 kHz AC-3 or E-AC-3 frame");
        if (info.frame_bytes > file_.size() - at)
            throw Failure(where + ": the file ends " + std::to_string(at + info.frame_bytes - file_.size()) +
                          " bytes short of the frame");
        // Every burst is tried before a byte of output is written.
        scratch.assign(size_t{info.burst_period} * 2 * sample_bytes_, 0);
        if (pcmOutAudioBurstWrite(file_.data() + at, info.frame_bytes, quantization, 0, 2, 0, 0,
                                  scratch.data(), scratch.size()) != 0)
            throw Failure(where + ": its burst of " + std::to_string(info.frame_bytes * 8) +
                          " payload bits does not fit its burst period of " +
                          std::to_string(info.burst_period) + " sample periods in the " +
                          std::to_string(mode_bits(quantization)) + "-bit mode");
        frames_.push_back({at, info.frame_bytes, info.burst_period, info.data_type});
        periods_ += info.burst_period;
        at += info.frame_bytes;
    }
    if (frames_.empty()) throw Failure(path + ": no AC-3 or E-AC-3 frame");
}

const char *DataBursts::data_type_name() const {
    return data_type() == PCM_DATA_TYPE_AC3 ? "AC-3" : "E-AC-3";
}

void DataBursts::next_burst() {
    burst_at_ = 0;
    if (next_frame_ == frames_.size()) {
        burst_.assign(2 * sample_bytes_, 0);  // one silent sample period, repeated
        return;
    }
    const Frame &f = frames_[next_frame_++];
    burst_.assign(size_t{f.burst_period} * 2 * sample_bytes_, 0);
    if (pcmOutAudioBurstWrite(file_.data() + f.offset, f.bytes, quantization_, 0, 2, 0, 0,
                              burst_.data(), burst_.size()) != 0)
        throw Failure("internal: the library refused a burst it accepted while planning");
}

void DataBursts::fill(uint8_t *pcm, size_t periods, int channels, int pair, size_t sample_bytes) {
    const size_t pair_bytes = 2 * sample_bytes_, stride = size_t(channels) * sample_bytes;
    const size_t low_bytes = sample_bytes - sample_bytes_;  // below a narrower mode's word
    for (size_t p = 0; p < periods; ++p) {
        if (burst_at_ * pair_bytes >= burst_.size()) next_burst();
        uint8_t *to = pcm + p * stride + size_t(pair) * 2 * sample_bytes;
        const uint8_t *from = burst_.data() + burst_at_ * pair_bytes;
        for (int sub = 0; sub < 2; ++sub, to += sample_bytes, from += sample_bytes_) {
            std::memset(to, 0, low_bytes);
            std::memcpy(to + low_bytes, from, sample_bytes_);
        }
        ++burst_at_;
    }
}

}  // namespace pcmtool
