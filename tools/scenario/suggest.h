// SPDX-License-Identifier: MIT
// Did-you-mean: the accepted word closest to a misspelled one.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vibra_tool {

// Edits (insertions, deletions, substitutions, swaps of neighbours) between
// two words, ignoring case.
size_t edit_distance(std::string_view a, std::string_view b);

// The candidate closest to `word`, when it is close (at most 1 edit for a word
// of up to 4 characters, 2 up to 12, a sixth of the length beyond) and
// strictly closer than every other candidate. A word that matches a candidate
// but for case is suggested too.
std::optional<std::string> closest(std::string_view word, const std::vector<std::string> &candidates);

// "; did you mean 'x'? " (with `suffix` after x, e.g. "="), or "; ": what
// goes between a refusal and its "expected ...".
std::string did_you_mean(std::string_view word, const std::vector<std::string> &candidates,
                         std::string_view suffix = "");

}  // namespace vibra_tool
