// SPDX-License-Identifier: MIT
// Helpers shared by the driver suite: trace-line builders, mask sets that let
// exactly one class of line through, and direct access to the stored record.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/harness.h"

namespace vtest::driver {

using Lines = std::vector<std::string>;

// Masks that let through only error and warning lines (levels 2 and 3 with
// the message flag), only entry and exit lines (level 5 with the entry/exit
// flag), or only information lines (level 5 with the message flag).
inline constexpr std::array<ULONG, TRACE_LEVEL_MASK_COUNT> kErrorLinesOnly = {0, TRACE_FLAG_MESSAGE, TRACE_FLAG_MESSAGE,
                                                                              0, 0};
inline constexpr std::array<ULONG, TRACE_LEVEL_MASK_COUNT> kEntryExitLinesOnly = {0, 0, 0, 0, TRACE_FLAG_ENTRY_EXIT};
inline constexpr std::array<ULONG, TRACE_LEVEL_MASK_COUNT> kInfoLinesOnly = {0, 0, 0, 0, TRACE_FLAG_MESSAGE};

inline std::string entry(const std::string &name) { return "+" + name + "\n"; }

inline std::string exit_line(const std::string &name, NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(status));
    return "-" + name + ":" + (NT_SUCCESS(status) ? "Success" : "Fail") + ":" + text + "\n";
}

// A status as "%x" prints it.
inline std::string hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(status));
    return text;
}

// The trace lines that start with one of the prefixes, in order.
inline Lines lines_starting(const Lines &all, std::initializer_list<std::string_view> prefixes)
{
    Lines kept;
    for (const std::string &line : all) {
        for (std::string_view prefix : prefixes) {
            if (std::string_view(line).substr(0, prefix.size()) == prefix) {
                kept.push_back(line);
                break;
            }
        }
    }
    return kept;
}

inline HWN_SETTINGS &stored_record(PDEVICE_CONTEXT context) { return driver_view::stored_record(*context); }

inline ULONG stored_state(PDEVICE_CONTEXT context) { return driver_view::stored_state(*context); }

inline HWN_SETTINGS settings_record(const Record &record)
{
    HWN_SETTINGS settings = {};
    settings.HwNId = record.id;
    settings.HwNType = record.type;
    for (size_t i = 0; i < HWN_TOTAL_SETTINGS; ++i) {
        settings.HwNSettings[i] = record.settings[i];
    }
    return settings;
}

}  // namespace vtest::driver
