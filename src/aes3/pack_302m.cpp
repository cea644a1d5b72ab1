// SPDX-License-Identifier: BSD-2-Clause
// SMPTE 302M: each channel pair of a sample period becomes one group of 5, 6
// or 7 bytes. Every audio byte goes out bit-reversed (the format sends each
// sample least significant bit first), and each sample is followed by four
// bits 1, 0, 0, b, where b marks the start of a 192-frame AES3 block.
#include "aes3/packings.h"
#include "core/byte_order.h"

#include <string.h>

#include "core/vector_targets.h"

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


// Nibble sources of the vector loops: byte 0 (least significant) to 2 of the
// group's first sample (A) or second sample (B), or none.
constexpr int8_t kNone = -1, kA0 = 0, kA1 = 1, kA2 = 2, kB0 = 4, kB1 = 5, kB2 = 6;

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
    // The same group nibble by nibble, for the vector loops (see LaneLayout).
    static constexpr int8_t kLowNibbleFrom[kBytes] = {kA0, kA1, kNone, kB0, kB1};
    static constexpr int8_t kHighNibbleFrom[kBytes] = {kA0, kA1, kB0, kB1, kNone};
    static constexpr uint8_t kMarker[kBytes] = {0, 0, 0x80, 0, 0x08};
    static constexpr bool kSwapFirst = false;
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
    static constexpr int8_t kLowNibbleFrom[kBytes] = {kA0, kA1, kA2, kB0, kB1, kB2};
    static constexpr int8_t kHighNibbleFrom[kBytes] = {kA1, kA2, kNone, kB1, kB2, kNone};
    static constexpr uint8_t kMarker[kBytes] = {0, 0, 0x08, 0, 0, 0x08};
    static constexpr bool kSwapFirst = true;
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
    static constexpr int8_t kLowNibbleFrom[kBytes] = {kA0, kA1, kA2, kNone, kB0, kB1, kB2};
    static constexpr int8_t kHighNibbleFrom[kBytes] = {kA0, kA1, kA2, kB0, kB1, kB2, kNone};
    static constexpr uint8_t kMarker[kBytes] = {0, 0, 0, 0x80, 0, 0, 0x08};
    static constexpr bool kSwapFirst = false;
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


#if PCMPACK_X86_VECTORS || PCMPACK_ARM_NEON
// Where a nibble source's byte lies within its group's input.
template <typename Group, bool BigEndian>
constexpr int input_offset(int source) {
    const int sample = source / 4, byte = source % 4;
    const int offset = BigEndian ? Group::kSampleBytes - 1 - byte : byte;
    return sample * Group::kSampleBytes + offset;
}

// The AVX-512 and NEON loops build whole groups in one register (64 or 16
// bytes), without lanes: a byte permute or table lookup reaches every input
// byte of the register. Before bit reversal each output byte is two
// nibbles, the low one going out first; a byte whose nibbles land on
// opposite sides (the input is half a byte off the group's byte grid) is
// read from a copy with its nibbles exchanged, so that every nibble a
// gather fetches already sits on the side it fills. One gather fetches the
// low sides, one the high sides (zero where a marker goes), a bit select
// joins them, one instruction reverses the bits of every byte, and the
// markers go in.
template <int Bytes>
struct RegisterLayout {
    // Input byte of each output byte's low nibble; +Bytes: from the
    // exchanged copy; kNoNibble: a marker's side, which the gather zeroes.
    uint8_t low_from[Bytes];
    uint8_t high_from[Bytes];  // same for the high nibble
    uint8_t marker[Bytes];
    uint64_t has_low, has_high;  // bit k clear: that side of output byte k is a marker
    int32_t groups;
};
constexpr uint8_t kNoNibble = 0xFF;  // past every table: NEON's lookup gives zero

template <typename Group, bool BigEndian, int Bytes>
constexpr RegisterLayout<Bytes> make_register_layout() {
    using Map = ByteMap<Group::kSampleBytes, BigEndian>;
    RegisterLayout<Bytes> reg{};
    const int by_output = Bytes / Group::kBytes, by_input = Bytes / Map::kInputBytes;
    reg.groups = by_output < by_input ? by_output : by_input;
    auto exchanged = [](int source) { return source >= kB0 || Group::kSwapFirst; };
    auto from = [&](int in, int source) {
        return static_cast<uint8_t>(in + input_offset<Group, BigEndian>(source) +
                                    (exchanged(source) ? Bytes : 0));
    };
    for (int k = 0; k < Bytes; ++k) reg.low_from[k] = reg.high_from[k] = kNoNibble;
    for (int g = 0; g < reg.groups; ++g) {
        const int in = g * Map::kInputBytes, out = g * Group::kBytes;
        for (int k = 0; k < Group::kBytes; ++k) {
            const int low = Group::kLowNibbleFrom[k], high = Group::kHighNibbleFrom[k];
            if (low != kNone) {
                reg.low_from[out + k] = from(in, low);
                reg.has_low |= uint64_t{1} << (out + k);
            }
            if (high != kNone) {
                reg.high_from[out + k] = from(in, high);
                reg.has_high |= uint64_t{1} << (out + k);
            }
            reg.marker[out + k] = Group::kMarker[k];
        }
    }
    return reg;
}

