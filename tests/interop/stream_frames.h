// SPDX-License-Identifier: BSD-2-Clause
// Encodes audio through the public interface, as a host does, and splits
// what the encoder wrote into the stream header and one byte string per
// frame (the writes between two aux_records). Also makes the test audio.
#pragma once

#include <pcmpack.h>

#include <cstdint>
#include <string>
#include <vector>

namespace interop {

// Sample periods per AES3 frame at 48 kHz, by frame rate code 1..8 and
// cadence step (row 0 unused): the five-frame cycle of the 1001 rates.
constexpr int kCadence[9][5] = {
    {0, 0, 0, 0, 0},
    {2002, 2002, 2002, 2002, 2002}, {2000, 2000, 2000, 2000, 2000},
    {1920, 1920, 1920, 1920, 1920}, {1602, 1601, 1602, 1601, 1602},
    {1600, 1600, 1600, 1600, 1600}, {960, 960, 960, 960, 960},
    {801, 801, 800, 801, 801},      {800, 800, 800, 800, 800},
};

struct Encoded {
    bool ok = false;
    std::string failure;                       // why ok is false
    std::vector<uint8_t> stream_header;        // the 8 bytes written first
    std::vector<std::vector<uint8_t>> frames;  // every frame, its own headers included
    std::vector<aux_record> frame_records;     // the aux_record of each frame
};

// New, Init, one PutBytes of the whole input, Done, Free. A non-zero
// hdmv_channel_assignment is asked for between New and Init.
Encoded encode(const pcm_a_settings &settings, int32_t input_flags, int32_t frame_rate_code,
               int32_t sample_rate, const std::vector<uint8_t> &input,
               int32_t hdmv_channel_assignment = 0);

// Interleaved signed samples of `bits` bits (16 or 24): the extremes, zero
// and -1 first on every channel, then pseudo-random values from `seed`.
std::vector<int32_t> make_audio(size_t periods, int channels, int bits, uint32_t seed);

// Host byte layout: each sample in `width` bytes (2 or 3), little- or
// big-endian, two's complement.
std::vector<uint8_t> to_bytes(const std::vector<int32_t> &samples, int width, bool big_endian);

}  // namespace interop
