// SPDX-License-Identifier: BSD-2-Clause
#include "source/word_order.h"

#include "vector_level.h"

#include <utility>

namespace pcmtool {

namespace {

void reverse_words_portable(uint8_t *words, size_t bytes, size_t width) {
    if (width == 2) {
        for (size_t i = 0; i + 2 <= bytes; i += 2) std::swap(words[i], words[i + 1]);
        return;
    }
    for (size_t i = 0; i + 3 <= bytes; i += 3) std::swap(words[i], words[i + 2]);
}

#if TOOL_X86_VECTORS
// One byte shuffle per 16 bytes: eight 2-byte words, or five 3-byte words
// with the sixteenth byte written back as it was (the next step, which
// starts there, reads it before it changes).
TOOL_TARGET_SSSE3 __m128i reversal(size_t width) {
    return width == 2 ? _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14)
                      : _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
}

TOOL_TARGET_SSSE3 void reverse_words_ssse3(uint8_t *words, size_t bytes, size_t width) {
    const __m128i order = reversal(width);
    const size_t step = width == 2 ? 16 : 15;
    size_t i = 0;
    for (; i + 16 <= bytes; i += step) {
        __m128i *at = reinterpret_cast<__m128i *>(words + i);
        _mm_storeu_si128(at, _mm_shuffle_epi8(_mm_loadu_si128(at), order));
    }
    reverse_words_portable(words + i, bytes - i, width);
}

// Two steps of the SSSE3 loop at once, one per lane; the lower lane's
// sixteenth byte is stored before the upper lane's result replaces it.
TOOL_TARGET_AVX2 void reverse_words_avx2(uint8_t *words, size_t bytes, size_t width) {
    const __m256i order = _mm256_broadcastsi128_si256(reversal(width));
    const size_t step = width == 2 ? 16 : 15;
    size_t i = 0;
    for (; i + step + 16 <= bytes; i += 2 * step) {
        __m128i *low = reinterpret_cast<__m128i *>(words + i);
        __m128i *high = reinterpret_cast<__m128i *>(words + i + step);
        const __m256i v = _mm256_shuffle_epi8(
            _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(low)),
                                    _mm_loadu_si128(high), 1),
            order);
        _mm_storeu_si128(low, _mm256_castsi256_si128(v));
        _mm_storeu_si128(high, _mm256_extracti128_si256(v, 1));
    }
    reverse_words_ssse3(words + i, bytes - i, width);
}
#endif

using ReverseLoop = void (*)(uint8_t *words, size_t bytes, size_t width);

ReverseLoop reverse_loop() {
#if TOOL_X86_VECTORS
    switch (pcmpack_reader::vector_level()) {
    case pcmpack_reader::VectorLevel::portable: return reverse_words_portable;
    case pcmpack_reader::VectorLevel::ssse3: return reverse_words_ssse3;
    case pcmpack_reader::VectorLevel::avx2: return reverse_words_avx2;
    }
#endif
    return reverse_words_portable;
}

}  // namespace

size_t to_layer_words(const int32_t *samples, size_t periods, const WordLayout &w, uint8_t *out) {
    uint8_t *p = out;
    for (size_t period = 0; period < periods; ++period) {
        for (int ch = 0; ch < w.coded_channels; ++ch, p += w.width) {
            const int from = w.source_of_coded[ch];
            const uint32_t v =
                from >= 0
                    ? static_cast<uint32_t>(samples[period * size_t(w.source_channels) + size_t(from)]) & w.mask
                    : 0u;
            const uint8_t b3 = static_cast<uint8_t>(v >> 24), b2 = static_cast<uint8_t>(v >> 16),
                          b1 = static_cast<uint8_t>(v >> 8);
            if (w.width == 2) {
                p[0] = w.big_endian ? b3 : b2;
                p[1] = w.big_endian ? b2 : b3;
            } else {
                p[0] = w.big_endian ? b3 : b1;
                p[1] = b2;
                p[2] = w.big_endian ? b1 : b3;
            }
        }
    }
    return static_cast<size_t>(p - out);
}

void reverse_words(uint8_t *words, size_t bytes, size_t width) {
    reverse_loop()(words, bytes, width);
}

}  // namespace pcmtool
