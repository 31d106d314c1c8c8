// SPDX-License-Identifier: MIT
#include "measure/summary.h"

namespace vibra_tool {

bool LineCounter::change(Ticks time, int value)
{
    if (value == summary_.final_level) {
        return false;
    }
    if (value) {
        ++summary_.rising;
        since_ = time;
    } else {
        ++summary_.falling;
        summary_.high += time - since_;
    }
    summary_.final_level = value;
    return true;
}

LineSummary LineCounter::finish(Ticks end) const
{
    LineSummary summary = summary_;
    if (summary.final_level) {
        summary.high += end - since_;
    }
    return summary;
}

void DriveCounter::edge(bool enable, Ticks time, int value)
{
    if (have_instant_ && time > instant_) {
        settle_instant();
    }
    if (!have_instant_) {
        // On real threads two threads may report one instant slightly out of
        // order; a late edge joins the instant being gathered.
        have_instant_ = true;
        instant_ = time;
        enable_fell_ = false;
        enable_after_ = enable_;
        drive_edges_.clear();
    }
    if (enable) {
        enable_fell_ |= value == 0;
        enable_after_ = value;
    } else {
        drive_edges_.push_back(value);
    }
}

void DriveCounter::settle_instant()
{
    have_instant_ = false;
    const Ticks time = instant_;
    if (open_ && enable_fell_) {
        close(time);
    }
    if (enable_after_ && !open_) {
        open_ = true;
        begin_ = time;
        since_ = time;
        level_ = drive_;
        last_rise_.reset();
    }
    for (const int value : drive_edges_) {
        if (open_) {
            if (level_) {
                high_ += time - since_;
            }
            if (value) {
                if (last_rise_) {
                    period_sum_ += time - *last_rise_;
                    ++periods_;
                }
                last_rise_ = time;
            }
            level_ = value;
            since_ = time;
        }
        drive_ = value;
    }
    enable_ = enable_after_;
}

void DriveCounter::close(Ticks time)
{
    running_ += time - begin_;
    if (level_) {
        high_ += time - since_;
    }
    open_ = false;
}

DriveSummary DriveCounter::finish(Ticks end)
{
    // A window runs up to the end of the run, not including it: what
    // happened at that very instant does not count.
    if (have_instant_ && instant_ < end) {
        settle_instant();
    }
    have_instant_ = false;
    if (open_) {
        close(end);
    }
    DriveSummary summary;
    summary.running = running_;
    if (running_ > 0) {
        summary.duty_percent = 100.0 * static_cast<double>(high_) / static_cast<double>(running_);
    }
    if (periods_ > 0) {
        summary.frequency_hz = static_cast<double>(vsim::kTicksPerSecond) * periods_ / static_cast<double>(period_sum_);
    }
    return summary;
}

void Summariser::change(Ticks time, std::string_view line, int value)
{
    if (line == kEnableLine) {
        if (enable_.change(time, value)) {
            motor_.edge(true, time, value);
        }
    } else if (line == kDriveLine) {
        if (drive_.change(time, value)) {
            motor_.edge(false, time, value);
        }
    }
}

LineSummaries Summariser::finish(Ticks end) { return {enable_.finish(end), drive_.finish(end), motor_.finish(end)}; }

LineSummaries summarise(const std::vector<LevelChange> &changes, Ticks end)
{
    Summariser summariser;
    for (const LevelChange &change : changes) {
        summariser.change(change);
    }
    return summariser.finish(end);
}

}  // namespace vibra_tool
