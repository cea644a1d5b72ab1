// SPDX-License-Identifier: BSD-2-Clause
// Samples stored little-endian turned into the big-endian words HDMV
// carries, in place, with the vector level the tool picks for its other word
// loops (reader/vector_level.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace pcmtool {

// Reverses the bytes of every 2- or 3-byte word in words[0, bytes); a
// partial word at the end stays as it is.
void reverse_words(uint8_t *words, size_t bytes, size_t width);

}  // namespace pcmtool
