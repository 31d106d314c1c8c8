// SPDX-License-Identifier: MIT
// What the line parser shares with the parsers of each command's arguments.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scenario/scenario.h"

namespace vibra_tool {

// A refusal of one line; parse_scenario adds "name:line: ".
struct LineError {
    std::string message;
};

[[noreturn]] inline void fail(std::string message) { throw LineError{std::move(message)}; }

inline constexpr Ticks kMaxTicks = std::numeric_limits<Ticks>::max();

// A word of the file as a message quotes it: cut to a readable length, so that
// a megabyte-long token does not come back whole.
std::string quote(std::string_view word);

uint32_t parse_u32(std::string_view key, std::string_view text);
std::vector<uint8_t> parse_hex(std::string_view key, std::string_view text);
int32_t parse_status_arg(std::string_view key, std::string_view text);
int parse_level_value(std::string_view key, std::string_view text);
Ticks parse_time(std::string_view text);
// The words of a line, split at white space (space, tab, line and page ends)
// as a stream in the C locale splits them.
std::vector<std::string> split_words(std::string_view line);

// The tokens of one command after its time: bare words and key=value pairs.
// It remembers the keys and words asked for, to suggest one for a misspelling.
class Arguments {
public:
    Arguments(const std::vector<std::string> &tokens, size_t first, std::string_view command);

    std::optional<std::string> take(const std::string &key);
    bool take_word(std::string_view word);
    std::optional<std::string> take_first_word();

    // A key the command needs: when it is missing but a given key is a
    // misspelling of it, that key is refused with the suggestion.
    std::optional<std::string> take_needed(const std::string &key, std::string_view accepted);

    // Anything not taken is refused, with what this command accepts.
    void finish(std::string_view accepted) const;

private:
    [[noreturn]] void unknown_key(const std::string &key, std::string_view accepted) const;

    std::string_view command_;
    std::vector<std::string> words_;
    std::map<std::string, std::string> values_;
    std::vector<std::string> asked_keys_;
    std::vector<std::string> asked_words_;
};

// Fills `command` from the arguments of its line, refusing what it does not take.
// `last_action`: see parse_line.
void parse_arguments(Arguments &args, Command &command, std::string_view name, Ticks last_action);

// Parses one line's text (comment removed) into `command`, filling its time
// and then its kind as soon as each is known, so that a caller whose line is
// refused still knows what it could read.
struct LineProgress {
    bool time_known = false;
    bool kind_known = false;
};
// `last_action` is the time of the last command before it other than check
// and wait: where a timing check's interval starts by default.
void parse_line(std::string_view body, Ticks previous_time, Ticks last_action, int line, Command &command,
                LineProgress &progress);

// A decimal number ("50", "151.5"), optionally followed by `unit`.
double parse_decimal(std::string_view key, std::string_view text, std::string_view unit, std::string_view expected);

// Order rules that make a scenario playable from top to bottom.
class Sequence {
public:
    void admit(const Command &command, const std::string &name);
    // A refused line whose time is known moves the clock on; one whose time
    // is not known lets the next line be taken at its word.
    void skip(std::optional<Ticks> time);
    // A command that moves the default start of a timing check's interval.
    static bool acts(CommandKind kind) { return kind != CommandKind::Check && kind != CommandKind::Wait; }

private:
    std::optional<Ticks> last_time_ = Ticks{0};
    bool setup_seen_ = false;
    bool other_seen_ = false;
    bool removed_ = false;
    bool unloaded_ = false;
    bool ended_ = false;
};

}  // namespace vibra_tool
