// SPDX-License-Identifier: MIT
#include "player/trace_log.h"

#include <array>
#include <cstdio>

#include "trace/trace.h"

namespace vibra_tool {
namespace {

constexpr std::array<std::string_view, 6> kInformationLines = {
    "Resources Found %i\n",
    "Found Resource number %i\n",
    "Successfully opened resource %i\n",
    "Found Non-expected resource %i\n",
    "HwN ID %i Already Turned On\n",
    "HwN ID %i Already Turned Off\n",
};

constexpr std::string_view kWarningLine = "EvtRequestWriteCompletionRoutine Failed\r\n";

}  // namespace

TraceShape trace_shape(std::string_view format)
{
    if (format.starts_with('+') || format.starts_with('-')) {
        return {TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT};
    }
    for (std::string_view line : kInformationLines) {
        if (format == line) {
            return {TRACE_LEVEL_VERBOSE, TRACE_FLAG_MESSAGE};
        }
    }
    if (format == kWarningLine) {
        return {TRACE_LEVEL_WARNING, TRACE_FLAG_MESSAGE | TRACE_FLAG_ENTRY_EXIT};
    }
    return {TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE};
}

void write_trace_line(std::ostream &out, const TraceRecord &record)
{
    char head[64];
    std::snprintf(head, sizeof head, "%12.4f ms  L%u F%08X  ", static_cast<double>(record.time) / vsim::kTicksPerMs,
                  record.level, record.flags);
    out << head;
    std::string_view text = record.text;
    if (text.ends_with('\n')) {
        text.remove_suffix(1);
    }
    for (char c : text) {
        switch (c) {
        case '\r':
            out << "\\r";
            break;
        case '\n':
            out << "\\n";
            break;
        case '\t':
            out << "\\t";
            break;
        default:
            out << c;
        }
    }
    out << '\n';
}

}  // namespace vibra_tool
