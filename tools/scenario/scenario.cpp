#include "scenario.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>

#include "parse.h"
#include "status.h"

namespace vibra_tool {
namespace {

struct CommandName {
    std::string_view name;
    CommandKind kind;
};

constexpr std::array kCommands = {
    CommandName{"setup", CommandKind::Setup},
    CommandName{"start", CommandKind::Start},
    CommandName{"stop", CommandKind::Stop},
    CommandName{"teardown", CommandKind::Teardown},
    CommandName{"info", CommandKind::Info},
    CommandName{"set-state", CommandKind::SetState},
    CommandName{"get-state", CommandKind::GetState},
    CommandName{"remove", CommandKind::Remove},
    CommandName{"unload", CommandKind::Unload},
    CommandName{"trace-mask", CommandKind::TraceMask},
    CommandName{"fault", CommandKind::Fault},
    CommandName{"lock-timeout", CommandKind::Fault},
    CommandName{"refuse-send", CommandKind::Fault},
    CommandName{"fail-completion", CommandKind::Fault},
    CommandName{"clear-faults", CommandKind::ClearFaults},
    CommandName{"check", CommandKind::Check},
    CommandName{"wait", CommandKind::Wait},
    CommandName{"end", CommandKind::End},
};

std::string command_list()
{
    std::string list;
    for (const CommandName &command : kCommands) {
        list += list.empty() ? "" : ", ";
        list += command.name;
    }
    return list;
}

bool is_device_command(CommandKind kind)
{
    switch (kind) {
    case CommandKind::Start:
    case CommandKind::Stop:
    case CommandKind::Teardown:
    case CommandKind::Info:
    case CommandKind::SetState:
    case CommandKind::GetState:
    case CommandKind::Remove:
    case CommandKind::Check:
        return true;
    default:
        return false;
    }
}

std::vector<std::string> split_words(std::string_view line)
{
    std::vector<std::string> tokens;
    std::istringstream stream{std::string(line)};
    std::string token;
    while (stream >> token) {
        tokens.push_back(token);
    }
    return tokens;
}

// Order rules that make a scenario playable from top to bottom.
class Sequence {
public:
    void admit(const Command &command, const std::string &name)
    {
        if (ended_) {
            fail("command after end; expected end to be the last command");
        }
        if (command.time < last_time_) {
            fail("time " + format_time(command.time) + " goes backwards; expected " + format_time(last_time_) +
                 " or later");
        }
        last_time_ = command.time;
        if (command.kind == CommandKind::Setup) {
            if (setup_seen_ || other_seen_) {
                fail("setup after other commands; expected setup once, after only trace-mask and fault commands at "
                     "0ms");
            }
            if (command.time != 0) {
                fail("setup at " + format_time(command.time) + "; expected setup at 0ms");
            }
            setup_seen_ = true;
        }
        const bool setup_option = command.time == 0 && (command.kind == CommandKind::TraceMask ||
                                                         command.kind == CommandKind::Fault ||
                                                         command.kind == CommandKind::ClearFaults);
        other_seen_ = other_seen_ || (!setup_option && command.kind != CommandKind::Setup);
        if (unloaded_ && (is_device_command(command.kind) || command.kind == CommandKind::Unload)) {
            fail(name + " after unload; expected no device command once the driver is unloaded");
        }
        if (removed_ && is_device_command(command.kind)) {
            fail(name + " after remove; expected only unload and non-device commands once the device is removed");
        }
        removed_ = removed_ || command.kind == CommandKind::Remove;
        unloaded_ = unloaded_ || command.kind == CommandKind::Unload;
        ended_ = command.kind == CommandKind::End;
    }

private:
    Ticks last_time_ = 0;
    bool setup_seen_ = false;
    bool other_seen_ = false;
    bool removed_ = false;
    bool unloaded_ = false;
    bool ended_ = false;
};

Command parse_line(std::string_view body, Ticks previous_time, int line)
{
    const std::vector<std::string> tokens = split_words(body);
    if (tokens.size() < 3 || tokens[0] != "at") {
        fail("expected 'at TIME COMMAND [ARGUMENTS]', e.g. 'at 10ms set-state on'");
    }
    Command command;
    command.line = line;
    std::string_view time = tokens[1];
    const bool relative = time.starts_with('+');
    const Ticks offset = parse_time(relative ? time.substr(1) : time);
    if (__builtin_add_overflow(offset, relative ? previous_time : 0, &command.time)) {
        fail("time " + quote(time) + " after " + format_time(previous_time) + " is out of range; expected at most " +
             format_time(kMaxTicks) + " in all");
    }
    // "at TIME & COMMAND": the call runs on a thread of its own.
    const size_t first = tokens[2] == "&" ? 3 : 2;
    command.concurrent = first == 3;
    if (first >= tokens.size()) {
        fail("expected a command after '&', e.g. 'at 10ms & set-state off'");
    }
    const auto found = std::find_if(kCommands.begin(), kCommands.end(),
                                    [&](const CommandName &entry) { return entry.name == tokens[first]; });
    if (found == kCommands.end()) {
        fail("unknown command " + quote(tokens[first]) + "; expected one of " + command_list());
    }
    command.kind = found->kind;
    if (command.concurrent && !runs_on_own_thread(command.kind)) {
        fail(quote(tokens[first]) +
             " cannot run on a thread of its own; '&' takes start, stop, info, set-state or get-state");
    }
    // The call as the report names it; expectations are shown by their outcome.
    for (size_t i = first; i < tokens.size(); ++i) {
        if (!tokens[i].starts_with("expect")) {
            command.text += (command.text.empty() ? "" : " ") + tokens[i];
        }
    }
    Arguments args(tokens, first + 1, found->name);
    parse_arguments(args, command, found->name);
    return command;
}

}  // namespace

bool runs_on_own_thread(CommandKind kind)
{
    switch (kind) {
    case CommandKind::Start:
    case CommandKind::Stop:
    case CommandKind::Info:
    case CommandKind::SetState:
    case CommandKind::GetState:
        return true;
    default:
        return false;
    }
}

bool Command::returns_status() const
{
    switch (kind) {
    case CommandKind::Setup:
    case CommandKind::Start:
    case CommandKind::Stop:
    case CommandKind::Teardown:
    case CommandKind::Info:
    case CommandKind::SetState:
    case CommandKind::GetState:
        return true;
    default:
        return false;
    }
}

std::string format_time(Ticks ticks)
{
    const Ticks whole = ticks / vsim::kTicksPerMs;
    Ticks fraction = ticks % vsim::kTicksPerMs;
    std::string text = std::to_string(whole);
    if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04lld", static_cast<long long>(fraction));
        std::string decimals = digits;
        decimals.erase(decimals.find_last_not_of('0') + 1);
        text += "." + decimals;
    }
    return text + "ms";
}

ParseResult parse_scenario(std::string_view text, const std::string &name)
{
    Scenario scenario;
    scenario.name = name;
    Sequence sequence;
    int line_number = 0;
    Ticks previous_time = 0;
    size_t position = 0;
    while (position <= text.size()) {
        const size_t end = std::min(text.find('\n', position), text.size());
        std::string_view line = text.substr(position, end - position);
        position = end + 1;
        ++line_number;
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r\v\f") == std::string_view::npos) {
            continue;
        }
        try {
            Command command = parse_line(line, previous_time, line_number);
            sequence.admit(command, command.text.substr(0, command.text.find(' ')));
            previous_time = command.time;
            scenario.commands.push_back(std::move(command));
        } catch (const LineError &error) {
            return ParseResult{std::nullopt, name + ":" + std::to_string(line_number) + ": " + error.message};
        }
    }
    return ParseResult{std::move(scenario), {}};
}

}  // namespace vibra_tool
