// Channel layouts: the speaker positions a source declares (its channel
// mask, as libsndfile reads it), the HDMV layouts and the coded order in
// which HDMV readers take their channels, and the plan that puts a source's
// channels into that order. The other layers carry numbered channels, not
// speaker positions, and keep the source's order.
#pragma once

#include "format/stream_format.h"
#include "source/audio_source.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

using pcmpack_format::HdmvLayout;
using pcmpack_format::Speaker;
using pcmpack_format::hdmv_layout_of_assignment;

// "FL", "LFE", "Ls", ...
const char *speaker_name(Speaker speaker);

// The order of a layout's channels in a WAV file (by channel-mask bit), as
// indexes into its coded order; padding is left out. Returns the count.
int file_order(const HdmvLayout &layout, int coded_of_file[8]);
// libsndfile's SF_CHANNEL_MAP_* value of a speaker, for writing a mask.
int sndfile_position(Speaker speaker);

struct ChannelRequest {
    std::string hdmv_layout = "auto";  // auto, 5.1, 7.1, mono, library
    bool keep_order = false;           // --channel-order keep
    bool hdmv_pad_last = false;
};

// Where each coded channel comes from, and what the frame headers say.
struct ChannelPlan {
    int coded_channels = 0;
    std::vector<int> source_of_coded;  // source channel per coded channel, -1 = silent padding
    const HdmvLayout *layout = nullptr;  // HDMV only
    // Frame headers are rewritten from the library's code to this one when
    // they differ (the frame geometry is the same).
    int assignment = 0;
    std::vector<Speaker> source_speakers;  // declared or assumed; empty when neither

    bool identity() const;
    bool rewrites_assignment() const {
        return layout && layout->assignment != layout->library_assignment;
    }
};

// Plans the coded channels of `layer` for the source, or throws Failure with
// the reason naming `input`.
ChannelPlan plan_channels(const AudioSource &source, int layer, const ChannelRequest &request,
                          const std::string &input);

// The lines --verbose prints for an HDMV plan: which source channel went
// where.
std::string describe_plan(const ChannelPlan &plan);

// Rewrites the channel assignment code in byte 2 of every HDMV frame header
// of a stream as its bytes pass by, however they are cut into writes. The
// payload is passed on untouched.
class AssignmentRewriter {
public:
    AssignmentRewriter(uint32_t frame_bytes, int from, int to)
        : frame_bytes_(frame_bytes), from_(from), to_(to) {}
    // The bytes to write in place of data[0, size): data itself, or a copy
    // with the header bytes rewritten. Returns nullptr when a header does not
    // carry the expected code (the stream is then not the one planned).
    const uint8_t *apply(const uint8_t *data, uint32_t size);

private:
    uint32_t frame_bytes_;  // frame header and payload
    int from_, to_;
    uint64_t position_ = 0;  // stream bytes seen
    std::vector<uint8_t> copy_;
};

}  // namespace pcmtool
