// SPDX-License-Identifier: BSD-2-Clause
#include "aes3/aes3_framing.h"

#include <string.h>

#include "aes3/packings.h"
#include "core/frame_cutter.h"
#include "core/layer.h"

namespace pcmpack {

// A sample packing: a whole frame in one call, or a frame that arrives in
// pieces, a run of sample periods at a time and then its finish.
struct Aes3Packing {
    void (*pack)(const pcm_a_encoder &enc, const uint8_t *frame_input, uint8_t *frame);
    void (*pack_periods)(const pcm_a_encoder &enc, const uint8_t *input, int32_t first_period,
                         int32_t periods, uint8_t *frame);
    void (*finish)(const pcm_a_encoder &enc, uint8_t *frame);
    // Bytes the packing puts in front of the payload.
    uint32_t header_bytes;
};

namespace {

struct AesCadence {
    int32_t samples[kCadenceSteps];
};

// Sample periods per video frame at 48 kHz, by MPEG frame rate code 1..8. The
// 1001 rates need a five-frame cadence so that five frames hold a whole number
// of samples (8008 at 30000/1001, 4004 at 60000/1001).
constexpr AesCadence kAesCadence[] = {
    {{2002, 2002, 2002, 2002, 2002}},  // 1: 24000/1001
    {{2000, 2000, 2000, 2000, 2000}},  // 2: 24
    {{1920, 1920, 1920, 1920, 1920}},  // 3: 25
    {{1602, 1601, 1602, 1601, 1602}},  // 4: 30000/1001
    {{1600, 1600, 1600, 1600, 1600}},  // 5: 30
    {{960, 960, 960, 960, 960}},       // 6: 50
    {{801, 801, 800, 801, 801}},       // 7: 60000/1001
    {{800, 800, 800, 800, 800}},       // 8: 60
};

// Both buffers are sized for the first step of the cadence.
constexpr bool first_step_is_largest() {
    for (const AesCadence &cadence : kAesCadence) {
        for (int32_t samples : cadence.samples) {
            if (samples > cadence.samples[0]) return false;
        }
    }
    return true;
}
static_assert(first_step_is_largest(), "buffers are sized from the first cadence step");

// A 48 kHz sample period lasts 27000000 / 48000 = 562.5 ticks of the 27 MHz
// clock: the time of a frame is exact in half ticks, and truncated to whole
// ticks only when it is handed to the host.
constexpr int64_t kHalfTicksPerPeriod = 1125;

// Every AES3 frame holds the audio of one video frame at 48 kHz, whatever the
// sample rate of the settings.
void aes3_count_samples(const pcm_a_encoder &enc, int32_t (&samples)[kCadenceSteps]) {
    const AesCadence &cadence = kAesCadence[enc.frameRateCode - 1];
    for (int i = 0; i < kCadenceSteps; ++i) samples[i] = cadence.samples[i];
}

// 302M carries channels in pairs; a single channel still takes one pair.
int32_t channel_pairs(const pcm_a_encoder &enc) {
    return enc.channels_minus_one > 1 ? (enc.channels_minus_one + 1) / 2 : 1;
}

// One 302M group carries a channel pair: 5, 6 or 7 bytes for 16, 20 or 24
// bits, from two 2-byte or two 3-byte input samples.
PeriodBytes s302m_period_bytes(const pcm_a_encoder &enc) {
    const int32_t q = enc.quantization;
    const int32_t pairs = channel_pairs(enc);
    return PeriodBytes{(q == PCM_QUANT_16 ? 5 : q == PCM_QUANT_20 ? 6 : 7) * pairs,
                       (q == PCM_QUANT_16 ? 4 : 6) * pairs};
}

// Eight 4-byte channel words per sample period, whatever the channel count.
PeriodBytes d10_period_bytes(const pcm_a_encoder &enc) {
    return PeriodBytes{32, 3 * (enc.channels_minus_one + 1)};
}

// The planes are as wide as the input: 2 bytes a sample at 16 bits, 3 at 20
// and 24.
PeriodBytes planar_period_bytes(const pcm_a_encoder &enc) {
    const int32_t q = enc.quantization;
    const int32_t bytes = ((q == PCM_QUANT_20 || q == PCM_QUANT_24) ? 3 : 2) *
                          (enc.channels_minus_one + 1);
    return PeriodBytes{bytes, bytes};
}

StreamHeader aes3_stream_header(const pcm_a_encoder &enc) {
    const uint8_t frame_rate = static_cast<uint8_t>((enc.frameRateCode - 1) << 5);
    const uint8_t quantization = static_cast<uint8_t>((enc.quantization & 3) << 3);
    const uint8_t channels = static_cast<uint8_t>(enc.channels_minus_one & 7);
    return make_stream_header("AES3", static_cast<uint8_t>(enc.audio_layer & 0xFF),
                              static_cast<uint8_t>(frame_rate | quantization | channels));
}

uint32_t aes3_frame_input_bytes(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.input_frame_bytes[enc.cadence_index]);
}

// Planar frames have no header and no block-start marks.
void nothing_to_finish(const pcm_a_encoder &, uint8_t *) {}

constexpr Aes3Packing k302m = {aes3_pack_302m, aes3_pack_302m_periods, aes3_finish_302m,
                               kElementHeaderBytes};
constexpr Aes3Packing kD10 = {aes3_pack_d10, aes3_pack_d10_periods, aes3_finish_d10,
                              kElementHeaderBytes};
constexpr Aes3Packing kPlanar = {aes3_pack_planar, aes3_pack_planar_periods, nothing_to_finish,
                                 0};

const Aes3Packing &packing_of(const pcm_a_encoder &enc) { return *enc.layer->aes3_packing; }

// A frame that arrives in pieces is packed as it comes into frame_buf: the
// whole sample periods of a piece go straight from the caller's buffer to
// their place in the frame, and only a sample period that the piece cuts
// waits in stage_buf for the rest of its bytes. The memory a host lends is
// asked for only once the frame is whole, so for such a host the pieces wait
// in stage_buf, which holds a whole frame's input, and the frame is packed
// once, into that memory.
void aes3_gather(pcm_a_encoder &enc, uint32_t offset, const uint8_t *data, uint32_t size) {
    if (host_lends_frames(enc)) {
        memcpy(enc.stage_buf + offset, data, size);
        return;
    }
    const Aes3Packing &packing = packing_of(enc);
    const uint32_t period_bytes = static_cast<uint32_t>(enc.input_sample_bytes);
    int32_t period = static_cast<int32_t>(offset / period_bytes);
    const uint32_t staged = offset % period_bytes;
    uint32_t taken = 0;
    if (staged != 0) {
        taken = period_bytes - staged < size ? period_bytes - staged : size;
        memcpy(enc.stage_buf + staged, data, taken);
        if (staged + taken < period_bytes) return;
        packing.pack_periods(enc, enc.stage_buf, period, 1, enc.frame_buf);
        ++period;
    }
    const uint32_t whole = (size - taken) / period_bytes;
    packing.pack_periods(enc, data + taken, period, static_cast<int32_t>(whole), enc.frame_buf);
    taken += whole * period_bytes;
    if (taken < size) memcpy(enc.stage_buf, data + taken, size - taken);
}

uint32_t aes3_frame_size(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.frame_bytes[enc.cadence_index]) +
           packing_of(enc).header_bytes;
}

