// SPDX-License-Identifier: MIT
// What the scenario language accepts, by name: the commands with their
// arguments, the platform operations that a fault may hit and the status
// names. The parser, its suggestions and --list read the same tables.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scenario/scenario.h"

namespace vibra_tool {

struct CommandName {
    std::string_view name;
    CommandKind kind;
    std::string_view synopsis;  // the arguments, as --list shows them
};

// nullptr for a name that is not a command.
const CommandName *find_command(std::string_view name);
std::vector<std::string> command_names();   // "setup", "start", ...
std::vector<std::string> fault_operations();  // "WdfDriverCreate", ...
std::vector<std::string> status_names();      // "STATUS_SUCCESS", ...

// The lines of --list WHAT (commands, faults or statuses), or nothing for
// another word.
std::optional<std::vector<std::string>> list_names(std::string_view what);
inline constexpr std::string_view kListWords = "commands, faults or statuses";

}  // namespace vibra_tool
