// SPDX-License-Identifier: BSD-2-Clause
// The header at the front of each frame, one decoder (and encoder) per
// layer: the 4-byte HDMV LPCM frame header, the 4-byte SMPTE 302M block
// header, the 4-byte D-10 element header, and the 3-byte DVD audio frame
// header that opens every DVD LPCM packet of a program stream (the DVD
// elementary stream and planar AES3 have none). The fields are kept as
// they are coded, so that a header decoded and encoded again is the same
// bytes, reserved bits and all; the meaning of each code comes from the
// lookups beside it. The stream reader, the container reader and the
// container writer all read and write these headers here, and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcmpack_format {

// HDMV and 302M frames both open with the payload size, the bytes of
// samples after the 4-byte header, 16 bits most significant first.
uint32_t coded_payload_bytes(const uint8_t first_two_bytes[2]);

// --- HDMV LPCM ----------------------------------------------------------------

struct HdmvFrameHeader {
    uint32_t payload_bytes = 0;  // 0..65535
    int assignment = 0;          // channel assignment code, 4 bits (hdmv_layout_of_assignment)
    int rate_code = 0;           // sampling frequency code, 4 bits
    int bits_code = 0;           // word length code, 2 bits
    int reserved = 0;            // the six bits after the word length; 0 in every frame pcmpack writes
};

// Each decoder: false, with *header untouched, for fewer bytes than its header.
bool decode_hdmv_frame_header(const uint8_t *bytes, size_t size, HdmvFrameHeader *header);
void encode_hdmv_frame_header(const HdmvFrameHeader &header, uint8_t bytes[4]);
// 1: 48000 Hz, 4: 96000, 5: 192000; 0 for a code the format reserves. The
// code of a rate: -1 for a rate without one.
int hdmv_sample_rate(int rate_code);
int hdmv_rate_code(int sample_rate);
// 1: 16 bits, 2: 20, 3: 24; 0 for the reserved code 0. The code: -1 for none.
int hdmv_bits(int bits_code);
int hdmv_bits_code(int bits);

// --- SMPTE 302M -------------------------------------------------------------

struct S302mFrameHeader {
    uint32_t payload_bytes = 0;  // 0..65535
    int channels = 2;            // 2, 4, 6 or 8: the 2-bit count of channel pairs
    int channel_id = 0;          // channel identification, 8 bits; 0 in pcmpack's frames
    int bits_code = 0;           // word length code, 2 bits (word_length_bits)
    int alignment = 0;           // the 4 alignment bits; 0 in pcmpack's frames
};

bool decode_302m_frame_header(const uint8_t *bytes, size_t size, S302mFrameHeader *header);
// `channels` must be 2, 4, 6 or 8.
void encode_302m_frame_header(const S302mFrameHeader &header, uint8_t bytes[4]);

// --- D-10 AES3 -----------------------------------------------------------------

struct D10ElementHeader {
    int step = 0;            // 1..5 in the cadence of the 1001 rates, 0 at the others
    int sample_periods = 0;  // 16 bits, least significant byte first
    int channel_mask = 0;    // a bit per channel slot that carries audio
};

bool decode_d10_element_header(const uint8_t *bytes, size_t size, D10ElementHeader *header);
void encode_d10_element_header(const D10ElementHeader &header, uint8_t bytes[4]);

// --- DVD LPCM in a program stream -------------------------------------------

constexpr size_t kDvdFrameHeaderBytes = 3;

struct DvdFrameHeader {
    int emphasis = 0;        // 1 bit
    int mute = 0;            // 1 bit
    int reserved_flag = 0;   // the bit between mute and the frame number
    int frame_number = 0;    // 5 bits, counting from pack to pack
    int bits_code = 0;       // quantization, 2 bits (word_length_bits)
    int rate_code = 0;       // 2 bits (dvd_sample_rate)
    int reserved_rate = 0;   // the bit between the rate and the channel count
    int channels = 1;        // 1..8
    int dynamic_range = 0;   // the byte as coded
};

bool decode_dvd_frame_header(const uint8_t *bytes, size_t size, DvdFrameHeader *header);
// `channels` must be 1 to 8.
void encode_dvd_frame_header(const DvdFrameHeader &header, uint8_t bytes[kDvdFrameHeaderBytes]);
// 0: 48000 Hz, 1: 96000; 0 for the codes the format reserves. The code: -1 for none.
int dvd_sample_rate(int rate_code);
int dvd_rate_code(int sample_rate);
// Whether two packets' headers belong to one track: every field holds but
// the audio frame number, which counts on, and the reserved bit before it.
bool same_dvd_track(const DvdFrameHeader &a, const DvdFrameHeader &b);

// --- The word length code of the stream header, DVD LPCM and 302M ----------

// The word length of a 2-bit quantization code: 16 bits and 4 more a step.
// The code 3 counts to 28, a length the formats reserve, which
// check_stream_params refuses naming the code.
int word_length_bits(int bits_code);
int word_length_code(int bits);

}  // namespace pcmpack_format