// Sends the packed frame and moves the cadence on only once it has left: a
// failed frame leaves step, timestamp and count where they were. The
// timestamp counts the sample periods written so far, so the half ticks of
// the 1001 rates are never lost.
Status aes3_close_frame(pcm_a_encoder &enc, uint8_t *frame) {
    const int32_t step = enc.cadence_index;
    if (close_frame(enc, frame, aes3_frame_size(enc),
                    enc.periods_written * kHalfTicksPerPeriod / 2) != Status::ok) {
        return Status::failed;
    }
    ++enc.frame_count;
    enc.periods_written += enc.samples_per_frame[step];
    enc.cadence_index = step + 1 < kCadenceSteps ? step + 1 : 0;
    return Status::ok;
}

Status aes3_pack_and_write(pcm_a_encoder &enc, const uint8_t *frame_input) {
    uint8_t *frame = nullptr;
    if (open_frame(enc, aes3_frame_size(enc), frame) != Status::ok) return Status::failed;
    packing_of(enc).pack(enc, frame_input, frame);
    return aes3_close_frame(enc, frame);
}

// The frame in frame_buf needs only its finish; a whole frame's input in
// stage_buf is packed into the memory the host lends.
Status aes3_finish_and_write(pcm_a_encoder &enc) {
    if (host_lends_frames(enc)) return aes3_pack_and_write(enc, enc.stage_buf);
    packing_of(enc).finish(enc, enc.frame_buf);
    return aes3_close_frame(enc, enc.frame_buf);
}

constexpr Packetizer kAes3 = {
    aes3_stream_header,
    aes3_frame_input_bytes,
    aes3_gather,
    aes3_finish_and_write,
    aes3_pack_and_write,
};

}  // namespace

// The three AES3 layers share the cadence and the framing and differ in the
// packing and the size of a sample period. Their input waits in stage_buf and
// their frames follow the video frame rate; only D-10 masks its channels.
const AudioLayer kAes3302mLayer = {
    PCM_LAYER_AES3_302M, aes3_count_samples, s302m_period_bytes, kElementHeaderBytes,
    /*stages_input=*/true, /*needs_frame_rate_code=*/true, /*masks_channels=*/false,
    &kAes3, &k302m,
};
const AudioLayer kAes3D10Layer = {
    PCM_LAYER_AES3_D10, aes3_count_samples, d10_period_bytes, kElementHeaderBytes,
    /*stages_input=*/true, /*needs_frame_rate_code=*/true, /*masks_channels=*/true,
    &kAes3, &kD10,
};
const AudioLayer kAes3PlanarLayer = {
    PCM_LAYER_AES3_PLANAR, aes3_count_samples, planar_period_bytes, 0,
    /*stages_input=*/true, /*needs_frame_rate_code=*/true, /*masks_channels=*/false,
    &kAes3, &kPlanar,
};

}  // namespace pcmpack
