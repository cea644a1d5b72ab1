// SPDX-License-Identifier: BSD-2-Clause
#include "core/host.h"

#include <stdlib.h>

namespace pcmpack {
namespace {

// The C library's pair, for a host that supplies none. Wrapped so that the
// types match the host-facing function pointers exactly.
void *system_malloc(size_t size) { return ::malloc(size); }
void system_free(void *ptr) { ::free(ptr); }

template <typename Func>
Func look_up(func_lookup lookup, const char *name) {
    return lookup ? reinterpret_cast<Func>(lookup(name)) : nullptr;
}

}  // namespace

void silent_printf(const char *, ...) {}

MessageSink error_sink_of(func_lookup lookup) {
    MessageSink sink{silent_printf, nullptr, nullptr};
    const auto printf = look_up<pcm_printf_func>(lookup, "err_printf");
    if (printf) sink.printf = printf;
    return sink;
}

MessageSink error_sink_of(const pcm_host *host) {
    MessageSink sink{silent_printf, nullptr, nullptr};
    if (host) {
        sink.message = host->message;
        sink.opaque = host->opaque;
    }
    return sink;
}

Status allocator_of(func_lookup lookup, Allocator &memory) {
    memory = Allocator{};
    memory.malloc = look_up<pcm_malloc_func>(lookup, "malloc");
    memory.free = look_up<pcm_free_func>(lookup, "free");
    if ((memory.malloc == nullptr) != (memory.free == nullptr)) return Status::failed;
    if (!memory.malloc) {
        memory.malloc = system_malloc;
        memory.free = system_free;
    }
    return Status::ok;
}

Status allocator_of(const pcm_host *host, Allocator &memory) {
    memory = Allocator{};
    if (host == nullptr || (host->alloc == nullptr && host->free == nullptr)) {
        memory.malloc = system_malloc;
        memory.free = system_free;
        return Status::ok;
    }
    if (host->alloc == nullptr || host->free == nullptr) return Status::failed;
    memory.alloc = host->alloc;
    memory.release = host->free;
    memory.opaque = host->opaque;
    return Status::ok;
}

}  // namespace pcmpack
