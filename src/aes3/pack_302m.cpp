// SMPTE 302M: each channel pair of a sample period becomes one group of 5, 6
// or 7 bytes. Every audio byte goes out bit-reversed (the format sends each
// sample least significant bit first), and each sample is followed by four
// bits 1, 0, 0, b, where b marks the start of a 192-frame AES3 block.
#include "aes3/packings.h"
#include "core/byte_order.h"

#include <string.h>

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

// Where each sample of a group finds its least significant, middle and most
// significant byte: a little-endian pair reads 0,1 | 2,3 (or 0,1,2 | 3,4,5),
// a big-endian pair the other way round within each sample. A 16-bit sample
// has no middle byte.
template <int SampleBytes, bool BigEndian>
struct ByteMap {
    static constexpr int kInputBytes = 2 * SampleBytes;
    static constexpr int kL1 = BigEndian ? SampleBytes - 1 : 0, kM1 = 1;
    static constexpr int kH1 = BigEndian ? 0 : SampleBytes - 1;
    static constexpr int kL2 = SampleBytes + kL1, kM2 = SampleBytes + kM1, kH2 = SampleBytes + kH1;
};


// Every group reads each audio byte once, straight from the input, and looks
// it up once. Bytes that hold a whole reversed audio byte are stored as they
// are; the rest of the group, where the marker nibbles shift the audio by
// half a byte, is built in a register and leaves as one 4-byte store that may
// write one byte past the group (the next group overwrites it).

// 16-bit group, 40 bits: sample 1 (16), 1 0 0 b, sample 2 (16), 1 0 0 0.
// Sample 1 fills bytes 0-1; the marker nibbles and sample 2 fill bytes 2-4.
struct Group16 {
    static constexpr int kSampleBytes = 2;
    static constexpr int kBytes = 5;
    static constexpr int kBlockStartByte = 2;
    static constexpr uint8_t kBlockStartBit = 0x10;
    template <bool BigEndian>
    static void pack(const uint8_t *in, uint8_t *out) {
        using Map = ByteMap<kSampleBytes, BigEndian>;
        out[0] = rev(in[Map::kL1]);
        out[1] = rev(in[Map::kH1]);
        store_be32(out + 2, 0x80000000u | uint32_t{rev(in[Map::kL2])} << 20 |
                                uint32_t{rev(in[Map::kH2])} << 12 | 0x800u);
    }
};

// 20-bit group, 48 bits: the low nibble of each sample's least significant
// input byte is not carried (rev() puts it in the high half, which the shift
// drops), so each sample with its marker nibble fills three whole bytes.
struct Group20 {
    static constexpr int kSampleBytes = 3;
    static constexpr int kBytes = 6;
    static constexpr int kBlockStartByte = 2;
    static constexpr uint8_t kBlockStartBit = 0x01;
    template <bool BigEndian>
    static void pack(const uint8_t *in, uint8_t *out) {
        using Map = ByteMap<kSampleBytes, BigEndian>;
        store_be32(out, uint32_t{rev(in[Map::kL1])} << 28 | uint32_t{rev(in[Map::kM1])} << 20 |
                            uint32_t{rev(in[Map::kH1])} << 12 | 0x800u);
        store_be32(out + 3, uint32_t{rev(in[Map::kL2])} << 28 | uint32_t{rev(in[Map::kM2])} << 20 |
                                uint32_t{rev(in[Map::kH2])} << 12 | 0x800u);
    }
};

// 24-bit group, 56 bits: sample 1 (24), 1 0 0 b, sample 2 (24), 1 0 0 0.
// Sample 1 fills bytes 0-2; the marker nibbles and sample 2 fill bytes 3-6.
struct Group24 {
    static constexpr int kSampleBytes = 3;
    static constexpr int kBytes = 7;
    static constexpr int kBlockStartByte = 3;
    static constexpr uint8_t kBlockStartBit = 0x10;
    template <bool BigEndian>
    static void pack(const uint8_t *in, uint8_t *out) {
        using Map = ByteMap<kSampleBytes, BigEndian>;
        out[0] = rev(in[Map::kL1]);
        out[1] = rev(in[Map::kM1]);
        out[2] = rev(in[Map::kH1]);
        store_be32(out + 3, 0x80000000u | uint32_t{rev(in[Map::kL2])} << 20 |
                                uint32_t{rev(in[Map::kM2])} << 12 |
                                uint32_t{rev(in[Map::kH2])} << 4 | 0x8u);
    }
};

