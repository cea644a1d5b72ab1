// SPDX-License-Identifier: BSD-2-Clause
// What a pcmpack stream is, known in one place for the whole tool: the
// 8-byte stream header, the size and sample periods of each frame by cadence
// step, the five-frame cadence of the 1001 rates, the MPEG frame rates, and
// the HDMV channel layouts with their assignment codes. Written from the
// formats alone, independent of the library, so that the stream reader built
// on it can check the library's output. The stream reader, the containers,
// inspect and encode ask here; no other file of the tool carries these
// tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcmpack_format {

constexpr int kLayerDvd = 4;
constexpr int kLayer302m = 10;
constexpr int kLayerD10 = 11;
constexpr int kLayerPlanar = 12;
constexpr int kLayerHdmv = 13;

constexpr size_t kStreamHeaderBytes = 8;
// HDMV, 302M and D-10 frames start with a 4-byte header; DVD and planar
// frames have none.
constexpr uint32_t kFrameHeaderBytes = 4;
// The AES3 layers repeat their frame sizes every five frames: the 1001 rates
// need five frames to hold a whole number of 48 kHz samples.
constexpr int kCadenceSteps = 5;
constexpr int kAes3SampleRate = 48000;
// The frame rate code of a container's 302M track whose packets follow no
// video frame (other writers cut 302M into packets of any whole number of
// sample periods): each frame's length is then its own header's. No stream
// header codes it; only a container's track is read so.
constexpr int kNoFrameRate = 0;
// 27 MHz presentation-time ticks of one DVD frame (1/600 s) and one HDMV
// frame (1/200 s).
constexpr int64_t kDvdFrameTicks = 45000;
constexpr int64_t kHdmvFrameTicks = 135000;

bool is_aes3(int layer);
// "DVD LPCM", "SMPTE 302M", "D-10 AES3", "planar AES3", "HDMV LPCM";
// "unknown layer" for anything else.
const char *layer_name(int layer);

// A video frame rate of the AES3 layers, by its MPEG frame_rate_code.
struct FrameRate {
    int code;
    int64_t num, den;     // the exact rate
    const char *exact;    // "30000/1001"
    const char *decimal;  // the rounded form people also write ("" when exact)
    int periods[kCadenceSteps];  // 48 kHz sample periods per frame, by cadence step
};
// The rates in code order, 1 to 8; nullptr for any other code.
const FrameRate *frame_rate(int code);
const FrameRate *frame_rates_begin();
const FrameRate *frame_rates_end();

// What the stream header says about the stream.
struct StreamParams {
    int layer = 0;            // 4, 10, 11, 12 or 13
    int channels = 0;         // coded channels (HDMV: including a padding channel)
    int bits = 0;             // 16, 20 or 24
    int sample_rate = 0;      // Hz; the AES3 layers are always 48000
    int frame_rate_code = 0;  // AES3 only: 1..8; 302M of a container also kNoFrameRate
    int emphasis = 0;         // DVD LPCM only
    int mute = 0;             // DVD LPCM only
    int dynamic_range = 0;    // DVD LPCM only
};

// The first thing wrong with a stream header: the byte and the reason.
struct HeaderFault {
    size_t offset = 0;
    std::string text;
};

// Reads the 8-byte stream header. False, with the fault, for a header no
// pcmpack stream carries.
bool decode_stream_header(const uint8_t header[kStreamHeaderBytes], StreamParams *params,
                          HeaderFault *fault);
// Whether a stream of `params` is one the layer carries (a container's
// track is checked as its stream header would be); false with the fault,
// which names the header byte that would code the field.
bool check_stream_params(const StreamParams &params, HeaderFault *fault);
// The stream header of `params`, which decode_stream_header() reads back
// as they are.
void encode_stream_header(const StreamParams &params, uint8_t header[kStreamHeaderBytes]);

// Frames before the sizes repeat: 5 for the AES3 layers, 1 otherwise (and
// for 302M of kNoFrameRate, whose sizes do not repeat).
int cadence_steps(const StreamParams &params);
// Sample periods and bytes (a frame header included) of the frame at
// cadence step `step`; 0 for 302M of kNoFrameRate, whose frames say it.
uint32_t frame_periods(const StreamParams &params, int step);
uint32_t frame_bytes(const StreamParams &params, int step);
// Payload bytes of one sample period in the DVD, HDMV and planar layouts,
// and in 302M (a group per channel pair).
uint32_t period_bytes(const StreamParams &params);
// 27 MHz ticks of the frame `index`, as the encoder stamps it: a whole
// number per frame for DVD and HDMV; for AES3 the running sum of sample
// periods, whose half ticks at the 1001 rates are kept and only the stamp
// is truncated.
int64_t frame_timestamp(const StreamParams &params, int64_t index);

// --- HDMV channel layouts ---------------------------------------------------

enum class Speaker : uint8_t {
    pad,  // a silent coded channel that readers drop
    fl, fr, fc, lfe, bl, br, sl, sr,
    ls, rs,  // the surrounds of a 3/2 layout: side or back, whichever the source has
    bc, flc, frc, top, other,
};

struct HdmvLayout {
    const char *name;        // "2.0", "5.1", ... as --hdmv-layout and inspect name it
    int assignment;          // channel assignment code of the HDMV frame header
    int library_assignment;  // the code of the layout with the same frame geometry and padding
    int coded_channels;
    Speaker coded[8];        // coded order, as independent readers take it
};

const HdmvLayout *hdmv_layouts_begin();
const HdmvLayout *hdmv_layouts_end();
// The layout of a channel assignment code; nullptr for codes without one.
const HdmvLayout *hdmv_layout_of_assignment(int assignment);
// The padded layout of as many coded channels (2.0, 3/0, 3/2, 3/4), which a
// stream header alone implies; nullptr for a count HDMV does not code.
const HdmvLayout *hdmv_layout_of_coded(int coded_channels);
// The layout named as --hdmv-layout names it; nullptr for none.
const HdmvLayout *hdmv_layout_named(const char *name);

}  // namespace pcmpack_format
