// D-10 audio element: a 4-byte element header, then for every sample period
// eight 4-byte channel words, one per channel slot, whether or not the slot
// carries audio.
#include "aes3/packings.h"
#include "core/byte_order.h"

#include <string.h>

namespace pcmpack {
namespace {

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
// The sample is read as a 4-byte word whose fourth byte (the next sample's)
// the mask drops; a big-endian sample is turned round first.
template <bool BigEndian>
uint32_t channel_word(const uint8_t *sample, uint32_t slot) {
    const uint32_t bytes = load_le32(sample);
    const uint32_t value = BigEndian ? __builtin_bswap32(bytes) >> 8 : bytes;
    return (value & 0x00FFFFF0u) | slot;
}

// One sample period: the channels' words in slots 0 to Channels - 1, zero
// words in the slots that carry no audio.
template <int Channels, bool BigEndian>
void pack_sample_period(const uint8_t *in, uint8_t *out) {
#pragma GCC unroll 8
    for (int slot = 0; slot < Channels; ++slot) {
        store_le32(out + slot * kWordBytes,
                   channel_word<BigEndian>(in + slot * 3, static_cast<uint32_t>(slot)));
    }
#pragma GCC unroll 8
    for (int slot = Channels; slot < kSlots; ++slot) store_le32(out + slot * kWordBytes, 0);
}

// The last sample period reads its samples from a copy, so that reading the
// last sample as a 4-byte word stays inside the frame's input.
template <int Channels, bool BigEndian>
void pack_sample_periods(const uint8_t *in, uint8_t *out, int32_t periods) {
    constexpr int32_t kPeriodInputBytes = 3 * Channels;
    const int32_t last = periods - 1;
    for (int32_t p = 0; p < last; ++p) {
        pack_sample_period<Channels, BigEndian>(in + p * kPeriodInputBytes,
                                                out + p * kSamplePeriodBytes);
    }
    uint8_t last_input[kPeriodInputBytes + 1] = {};
    memcpy(last_input, in + last * kPeriodInputBytes, kPeriodInputBytes);
    pack_sample_period<Channels, BigEndian>(last_input, out + last * kSamplePeriodBytes);
}

template <int Channels>
void pack_sample_periods(bool big_endian, const uint8_t *in, uint8_t *out, int32_t periods) {
    big_endian ? pack_sample_periods<Channels, true>(in, out, periods)
               : pack_sample_periods<Channels, false>(in, out, periods);
}

// The channel count fixes the period layout for the whole frame.
void pack_sample_periods(int32_t channels, bool big_endian, const uint8_t *in, uint8_t *out,
                         int32_t periods) {
    switch (channels) {
    case 1: pack_sample_periods<1>(big_endian, in, out, periods); break;
    case 2: pack_sample_periods<2>(big_endian, in, out, periods); break;
    case 3: pack_sample_periods<3>(big_endian, in, out, periods); break;
    case 4: pack_sample_periods<4>(big_endian, in, out, periods); break;
    case 5: pack_sample_periods<5>(big_endian, in, out, periods); break;
    case 6: pack_sample_periods<6>(big_endian, in, out, periods); break;
    case 7: pack_sample_periods<7>(big_endian, in, out, periods); break;
    default: pack_sample_periods<8>(big_endian, in, out, periods); break;
    }
}

}  // namespace

void aes3_pack_d10_periods(const pcm_a_encoder &enc, const uint8_t *input, int32_t first_period,
                           int32_t periods) {
    if (periods <= 0) return;
    uint8_t *words = enc.frame_buf + kElementHeaderBytes + first_period * kSamplePeriodBytes;
    const int32_t channels = enc.channels_minus_one + 1;
    const bool big_endian = (enc.input_flags & PCM_INPUT_BIG_ENDIAN) != 0;
    pack_sample_periods(channels, big_endian, input, words, periods);
}

// The element header and the block-start flags: the element starts a new run
// of 192 sample periods.
int32_t finish_element(const pcm_a_encoder &enc, uint8_t *element) {
    const int32_t step = enc.cadence_index;
    const int32_t periods = enc.samples_per_frame[step];
    element[0] = numbers_cadence_steps(enc.frameRateCode) ? static_cast<uint8_t>(step + 1) : 0;
    element[1] = static_cast<uint8_t>(periods);
    element[2] = static_cast<uint8_t>(periods >> 8);
    element[3] = static_cast<uint8_t>(enc.channel_mask);
    if (periods <= 0) return kElementHeaderBytes;
    uint8_t *words = element + kElementHeaderBytes;
    for (int32_t p = 0; p < periods; p += kAes3BlockFrames) {
        words[p * kSamplePeriodBytes] |= kBlockStartFlag;
    }
    return kElementHeaderBytes + periods * kSamplePeriodBytes;
}

int32_t aes3_finish_d10(const pcm_a_encoder &enc) { return finish_element(enc, enc.frame_buf); }

int32_t aes3_pack_d10(const pcm_a_encoder &enc, const uint8_t *frame_input) {
    const int32_t periods = enc.samples_per_frame[enc.cadence_index];
    uint8_t *element = enc.frame_buf;
    if (periods > 0) {
        const bool big_endian = (enc.input_flags & PCM_INPUT_BIG_ENDIAN) != 0;
        pack_sample_periods(enc.channels_minus_one + 1, big_endian, frame_input,
                            element + kElementHeaderBytes, periods);
    }
    return finish_element(enc, element);
}

}  // namespace pcmpack
