// SPDX-License-Identifier: MIT
#include "scenario/suggest.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace vibra_tool {
namespace {

// Longer words are not compared: a suggestion for them would not help.
constexpr size_t kLongestCompared = 64;

char folded(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

size_t allowed_edits(size_t length)
{
    if (length <= 4) {
        return 1;
    }
    return length <= 12 ? 2 : length / 6;
}

}  // namespace

size_t edit_distance(std::string_view a, std::string_view b)
{
    // Optimal string alignment over three rows.
    std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        previous[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const bool same = folded(a[i - 1]) == folded(b[j - 1]);
            row[j] = std::min({previous[j] + 1, row[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && folded(a[i - 1]) == folded(b[j - 2]) && folded(a[i - 2]) == folded(b[j - 1])) {
                row[j] = std::min(row[j], before[j - 2] + 1);
            }
        }
        before.swap(previous);
        previous.swap(row);
    }
    return previous[b.size()];
}

std::optional<std::string> closest(std::string_view word, const std::vector<std::string> &candidates)
{
    if (word.empty() || word.size() > kLongestCompared) {
        return std::nullopt;
    }
    size_t best = std::numeric_limits<size_t>::max();
    size_t second = best;
    const std::string *found = nullptr;
    for (const std::string &candidate : candidates) {
        const size_t distance = edit_distance(word, candidate);
        if (distance < best) {
            second = best;
            best = distance;
            found = &candidate;
        } else if (distance < second && candidate != *found) {
            second = distance;
        }
    }
    if (!found || best > allowed_edits(std::min(word.size(), found->size())) || best >= second) {
        return std::nullopt;
    }
    return *found;
}

std::string did_you_mean(std::string_view word, const std::vector<std::string> &candidates, std::string_view suffix)
{
    const std::optional<std::string> match = closest(word, candidates);
    return match ? "; did you mean '" + *match + std::string(suffix) + "'? " : "; ";
}

}  // namespace vibra_tool