template <typename Group, bool BigEndian, int Bytes>
constexpr RegisterLayout<Bytes> kRegisterLayout = make_register_layout<Group, BigEndian, Bytes>();

#endif

#if PCMPACK_X86_VECTORS
// The vector loops build whole groups in each 16-byte lane. Before bit
// reversal a group is its samples and markers end to end, least significant
// bit first, so every output byte is rev() of two nibbles, each an input
// nibble or a marker: rev() of the low nibble fills the output's high half,
// rev() of the high nibble its low half. Reversing a nibble is one 16-entry
// byte shuffle, so a lane is: the input's low and high nibbles, a blend that
// hands each input byte's nibbles to the side they fill, two gathers into
// group order, two lookups, and the markers.

struct LaneLayout {
    uint8_t low_from[16];   // input byte whose chosen nibble is the output's low nibble
    uint8_t high_from[16];  // same for the high nibble; 0x80 = none
    uint8_t swap[16];       // 0xFF: that input byte gives its high nibble to the low side
    uint8_t marker[16];
    int32_t groups, input_bytes, output_bytes;
};

template <typename Group, bool BigEndian>
constexpr LaneLayout make_lane_layout() {
    using Map = ByteMap<Group::kSampleBytes, BigEndian>;
    LaneLayout lane{};
    lane.groups = 12 / Map::kInputBytes;
    lane.input_bytes = lane.groups * Map::kInputBytes;
    lane.output_bytes = lane.groups * Group::kBytes;
    for (int k = 0; k < 16; ++k) lane.low_from[k] = lane.high_from[k] = 0x80;
    for (int g = 0; g < lane.groups; ++g) {
        const int in = g * Map::kInputBytes, out = g * Group::kBytes;
        for (int k = 0; k < Group::kBytes; ++k) {
            const int low = Group::kLowNibbleFrom[k], high = Group::kHighNibbleFrom[k];
            if (low != kNone) {
                lane.low_from[out + k] =
                    static_cast<uint8_t>(in + input_offset<Group, BigEndian>(low));
            }
            if (high != kNone) {
                lane.high_from[out + k] =
                    static_cast<uint8_t>(in + input_offset<Group, BigEndian>(high));
            }
            lane.marker[out + k] = Group::kMarker[k];
        }
        for (int k = 0; k < Map::kInputBytes; ++k) {
            const bool second = k >= Group::kSampleBytes;
            lane.swap[in + k] = second || Group::kSwapFirst ? 0xFF : 0x00;
        }
    }
    return lane;
}

template <typename Group, bool BigEndian>
constexpr LaneLayout kLaneLayout = make_lane_layout<Group, BigEndian>();

// rev() of a nibble n, placed in the high half (rev(n)) or the low half
// (rev(n << 4)) of the output byte.
struct NibbleTables {
    uint8_t to_high[16], to_low[16];
};
constexpr NibbleTables make_nibble_tables() {
    NibbleTables t{};
    for (int n = 0; n < 16; ++n) {
        t.to_high[n] = bit_reverse_table.entry[n];
        t.to_low[n] = bit_reverse_table.entry[n << 4];
    }
    return t;
}
constexpr NibbleTables kNibbleTables = make_nibble_tables();


// Groups the vector loop may build: each lane reads and writes 16 bytes, so
// the last lane must still have 16 bytes of input and output behind it; the
// scalar loop builds the groups after.
inline int32_t vector_groups(int32_t groups, const LaneLayout &lane, int32_t input_group_bytes,
                             int32_t group_bytes, int32_t lanes_per_step) {
    int32_t steps = groups / (lane.groups * lanes_per_step);
    while (steps > 0) {
        const int32_t last_lane_group = (steps * lanes_per_step - 1) * lane.groups;
        if (last_lane_group * input_group_bytes + 16 <= groups * input_group_bytes &&
            last_lane_group * group_bytes + 16 <= groups * group_bytes) {
            break;
        }
        --steps;
    }
    return steps * lanes_per_step * lane.groups;
}

