// SPDX-License-Identifier: BSD-2-Clause
// Runs every encoder of a test or benchmark program at a lower level of
// packing loops: linked with --wrap=pcmOutAudioInit, so each Init the program
// makes passes through here. PCMPACK_TEST_KERNELS=scalar|ssse3|avx2 names the
// level; unset, the encoder keeps the highest level its processor has. The
// library itself reads nothing from the environment.
#include <pcmpack.h>

#include <cstdlib>
#include <cstring>

#include "core/encoder.h"

extern "C" int32_t __real_pcmOutAudioInit(pcm_a_encoder *encoder, bufstream *stream);

extern "C" int32_t __wrap_pcmOutAudioInit(pcm_a_encoder *encoder, bufstream *stream) {
    const int32_t result = __real_pcmOutAudioInit(encoder, stream);
    const char *name = std::getenv("PCMPACK_TEST_KERNELS");
    if (result != 0 || encoder == nullptr || name == nullptr) return result;
    constexpr const char *kNames[pcmpack::kKernelLevels] = {"scalar", "ssse3", "avx2"};
    for (int level = 0; level < pcmpack::kKernelLevels; ++level) {
        if (std::strcmp(name, kNames[level]) == 0) {
            pcmpack::lower_kernel_level(*encoder, static_cast<pcmpack::KernelLevel>(level));
        }
    }
    return result;
}
