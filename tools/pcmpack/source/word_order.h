// SPDX-License-Identifier: BSD-2-Clause
// The words encode hands to the library: decoded samples laid out in the
// coded channel order, and samples stored little-endian turned into the
// big-endian words HDMV carries, in place, with the vector level the tool
// picks for its other word loops (reader/vector_level.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcmtool {

// How the tool lays out the samples it hands to the library.
struct WordLayout {
    size_t width;         // bytes per sample: 2, or 3 for 20 and 24 bits
    uint32_t mask;        // the bits of a left-justified sample that are kept
    int source_channels;  // channels read from the source
    int coded_channels;   // channels the layer carries (HDMV may add padding)
    bool big_endian;
    const int *source_of_coded;  // source channel of each coded channel; -1: padding
};

// Left-justified 32-bit samples to the layer's input words, each coded
// channel from its source channel; a padding channel is silent. Returns the
// bytes written.
size_t to_layer_words(const int32_t *samples, size_t periods, const WordLayout &w, uint8_t *out);

// Reverses the bytes of every 2- or 3-byte word in words[0, bytes); a
// partial word at the end stays as it is.
void reverse_words(uint8_t *words, size_t bytes, size_t width);

}  // namespace pcmtool
