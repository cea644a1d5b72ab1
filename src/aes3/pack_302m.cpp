// SMPTE 302M: each channel pair of a sample period becomes one group of 5, 6
// or 7 bytes. Every audio byte goes out bit-reversed (the format sends each
// sample least significant bit first), and each sample is followed by four
// bits 1, 0, 0, b, where b marks the start of a 192-frame AES3 block.
#include "aes3/packings.h"

namespace pcmpack {
namespace {

struct ByteTable {
    uint8_t entry[256];
};

constexpr ByteTable make_bit_reverse_table() {
    ByteTable table{};
    for (int i = 0; i < 256; ++i) {
        int reversed = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (i & (1 << bit)) reversed |= 0x80 >> bit;
        }
        table.entry[i] = static_cast<uint8_t>(reversed);
    }
    return table;
}

constexpr ByteTable bit_reverse_table = make_bit_reverse_table();
static_assert(bit_reverse_table.entry[0x01] == 0x80 && bit_reverse_table.entry[0x03] == 0xC0,
              "bit 0 of an audio byte goes out first");

inline uint8_t rev(uint8_t byte) { return bit_reverse_table.entry[byte]; }

constexpr uint32_t kBlockHeaderBytes = 4;

// Offsets, within one group's input, of each sample's bytes from least to
// most significant: a little-endian pair reads 0,1 | 2,3 (or 0,1,2 | 3,4,5),
// a big-endian pair the other way round within each sample.
template <bool BigEndian>
struct Pair16 {
    static constexpr int kInputBytes = 4;
    static constexpr int kL1 = BigEndian ? 1 : 0, kH1 = BigEndian ? 0 : 1;
    static constexpr int kL2 = BigEndian ? 3 : 2, kH2 = BigEndian ? 2 : 3;
};

template <bool BigEndian>
struct Pair24 {
    static constexpr int kInputBytes = 6;
    static constexpr int kL1 = BigEndian ? 2 : 0, kM1 = 1, kH1 = BigEndian ? 0 : 2;
    static constexpr int kL2 = BigEndian ? 5 : 3, kM2 = 4, kH2 = BigEndian ? 3 : 5;
};

// 16-bit group, 40 bits: sample 1 (16), 1 0 0 b, sample 2 (16), 1 0 0 0.
struct Group16 {
    static constexpr int kBytes = 5;
    static constexpr int kBlockStartByte = 2;
    static constexpr uint8_t kBlockStartBit = 0x10;
    template <bool BigEndian>
    static void pack(const uint8_t *in, uint8_t *out) {
        using Map = Pair16<BigEndian>;
        const uint8_t l2 = rev(in[Map::kL2]), h2 = rev(in[Map::kH2]);
        out[0] = rev(in[Map::kL1]);
        out[1] = rev(in[Map::kH1]);
        out[2] = static_cast<uint8_t>(0x80 | l2 >> 4);
        out[3] = static_cast<uint8_t>(l2 << 4 | h2 >> 4);
        out[4] = static_cast<uint8_t>(h2 << 4 | 0x08);
    }
    template <bool BigEndian>
    using Input = Pair16<BigEndian>;
};

// 20-bit group, 48 bits: the low nibble of each sample's least significant
// input byte is not carried, so the marker nibble closes byte 2 and byte 5.
struct Group20 {
    static constexpr int kBytes = 6;
    static constexpr int kBlockStartByte = 2;
    static constexpr uint8_t kBlockStartBit = 0x01;
    template <bool BigEndian>
    static void pack(const uint8_t *in, uint8_t *out) {
        using Map = Pair24<BigEndian>;
        const uint8_t l1 = rev(in[Map::kL1]), m1 = rev(in[Map::kM1]), h1 = rev(in[Map::kH1]);
        const uint8_t l2 = rev(in[Map::kL2]), m2 = rev(in[Map::kM2]), h2 = rev(in[Map::kH2]);
        out[0] = static_cast<uint8_t>(l1 << 4 | m1 >> 4);
        out[1] = static_cast<uint8_t>(m1 << 4 | h1 >> 4);
        out[2] = static_cast<uint8_t>(h1 << 4 | 0x08);
        out[3] = static_cast<uint8_t>(l2 << 4 | m2 >> 4);
        out[4] = static_cast<uint8_t>(m2 << 4 | h2 >> 4);
        out[5] = static_cast<uint8_t>(h2 << 4 | 0x08);
    }
    template <bool BigEndian>
    using Input = Pair24<BigEndian>;
};

// 24-bit group, 56 bits: sample 1 (24), 1 0 0 b, sample 2 (24), 1 0 0 0.
struct Group24 {
    static constexpr int kBytes = 7;
    static constexpr int kBlockStartByte = 3;
    static constexpr uint8_t kBlockStartBit = 0x10;
    template <bool BigEndian>
    static void pack(const uint8_t *in, uint8_t *out) {
        using Map = Pair24<BigEndian>;
        const uint8_t l2 = rev(in[Map::kL2]), m2 = rev(in[Map::kM2]), h2 = rev(in[Map::kH2]);
        out[0] = rev(in[Map::kL1]);
        out[1] = rev(in[Map::kM1]);
        out[2] = rev(in[Map::kH1]);
        out[3] = static_cast<uint8_t>(0x80 | l2 >> 4);
        out[4] = static_cast<uint8_t>(l2 << 4 | m2 >> 4);
        out[5] = static_cast<uint8_t>(m2 << 4 | h2 >> 4);
        out[6] = static_cast<uint8_t>(h2 << 4 | 0x08);
    }
    template <bool BigEndian>
    using Input = Pair24<BigEndian>;
};

// Packs every group with b = 0, then sets b on the first group of each run of
// 192 groups. The group counter counts channel pairs and restarts with every
// block, so a block start falls on the pair of channels 0 and 1.
template <typename Group, bool BigEndian>
int32_t pack_groups(const uint8_t *in, uint8_t *out, int32_t input_bytes) {
    constexpr int kInputBytes = Group::template Input<BigEndian>::kInputBytes;
    const int32_t groups = input_bytes / kInputBytes;
    for (int32_t g = 0; g < groups; ++g) {
        Group::template pack<BigEndian>(in + g * kInputBytes, out + g * Group::kBytes);
    }
    for (int32_t g = 0; g < groups; g += kAes3BlockFrames) {
        out[g * Group::kBytes + Group::kBlockStartByte] |= Group::kBlockStartBit;
    }
    return groups * Group::kBytes;
}

template <typename Group>
int32_t pack_groups(bool big_endian, const uint8_t *in, uint8_t *out, int32_t input_bytes) {
    return big_endian ? pack_groups<Group, true>(in, out, input_bytes)
                      : pack_groups<Group, false>(in, out, input_bytes);
}

}  // namespace

