// SPDX-License-Identifier: MIT
// The report's line summaries, made in one pass as the line changes come, in
// constant memory: edges and time high of each line, and the drive line's
// frequency and duty while the enable line was high.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measure/lines.h"

namespace vibra_tool {

// One line's edges; repeated levels are not edges. Lines start low.
class LineCounter {
public:
    // True when the level changed.
    bool change(Ticks time, int value);
    LineSummary finish(Ticks end) const;

private:
    LineSummary summary_;
    Ticks since_ = 0;
};

// The drive line within the windows where the enable line was high: a
// window runs from a rising edge of enable up to (not including) its falling
// edge or the end of the run. Edges of one instant are taken together, so
// the order in which they arrive within it does not matter.
class DriveCounter {
public:
    void edge(bool enable, Ticks time, int value);
    DriveSummary finish(Ticks end);

private:
    void settle_instant();
    void close(Ticks time);

    bool have_instant_ = false;
    Ticks instant_ = 0;
    bool enable_fell_ = false;
    int enable_after_ = 0;
    std::vector<int> drive_edges_;  // at this instant; a handful at most

    int enable_ = 0;
    int drive_ = 0;
    bool open_ = false;
    Ticks begin_ = 0;
    Ticks since_ = 0;
    int level_ = 0;  // the drive line within the open window
    std::optional<Ticks> last_rise_;
    Ticks running_ = 0;
    Ticks high_ = 0;
    Ticks period_sum_ = 0;
    int periods_ = 0;
};

// Both lines and the motor, fed with every change in time order.
class Summariser {
public:
    void change(const LevelChange &c) { change(c.time, c.line, c.value); }
    void change(Ticks time, std::string_view line, int value);
    LineSummaries finish(Ticks end);

private:
    LineCounter enable_;
    LineCounter drive_;
    DriveCounter motor_;
};

// The same over a whole run's changes, in time order, up to `end`.
LineSummaries summarise(const std::vector<LevelChange> &changes, Ticks end);

}  // namespace vibra_tool
