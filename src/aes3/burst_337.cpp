// SPDX-License-Identifier: BSD-2-Clause
// Compressed frames carried in one AES3 channel pair as data bursts: four
// preamble words (sync Pa Pb, burst info Pc, length Pd), then the frame's
// bits, then zeros up to the next burst. Only the pair's words are written, in
// the interleaved layout the encoder takes, so a host mixes data and PCM pairs
// in one buffer before pcmOutAudioPutBytes.
#include "pcmpack.h"

#include "core/status.h"

namespace pcmpack {
namespace {

constexpr uint16_t kSyncWord = 0x0B77;
constexpr int32_t kFrameHeaderBytes = 6;
constexpr int32_t kSamplesPerBlock = 256;

// AC-3 data rates in kbit/s by frmsizecod / 2; the frame always holds six
// blocks, so its size in 16-bit words at 48 kHz is twice the rate.
constexpr uint16_t kAc3RateKbps[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                       192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr uint32_t kAc3WordsPerKbps48k = 2;

// E-AC-3 blocks per frame by numblkscod.
constexpr uint8_t kEac3Blocks[4] = {1, 2, 3, 6};

// An AC-3 bit stream identification is 8 or below; E-AC-3 uses 11 to 16.
constexpr uint8_t kAc3MaxBsid = 8;
constexpr uint8_t kEac3MinBsid = 11, kEac3MaxBsid = 16;

constexpr uint8_t kFscod48k = 0;

struct Mode {
    int32_t word_bits;
    uint32_t pa, pb;  // the sync pair, as the word's own bits
    uint32_t pc_mode;  // Pc bits 5-6
};

// Indexed by PCM_QUANT_*: the 16-, 20- and 24-bit modes.
constexpr Mode kModes[3] = {
    {16, 0xF872, 0x4E1F, 0},
    {20, 0x6F872, 0x54E1F, 1},
    {24, 0x96F872, 0xA54E1F, 2},
};
static_assert(PCM_QUANT_16 == 0 && PCM_QUANT_20 == 1 && PCM_QUANT_24 == 2,
              "kModes is indexed by the word length");

constexpr int32_t kPreambleWords = 4;
constexpr int32_t kMaxChannels = 8;

[[nodiscard]] Status read_frame_header(const uint8_t *data, size_t size, pcm_burst_frame &out) {
    if (data == nullptr || size < static_cast<size_t>(kFrameHeaderBytes)) return Status::failed;
    if ((uint32_t{data[0]} << 8 | data[1]) != kSyncWord) return Status::failed;
    const uint8_t bsid = data[5] >> 3;
    const uint8_t fscod = data[4] >> 6;
    if (fscod != kFscod48k) return Status::failed;
    if (bsid <= kAc3MaxBsid) {
        const uint8_t frmsizecod = data[4] & 0x3F;
        if (frmsizecod / 2 >= 19) return Status::failed;
        out.data_type = PCM_DATA_TYPE_AC3;
        out.frame_bytes = 2 * kAc3WordsPerKbps48k * kAc3RateKbps[frmsizecod / 2];
        out.burst_period = 6 * kSamplesPerBlock;
    } else if (bsid >= kEac3MinBsid && bsid <= kEac3MaxBsid) {
        const uint32_t frmsiz = (uint32_t{data[2]} & 0x07) << 8 | data[3];
        out.data_type = PCM_DATA_TYPE_EAC3;
        out.frame_bytes = 2 * (frmsiz + 1);
        out.burst_period = kEac3Blocks[(data[4] >> 4) & 0x03] * kSamplesPerBlock;
    } else {
        return Status::failed;
    }
    out.reserved = 0;
    return Status::ok;
}

// One subframe word of the pair, left-justified in the sample's bytes.
void store_word(uint8_t *sample, uint32_t word, int32_t word_bits, int32_t sample_bytes,
                bool big_endian) {
    const uint32_t justified = word << (8 * sample_bytes - word_bits);
    for (int32_t i = 0; i < sample_bytes; ++i) {
        const uint8_t byte = static_cast<uint8_t>(justified >> (8 * i));
        sample[big_endian ? sample_bytes - 1 - i : i] = byte;
    }
}

// The payload word at index `word` of the burst: the frame's bits in order,
// most significant first, zero past the frame's end.
uint32_t payload_word(const uint8_t *frame, uint32_t frame_bits, uint32_t word, int32_t word_bits) {
    uint32_t value = 0;
    const uint32_t first_bit = word * static_cast<uint32_t>(word_bits);
    for (int32_t b = 0; b < word_bits; ++b) {
        const uint32_t bit = first_bit + static_cast<uint32_t>(b);
        value <<= 1;
        if (bit < frame_bits) value |= (frame[bit / 8] >> (7 - bit % 8)) & 1u;
    }
    return value;
}

[[nodiscard]] Status write_burst(const uint8_t *frame, size_t frame_size, int32_t quantization,
                                 int32_t data_stream, int32_t channels, int32_t pair,
                                 int32_t input_flags, uint8_t *pcm, size_t pcm_size) {
    if (frame == nullptr || pcm == nullptr) return Status::failed;
    if (quantization < PCM_QUANT_16 || quantization > PCM_QUANT_24) return Status::failed;
    if (data_stream < 0 || data_stream > 7) return Status::failed;
    if (channels < 2 || channels > kMaxChannels || pair < 0 || 2 * pair + 1 >= channels)
        return Status::failed;
    pcm_burst_frame info{};
    if (read_frame_header(frame, frame_size, info) != Status::ok) return Status::failed;
    if (frame_size != info.frame_bytes) return Status::failed;

    const Mode &mode = kModes[quantization];
    const int32_t sample_bytes = quantization == PCM_QUANT_16 ? 2 : 3;
    const size_t period_bytes = static_cast<size_t>(channels) * sample_bytes;
    if (pcm_size / period_bytes < info.burst_period) return Status::failed;

    const uint32_t frame_bits = info.frame_bytes * 8;
    const uint32_t payload_words = (frame_bits + mode.word_bits - 1) / mode.word_bits;
    // The burst, preamble included, must end within its period, and Pd must
    // hold the payload length in one word.
    if (kPreambleWords + payload_words > 2 * info.burst_period) return Status::failed;
    if (frame_bits >> mode.word_bits != 0) return Status::failed;

    // AC-3 carries its bitstream mode in Pc bits 8-10, as a receiver that
    // picks a service from several streams expects.
    const uint32_t dependent = info.data_type == PCM_DATA_TYPE_AC3 ? (frame[5] & 0x07u) : 0u;
    const uint32_t pc = info.data_type | mode.pc_mode << 5 | dependent << 8 |
                        static_cast<uint32_t>(data_stream) << 13;
    // In the 20- and 24-bit modes Pc keeps its 16 bits at the top of the
    // word, while Pd counts the payload bits in the whole word.
    const uint32_t preamble[kPreambleWords] = {mode.pa, mode.pb, pc << (mode.word_bits - 16),
                                               frame_bits};

    const bool big_endian = (input_flags & PCM_INPUT_BIG_ENDIAN) != 0;
    for (uint32_t word = 0; word < 2 * info.burst_period; ++word) {
        uint32_t value = 0;
        if (word < kPreambleWords) {
            value = preamble[word];
        } else if (word < kPreambleWords + payload_words) {
            value = payload_word(frame, frame_bits, word - kPreambleWords, mode.word_bits);
        }
        uint8_t *sample = pcm + (word / 2) * period_bytes +
                          static_cast<size_t>(2 * pair + word % 2) * sample_bytes;
        store_word(sample, value, mode.word_bits, sample_bytes, big_endian);
    }
    return Status::ok;
}

}  // namespace
}  // namespace pcmpack

extern "C" PCMPACK_API int32_t pcmOutAudioBurstFrame(const uint8_t *data, size_t size,
                                                     pcm_burst_frame *frame) {
    if (frame == nullptr) return 1;
    pcm_burst_frame info{};
    if (pcmpack::read_frame_header(data, size, info) != pcmpack::Status::ok) return 1;
    *frame = info;
    return 0;
}

extern "C" PCMPACK_API int32_t pcmOutAudioBurstWrite(const uint8_t *frame, size_t frame_size,
                                                     int32_t quantization, int32_t data_stream,
                                                     int32_t channels, int32_t pair,
                                                     int32_t input_flags, uint8_t *pcm,
                                                     size_t pcm_size) {
    return pcmpack::exported_result(pcmpack::write_burst(frame, frame_size, quantization,
                                                         data_stream, channels, pair,
                                                         input_flags, pcm, pcm_size));
}
