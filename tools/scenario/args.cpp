// SPDX-License-Identifier: MIT
// The arguments of one command, and what is refused of them.
#include "scenario/parse.h"
#include "scenario/suggest.h"

namespace vibra_tool {

Arguments::Arguments(const std::vector<std::string> &tokens, size_t first, std::string_view command)
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

std::optional<std::string> Arguments::take(const std::string &key)
{
    asked_keys_.push_back(key);
    const auto found = values_.find(key);
    if (found == values_.end()) {
        return std::nullopt;
    }
    std::string value = found->second;
    values_.erase(found);
    return value;
}

bool Arguments::take_word(std::string_view word)
{
    asked_words_.emplace_back(word);
    const auto found = std::find(words_.begin(), words_.end(), word);
    if (found == words_.end()) {
        return false;
    }
    words_.erase(found);
    return true;
}

std::optional<std::string> Arguments::take_first_word()
{
    if (words_.empty()) {
        return std::nullopt;
    }
    std::string word = words_.front();
    words_.erase(words_.begin());
    return word;
}

std::optional<std::string> Arguments::take_needed(const std::string &key, std::string_view accepted)
{
    std::optional<std::string> value = take(key);
    if (!value) {
        for (const auto &[given, ignored] : values_) {
            if (closest(given, {key})) {
                unknown_key(given, accepted);
            }
        }
    }
    return value;
}

void Arguments::unknown_key(const std::string &key, std::string_view accepted) const
{
    fail("unknown argument " + quote(key + "=") + " for " + std::string(command_) +
         did_you_mean(key, asked_keys_, "=") + "expected " + std::string(accepted));
}

void Arguments::finish(std::string_view accepted) const
{
    const std::string expected = accepted.empty() ? "expected no arguments" : "expected " + std::string(accepted);
    if (!words_.empty()) {
        fail("unexpected word " + quote(words_.front()) + " for " + std::string(command_) +
             did_you_mean(words_.front(), asked_words_) + expected);
    }
    if (!values_.empty()) {
        const std::string &key = values_.begin()->first;
        if (accepted.empty()) {
            fail("unknown argument " + quote(key + "=") + " for " + std::string(command_) + "; " + expected);
        }
        unknown_key(key, accepted);
    }
}

}  // namespace vibra_tool
