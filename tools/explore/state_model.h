// SPDX-License-Identifier: MIT
// The explorer's model of the stored state that the calls' results allow.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "player/recording.h"
#include "scenario/scenario.h"

namespace vibra_tool {

// Findings for each set-state that succeeded with a payload it must refuse,
// and for each state a get-state reported, and the state stored after the
// last command, that the set-state results do not allow. Calls that
// overlapped may have taken effect in any order.
std::vector<std::string> check_states(const Scenario &scenario, const Recording &recording, uint32_t stored_state);

}  // namespace vibra_tool
