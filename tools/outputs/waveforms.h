// SPDX-License-Identifier: MIT
// Files for looking at a run afterwards: the GPIO writes as CSV, a Value
// Change Dump of the lines and the stored element state, and an SVG timing
// diagram.
//
// Each has a streaming form that a run feeds as it goes, in time order, in
// constant memory (the SVG keeps a picture of bounded size, see svg.h), and a
// form that writes a whole recording at once.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "player/recording.h"
#include "outputs/svg.h"

namespace vibra_tool {

// The moments a line's level actually changed; lines start low.
std::vector<Edge> level_edges(const Recording &recording, const std::string &line);
// The moments the stored element state changed, from its initial value on.
std::vector<StateSample> state_changes(const Recording &recording);

// The digits of `value` from `at` on; returns where they end.
char *put_decimal(char *at, uint64_t value);

// time_us,line,value,status: one row per completed write.
void write_events_header(std::ostream &out);
void write_event_row(std::ostream &out, const WriteRecord &write);
void write_events_csv(std::ostream &out, const Recording &recording);

// IEEE 1364 VCD: wires enable and drive, the state as two bits, a wire
// `call` that toggles at each instant with calls and a wire `fault` that
// toggles at each instant an armed fault takes effect; the calls and the
// faults taken are listed in comments of the header (sigrok reads no vector
// and loses its way after comments among the changes). Times are written in
// whole microseconds (`whole_us`) or in 100 ns steps. The header carries no
// wall-clock date, so that one scenario gives the same file every time; with
// SOURCE_DATE_EPOCH set, it carries that date.
struct VcdCall {
    Ticks time;
    int line;  // 0 for the implicit set-up
    std::string text;
};
class VcdWriter {
public:
    VcdWriter(std::ostream &out, bool whole_us) : out_(&out), divisor_(whole_us ? vsim::kTicksPerUs : 1) {}
    void header(const std::string &scenario, const std::string &version, const std::vector<VcdCall> &calls = {},
                const std::vector<FaultRecord> &faults = {});
    void change(const LevelChange &change);
    void state(const StateSample &sample);
    void call(Ticks time);
    void fault(Ticks time);
    void finish(Ticks end);
    // A whole-microsecond file that meets a time between two microseconds
    // calls `rescale`, which rewrites what was written in 100 ns steps
    // (rescale_vcd_file) and returns the stream to go on with; without one
    // the time is rounded down.
    void on_rescale(std::function<std::ostream &()> rescale) { rescale_ = std::move(rescale); }

private:
    struct Pending {
        int order;  // enable, drive, state[0], state[1]: a fixed order within one instant
        char value;
    };
    void gather(Ticks time);
    void add(Ticks time, int order, int value);
    void flush();
    void time_mark(Ticks time);

    std::ostream *out_;
    Ticks divisor_;
    std::function<std::ostream &()> rescale_;
    Ticks current_ = 0;  // the last instant written
    Ticks instant_ = 0;  // the instant being gathered
    std::vector<Pending> pending_;
    std::string text_;  // the instant's rows, written at once
    bool called_ = false;   // the instant has calls
    bool faulted_ = false;  // the instant has faults taken
    int enable_ = 0, drive_ = 0, call_level_ = 0, fault_level_ = 0;
    uint32_t state_ = 0;
};
void write_vcd(std::ostream &out, const Recording &recording, const std::string &version);
// Rewrites a whole-microsecond VCD file in 100 ns steps; false if it cannot.
bool rescale_vcd_file(const std::string &path);
// Rewrites a VCD file with the faults taken listed in its header, as a file
// written as the run went could not list them; false if it cannot.
bool list_vcd_faults(const std::string &path, const std::vector<FaultRecord> &faults);

}  // namespace vibra_tool
