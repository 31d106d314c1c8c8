// SPDX-License-Identifier: MIT
// The scenario that runs when none is given.
#pragma once

#include <string_view>

namespace vibra_tool {

inline constexpr std::string_view kDefaultScenarioName = "<built-in default>";
std::string_view default_scenario();

}  // namespace vibra_tool
