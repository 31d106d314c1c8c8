// SPDX-License-Identifier: MIT
// The driver's trace as the tool shows it. The driver filters by level and
// flags and hands the debug-print service only component 101 and level 0, so
// the level and flags of a line are recovered from its shape, the same way
// every operation of the driver chooses them.
#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>

#include "player/recording.h"

namespace vibra_tool {

struct TraceShape {
    uint32_t level;
    uint32_t flags;
};

TraceShape trace_shape(std::string_view format);

// "  12.3456 ms  L5 F00000004  +QM38_205_SetState" with control characters
// other than the final line end shown escaped ("\r").
void write_trace_line(std::ostream &out, const TraceRecord &record);

}  // namespace vibra_tool
