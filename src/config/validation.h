// SPDX-License-Identifier: BSD-2-Clause
// Settings validation, shared with the encoder core (pcmOutAudioNew checks the
// settings before it creates anything).
#pragma once

#include <pcmpack.h>

#include "core/host.h"

namespace pcmpack {

// General rules, then (unless options says otherwise) the target's rules.
int32_t check_settings_general(const MessageSink &sink, int32_t options,
                               const pcm_a_settings &settings, int32_t video_type,
                               int32_t sample_rate);

int32_t check_video_type(const MessageSink &sink, const pcm_a_settings &settings,
                         int32_t video_type, int32_t sample_rate, int32_t options);

}  // namespace pcmpack
