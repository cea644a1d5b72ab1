// SPDX-License-Identifier: BSD-2-Clause
// Loads and stores of little- and big-endian words at any alignment: the
// packings read samples and build output a word at a time, whatever the
// machine's own byte order.
#pragma once

#include <stdint.h>
#include <string.h>

namespace pcmpack {

constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

inline uint16_t load_le16(const uint8_t *in) {
    uint16_t word;
    memcpy(&word, in, 2);
    return kLittleEndianHost ? word : __builtin_bswap16(word);
}

inline void store_le16(uint8_t *out, uint16_t word) {
    if (!kLittleEndianHost) word = __builtin_bswap16(word);
    memcpy(out, &word, 2);
}

inline uint32_t load_le32(const uint8_t *in) {
    uint32_t word;
    memcpy(&word, in, 4);
    return kLittleEndianHost ? word : __builtin_bswap32(word);
}

inline void store_le32(uint8_t *out, uint32_t word) {
    if (!kLittleEndianHost) word = __builtin_bswap32(word);
    memcpy(out, &word, 4);
}

inline void store_be32(uint8_t *out, uint32_t word) {
    if (kLittleEndianHost) word = __builtin_bswap32(word);
    memcpy(out, &word, 4);
}

}  // namespace pcmpack
