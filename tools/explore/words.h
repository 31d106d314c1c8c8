// SPDX-License-Identifier: MIT
// The scenario words of a generated command, so that a run prints as a
// scenario file that replays it.
#pragma once

#include <string>

#include "scenario/scenario.h"

namespace vibra_tool {

std::string command_words(const Command &command);
std::string expectation_words(const Command &command);

}  // namespace vibra_tool