template <typename Group, bool BigEndian>
PCMPACK_TARGET_SSSE3 void pack_groups_ssse3(const uint8_t *in, uint8_t *out,
                                            int32_t input_bytes) {
    constexpr const LaneLayout &lane = kLaneLayout<Group, BigEndian>;
    constexpr int kInputBytes = ByteMap<Group::kSampleBytes, BigEndian>::kInputBytes;
    const int32_t groups = input_bytes / kInputBytes;
    const int32_t done = vector_groups(groups, lane, kInputBytes, Group::kBytes, 1);
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i low_from = load16(lane.low_from), high_from = load16(lane.high_from);
    const __m128i swap = load16(lane.swap), marker = load16(lane.marker);
    const __m128i to_high = load16(kNibbleTables.to_high);
    const __m128i to_low = load16(kNibbleTables.to_low);
    for (int32_t g = 0; g < done; g += lane.groups) {
        const __m128i bytes = load16(in + g * kInputBytes);
        const __m128i low = _mm_and_si128(bytes, nibble);
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
        const __m128i swapped = _mm_and_si128(_mm_xor_si128(low, high), swap);
        const __m128i low_side = _mm_shuffle_epi8(_mm_xor_si128(low, swapped), low_from);
        const __m128i high_side = _mm_shuffle_epi8(_mm_xor_si128(high, swapped), high_from);
        const __m128i packed = _mm_or_si128(_mm_shuffle_epi8(to_high, low_side),
                                            _mm_shuffle_epi8(to_low, high_side));
        store16(out + g * Group::kBytes, _mm_or_si128(packed, marker));
    }
    pack_groups<Group, BigEndian>(in + done * kInputBytes, out + done * Group::kBytes,
                                  input_bytes - done * kInputBytes);
}

// The same lanes, two at a time in a 32-byte register.
template <typename Group, bool BigEndian>
PCMPACK_TARGET_AVX2 void pack_groups_avx2(const uint8_t *in, uint8_t *out,
                                          int32_t input_bytes) {
    constexpr const LaneLayout &lane = kLaneLayout<Group, BigEndian>;
    constexpr int kInputBytes = ByteMap<Group::kSampleBytes, BigEndian>::kInputBytes;
    const int32_t groups = input_bytes / kInputBytes;
    const int32_t done = vector_groups(groups, lane, kInputBytes, Group::kBytes, 2);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i low_from = both_lanes(lane.low_from), high_from = both_lanes(lane.high_from);
    const __m256i swap = both_lanes(lane.swap), marker = both_lanes(lane.marker);
    const __m256i to_high = both_lanes(kNibbleTables.to_high);
    const __m256i to_low = both_lanes(kNibbleTables.to_low);
    for (int32_t g = 0; g < done; g += 2 * lane.groups) {
        const uint8_t *lane_in = in + g * kInputBytes;
        const __m256i bytes = load16x2(lane_in, lane_in + lane.input_bytes);
        const __m256i low = _mm256_and_si256(bytes, nibble);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble);
        const __m256i swapped = _mm256_and_si256(_mm256_xor_si256(low, high), swap);
        const __m256i low_side = _mm256_shuffle_epi8(_mm256_xor_si256(low, swapped), low_from);
        const __m256i high_side =
            _mm256_shuffle_epi8(_mm256_xor_si256(high, swapped), high_from);
        const __m256i packed = _mm256_or_si256(
            _mm256_or_si256(_mm256_shuffle_epi8(to_high, low_side),
                            _mm256_shuffle_epi8(to_low, high_side)),
            marker);
        uint8_t *lane_out = out + g * Group::kBytes;
        store16x2(lane_out, lane_out + lane.output_bytes, packed);
    }
    pack_groups<Group, BigEndian>(in + done * kInputBytes, out + done * Group::kBytes,
                                  input_bytes - done * kInputBytes);
}

// Bit matrices of the affine transform, one row per result bit: the first
// reverses a byte's bits, the second exchanges its nibbles.
constexpr int64_t kReverseBits = 0x8040201008040201;
constexpr int64_t kExchangeNibbles = 0x1020408001020408;

// The registers a loop keeps: the layout's and the transforms'.
struct RegisterConstants {
    __m512i low_from, high_from, marker, reverse, exchange, low_nibbles;
    __mmask64 has_low, has_high;
};

