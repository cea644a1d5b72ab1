// SPDX-License-Identifier: BSD-2-Clause
// What the test programs and the benchmark know of the packing levels: the
// highest one this processor has, asked of the processor itself (not of the
// library, whose choice the tests check against it).
#pragma once

#include "core/kernel_level.h"

namespace kernel_ceiling {

pcmpack::KernelLevel processor_level();

// Whether this processor runs the level: scalar and its own family's levels
// up to its highest.
bool processor_has(pcmpack::KernelLevel level);

// The level PCMPACK_TEST_KERNELS names; the processor's highest when unset.
pcmpack::KernelLevel requested_level();

}  // namespace kernel_ceiling