// Packs every group with b = 0; the block starts are marked once the whole
// frame is in. The last group of a run is built in a scratch group, since its
// second store could run past the run.
template <typename Group, bool BigEndian>
void pack_groups(const uint8_t *in, uint8_t *out, int32_t input_bytes) {
    constexpr int kInputBytes = ByteMap<Group::kSampleBytes, BigEndian>::kInputBytes;
    const int32_t groups = input_bytes / kInputBytes;
    if (groups <= 0) return;
    const int32_t last = groups - 1;
    // Four groups in flight overlap their table lookups.
#pragma GCC unroll 4
    for (int32_t g = 0; g < last; ++g) {
        Group::template pack<BigEndian>(in + g * kInputBytes, out + g * Group::kBytes);
    }
    uint8_t last_group[Group::kBytes + 1];
    Group::template pack<BigEndian>(in + last * kInputBytes, last_group);
    memcpy(out + last * Group::kBytes, last_group, Group::kBytes);
}

template <typename Group>
void pack_groups(bool big_endian, const uint8_t *in, uint8_t *out, int32_t input_bytes) {
    big_endian ? pack_groups<Group, true>(in, out, input_bytes)
               : pack_groups<Group, false>(in, out, input_bytes);
}

// Sets b on the first group of each run of 192 groups. The group counter
// counts channel pairs and restarts with every block, so a block start falls
// on the pair of channels 0 and 1.
template <typename Group>
void mark_block_starts(uint8_t *groups, int32_t count) {
    for (int32_t g = 0; g < count; g += kAes3BlockFrames) {
        groups[g * Group::kBytes + Group::kBlockStartByte] |= Group::kBlockStartBit;
    }
}

bool is_big_endian_input(const pcm_a_encoder &enc) {
    return (enc.input_flags & PCM_INPUT_BIG_ENDIAN) != 0;
}

// Bytes of input that make one group: two 2-byte or two 3-byte samples.
int32_t group_input_bytes(const pcm_a_encoder &enc) {
    return enc.quantization == PCM_QUANT_16 ? 4 : 6;
}

}  // namespace

void aes3_pack_302m_periods(const pcm_a_encoder &enc, const uint8_t *input, int32_t first_period,
                            int32_t periods) {
    if (periods <= 0) return;
    const bool big_endian = is_big_endian_input(enc);
    uint8_t *groups = enc.frame_buf + kBlockHeaderBytes + first_period * enc.sample_bytes;
    const int32_t input_bytes = periods * enc.input_sample_bytes;
    switch (enc.quantization) {
    case PCM_QUANT_16: pack_groups<Group16>(big_endian, input, groups, input_bytes); break;
    case PCM_QUANT_20: pack_groups<Group20>(big_endian, input, groups, input_bytes); break;
    case PCM_QUANT_24: pack_groups<Group24>(big_endian, input, groups, input_bytes); break;
    default: break;
    }
}

int32_t aes3_finish_302m(const pcm_a_encoder &enc) {
    const int32_t step = enc.cadence_index;
    const uint32_t payload = static_cast<uint32_t>(enc.frame_bytes[step]);
    uint8_t *block = enc.frame_buf;
    block[0] = static_cast<uint8_t>(payload >> 8);
    block[1] = static_cast<uint8_t>(payload);
    block[2] = static_cast<uint8_t>((enc.channels_minus_one & 0xFE) << 5);  // pairs - 1
    block[3] = static_cast<uint8_t>((enc.quantization & 3) << 4);

    const int32_t input_bytes = enc.input_frame_bytes[step];
    if (input_bytes <= 0) return kBlockHeaderBytes;
    const int32_t groups = input_bytes / group_input_bytes(enc);
    uint8_t *first_group = block + kBlockHeaderBytes;
    switch (enc.quantization) {
    case PCM_QUANT_16:
        mark_block_starts<Group16>(first_group, groups);
        return kBlockHeaderBytes + groups * Group16::kBytes;
    case PCM_QUANT_20:
        mark_block_starts<Group20>(first_group, groups);
        return kBlockHeaderBytes + groups * Group20::kBytes;
    case PCM_QUANT_24:
        mark_block_starts<Group24>(first_group, groups);
        return kBlockHeaderBytes + groups * Group24::kBytes;
    default:
        return kBlockHeaderBytes;
    }
}

int32_t aes3_pack_302m(const pcm_a_encoder &enc, const uint8_t *frame_input) {
    aes3_pack_302m_periods(enc, frame_input, 0, enc.samples_per_frame[enc.cadence_index]);
    return aes3_finish_302m(enc);
}

}  // namespace pcmpack