PCMPACK_TARGET_AVX512 inline __m512i pack_register(const RegisterConstants &c, __m512i bytes) {
    const __m512i swapped = _mm512_gf2p8affine_epi64_epi8(bytes, c.exchange, 0);
    const __m512i low = _mm512_maskz_permutex2var_epi8(c.has_low, bytes, c.low_from, swapped);
    const __m512i high = _mm512_maskz_permutex2var_epi8(c.has_high, bytes, c.high_from, swapped);
    // low_nibbles ? low : high, bit by bit
    const __m512i joined = _mm512_ternarylogic_epi32(c.low_nibbles, low, high, 0xCA);
    return _mm512_or_si512(_mm512_gf2p8affine_epi64_epi8(joined, c.reverse, 0), c.marker);
}

template <typename Group, bool BigEndian>
PCMPACK_TARGET_AVX512 void pack_groups_avx512(const uint8_t *in, uint8_t *out,
                                              int32_t input_bytes) {
    constexpr const RegisterLayout<64> &reg = kRegisterLayout<Group, BigEndian, 64>;
    constexpr int kInputBytes = ByteMap<Group::kSampleBytes, BigEndian>::kInputBytes;
    const int32_t groups = input_bytes / kInputBytes;
    const RegisterConstants c = {_mm512_loadu_si512(reg.low_from),
                                 _mm512_loadu_si512(reg.high_from),
                                 _mm512_loadu_si512(reg.marker),
                                 _mm512_set1_epi64(kReverseBits),
                                 _mm512_set1_epi64(kExchangeNibbles),
                                 _mm512_set1_epi8(0x0F),
                                 reg.has_low,
                                 reg.has_high};
    // Whole registers while a 64-byte read and write stay inside the run.
    int32_t g = 0;
    for (; g * kInputBytes + 64 <= input_bytes && g * Group::kBytes + 64 <= groups * Group::kBytes;
         g += reg.groups) {
        _mm512_storeu_si512(out + g * Group::kBytes,
                            pack_register(c, _mm512_loadu_si512(in + g * kInputBytes)));
    }
    // The last groups of the run through masks, which touch no byte outside it.
    for (; g < groups; g += reg.groups) {
        const int32_t count = groups - g < reg.groups ? groups - g : reg.groups;
        const __m512i bytes =
            _mm512_maskz_loadu_epi8(first_bytes(count * kInputBytes), in + g * kInputBytes);
        _mm512_mask_storeu_epi8(out + g * Group::kBytes, first_bytes(count * Group::kBytes),
                                pack_register(c, bytes));
    }
}
#endif

#if PCMPACK_ARM_NEON
// Three (16 bits) or two groups (20, 24 bits) per 16-byte register; the
// groups after the last whole register go through the scalar loop.
template <typename Group, bool BigEndian>
void pack_groups_neon(const uint8_t *in, uint8_t *out, int32_t input_bytes) {
    constexpr const RegisterLayout<16> &reg = kRegisterLayout<Group, BigEndian, 16>;
    constexpr int kInputBytes = ByteMap<Group::kSampleBytes, BigEndian>::kInputBytes;
    const int32_t groups = input_bytes / kInputBytes;
    const uint8x16_t low_from = vld1q_u8(reg.low_from), high_from = vld1q_u8(reg.high_from);
    const uint8x16_t marker = vld1q_u8(reg.marker), low_nibbles = vdupq_n_u8(0x0F);
    int32_t g = 0;
    for (; g * kInputBytes + 16 <= input_bytes && g * Group::kBytes + 16 <= groups * Group::kBytes;
         g += reg.groups) {
        const uint8x16_t bytes = vld1q_u8(in + g * kInputBytes);
        const uint8x16x2_t both = {{bytes, vsliq_n_u8(vshrq_n_u8(bytes, 4), bytes, 4)}};
        const uint8x16_t joined =
            vbslq_u8(low_nibbles, vqtbl2q_u8(both, low_from), vqtbl2q_u8(both, high_from));
        vst1q_u8(out + g * Group::kBytes, vorrq_u8(vrbitq_u8(joined), marker));
    }
    pack_groups<Group, BigEndian>(in + g * kInputBytes, out + g * Group::kBytes,
                                  input_bytes - g * kInputBytes);
}
#endif

// The loop for each level, word length and byte order; the encoder's level
// picks the row.
using GroupsKernel = void (*)(const uint8_t *in, uint8_t *out, int32_t input_bytes);
struct GroupsKernels {
    GroupsKernel of[3][2];  // [quantization][big-endian input]
};

template <template <typename, bool> class Loop>
constexpr GroupsKernels kernels_of() {
    return {{{Loop<Group16, false>::run, Loop<Group16, true>::run},
             {Loop<Group20, false>::run, Loop<Group20, true>::run},
             {Loop<Group24, false>::run, Loop<Group24, true>::run}}};
}

