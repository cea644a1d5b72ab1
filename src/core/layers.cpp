// SPDX-License-Identifier: BSD-2-Clause
// Every layer the library produces. Adding a layer means a descriptor, its
// validation rows and its constant in the public header.
#include "aes3/aes3_framing.h"
#include "core/layer.h"
#include "lpcm/dvd_lpcm.h"
#include "lpcm/hdmv_lpcm.h"

namespace pcmpack {
namespace {

constexpr const AudioLayer *kAudioLayers[] = {
    &kDvdLpcmLayer, &kAes3302mLayer, &kAes3D10Layer, &kAes3PlanarLayer, &kHdmvLpcmLayer,
};

}  // namespace

const AudioLayer *find_audio_layer(int32_t audio_layer) {
    for (const AudioLayer *layer : kAudioLayers) {
        if (layer->audio_layer == audio_layer) return layer;
    }
    return nullptr;
}

}  // namespace pcmpack
