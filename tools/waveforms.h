// Files for looking at a run afterwards: the GPIO writes as CSV, a Value
// Change Dump of the lines and the stored element state, and an SVG timing
// diagram.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "recording.h"

namespace vibra_tool {

struct Edge {
    Ticks time;
    int value;
};

// The moments a line's level actually changed; lines start low.
std::vector<Edge> level_edges(const Recording &recording, const std::string &line);
// The moments the stored element state changed, from its initial value on.
std::vector<StateSample> state_changes(const Recording &recording);

// time_us,line,value,status: one row per completed write.
void write_events_csv(std::ostream &out, const Recording &recording);
// IEEE 1364 VCD: wires enable and drive, a 32-bit integer state.
void write_vcd(std::ostream &out, const Recording &recording, const std::string &version);
// A self-contained SVG timing diagram.
void write_svg(std::ostream &out, const Recording &recording);

}  // namespace vibra_tool
