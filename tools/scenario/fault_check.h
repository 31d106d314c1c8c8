// SPDX-License-Identifier: MIT
// Faults a scenario may arm: only failures the real platform can return.
#pragma once

#include <string>

#include "sim.h"

namespace vibra_tool {

// Why `op` failing with `status` cannot happen on the real platform, naming
// what it can fail with; empty when it can.
std::string impossible_fault(vsim::Op op, int32_t status);

// The status a fault on `op` carries when the scenario gives none: the op's
// most common failure (STATUS_UNSUCCESSFUL for an op that cannot fail).
int32_t default_fault_status(vsim::Op op);

}  // namespace vibra_tool
