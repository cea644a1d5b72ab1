// SPDX-License-Identifier: BSD-2-Clause
// The host's callbacks as the library calls them, whichever form the host
// handed them over in: one by one through its lookup, or as one pcm_host
// record whose callbacks take the host's opaque pointer.
#pragma once

#include <pcmpack.h>

#include "core/status.h"

namespace pcmpack {

// Stands in for every message sink that the host does not supply.
void silent_printf(const char *format, ...);

// Where coded messages go. The record form's sink, when there is one, takes
// the opaque pointer in front of the format. Plain data, so that the encoder
// that holds one stays a zero-filled block of the host's memory.
struct MessageSink {
    pcm_printf_func printf;  // the lookup's sink, or silent_printf
    void (*message)(void *opaque, const char *format, ...);  // the record's; wins when set
    void *opaque;

    template <typename... Args>
    void operator()(const char *format, Args... args) const {
        if (message) {
            message(opaque, format, args...);
        } else {
            printf(format, args...);
        }
    }
};

// Where blocks come from and go back to: the lookup's pair (or the C
// library's), or the record's pair with its opaque pointer.
struct Allocator {
    pcm_malloc_func malloc;
    pcm_free_func free;
    void *(*alloc)(void *opaque, size_t size);  // the record's; wins when set
    void (*release)(void *opaque, void *ptr);
    void *opaque;

    void *allocate(size_t size) const { return alloc ? alloc(opaque, size) : malloc(size); }
    void deallocate(void *ptr) const {
        if (alloc) {
            release(opaque, ptr);
        } else {
            free(ptr);
        }
    }
};

// The error sink the lookup names ("err_printf"), asked once.
MessageSink error_sink_of(func_lookup lookup);
// The record's sink; a null record or member drops the messages.
MessageSink error_sink_of(const pcm_host *host);

// The allocator pair of either form. A pair with one half missing is
// refused: a block from the host's heap must never reach the C library's
// free, nor the other way round.
[[nodiscard]] Status allocator_of(func_lookup lookup, Allocator &memory);
[[nodiscard]] Status allocator_of(const pcm_host *host, Allocator &memory);

}  // namespace pcmpack
