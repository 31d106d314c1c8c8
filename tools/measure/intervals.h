// SPDX-License-Identifier: MIT
// The timing checks' intervals, measured from the line changes as they
// stream past: each check keeps a few counters for its window [from, to],
// and only while the window is open, so that a long run does not keep its
// edges.
#pragma once

#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scenario/scenario.h"

namespace vibra_tool {

struct IntervalMeasure {
    int rising = 0;                  // rising edges within [from, to]
    std::optional<double> period;    // mean from rising edge to rising edge (two rising edges or more)
    Ticks span = 0;                  // whole periods from the first to the last rising edge, else [from, to]
    Ticks high = 0;                  // time high within that span
    int periods = 0;                 // whole periods in the span, 0 when it is the window
    double duty_percent() const { return span > 0 ? 100.0 * static_cast<double>(high) / static_cast<double>(span) : 0; }
};

class IntervalMeter {
public:
    // Registers a command's timing check; the command must outlive the meter.
    void add(const Command &command);
    // Every line change, in time order. Repeated levels are not edges; lines
    // start low.
    void change(Ticks time, std::string_view line, int value);
    // The check's measure, once the run has reached `now` (at or after its to=).
    IntervalMeasure measure(const Command &command, Ticks now);

private:
    struct Window {
        Ticks from = 0;
        Ticks to = 0;
        bool enable = false;  // which line: enable, else drive
        int level = 0;
        Ticks since = 0;
        Ticks high = 0;
        int rising = 0;
        std::optional<Ticks> first_rise;
        Ticks last_rise = 0;
        Ticks high_at_first = 0;
        Ticks high_at_last = 0;
        bool closed = false;
    };
    void reach(Ticks time);
    void close(Window &window) const;

    std::vector<Window> windows_;                          // in the order of their from=
    std::unordered_map<const Command *, size_t> by_command_;
    bool sorted_ = true;
    size_t next_ = 0;           // the first window not opened yet
    std::vector<size_t> open_;  // opened and not closed
    int enable_ = 0;
    int drive_ = 0;
};

}  // namespace vibra_tool
