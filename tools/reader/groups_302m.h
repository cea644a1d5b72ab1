// SPDX-License-Identifier: BSD-2-Clause
// SMPTE 302M groups back into samples. A group is one bit string per channel
// pair: the first sample's N bits least significant first, the nibble
// 1 0 0 b, the second sample's N bits, the nibble 1 0 0 0; sent most
// significant bit first into bytes. Mirroring each byte of a group as sent
// reverses its whole bit string, so that, read as a little-endian number,
// every field lies in plain ascending bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vector_level.h"

namespace pcmpack_reader {

// Each byte of a 64-bit number with its bit order reversed.
constexpr uint64_t mirror_bytes(uint64_t v) {
    v = (v >> 4 & 0x0F0F0F0F0F0F0F0Full) | (v & 0x0F0F0F0F0F0F0F0Full) << 4;
    v = (v >> 2 & 0x3333333333333333ull) | (v & 0x3333333333333333ull) << 2;
    return (v >> 1 & 0x5555555555555555ull) | (v & 0x5555555555555555ull) << 1;
}

// A group's fields once mirrored: the samples at bit 0 and Bits + 4, the
// marker nibbles above each. Nibbles in sending order 1, 0, 0, b read back
// as b000 1.
template <int Bits>
struct Group302m {
    static constexpr int kBytes = (2 * Bits + 8) / 8;
    static constexpr uint64_t kSampleMask = (uint64_t{1} << Bits) - 1;
    static constexpr uint64_t markers(unsigned first) {
        return uint64_t{first} << Bits | uint64_t{1} << (2 * Bits + 4);
    }
    static constexpr uint64_t kMarkerMask = markers(15) | uint64_t{15} << (2 * Bits + 4);
    static constexpr uint64_t kPlain = markers(1);
    static constexpr uint64_t kBlockStart = markers(9);
};

// Groups between two block starts (one every 192 groups of a frame).
constexpr int kGroupsPerBlock = 192;

// A group's bytes as one little-endian number. Eight bytes are read at once
// where they are at hand (a group is 5 to 7 bytes; the surplus lies above
// the group and is masked off).
template <int GroupBytes>
uint64_t group_at(const uint8_t *p, bool eight_at_hand) {
    uint64_t v = 0;
    if (eight_at_hand) {
        std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        return v & ((uint64_t{1} << (8 * GroupBytes)) - 1);
    }
    for (int i = 0; i < GroupBytes; ++i) v |= uint64_t{p[i]} << (8 * i);
    return v;
}

// Every byte of a frame's groups mirrored, eight at a time. `to` has room
// for whole 8-byte words.
void mirror_payload(const uint8_t *from, size_t bytes, uint8_t *to);

// A frame's `groups` groups, 2 * groups left-justified samples into `out`,
// in vector registers. Returns false, having written samples of no use, when
// any group's marker nibbles are not what its place asks: the portable loop
// then finds and names the fault.
using Groups302mDecoder = bool (*)(const uint8_t *payload, int groups, int32_t *out);

// The vector loop for `bits` (16, 20 or 24) of the highest level this
// processor has, `most` at most; null for the portable level.
Groups302mDecoder vector_302m_decoder(int bits, VectorLevel most);

}  // namespace pcmpack_reader
