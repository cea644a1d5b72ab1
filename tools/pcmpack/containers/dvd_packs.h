// SPDX-License-Identifier: BSD-2-Clause
// The packs of a DVD program stream on their way from the muxer to the
// output, each audio pack's LPCM header made true.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcmtool {

class ByteSink;

// A DVD's read rate, which every title's packs keep to, in bits a second.
constexpr int64_t kDvdMuxRate = 10080000;
// Bytes of a DVD pack, and the most of them an LPCM pack leaves its audio
// once the pack header, the PES header with its time stamp and the LPCM
// header are written: the share of the read rate the streams themselves get.
constexpr int64_t kDvdPackBytes = 2048;
constexpr int64_t kDvdPackPayloadBytes = 2008;

// The program stream muxer writes 7 frame headers and a pointer to the first
// byte whatever a pack holds; a player finds the frame that the PES time
// stamps by that pointer. Each audio pack gets the count of the 1/600 s
// frames of its substream that start in it and the pointer to the first
// one, and the time of that frame: the muxer stamps a pack with the time of
// the first access unit starting in it, and an access unit of several frames
// may start after a frame that the pack holds the start of. The first pack
// of a substream starts with its first frame, whose time the muxer wrote
// there; every frame comes 1/600 s after the one before. Video and
// navigation packs pass as they are.
class DvdPacks {
public:
    DvdPacks(ByteSink &out, const std::string &output_name) : out_(out), name_(output_name) {}
    // The next LPCM substream (0xA0, 0xA1, ... in order) and its frame size.
    void add_substream(uint64_t frame_bytes);
    void write(const uint8_t *data, size_t size);
    // What follows the last pack: the program end code.
    void finish();

private:
    struct Substream {
        uint64_t frame_bytes = 0;
        uint64_t audio_before = 0;  // audio bytes of its packs so far
        int64_t first_pts = -1;     // of its first frame, once its first pack is out
    };
    void describe_frames(uint8_t *pack);
    // pts: the PES header's time stamp, or null when it has none.
    void describe_lpcm(uint8_t *lpcm, uint64_t audio, uint8_t *pts);

    ByteSink &out_;
    std::string name_;
    std::vector<Substream> substreams_;
    std::vector<uint8_t> pack_;
};

}  // namespace pcmtool
