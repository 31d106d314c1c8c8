// SPDX-License-Identifier: MIT
// What the SVG gathers as the run streams: bounded, whatever its length.
#include <algorithm>

#include "scenario/parse.h"
#include "outputs/svg.h"

namespace vibra_tool {

bool parse_svg_window(const std::string &from, const std::string &to, SvgWindow &window, std::string &error)
{
    const auto parse = [&error](const char *option, const std::string &text, Ticks &time) {
        try {
            time = parse_time(text);
            return true;
        } catch (const LineError &bad) {
            error = std::string(option) + " " + quote(text) + ": " + bad.message;
            return false;
        }
    };
    window = {};
    if (!from.empty() && !parse("--from", from, window.from)) {
        return false;
    }
    if (!to.empty()) {
        Ticks end = 0;
        if (!parse("--to", to, end)) {
            return false;
        }
        if (end <= window.from) {
            error = "--to " + quote(to) + " is not after --from " + quote(from.empty() ? "0ms" : from) +
                    "; expected a window such as --from 2s --to 3s";
            return false;
        }
        window.to = end;
    }
    return true;
}

namespace {

// `earlier` and `later` of the edges to `level`; `gap` is the time between
// the buckets, spent at `level` or not.
// The shortest and longest period of `into` widened by those of `from`.
void widen(SvgPicture::Edges &into, const SvgPicture::Edges &from)
{
    if (from.count < 2) {
        return;
    }
    if (from.shortest < into.shortest) {
        into.shortest = from.shortest;
        into.shortest_at = from.shortest_at;
    }
    if (from.longest > into.longest) {
        into.longest = from.longest;
        into.longest_at = from.longest_at;
    }
}

SvgPicture::Edges merge_edges(const SvgPicture::Edges &earlier, const SvgPicture::Edges &later, Ticks gap)
{
    SvgPicture::Edges merged = later;
    merged.count = earlier.count + later.count;
    if (earlier.count && later.count) {
        merged.first = earlier.first;
        merged.head = earlier.head;
        merged.middle = earlier.middle + earlier.tail + gap + later.head + later.middle;
        // The period from the earlier's last edge to the later's first.
        merged.shortest = merged.longest = later.first - earlier.last;
        merged.shortest_at = merged.longest_at = earlier.last;
        widen(merged, earlier);
        widen(merged, later);
    } else if (earlier.count) {
        merged = earlier;
        merged.tail = earlier.tail + gap + later.head;
    } else {
        merged.head = earlier.head + gap + later.head;
    }
    return merged;
}

}  // namespace

SvgPicture::Bucket SvgPicture::merge(const Bucket &earlier, const Bucket &later)
{
    Bucket merged = later;
    merged.first = earlier.first;
    merged.edges = earlier.edges + later.edges;
    // Between the two the line held the level the earlier one left.
    const Ticks gap = later.first - earlier.last;
    merged.rises = merge_edges(earlier.rises, later.rises, earlier.after ? gap : 0);
    merged.falls = merge_edges(earlier.falls, later.falls, earlier.after ? 0 : gap);
    return merged;
}

void SvgPicture::change(const LevelChange &change)
{
    if (change.line == kEnableLine) {
        add(enable_, change.time, change.value);
    } else if (change.line == kDriveLine) {
        add(drive_, change.time, change.value);
    }
}

void SvgPicture::add(Line &line, Ticks time, int value)
{
    if (value == line.level) {
        return;
    }
    line.level = value;
    if (time < window_.from) {
        line.start_level = value;
        return;
    }
    if (window_.to && time > *window_.to) {
        return;
    }
    if (line.first.size() < kInsetEdges) {
        line.first.push_back({time, value});
    }
    Bucket edge{time, time, 1, value, {}, {}};
    (value ? edge.rises : edge.falls) = {1, time, time, 0, 0, 0};
    std::vector<Bucket> &buckets = line.buckets;
    const Ticks offset = time - window_.from;
    if (!buckets.empty() && (buckets.back().first - window_.from) / line.width == offset / line.width) {
        buckets.back() = merge(buckets.back(), edge);
        return;
    }
    buckets.push_back(edge);
    while (buckets.size() > capacity_) {
        // Twice as wide: neighbours that now share a bucket merge.
        line.width *= 2;
        size_t kept = 0;
        for (size_t i = 1; i < buckets.size(); ++i) {
            Bucket &into = buckets[kept];
            if ((into.first - window_.from) / line.width == (buckets[i].first - window_.from) / line.width) {
                into = merge(into, buckets[i]);
            } else {
                buckets[++kept] = buckets[i];
            }
        }
        buckets.resize(kept + 1);
    }
}

void SvgPicture::scenario(const Scenario &scenario)
{
    lines_.clear();
    for (const Command &command : scenario.commands) {
        lines_.push_back({command.line, command.kind, command.expect_status.has_value(), command.time});
    }
    std::sort(lines_.begin(), lines_.end(), [](const LineInfo &a, const LineInfo &b) { return a.line < b.line; });
}

const SvgPicture::LineInfo *SvgPicture::line_info(int line) const
{
    const auto found = std::lower_bound(lines_.begin(), lines_.end(), line,
                                        [](const LineInfo &info, int wanted) { return info.line < wanted; });
    return found != lines_.end() && found->line == line ? &*found : nullptr;
}

const std::vector<SvgPicture::Bucket> &SvgPicture::buckets(std::string_view name) const { return line(name).buckets; }

int SvgPicture::level_at_start(std::string_view name) const { return line(name).start_level; }

const std::vector<Edge> &SvgPicture::first_edges(std::string_view name) const { return line(name).first; }

}  // namespace vibra_tool
