// SPDX-License-Identifier: BSD-2-Clause
// libsndfile's speaker positions by the short names channel tables use, for
// the channel masks of the in-process tests' sources.
#pragma once

#include <sndfile.h>

namespace speaker_positions {

enum : int {
    L = SF_CHANNEL_MAP_LEFT,
    R = SF_CHANNEL_MAP_RIGHT,
    C = SF_CHANNEL_MAP_CENTER,
    LFE = SF_CHANNEL_MAP_LFE,
    BL = SF_CHANNEL_MAP_REAR_LEFT,
    BR = SF_CHANNEL_MAP_REAR_RIGHT,
    BC = SF_CHANNEL_MAP_REAR_CENTER,
    SL = SF_CHANNEL_MAP_SIDE_LEFT,
    SR = SF_CHANNEL_MAP_SIDE_RIGHT,
    FLC = SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER,
    FRC = SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER,
    NONE = SF_CHANNEL_MAP_INVALID,
};

}  // namespace speaker_positions
