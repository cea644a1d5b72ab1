// SPDX-License-Identifier: BSD-2-Clause
// Runs every encoder of a test or benchmark program at a lower level of
// packing loops: linked with --wrap=pcmOutAudioInit and
// --wrap=pcmOutAudioInitWithSink, so each Init the program makes passes
// through here. PCMPACK_TEST_KERNELS=scalar|ssse3|avx2|avx512|neon
// names the level; unset, the encoder keeps the highest level its processor
// has. The library itself reads nothing from the environment.
#include "support/kernel_ceiling.h"

#include <pcmpack.h>

#include <cstdlib>
#include <cstring>

#include "core/encoder.h"

namespace kernel_ceiling {

pcmpack::KernelLevel processor_level() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("gfni")) {
        return pcmpack::KernelLevel::avx512;
    }
    if (__builtin_cpu_supports("avx2")) return pcmpack::KernelLevel::avx2;
    if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1")) {
        return pcmpack::KernelLevel::ssse3;
    }
#elif defined(__aarch64__)
    return pcmpack::KernelLevel::neon;
#endif
    return pcmpack::KernelLevel::scalar;
}

bool processor_has(pcmpack::KernelLevel level) {
    const pcmpack::KernelLevel highest = processor_level();
    if (level == pcmpack::KernelLevel::scalar || level == highest) return true;
    return highest != pcmpack::KernelLevel::neon && level < highest;
}

pcmpack::KernelLevel requested_level() {
    const char *name = std::getenv("PCMPACK_TEST_KERNELS");
    for (int level = 0; name != nullptr && level < pcmpack::kKernelLevels; ++level) {
        if (std::strcmp(name, pcmpack::kKernelLevelNames[level]) == 0) {
            return static_cast<pcmpack::KernelLevel>(level);
        }
    }
    return processor_level();
}

}  // namespace kernel_ceiling

namespace {

int32_t lower_after(int32_t result, pcm_a_encoder *encoder) {
    if (result != 0 || encoder == nullptr) return result;
    pcmpack::lower_kernel_level(*encoder, kernel_ceiling::requested_level());
    return result;
}

}  // namespace

extern "C" int32_t __real_pcmOutAudioInit(pcm_a_encoder *encoder, bufstream *stream);
extern "C" int32_t __real_pcmOutAudioInitWithSink(pcm_a_encoder *encoder,
                                                  const pcm_frame_sink *sink);

extern "C" int32_t __wrap_pcmOutAudioInit(pcm_a_encoder *encoder, bufstream *stream) {
    return lower_after(__real_pcmOutAudioInit(encoder, stream), encoder);
}

extern "C" int32_t __wrap_pcmOutAudioInitWithSink(pcm_a_encoder *encoder,
                                                  const pcm_frame_sink *sink) {
    return lower_after(__real_pcmOutAudioInitWithSink(encoder, sink), encoder);
}
