// SPDX-License-Identifier: BSD-2-Clause
// Each DVD audio pack's LPCM header, per substream, from the audio bytes of
// the substream's packs before it.
#include "containers/dvd_packs.h"

#include "common.h"
#include "outputs/sink.h"

#include <algorithm>
#include <cstring>

namespace pcmtool {

namespace {

constexpr size_t kPackBytes = kDvdPackBytes;

// The private stream that carries DVD audio, and its first LPCM substream.
constexpr uint8_t kPrivateStream1 = 0xBD;
constexpr uint8_t kFirstLpcmSubstream = 0xA0;

// The first-access-unit pointer counts from the pointer's last byte: past
// the 3 bytes of the audio frame header, the audio begins 4 bytes on.
constexpr unsigned kPointerToAudio = 4;

// Substream id, frame header count, pointer (2) and the audio frame header
// (3) before the audio.
constexpr size_t kLpcmHeadBytes = 7;

// A PES time stamp: 5 bytes, 33 bits between marker bits. A 1/600 s frame
// lasts 150 ticks of its 90 kHz clock.
constexpr uint8_t kPtsBytes = 5;
constexpr int64_t kFrameTicks90k = 150;

int64_t read_pts(const uint8_t *pts) {
    return int64_t(pts[0] >> 1 & 7) << 30 | int64_t(pts[1]) << 22 | int64_t(pts[2] >> 1) << 15 |
           int64_t(pts[3]) << 7 | int64_t(pts[4] >> 1);
}

// Keeps the prefix and the marker bits.
void write_pts(uint8_t *pts, int64_t time) {
    time &= (int64_t{1} << 33) - 1;
    pts[0] = static_cast<uint8_t>((pts[0] & 0xF1) | (time >> 29 & 0x0E));
    pts[1] = static_cast<uint8_t>(time >> 22);
    pts[2] = static_cast<uint8_t>((time >> 14 & 0xFE) | 1);
    pts[3] = static_cast<uint8_t>(time >> 7);
    pts[4] = static_cast<uint8_t>(time << 1 | 1);
}

}  // namespace

void DvdPacks::add_substream(uint64_t frame_bytes) {
    substreams_.push_back(Substream{frame_bytes, 0, -1});
    pack_.reserve(kPackBytes);
}

void DvdPacks::write(const uint8_t *data, size_t size) {
    while (size > 0) {
        const size_t take = std::min(size, kPackBytes - pack_.size());
        pack_.insert(pack_.end(), data, data + take);
        data += take;
        size -= take;
        if (pack_.size() < kPackBytes) break;
        describe_frames(pack_.data());
        out_.write(pack_.data(), pack_.size());
        pack_.clear();
    }
}

void DvdPacks::finish() {
    if (!pack_.empty()) out_.write(pack_.data(), pack_.size());
    pack_.clear();
}

void DvdPacks::describe_frames(uint8_t *p) {
    static constexpr uint8_t kPackStart[4] = {0, 0, 1, 0xBA};
    if (std::memcmp(p, kPackStart, 4) != 0)
        throw Failure(name_ + ": internal: the muxer wrote a pack out of step");
    size_t at = 14 + (p[13] & 7);
    while (at + 6 <= kPackBytes && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1) {
        const size_t length = size_t{p[at + 4]} << 8 | p[at + 5];
        const size_t end = at + 6 + length;
        if (p[at + 3] == kPrivateStream1 && end <= kPackBytes && at + 9 <= end) {
            // PES header, then the substream id, frame headers, pointer, the
            // 3-byte audio frame header, and the audio.
            uint8_t *lpcm = p + at + 9 + p[at + 8];
            uint8_t *pts = (p[at + 7] & 0x80) && p[at + 8] >= kPtsBytes ? p + at + 9 : nullptr;
            if (lpcm + kLpcmHeadBytes <= p + end)
                describe_lpcm(lpcm, static_cast<uint64_t>(p + end - (lpcm + kLpcmHeadBytes)), pts);
        }
        at = end;
    }
}

void DvdPacks::describe_lpcm(uint8_t *lpcm, uint64_t audio, uint8_t *pts) {
    const size_t index = static_cast<size_t>(lpcm[0] - kFirstLpcmSubstream);
    if (lpcm[0] < kFirstLpcmSubstream || index >= substreams_.size()) return;
    Substream &s = substreams_[index];
    const uint64_t first = (s.audio_before + s.frame_bytes - 1) / s.frame_bytes;
    const uint64_t last = (s.audio_before + audio + s.frame_bytes - 1) / s.frame_bytes;
    const uint64_t starts = last - first;
    const uint64_t pointer = starts ? kPointerToAudio + first * s.frame_bytes - s.audio_before : 0;
    lpcm[1] = static_cast<uint8_t>(starts);
    lpcm[2] = static_cast<uint8_t>(pointer >> 8);
    lpcm[3] = static_cast<uint8_t>(pointer);
    if (pts && s.audio_before == 0) s.first_pts = read_pts(pts);
    if (pts && starts && s.first_pts >= 0)
        write_pts(pts, s.first_pts + int64_t(first) * kFrameTicks90k);
    s.audio_before += audio;
}

}  // namespace pcmtool
