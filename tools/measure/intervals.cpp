// SPDX-License-Identifier: MIT
#include "measure/intervals.h"

#include <algorithm>
#include <numeric>

#include "measure/lines.h"

namespace vibra_tool {

void IntervalMeter::add(const Command &command)
{
    if (!command.interval) {
        return;
    }
    Window window;
    window.from = command.interval->from;
    window.to = command.interval->to;
    window.enable = command.interval->line == kEnableLine;
    sorted_ = sorted_ && (windows_.empty() || windows_.back().from <= window.from);
    by_command_[&command] = windows_.size();
    windows_.push_back(window);
}

// Opens the windows that begin by `time` and closes those that end before it.
void IntervalMeter::reach(Ticks time)
{
    if (!sorted_) {
        // Commands come in time order and a check's from= may be earlier than
        // an earlier check's: sort once, keeping the commands' indices.
        std::vector<size_t> order(windows_.size());
        std::iota(order.begin(), order.end(), size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return windows_[a].from < windows_[b].from; });
        std::vector<size_t> where(windows_.size());
        std::vector<Window> sorted;
        sorted.reserve(windows_.size());
        for (size_t i = 0; i < order.size(); ++i) {
            where[order[i]] = i;
            sorted.push_back(windows_[order[i]]);
        }
        windows_ = std::move(sorted);
        for (auto &[command, index] : by_command_) {
            index = where[index];
        }
        sorted_ = true;
    }
    for (; next_ < windows_.size() && windows_[next_].from <= time; ++next_) {
        Window &window = windows_[next_];
        window.level = window.enable ? enable_ : drive_;
        window.since = window.from;
        open_.push_back(next_);
    }
    std::erase_if(open_, [&](size_t index) {
        Window &window = windows_[index];
        if (window.to < time) {
            close(window);
            return true;
        }
        return false;
    });
}

void IntervalMeter::close(Window &window) const
{
    if (window.closed) {
        return;
    }
    if (window.level) {
        window.high += window.to - window.since;
    }
    window.closed = true;
}

void IntervalMeter::change(Ticks time, std::string_view line, int value)
{
    const bool enable = line == kEnableLine;
    if (!enable && line != kDriveLine) {
        return;
    }
    int &level = enable ? enable_ : drive_;
    if (value == level) {
        return;
    }
    if (!windows_.empty()) {
        reach(time);
    }
    level = value;
    for (const size_t index : open_) {
        Window &window = windows_[index];
        if (window.enable != enable || window.closed) {
            continue;
        }
        if (window.level) {
            window.high += time - window.since;
        }
        window.since = time;
        window.level = value;
        if (value) {
            ++window.rising;
            if (!window.first_rise) {
                window.first_rise = time;
                window.high_at_first = window.high;
            }
            window.last_rise = time;
            window.high_at_last = window.high;
        }
    }
}

IntervalMeasure IntervalMeter::measure(const Command &command, Ticks now)
{
    IntervalMeasure result;
    const auto found = by_command_.find(&command);
    if (found == by_command_.end()) {
        return result;
    }
    reach(now);
    Window &window = windows_[found->second];
    if (!window.closed && window.to <= now) {
        close(window);
        std::erase(open_, found->second);
    }
    result.rising = window.rising;
    if (window.rising >= 2) {
        result.periods = window.rising - 1;
        result.span = window.last_rise - *window.first_rise;
        result.period = static_cast<double>(result.span) / result.periods;
        result.high = window.high_at_last - window.high_at_first;
    } else {
        result.span = window.to - window.from;
        result.high = window.high;
    }
    return result;
}

}  // namespace vibra_tool
