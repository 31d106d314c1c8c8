// SPDX-License-Identifier: MIT
// What the parts of the SVG writer share: the layout, the time scale and
// text helpers.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "outputs/svg.h"

namespace vibra_tool::svg {

inline constexpr double kWidth = 1280;      // the whole picture
inline constexpr double kLeft = 100;        // the lane names
inline constexpr double kPlotWidth = 1130;  // the time axis
inline constexpr double kDenseStep = 3;     // closer edges than this (px) are drawn as an envelope

std::string escape(const std::string &text);
std::string number(double value);

// Times in one unit (s, ms or µs) chosen for a span.
struct TimeUnit {
    Ticks ticks;       // one unit in ticks
    const char *name;  // "s", "ms", "µs"
};
TimeUnit unit_for(Ticks span);
// "1.5 ms", with as many decimals as `step` needs (at most 4 beyond it).
std::string format_in(Ticks time, const TimeUnit &unit, Ticks step);
// A duration as a person reads it: "6.6 ms", "12 s", "350 µs".
std::string duration(Ticks time);
// A round tick step: 1, 2 or 5 times a power of ten, about `count` across `span`.
Ticks tick_step(Ticks span, int count);

// Maps the window onto a horizontal pixel range.
struct Scale {
    Ticks from, to;
    double left, width;
    double x(Ticks time) const
    {
        return left + width * static_cast<double>(time - from) / static_cast<double>(to - from);
    }
};

// The time axis at `y`: about `ticks` round ticks labelled in the window's
// unit, with grid lines up to `grid_top`; with an `origin`, the ticks count
// from it ("+5 ms").
void draw_axis(std::ostream &out, const Scale &scale, double y, int ticks, double grid_top,
               std::optional<Ticks> origin = std::nullopt);

// One digital line in its lane between `top` (high) and `bottom` (low), up
// to `end`; edges closer than kDenseStep are drawn as a band labelled with
// their period and duty. Returns whether there was such a band.
bool draw_line(std::ostream &out, const SvgPicture &picture, const char *line, const Scale &scale, Ticks end,
               double top, double bottom, const char *colour);
// The first steps of the drive, zoomed, in a panel at `top`; returns its
// height, 0 when there is nothing to zoom.
double draw_inset(std::ostream &out, const SvgPicture &picture, double top);

// The calls lane: markers, labels and their legend. Returns its height.
class CallsLane {
public:
    CallsLane(const Recording &recording, const SvgPicture &picture, const Scale &scale);
    double height() const;
    void draw(std::ostream &out, double top, double lines_top) const;
    static void legend(std::ostream &out, double x, double y);

    // Armed: a fault command; Fault: an armed fault taking effect.
    enum Result { Pass, Expected, Unexpected, Skipped, Armed, Fault };
    static constexpr int kResults = 6;
    struct Marker {
        double x;
        Result result;
        std::string title;
        std::string label;  // empty when it does not fit
        double label_x = 0;
        int lane = 0;
    };
    const std::vector<Marker> &markers() const { return markers_; }

private:
    void gather(const Recording &recording, const SvgPicture &picture, const Scale &scale);
    void gather_faults(const Recording &recording, const SvgPicture &picture, const Scale &scale);
    void group(const Scale &scale);
    void lay_out_labels();
    std::vector<Marker> markers_;
    bool grouped_ = false;  // too many calls: one marker for each 2 px
    int lanes_ = 0;
};

const char *result_class(CallsLane::Result result);

}  // namespace vibra_tool::svg
