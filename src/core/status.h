// SPDX-License-Identifier: BSD-2-Clause
// Internal result of every step that can fail. Turned into the 0/1 results of
// the exported functions only at the edge, so a dropped failure is a warning.
#pragma once

namespace pcmpack {

enum class [[nodiscard]] Status { ok, failed };

constexpr int exported_result(Status s) { return s == Status::ok ? 0 : 1; }

}  // namespace pcmpack
