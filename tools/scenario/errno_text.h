// SPDX-License-Identifier: MIT
// The system's text for an errno value, as strerror gives it, from a buffer of
// the caller's own: strerror may share one buffer between threads.
#pragma once

#include <cstring>
#include <string>

namespace vibra_tool {
namespace detail {

// strerror_r returns the text (GNU) or 0 with the text in the buffer (POSIX).
inline const char *errno_text_of(const char *text, const char *) { return text; }
inline const char *errno_text_of(int result, const char *buffer) { return result == 0 ? buffer : "unknown error"; }

}  // namespace detail

inline std::string errno_text(int error)
{
    char buffer[256] = "";
    return detail::errno_text_of(strerror_r(error, buffer, sizeof buffer), buffer);
}

}  // namespace vibra_tool
