// SPDX-License-Identifier: MIT
// The digital lines of the SVG: steps where they can be told apart, and
// where they cannot, a band labelled with what the edges measure, its
// periods far from the usual one drawn as ticks.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "outputs/svg_draw.h"

namespace vibra_tool::svg {
namespace {

// A polyline built a point at a time.
class Trace {
public:
    void point(double x, double y)
    {
        points_ += points_.empty() ? "" : " ";
        points_ += number(x) + "," + number(y);
    }
    void flush(std::ostream &out, const char *colour)
    {
        if (!points_.empty()) {
            out << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1.4\" points=\"" << points_
                << "\"/>\n";
        }
        points_.clear();
    }

private:
    std::string points_;
};

// Period, duty and frequency of a stretch, from its rising edges.
struct Measure {
    Ticks period = 0;
    double duty = 0, hertz = 0;
};
// A stretch that ends high is measured from fall to fall, one that ends low
// from rise to rise: so the edge that ends it (a stop may leave the line at
// either level, after a pause of its own) does not count.
std::optional<Measure> measure(const SvgPicture::Bucket &stretch)
{
    const SvgPicture::Edges &edges = stretch.after ? stretch.falls : stretch.rises;
    if (edges.count < 2 || edges.last <= edges.first) {
        return std::nullopt;
    }
    const Ticks between = edges.last - edges.first;
    const double period = static_cast<double>(between) / (edges.count - 1);
    const double at_level = 100.0 * static_cast<double>(edges.middle) / static_cast<double>(between);
    Measure result;
    result.period = static_cast<Ticks>(std::llround(period));
    result.duty = stretch.after ? 100.0 - at_level : at_level;
    result.hertz = static_cast<double>(vsim::kTicksPerSecond) / period;
    return result;
}

std::string format(const char *pattern, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// A period of a stretch, from the edge it began at.
struct Period {
    Ticks at;
    Ticks length;
};

// The periods of a chain of buckets as far as the buckets keep them: each
// bucket's mean (counting as many periods as it holds), shortest and
// longest, and those from one bucket's last edge to the next one's first.
// Measured between the edges `measure` uses.
class Periods {
public:
    Periods(const std::vector<SvgPicture::Bucket> &buckets, size_t first, size_t last, bool falls)
    {
        std::optional<Ticks> previous;  // the last edge so far
        for (size_t k = first; k <= last; ++k) {
            const SvgPicture::Edges &edges = falls ? buckets[k].falls : buckets[k].rises;
            if (edges.count == 0) {
                continue;
            }
            if (previous) {
                add({*previous, edges.first - *previous}, 1, static_cast<double>(edges.first - *previous));
            }
            if (edges.count >= 2) {
                add({edges.shortest_at, edges.shortest}, edges.count - 1,
                    static_cast<double>(edges.last - edges.first) / (edges.count - 1));
                add({edges.longest_at, edges.longest}, 0, 0);
            }
            previous = edges.last;
        }
    }

    // The median period, weighing each bucket's mean by its periods.
    double median()
    {
        std::sort(means_.begin(), means_.end());
        uint64_t total = 0, seen = 0;
        for (const auto &[mean, count] : means_) {
            total += count;
        }
        for (const auto &[mean, count] : means_) {
            seen += count;
            if (2 * seen >= total) {
                return mean;
            }
        }
        return 0;
    }

    // The periods more than a quarter away from `median`, in time order.
    std::vector<Period> outliers(double median) const
    {
        std::vector<Period> far;
        for (const Period &period : periods_) {
            if (std::fabs(static_cast<double>(period.length) - median) > median / 4) {
                far.push_back(period);
            }
        }
        return far;
    }

private:
    void add(Period period, uint64_t count, double mean)
    {
        periods_.push_back(period);
        if (count) {
            means_.emplace_back(mean, count);
        }
    }
    std::vector<Period> periods_;
    std::vector<std::pair<double, uint64_t>> means_;
};

// A tick over the band for each period far from the median, one a pixel at
// most, each telling its length in a tooltip.
void outlier_ticks(std::ostream &out, const std::vector<Period> &outliers, Ticks median, const Scale &scale, double top,
                   double bottom)
{
    double drawn = -1;
    for (const Period &period : outliers) {
        const double x = scale.x(period.at + period.length / 2);
        if (drawn >= 0 && x - drawn < 1) {
            continue;
        }
        drawn = x;
        out << "<line class=\"outlier\" x1=\"" << number(x) << "\" y1=\"" << number(top - 4) << "\" x2=\"" << number(x)
            << "\" y2=\"" << number(bottom + 4) << "\" stroke=\"#000000\" stroke-width=\"1.5\"><title>period "
            << escape(duration(period.length)) << " from " << escape(duration(period.at)) << ", where most are "
            << escape(duration(median)) << "</title></line>";
    }
}

void band(std::ostream &out, const char *line, const SvgPicture::Bucket &stretch, Periods &periods, const Scale &scale,
          double x0, double x1, double top, double bottom, const char *colour)
{
    const std::optional<Measure> measured = measure(stretch);
    std::vector<Period> outliers;
    Ticks median = 0;
    std::string title = std::string(line) + " from " + duration(stretch.first) + " to " + duration(stretch.last) +
                        ": " + std::to_string(stretch.edges) + " edges, too dense to draw one by one";
    std::string text, short_text, tiny_text;
    if (measured) {
        const TimeUnit unit = unit_for(2 * measured->period);
        const double in_unit = static_cast<double>(measured->period) / static_cast<double>(unit.ticks);
        const std::string period = format("%.3g ", in_unit) + unit.name;
        const std::string duty = format("%.1f %%", measured->duty);
        // Each period of the drive is two of its steps (high and low).
        const SvgPicture::Edges &edges = stretch.after ? stretch.falls : stretch.rises;
        const std::string count = std::to_string(edges.count - 1) + (edges.count == 2 ? " period" : " periods");
        const auto in = [&unit](Ticks time) {
            return format("%.3g", static_cast<double>(time) / static_cast<double>(unit.ticks));
        };
        // The shortest and longest too, so that a glitch is not averaged away.
        const std::string range = edges.shortest == edges.longest
                                      ? "all " + in(edges.shortest) + " " + unit.name
                                      : in(edges.shortest) + " to " + in(edges.longest) + " " + unit.name;
        text = "period " + period + " \xc2\xb7 duty " + duty + " \xc2\xb7 " + format("%.4g Hz", measured->hertz) +
               " \xc2\xb7 " + count + ", " + range;
        short_text = period + ", " + duty + " (" + range + ")";
        tiny_text = period;
        median = static_cast<Ticks>(std::llround(periods.median()));
        outliers = periods.outliers(static_cast<double>(median));
        title += "; measured from its edges: period " + format("%.5g ", in_unit) + unit.name + ", duty " +
                 format("%.2f %%", measured->duty) + ", " + format("%.5g Hz", measured->hertz) + ", averaged over " +
                 count + " (from " + std::to_string(edges.count) + (stretch.after ? " falling" : " rising") +
                 " edges); the shortest " + duration(edges.shortest) + " from " + duration(edges.shortest_at) +
                 ", the longest " + duration(edges.longest) + " from " + duration(edges.longest_at) + "; " +
                 std::to_string(outliers.size()) + " more than a quarter away from the median " + duration(median) +
                 (outliers.empty() ? "" : ", drawn as ticks");
    }
    out << "<g class=\"envelope\"><title>" << escape(title) << "</title><rect x=\"" << number(x0) << "\" y=\""
        << number(top) << "\" width=\"" << number(std::max(1.0, x1 - x0)) << "\" height=\"" << number(bottom - top)
        << "\" fill=\"" << colour << "\" fill-opacity=\"0.22\" stroke=\"" << colour << "\" stroke-width=\"1.4\"/>";
    const double width = x1 - x0;
    const auto fits = [width](const std::string &candidate) {
        return 7.0 * static_cast<double>(candidate.size()) < width - 8;
    };
    const std::string shown = fits(text) ? text : fits(short_text) ? short_text : fits(tiny_text) ? tiny_text : "";
    if (!shown.empty()) {
        out << "<text x=\"" << number((x0 + x1) / 2) << "\" y=\"" << number((top + bottom) / 2 + 4.5)
            << "\" text-anchor=\"middle\" font-size=\"13\" fill=\"#222222\">" << escape(shown) << "</text>";
    }
    outlier_ticks(out, outliers, median, scale, top, bottom);
    out << "</g>\n";
}

// The steps of `edges` from `level` on, between a and b.
void steps(Trace &trace, const std::vector<Edge> &edges, int level, const Scale &scale, double top, double bottom)
{
    trace.point(scale.x(scale.from), level ? top : bottom);
    for (const Edge &edge : edges) {
        if (edge.time < scale.from || edge.time > scale.to) {
            continue;
        }
        trace.point(scale.x(edge.time), level ? top : bottom);
        level = edge.value;
        trace.point(scale.x(edge.time), level ? top : bottom);
    }
    trace.point(scale.x(scale.to), level ? top : bottom);
}

}  // namespace

bool draw_line(std::ostream &out, const SvgPicture &picture, const char *line, const Scale &scale, Ticks end,
               double top, double bottom, const char *colour)
{
    const std::vector<SvgPicture::Bucket> &buckets = picture.buckets(line);
    int level = picture.level_at_start(line);
    const auto y = [&](int value) { return value ? top : bottom; };
    out << "<g class=\"line\" id=\"" << line << "\">\n"
        << "<line x1=\"" << number(scale.x(scale.from)) << "\" y1=\"" << number(bottom) << "\" x2=\""
        << number(scale.x(scale.to)) << "\" y2=\"" << number(bottom) << "\" stroke=\"#dddddd\"/>\n";
    Trace trace;
    trace.point(scale.x(scale.from), y(level));
    bool dense = false;
    for (size_t i = 0; i < buckets.size();) {
        // The chain of buckets, each closer than a few pixels to the next.
        SvgPicture::Bucket chain = buckets[i];
        size_t j = i;
        while (j + 1 < buckets.size() && scale.x(buckets[j + 1].first) - scale.x(buckets[j].last) < kDenseStep) {
            chain = SvgPicture::merge(chain, buckets[++j]);
        }
        if (chain.edges >= 4) {
            const double x0 = scale.x(chain.first);
            const double x1 = std::max(scale.x(chain.last), x0 + 1);
            trace.point(x0, y(level));
            trace.flush(out, colour);
            Periods periods(buckets, i, j, chain.after != 0);
            band(out, line, chain, periods, scale, x0, x1, top, bottom, colour);
            level = chain.after;
            trace.point(x1, y(level));
            dense = true;
        } else {
            for (size_t k = i; k <= j; ++k) {
                const SvgPicture::Bucket &bucket = buckets[k];
                const double first = scale.x(bucket.first);
                trace.point(first, y(level));
                if (bucket.edges > 1) {
                    // Several edges at one instant or within a pixel: a
                    // block between both levels.
                    const double last = scale.x(bucket.last);
                    trace.point(first, top);
                    trace.point(first, bottom);
                    trace.point(last, bottom);
                    trace.point(last, top);
                    trace.point(last, y(bucket.after));
                } else {
                    trace.point(first, y(bucket.after));
                }
                level = bucket.after;
            }
        }
        i = j + 1;
    }
    trace.point(scale.x(std::clamp(end, scale.from, scale.to)), y(level));
    trace.flush(out, colour);
    out << "</g>\n";
    return dense;
}

double draw_inset(std::ostream &out, const SvgPicture &picture, double top)
{
    const std::vector<Edge> &drive = picture.first_edges(kDriveLine);
    if (drive.size() < 6) {
        return 0;
    }
    const size_t shown = std::min<size_t>(drive.size(), 13);
    const Ticks first = drive.front().time, last = drive[shown - 1].time;
    const Ticks pad = std::max<Ticks>((last - first) / 12, 1);
    const Scale scale{first - pad, last + pad, kLeft, kPlotWidth};
    constexpr double kHeight = 118;
    out << "<g class=\"inset\">\n<rect x=\"" << number(kLeft - 6) << "\" y=\"" << number(top) << "\" width=\""
        << number(kPlotWidth + 12) << "\" height=\"" << number(kHeight)
        << "\" fill=\"#fafafa\" stroke=\"#999999\" stroke-dasharray=\"4,3\"/>\n"
        << "<text x=\"12\" y=\"" << number(top + 18) << "\" font-weight=\"bold\">zoom</text>\n"
        << "<text x=\"" << number(kLeft) << "\" y=\"" << number(top + 18)
        << "\">the first steps of the drive, from its first edge at " << escape(duration(first)) << "</text>\n";
    // The enable line where its first edges cover the inset.
    const std::vector<Edge> &enable = picture.first_edges(kEnableLine);
    const double rows[2][2] = {{top + 30, top + 48}, {top + 58, top + 76}};
    if (enable.size() < SvgPicture::kInsetEdges || enable.back().time >= scale.to) {
        int level = picture.level_at_start(kEnableLine);
        for (const Edge &edge : enable) {
            if (edge.time <= scale.from) {
                level = edge.value;
            }
        }
        Trace trace;
        steps(trace, enable, level, scale, rows[0][0], rows[0][1]);
        out << "<text x=\"12\" y=\"" << number(rows[0][1] - 3) << "\" font-size=\"12\">enable</text>\n";
        trace.flush(out, "#1f77b4");
    }
    Trace trace;
    steps(trace, std::vector<Edge>(drive.begin(), drive.begin() + static_cast<long>(shown)), !drive.front().value,
          scale, rows[1][0], rows[1][1]);
    out << "<text x=\"12\" y=\"" << number(rows[1][1] - 3) << "\" font-size=\"12\">drive</text>\n";
    trace.flush(out, "#d62728");
    draw_axis(out, scale, top + 86, 10, rows[0][0] - 4, first);
    out << "</g>\n";
    return kHeight;
}

}  // namespace vibra_tool::svg