int32_t aes3_pack_302m(const pcm_a_encoder &enc, const uint8_t *frame_input) {
    const int32_t step = enc.cadence_index;
    const uint32_t payload = static_cast<uint32_t>(enc.frame_bytes[step]);
    uint8_t *block = enc.frame_buf;
    block[0] = static_cast<uint8_t>(payload >> 8);
    block[1] = static_cast<uint8_t>(payload);
    block[2] = static_cast<uint8_t>((enc.channels_minus_one & 0xFE) << 5);  // pairs - 1
    block[3] = static_cast<uint8_t>((enc.quantization & 3) << 4);

    const int32_t input_bytes = enc.input_frame_bytes[step];
    if (input_bytes <= 0) return kBlockHeaderBytes;
    const bool big_endian = (enc.input_flags & PCM_INPUT_BIG_ENDIAN) != 0;
    uint8_t *groups = block + kBlockHeaderBytes;
    switch (enc.quantization) {
    case PCM_QUANT_16:
        return kBlockHeaderBytes + pack_groups<Group16>(big_endian, frame_input, groups, input_bytes);
    case PCM_QUANT_20:
        return kBlockHeaderBytes + pack_groups<Group20>(big_endian, frame_input, groups, input_bytes);
    case PCM_QUANT_24:
        return kBlockHeaderBytes + pack_groups<Group24>(big_endian, frame_input, groups, input_bytes);
    default:
        return kBlockHeaderBytes;
    }
}

}  // namespace pcmpack
