// D-10 audio element: a 4-byte element header, then for every sample period
// eight 4-byte channel words, one per channel slot, whether or not the slot
// carries audio.
#include "aes3/packings.h"

#include <string.h>

namespace pcmpack {
namespace {

constexpr uint32_t kElementHeaderBytes = 4;
constexpr int32_t kSlots = 8;
constexpr int32_t kWordBytes = 4;
constexpr int32_t kSamplePeriodBytes = kSlots * kWordBytes;
constexpr uint8_t kBlockStartFlag = 0x08;

// Only the 1001 rates number their elements within the five-frame sequence.
bool numbers_cadence_steps(int32_t frame_rate_code) {
    return frame_rate_code == 4 || frame_rate_code == 7;
}

// A channel word, read little-endian: the sample's 20 most significant bits
// in bits 4-23, the block-start flag in bit 3, the slot number in bits 0-2.
template <bool BigEndian>
void pack_sample_periods(const uint8_t *in, uint8_t *out, int32_t periods, int32_t channels) {
    constexpr int kLsb = BigEndian ? 2 : 0, kMid = 1, kMsb = BigEndian ? 0 : 2;
    const int32_t empty_slot_bytes = (kSlots - channels) * kWordBytes;
    for (int32_t p = 0; p < periods; ++p) {
        for (int32_t slot = 0; slot < channels; ++slot) {
            out[0] = static_cast<uint8_t>((in[kLsb] & 0xF0) | slot);
            out[1] = in[kMid];
            out[2] = in[kMsb];
            out[3] = 0;
            in += 3;
            out += kWordBytes;
        }
        memset(out, 0, empty_slot_bytes);
        out += empty_slot_bytes;
    }
}

}  // namespace

int32_t aes3_pack_d10(const pcm_a_encoder &enc, const uint8_t *frame_input) {
    const int32_t step = enc.cadence_index;
    const int32_t periods = enc.samples_per_frame[step];
    uint8_t *element = enc.frame_buf;
    element[0] = numbers_cadence_steps(enc.frameRateCode) ? static_cast<uint8_t>(step + 1) : 0;
    element[1] = static_cast<uint8_t>(periods);
    element[2] = static_cast<uint8_t>(periods >> 8);
    element[3] = static_cast<uint8_t>(enc.channel_mask);
    if (periods <= 0) return kElementHeaderBytes;

    uint8_t *words = element + kElementHeaderBytes;
    const int32_t channels = enc.channels_minus_one + 1;
    if (enc.input_flags & PCM_INPUT_BIG_ENDIAN) {
        pack_sample_periods<true>(frame_input, words, periods, channels);
    } else {
        pack_sample_periods<false>(frame_input, words, periods, channels);
    }
    // The element starts a new run of 192 sample periods.
    for (int32_t p = 0; p < periods; p += kAes3BlockFrames) {
        words[p * kSamplePeriodBytes] |= kBlockStartFlag;
    }
    return kElementHeaderBytes + periods * kSamplePeriodBytes;
}

}  // namespace pcmpack