template <typename Group, bool BigEndian>
struct ScalarLoop {
    static void run(const uint8_t *in, uint8_t *out, int32_t n) {
        pack_groups<Group, BigEndian>(in, out, n);
    }
};
#if PCMPACK_X86_VECTORS
template <typename Group, bool BigEndian>
struct Ssse3Loop {
    static void run(const uint8_t *in, uint8_t *out, int32_t n) {
        pack_groups_ssse3<Group, BigEndian>(in, out, n);
    }
};
template <typename Group, bool BigEndian>
struct Avx2Loop {
    static void run(const uint8_t *in, uint8_t *out, int32_t n) {
        pack_groups_avx2<Group, BigEndian>(in, out, n);
    }
};
template <typename Group, bool BigEndian>
struct Avx512Loop {
    static void run(const uint8_t *in, uint8_t *out, int32_t n) {
        pack_groups_avx512<Group, BigEndian>(in, out, n);
    }
};
constexpr GroupsKernels kGroupsKernels[kKernelLevels] = {
    kernels_of<ScalarLoop>(), kernels_of<Ssse3Loop>(), kernels_of<Avx2Loop>(),
    kernels_of<Avx512Loop>(), kernels_of<ScalarLoop>()};
#elif PCMPACK_ARM_NEON
template <typename Group, bool BigEndian>
struct NeonLoop {
    static void run(const uint8_t *in, uint8_t *out, int32_t n) {
        pack_groups_neon<Group, BigEndian>(in, out, n);
    }
};
constexpr GroupsKernels kGroupsKernels[kKernelLevels] = {
    kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(),
    kernels_of<ScalarLoop>(), kernels_of<NeonLoop>()};
#else
constexpr GroupsKernels kGroupsKernels[kKernelLevels] = {
    kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>(),
    kernels_of<ScalarLoop>(), kernels_of<ScalarLoop>()};
#endif

// Sets b on the first group of each run of 192 groups. The group counter
// counts channel pairs and restarts with every block, so a block start falls
// on the pair of channels 0 and 1.
template <typename Group>
void mark_block_starts(uint8_t *groups, int32_t count) {
    for (int32_t g = 0; g < count; g += kAes3BlockFrames) {
        groups[g * Group::kBytes + Group::kBlockStartByte] |= Group::kBlockStartBit;
    }
}

// Bytes of input that make one group: two 2-byte or two 3-byte samples.
int32_t group_input_bytes(const pcm_a_encoder &enc) {
    return enc.quantization == PCM_QUANT_16 ? 4 : 6;
}

}  // namespace

void aes3_pack_302m_periods(const pcm_a_encoder &enc, const uint8_t *input, int32_t first_period,
                            int32_t periods, uint8_t *frame) {
    if (periods <= 0) return;
    if (enc.quantization < PCM_QUANT_16 || enc.quantization > PCM_QUANT_24) return;
    uint8_t *groups = frame + kElementHeaderBytes + first_period * enc.sample_bytes;
    const GroupsKernels &kernels = kGroupsKernels[static_cast<int>(enc.kernel_level)];
    kernels.of[enc.quantization][input_is_big_endian(enc)](input, groups,
                                                           periods * enc.input_sample_bytes);
}

void aes3_finish_302m(const pcm_a_encoder &enc, uint8_t *frame) {
    const int32_t step = enc.cadence_index;
    const uint32_t payload = static_cast<uint32_t>(enc.frame_bytes[step]);
    uint8_t *block = frame;
    block[0] = static_cast<uint8_t>(payload >> 8);
    block[1] = static_cast<uint8_t>(payload);
    block[2] = static_cast<uint8_t>((enc.channels_minus_one & 0xFE) << 5);  // pairs - 1
    block[3] = static_cast<uint8_t>((enc.quantization & 3) << 4);

    const int32_t groups = enc.input_frame_bytes[step] / group_input_bytes(enc);
    uint8_t *first_group = block + kElementHeaderBytes;
    switch (enc.quantization) {
    case PCM_QUANT_16: mark_block_starts<Group16>(first_group, groups); break;
    case PCM_QUANT_20: mark_block_starts<Group20>(first_group, groups); break;
    case PCM_QUANT_24: mark_block_starts<Group24>(first_group, groups); break;
    default: break;
    }
}

void aes3_pack_302m(const pcm_a_encoder &enc, const uint8_t *frame_input, uint8_t *frame) {
    aes3_pack_302m_periods(enc, frame_input, 0, enc.samples_per_frame[enc.cadence_index], frame);
    aes3_finish_302m(enc, frame);
}

}  // namespace pcmpack
