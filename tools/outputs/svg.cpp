// SPDX-License-Identifier: MIT
// The SVG timing diagram: a heading with the run's result and a legend, the
// lanes of the lines, the state and the calls over the chosen window, a time
// axis in the unit that fits it, and a zoom on the first steps of the drive
// when they are too dense to see.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "outputs/svg_draw.h"
#include "outputs/waveforms.h"

namespace vibra_tool::svg {

std::string escape(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

TimeUnit unit_for(Ticks span)
{
    if (span >= 2 * vsim::kTicksPerSecond) {
        return {vsim::kTicksPerSecond, "s"};
    }
    if (span >= 2 * vsim::kTicksPerMs) {
        return {vsim::kTicksPerMs, "ms"};
    }
    return {vsim::kTicksPerUs, "\xc2\xb5s"};
}

std::string format_in(Ticks time, const TimeUnit &unit, Ticks step)
{
    int decimals = 0;
    for (Ticks scaled = step; decimals < 7 && scaled % unit.ticks != 0; scaled *= 10) {
        ++decimals;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, static_cast<double>(time) / static_cast<double>(unit.ticks),
                  unit.name);
    return text;
}

std::string duration(Ticks time)
{
    if (time == 0) {
        return "0 ms";
    }
    const TimeUnit unit = time >= vsim::kTicksPerSecond ? TimeUnit{vsim::kTicksPerSecond, "s"}
                          : time >= vsim::kTicksPerMs   ? TimeUnit{vsim::kTicksPerMs, "ms"}
                                                        : TimeUnit{vsim::kTicksPerUs, "\xc2\xb5s"};
    char text[48];
    std::snprintf(text, sizeof text, "%.7g %s", static_cast<double>(time) / static_cast<double>(unit.ticks), unit.name);
    return text;
}

Ticks tick_step(Ticks span, int count)
{
    const double raw = static_cast<double>(span) / count;
    Ticks power = 1;
    while (static_cast<double>(power) * 10 <= raw) {
        power *= 10;
    }
    for (Ticks factor : {1, 2, 5, 10}) {
        if (static_cast<double>(factor * power) >= raw) {
            return factor * power;
        }
    }
    return 10 * power;
}

void draw_axis(std::ostream &out, const Scale &scale, double y, int ticks, double grid_top, std::optional<Ticks> origin)
{
    const Ticks span = scale.to - scale.from;
    const Ticks step = tick_step(span, ticks);
    const TimeUnit unit = unit_for(span);
    out << "<g class=\"axis\" font-size=\"12\">\n<line x1=\"" << number(scale.left) << "\" y1=\"" << number(y)
        << "\" x2=\"" << number(scale.left + scale.width) << "\" y2=\"" << number(y) << "\" stroke=\"black\"/>\n";
    const Ticks first = origin ? *origin : (scale.from + step - 1) / step * step;
    for (Ticks t = first; t <= scale.to; t += step) {
        const double x = scale.x(t);
        if (grid_top < y) {
            out << "<line x1=\"" << number(x) << "\" y1=\"" << number(grid_top) << "\" x2=\"" << number(x)
                << "\" y2=\"" << number(y) << "\" stroke=\"#e4e4e4\"/>";
        }
        out << "<line x1=\"" << number(x) << "\" y1=\"" << number(y) << "\" x2=\"" << number(x) << "\" y2=\""
            << number(y + 5) << "\" stroke=\"black\"/><text x=\"" << number(x) << "\" y=\"" << number(y + 18)
            << "\" text-anchor=\"middle\">" << (origin ? "+" + format_in(t - *origin, unit, step) : format_in(t, unit, step))
            << "</text>\n";
    }
    out << "</g>\n";
}

namespace {

constexpr double kTop = 88;  // the first lane

class Diagram {
public:
    Diagram(std::ostream &out, const Recording &recording, const SvgPicture &picture)
        : out_(out), recording_(recording), picture_(picture), scale_(window()), calls_(recording, picture, scale_)
    {
    }

    void write()
    {
        const double calls_top = kTop + 142;
        const double axis_y = calls_top + calls_.height() + 8;
        const bool dense = lines(calls_top);
        const double inset = dense ? draw_inset(lanes_, picture_, axis_y + 40) : 0;
        const double height = axis_y + 40 + (inset > 0 ? inset + 16 : 0);
        out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << number(kWidth) << " " << number(height)
             << "\" width=\"" << number(kWidth) << "\" height=\"" << number(height)
             << "\" font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"13\">\n"
             << "<title>vibra-sim: " << escape(recording_.scenario) << "</title>\n"
             << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
        heading();
        draw_axis(out_, scale_, axis_y, 10, kTop - 4);
        out_ << lanes_.str();
        calls_.draw(out_, calls_top, kTop);
        out_ << "</svg>\n";
    }

private:
    Scale window() const
    {
        const SvgWindow &window = picture_.window();
        Ticks to = window.to.value_or(std::max(recording_.end, window.from));
        if (to <= window.from) {
            to = window.from + vsim::kTicksPerMs;
        }
        return {window.from, to, kLeft, kPlotWidth};
    }

    void heading()
    {
        out_ << "<text x=\"12\" y=\"26\" font-size=\"17\" font-weight=\"bold\">vibra-sim: "
             << escape(recording_.scenario) << "</text>\n";
        std::string result;
        bool failed = true;
        if (!recording_.verifier_failures.empty()) {
            result = "FAILED: " + std::to_string(recording_.verifier_failures.size()) + " verifier finding(s) (exit 3)";
        } else if (!recording_.setup_failure.empty()) {
            result = "FAILED: set-up: " + recording_.setup_failure + (recording_.expectation_failures.empty()
                                                                  ? std::string(" (exit 1)")
                                                                  : "; " + expectations_text() + " (exit 1)");
        } else if (!recording_.expectation_failures.empty()) {
            result = "FAILED: " + expectations_text() + " (exit 1)";
        } else if (!recording_.warnings.empty()) {
            result = "passed, with " + std::to_string(recording_.warnings.size()) +
                     (recording_.warnings.size() == 1 ? " warning" : " warnings") + ": " + recording_.warnings.front();
        } else {
            result = "passed: every expectation held";
            failed = false;
        }
        out_ << "<text class=\"result " << (failed ? "failed" : "passed") << "\" x=\"12\" y=\"50\" font-weight=\"bold\" "
             << "fill=\"" << (failed ? "#d62728" : "#1d6b1d") << "\">" << escape(result) << "</text>\n"
             << "<text x=\"" << number(12 + 7.6 * static_cast<double>(result.size()) + 20)
             << "\" y=\"50\" fill=\"#444444\">" << escape(window_text()) << "</text>\n";
        CallsLane::legend(out_, kWidth - 630, 70);  // a row of its own, clear of a long headline
    }

    std::string expectations_text() const
    {
        const size_t count = recording_.expectation_failures.size();
        return std::to_string(count) + (count == 1 ? " expectation" : " expectations") + " did not hold";
    }

    std::string window_text() const
    {
        const TimeUnit unit = unit_for(scale_.to - scale_.from);
        const Ticks step = tick_step(scale_.to - scale_.from, 10);
        std::string text = "showing " + format_in(scale_.from, unit, step) + " to " + format_in(scale_.to, unit, step);
        if (picture_.window().from != 0 || picture_.window().to) {
            text += " of a " + duration(recording_.end) + " run";
        }
        return text;
    }

    void lane_name(double y, const char *text)
    {
        lanes_ << "<text class=\"lane-name\" x=\"12\" y=\"" << number(y) << "\" font-weight=\"bold\">" << text
               << "</text>\n";
    }

    // The enable and drive lines and the state; whether the drive was too
    // dense to draw step by step somewhere.
    bool lines(double calls_top)
    {
        lane_name(kTop + 24, kEnableLine);
        draw_line(lanes_, picture_, kEnableLine, scale_, recording_.end, kTop + 4, kTop + 32, "#1f77b4");
        lane_name(kTop + 70, kDriveLine);
        const bool dense =
            draw_line(lanes_, picture_, kDriveLine, scale_, recording_.end, kTop + 50, kTop + 78, "#d62728");
        lane_name(kTop + 114, "state");
        state_row(kTop + 96, 28);
        lanes_ << "<line x1=\"" << number(kLeft) << "\" y1=\"" << number(calls_top - 6) << "\" x2=\""
               << number(kLeft + kPlotWidth) << "\" y2=\"" << number(calls_top - 6) << "\" stroke=\"#cccccc\"/>\n";
        return dense;
    }

    // One box for each stretch of one state; changes closer than a pixel
    // share a grey box that counts them.
    void state_row(double top, double height)
    {
        static const char *const names[] = {"off", "on", "blink"};
        static const char *const colours[] = {"#eeeeee", "#a6dba0", "#fdd49e"};
        const std::vector<StateSample> changes = state_changes(recording_);
        const Ticks shown_end = std::min(recording_.end, scale_.to);
        const auto stop_of = [&](size_t k) {
            return std::min(k + 1 < changes.size() ? changes[k + 1].time : recording_.end, shown_end);
        };
        lanes_ << "<g class=\"state\">\n";
        for (size_t i = 0; i < changes.size() && changes[i].time < shown_end;) {
            if (stop_of(i) <= scale_.from) {
                ++i;
                continue;
            }
            const Ticks begin = std::max(changes[i].time, scale_.from);
            size_t last = i;
            // Boxes narrower than a pixel join their narrow neighbours.
            while (last + 1 < changes.size() && changes[last + 1].time < shown_end &&
                   scale_.x(stop_of(last)) - scale_.x(begin) < 1 &&
                   scale_.x(stop_of(last + 1)) - scale_.x(changes[last + 1].time) < 1) {
                ++last;
            }
            const Ticks stop = stop_of(last);
            const uint32_t state = changes[i].state;
            const bool mixed = last > i;
            const std::string name = mixed ? std::to_string(last - i + 1) + " changes"
                                     : state < 3 ? std::string(names[state]) + " (" + std::to_string(state) + ")"
                                                 : "state " + std::to_string(state);
            const double x0 = scale_.x(begin), x1 = scale_.x(stop);
            lanes_ << "<rect x=\"" << number(x0) << "\" y=\"" << number(top) << "\" width=\""
                   << number(std::max(0.5, x1 - x0)) << "\" height=\"" << number(height) << "\" fill=\""
                   << (mixed ? "#bbbbbb" : state < 3 ? colours[state] : "#cccccc")
                   << "\" stroke=\"#888888\" stroke-width=\"0.5\"><title>" << escape(name) << " from "
                   << duration(begin) << " to " << duration(stop) << "</title></rect>\n";
            if (x1 - x0 > 7.0 * static_cast<double>(name.size()) + 8) {
                lanes_ << "<text x=\"" << number(x0 + 5) << "\" y=\"" << number(top + height / 2 + 4.5) << "\">"
                       << escape(name) << "</text>\n";
            }
            i = last + 1;
        }
        lanes_ << "</g>\n";
    }

    std::ostream &out_;
    const Recording &recording_;
    const SvgPicture &picture_;
    Scale scale_;
    CallsLane calls_;
    std::ostringstream lanes_;
};

}  // namespace
}  // namespace vibra_tool::svg

namespace vibra_tool {

void write_svg(std::ostream &out, const Recording &recording, const SvgPicture &picture)
{
    svg::Diagram(out, recording, picture).write();
}

void write_svg(std::ostream &out, const Recording &recording, const Scenario *scenario, SvgWindow window)
{
    SvgPicture picture(2048, window);
    if (scenario) {
        picture.scenario(*scenario);
    }
    for (const LevelChange &change : recording.changes) {
        picture.change(change);
    }
    write_svg(out, recording, picture);
}

}  // namespace vibra_tool
