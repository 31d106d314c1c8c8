// SPDX-License-Identifier: MIT
#include "scenario/catalogue.h"

#include <array>

#include "scenario/fault_check.h"
#include "scenario/status.h"

namespace vibra_tool {
namespace {

constexpr std::string_view kExpect = "[expect=STATUS]";
constexpr std::string_view kNth = "[nth=N|every]";

constexpr std::array kCommands = {
    CommandName{"setup", CommandKind::Setup, kExpect},
    CommandName{"start", CommandKind::Start, kExpect},
    CommandName{"stop", CommandKind::Stop, kExpect},
    CommandName{"teardown", CommandKind::Teardown, kExpect},
    CommandName{"info", CommandKind::Info, kExpect},
    CommandName{"set-state", CommandKind::SetState,
                "on|off|blink period=MS duty=PCT cycles=N|raw=HEX [size=N] [version=N] [requests=N] [id=N] "
                "[type=N] [state=N] [length=N] [expect=STATUS] [expect-bytes=N]"},
    CommandName{"get-state", CommandKind::GetState,
                "[input=HEX] [input-length=N] [output-length=N] [same-buffer] [expect=STATUS] [expect-bytes=N] "
                "[expect-output=HEX]"},
    CommandName{"remove", CommandKind::Remove, ""},
    CommandName{"unload", CommandKind::Unload, ""},
    CommandName{"trace-mask", CommandKind::TraceMask, "level=1..5 mask=N|open|initial"},
    CommandName{"fault", CommandKind::Fault, "OP [status=STATUS] [nth=N|every]"},
    CommandName{"lock-timeout", CommandKind::Fault, kNth},
    CommandName{"refuse-send", CommandKind::Fault, "[status=STATUS] [nth=N|every]"},
    CommandName{"fail-completion", CommandKind::Fault, "[status=STATUS] [nth=N|every]"},
    CommandName{"clear-faults", CommandKind::ClearFaults, ""},
    CommandName{"check", CommandKind::Check,
                "[enable=0|1] [drive=0|1] [state=N] | enable|drive [period=TIME] [frequency=HZ] [duty=PCT] "
                "[from=TIME] [to=TIME] [tolerance=PCT|TIME]"},
    CommandName{"wait", CommandKind::Wait, ""},
    CommandName{"end", CommandKind::End, ""},
};

}  // namespace

const CommandName *find_command(std::string_view name)
{
    for (const CommandName &command : kCommands) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

std::vector<std::string> command_names()
{
    std::vector<std::string> names;
    for (const CommandName &command : kCommands) {
        names.emplace_back(command.name);
    }
    names.emplace_back("repeat");
    names.emplace_back("end-repeat");
    return names;
}

std::vector<std::string> fault_operations()
{
    std::vector<std::string> names;
    for (int op = 0; op < static_cast<int>(vsim::Op::Count); ++op) {
        names.emplace_back(vsim::op_name(static_cast<vsim::Op>(op)));
    }
    return names;
}

// The operations `fault` accepts without a status: those the real platform
// can fail.
std::vector<std::string> injectable_operations()
{
    std::vector<std::string> names;
    for (int index = 0; index < static_cast<int>(vsim::Op::Count); ++index) {
        const auto op = static_cast<vsim::Op>(index);
        if (impossible_fault(op, default_fault_status(op)).empty()) {
            names.emplace_back(vsim::op_name(op));
        }
    }
    return names;
}

std::optional<std::vector<std::string>> list_names(std::string_view what)
{
    if (what == "commands") {
        std::vector<std::string> lines;
        for (const CommandName &command : kCommands) {
            lines.push_back(std::string(command.name) + (command.synopsis.empty() ? "" : " ") +
                            std::string(command.synopsis));
        }
        lines.emplace_back("repeat N every=TIME");
        lines.emplace_back("end-repeat");
        return lines;
    }
    if (what == "faults") {
        return injectable_operations();
    }
    if (what == "statuses") {
        return status_names();
    }
    return std::nullopt;
}

}  // namespace vibra_tool
