#include "lpcm/hdmv_lpcm.h"

#include "core/frame_cutter.h"

namespace pcmpack {
namespace {

constexpr uint32_t kHdmvFrameHeaderBytes = 4;

// Channel assignment code of the HDMV frame header, by channels_minus_one:
// 2.0, then 3/0, 3/2 and 3/4 (each with one padding channel) for 4, 6 and 8
// coded channels.
constexpr uint8_t kChannelAssignment[8] = {0, 3, 0, 4, 0, 8, 0, 10};

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
    const uint8_t assignment = kChannelAssignment[enc.channels_minus_one & 7];
    const uint8_t bits_per_sample = static_cast<uint8_t>((enc.quantization + 1) & 3);
    return HdmvFrameHeader{{static_cast<uint8_t>(payload >> 8), static_cast<uint8_t>(payload),
                            static_cast<uint8_t>(assignment << 4 |
                                                 sampling_frequency_code(enc.sample_rate)),
                            static_cast<uint8_t>(bits_per_sample << 6)}};
}

uint32_t hdmv_lpcm_frame_input_bytes(const pcm_a_encoder &enc) {
    return static_cast<uint32_t>(enc.input_frame_bytes[0]);
}

// Two writes, one aux_record for both: the frame header, then the payload
// exactly as the caller gave it.
Status hdmv_lpcm_write_frame(pcm_a_encoder &enc, const uint8_t *frame_input) {
    const HdmvFrameHeader header = hdmv_frame_header(enc);
    if (write_to_stream(enc, header.bytes, kHdmvFrameHeaderBytes) != Status::ok) {
        return Status::failed;
    }
    const uint32_t payload = static_cast<uint32_t>(enc.frame_bytes[0]);
    if (write_to_stream(enc, frame_input, payload) != Status::ok) return Status::failed;
    send_aux_record(enc, payload + kHdmvFrameHeaderBytes,
                    to_ticks(enc.frame_count * enc.frame_duration[0]));
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

Status hdmv_lpcm_put_bytes(pcm_a_encoder &enc, const uint8_t *data, uint32_t size) {
    return cut_frames(enc, kHdmvLpcm, data, size);
}

Status hdmv_lpcm_done(pcm_a_encoder &enc) { return flush_partial_frame(enc, kHdmvLpcm); }

}  // namespace pcmpack
