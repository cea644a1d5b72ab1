// SPDX-License-Identifier: BSD-2-Clause
#include "lpcm/hdmv_lpcm.h"

#include <assert.h>
#include <string.h>

#include "core/frame_cutter.h"
#include "core/layer.h"

namespace pcmpack {
namespace {

constexpr uint32_t kHdmvFrameHeaderBytes = 4;
constexpr int64_t kFrameTicks = 135000;  // 1/200 s

// 1/200 s of audio: 240 sample periods at 48 kHz, 480 at 96 kHz.
void hdmv_lpcm_count_samples(const pcm_a_encoder &enc, int32_t (&samples)[kCadenceSteps]) {
    const int32_t periods = enc.sample_rate == 48000 ? 240 : enc.sample_rate == 96000 ? 480 : 960;
    for (int32_t &step : samples) step = periods;
}

// The caller's samples pass through: 2 bytes each at 16 bits, 3 at 20 and 24.
PeriodBytes hdmv_lpcm_period_bytes(const pcm_a_encoder &enc) {
    const int32_t q = enc.quantization;
    const int32_t bytes = ((q == PCM_QUANT_20 || q == PCM_QUANT_24) ? 3 : 2) *
                          (enc.channels_minus_one + 1);
    return PeriodBytes{bytes, bytes};
}

// Channel assignment codes of the HDMV frame header by coded channel count.
// The first row of a count is the library's own layout: 2.0, then 3/0, 3/2
// and 3/4, each with one padding channel. The other rows name a layout that
// fits the same frames: mono leaves the second channel of 2.0 as padding,
// 5.1 and 7.1 put the LFE where 3/2 and 3/4 have their padding.
struct AssignmentRow {
    int32_t channels_minus_one;
    uint8_t code;
};

constexpr AssignmentRow kAssignments[] = {
    {1, PCM_HDMV_2_0}, {1, PCM_HDMV_MONO},
    {3, PCM_HDMV_3_0},
    {5, PCM_HDMV_3_2}, {5, PCM_HDMV_5_1},
    {7, PCM_HDMV_3_4}, {7, PCM_HDMV_7_1},
};

uint8_t default_assignment(int32_t channels_minus_one) {
    for (const AssignmentRow &row : kAssignments) {
        if (row.channels_minus_one == channels_minus_one) return row.code;
    }
    // Validation lets through only even channel counts of two to eight.
    assert(false);
    return 0;
}

uint8_t channel_assignment(const pcm_a_encoder &enc) {
    return enc.hdmv_channel_assignment != 0
               ? static_cast<uint8_t>(enc.hdmv_channel_assignment)
               : default_assignment(enc.channels_minus_one);
}

uint8_t sampling_frequency_code(int32_t sample_rate) { return sample_rate == 96000 ? 4 : 1; }

StreamHeader hdmv_lpcm_stream_header(const pcm_a_encoder &enc) {
    const uint8_t rate = enc.sample_rate == 96000 ? 0x20 : 0x00;
    const uint8_t quantization = static_cast<uint8_t>((enc.quantization & 3) << 3);
    const uint8_t channels = static_cast<uint8_t>(enc.channels_minus_one & 7);
    return make_stream_header("HDMV", static_cast<uint8_t>(enc.audio_layer & 0xFF),
                              static_cast<uint8_t>(rate | quantization | channels));
}

struct HdmvFrameHeader {
    uint8_t bytes[kHdmvFrameHeaderBytes];
};

HdmvFrameHeader hdmv_frame_header(const pcm_a_encoder &enc) {
    const uint32_t payload = static_cast<uint32_t>(enc.frame_bytes[0]);
    const uint8_t assignment = channel_assignment(enc);
    const uint8_t bits_per_sample = static_cast<uint8_t>((enc.quantization + 1) & 3);
    return HdmvFrameHeader{{static_cast<uint8_t>(payload >> 8), static_cast<uint8_t>(payload),
                            static_cast<uint8_t>(assignment << 4 |
                                                 sampling_frequency_code(enc.sample_rate)),
                            static_cast<uint8_t>(bits_per_sample << 6)}};
}

uint32_t hdmv_lpcm_frame_input_bytes(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.input_frame_bytes[0]);
}

// To the bufstream, two writes and one aux_record for both: the frame
// header, then the payload straight from where the caller's input waits.
// Memory the host lends gets the whole frame.
Status hdmv_lpcm_write_frame(pcm_a_encoder &enc, const uint8_t *frame_input) {
    const HdmvFrameHeader header = hdmv_frame_header(enc);
    const uint32_t payload = static_cast<uint32_t>(enc.frame_bytes[0]);
    const uint32_t size = payload + kHdmvFrameHeaderBytes;
    const int64_t timestamp = enc.frame_count * kFrameTicks;
    if (host_lends_frames(enc)) {
        uint8_t *frame = nullptr;
        if (open_frame(enc, size, frame) != Status::ok) return Status::failed;
        memcpy(frame, header.bytes, kHdmvFrameHeaderBytes);
        memcpy(frame + kHdmvFrameHeaderBytes, frame_input, payload);
        if (close_frame(enc, frame, size, timestamp) != Status::ok) return Status::failed;
    } else {
        if (write_to_stream(enc, header.bytes, kHdmvFrameHeaderBytes) != Status::ok) {
            return Status::failed;
        }
        if (write_to_stream(enc, frame_input, payload) != Status::ok) return Status::failed;
        send_aux_record(enc, size, timestamp);
    }
    ++enc.frame_count;
    return Status::ok;
}

Status hdmv_lpcm_write_gathered_frame(pcm_a_encoder &enc) {
    return hdmv_lpcm_write_frame(enc, enc.frame_buf);
}

constexpr Packetizer kHdmvLpcm = {
    hdmv_lpcm_stream_header,
    hdmv_lpcm_frame_input_bytes,
    gather_in_frame_buf,
    hdmv_lpcm_write_gathered_frame,
    hdmv_lpcm_write_frame,
};

}  // namespace

bool hdmv_assignment_allowed(int32_t channels_minus_one, int32_t code) {
    for (const AssignmentRow &row : kAssignments) {
        if (row.channels_minus_one == channels_minus_one && row.code == code) return true;
    }
    return false;
}

const AudioLayer kHdmvLpcmLayer = {
    PCM_LAYER_HDMV_LPCM,
    hdmv_lpcm_count_samples,
    hdmv_lpcm_period_bytes,
    // Room for a frame header, which goes out from a buffer of its own.
    kHdmvFrameHeaderBytes,
    /*stages_input=*/false,  // a partial frame waits in frame_buf
    /*needs_frame_rate_code=*/false,  // 1/200 s frames, whatever the video
    /*masks_channels=*/false,
    &kHdmvLpcm,
    nullptr,
};

}  // namespace pcmpack
