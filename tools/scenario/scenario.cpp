// SPDX-License-Identifier: MIT
#include "scenario/scenario.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "scenario/catalogue.h"
#include "scenario/parse.h"
#include "scenario/status.h"
#include "scenario/suggest.h"

namespace vibra_tool {
namespace {

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

}  // namespace

std::vector<std::string> split_words(std::string_view line)
{
    const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };  // \t \n \v \f \r
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        if (space(line[at])) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < line.size() && !space(line[end])) {
            ++end;
        }
        words.emplace_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

void parse_line(std::string_view body, Ticks previous_time, Ticks last_action, int line, Command &command,
                LineProgress &progress)
{
    const std::vector<std::string> tokens = split_words(body);
    if (tokens.size() < 3 || tokens[0] != "at") {
        fail("expected 'at TIME COMMAND [ARGUMENTS]', e.g. 'at 10ms set-state on'");
    }
    command.line = line;
    std::string_view time = tokens[1];
    const bool relative = time.starts_with('+');
    const Ticks offset = parse_time(relative ? time.substr(1) : time);
    if (__builtin_add_overflow(offset, relative ? previous_time : 0, &command.time)) {
        fail("time " + quote(time) + " after " + format_time(previous_time) + " is out of range; expected at most " +
             format_time(kMaxTicks) + " in all");
    }
    progress.time_known = true;
    // "at TIME & COMMAND": the call runs on a thread of its own.
    const size_t first = tokens[2] == "&" ? 3 : 2;
    command.concurrent = first == 3;
    if (first >= tokens.size()) {
        fail("expected a command after '&', e.g. 'at 10ms & set-state off'");
    }
    const CommandName *found = find_command(tokens[first]);
    if (!found) {
        const std::vector<std::string> names = command_names();
        std::string list;
        for (const std::string &name : names) {
            list += (list.empty() ? "" : ", ") + name;
        }
        fail("unknown command " + quote(tokens[first]) + did_you_mean(tokens[first], names) + "expected one of " +
             list);
    }
    command.kind = found->kind;
    progress.kind_known = true;
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
    parse_arguments(args, command, found->name, last_action);
}


// Order rules that make a scenario playable from top to bottom.
void Sequence::admit(const Command &command, const std::string &name)
{
    if (ended_) {
        fail("command after end; expected end to be the last command");
    }
    if (last_time_ && command.time < *last_time_) {
        fail("time " + format_time(command.time) + " goes backwards; expected " + format_time(*last_time_) +
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

void Sequence::skip(std::optional<Ticks> time)
{
    if (!time) {
        last_time_.reset();
    } else if (!last_time_ || *time > *last_time_) {
        last_time_ = time;
    }
}

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
    static_assert(vsim::kTicksPerMs == 10'000, "four decimals of a millisecond");
    if (fraction > 0) {
        char digits[4];
        for (int i = 3; i >= 0; --i) {
            digits[i] = static_cast<char>('0' + fraction % 10);
            fraction /= 10;
        }
        size_t length = 4;
        while (digits[length - 1] == '0') {
            --length;  // a digit is not 0: the fraction is not
        }
        text += '.';
        text.append(digits, length);
    } else if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04lld", static_cast<long long>(fraction));
        std::string decimals = digits;
        decimals.erase(decimals.find_last_not_of('0') + 1);
        text += "." + decimals;
    }
    return text + "ms";
}

std::string format_duration(Ticks ticks)
{
    constexpr Ticks kSecond = vsim::kTicksPerSecond;
    if (ticks < kSecond) {
        return format_time(ticks);
    }
    std::string text;
    if (ticks >= 3600 * kSecond) {
        text = std::to_string(ticks / (3600 * kSecond)) + "h";
        ticks %= 3600 * kSecond;
    }
    if (ticks >= 60 * kSecond) {
        text += (text.empty() ? "" : " ") + std::to_string(ticks / (60 * kSecond)) + "min";
        ticks %= 60 * kSecond;
    }
    if (ticks != 0 || text.empty()) {
        char digits[40];
        std::snprintf(digits, sizeof digits, "%lld.%07lld", static_cast<long long>(ticks / kSecond),
                      static_cast<long long>(ticks % kSecond));
        std::string seconds = digits;
        seconds.erase(seconds.find_last_not_of('0') + 1);
        if (seconds.back() == '.') {
            seconds.pop_back();
        }
        text += (text.empty() ? "" : " ") + seconds + "s";
    }
    return text;
}

}  // namespace vibra_tool
