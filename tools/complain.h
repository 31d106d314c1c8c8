// SPDX-License-Identifier: MIT
// vibra-sim's errors and warnings: on standard error, each line begun with
// the program's name, so that they read apart from the report and from the
// trace when both go to the terminal.
#pragma once

#include <iostream>
#include <string_view>

namespace vibra_tool {

inline constexpr std::string_view kMessagePrefix = "vibra-sim: ";

// Standard error with the prefix written: the caller writes the rest of one
// line, its newline included.
inline std::ostream &complain() { return std::cerr << kMessagePrefix; }

// `text`, of one line or more, each line with the prefix.
inline void complain(std::string_view text)
{
    for (;;) {
        const size_t end = text.find('\n');
        complain() << text.substr(0, end) << '\n';
        if (end == std::string_view::npos) {
            return;
        }
        text.remove_prefix(end + 1);
    }
}

}  // namespace vibra_tool
