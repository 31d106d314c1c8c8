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

#include "scenario.h"

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

// The tokens of one command after its time: bare words and key=value pairs.
class Arguments {
public:
    Arguments(const std::vector<std::string> &tokens, size_t first, std::string_view command)
        : command_(command)
    {
        for (size_t i = first; i < tokens.size(); ++i) {
            const std::string &token = tokens[i];
            const size_t equals = token.find('=');
            if (equals == std::string::npos) {
                words_.push_back(token);
                continue;
            }
            const std::string key = token.substr(0, equals);
            if (values_.count(key) != 0) {
                fail(quote(key + "=") + " given twice; expected each argument once");
            }
            values_[key] = token.substr(equals + 1);
        }
    }

    std::optional<std::string> take(const std::string &key)
    {
        const auto found = values_.find(key);
        if (found == values_.end()) {
            return std::nullopt;
        }
        std::string value = found->second;
        values_.erase(found);
        return value;
    }

    bool take_word(std::string_view word)
    {
        const auto found = std::find(words_.begin(), words_.end(), word);
        if (found == words_.end()) {
            return false;
        }
        words_.erase(found);
        return true;
    }

    std::optional<std::string> take_first_word()
    {
        if (words_.empty()) {
            return std::nullopt;
        }
        std::string word = words_.front();
        words_.erase(words_.begin());
        return word;
    }

    // Anything not taken is refused, with what this command accepts.
    void finish(std::string_view accepted) const
    {
        const std::string expected =
            accepted.empty() ? "expected no arguments" : "expected " + std::string(accepted);
        if (!words_.empty()) {
            fail("unexpected word " + quote(words_.front()) + " for " + std::string(command_) + "; " + expected);
        }
        if (!values_.empty()) {
            fail("unknown argument " + quote(values_.begin()->first + "=") + " for " + std::string(command_) + "; " + expected);
        }
    }

private:
    std::string_view command_;
    std::vector<std::string> words_;
    std::map<std::string, std::string> values_;
};

// Fills `command` from the arguments of its line, refusing what it does not take.
void parse_arguments(Arguments &args, Command &command, std::string_view name);

}  // namespace vibra_tool
