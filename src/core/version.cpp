// SPDX-License-Identifier: BSD-2-Clause
// The version of the library as loaded, for hosts that compare it with the
// header they were built against.
#include <pcmpack.h>

namespace pcmpack {
namespace {

constexpr bool same_text(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// The header's macros and the project's version (the package's, the
// SONAME's) are written in two places; the build refuses them apart.
static_assert(same_text(PCMPACK_VERSION_STRING, PCMPACK_PROJECT_VERSION),
              "include/pcmpack.h and CMakeLists.txt name different versions");

}  // namespace
}  // namespace pcmpack

extern "C" {

PCMPACK_API uint32_t pcmOutAudioVersionNumber(void) { return PCMPACK_VERSION_NUMBER; }

PCMPACK_API const char *pcmOutAudioVersionString(void) { return PCMPACK_VERSION_STRING; }

}  // extern "C"
