// SPDX-License-Identifier: MIT
// The SVG timing diagram: what it gathers as a run streams (a bounded picture
// of the lines inside the chosen time window) and the writer that draws it
// with the state and the calls once the run is over.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "player/recording.h"
#include "scenario/scenario.h"

namespace vibra_tool {

struct Edge {
    Ticks time;
    int value;
};

// The stretch of the run the diagram shows; without `to`, up to its end.
struct SvgWindow {
    Ticks from = 0;
    std::optional<Ticks> to;
};

// "--from 2s" and "--to 150ms" in the scenario's time syntax; false with
// *error when a time is bad or the window is empty.
bool parse_svg_window(const std::string &from, const std::string &to, SvgWindow &window, std::string &error);

// The lines as the SVG draws them: each line's edges inside the window in at
// most `capacity` buckets; while there is room a bucket holds the edges of
// one instant, and when there is not, neighbouring buckets merge (their width
// doubles). A bucket keeps what the period and duty of its stretch need.
class SvgPicture {
public:
    explicit SvgPicture(size_t capacity = 2048, SvgWindow window = {}) : capacity_(capacity), window_(window) {}
    void change(const LevelChange &change);
    // What the calls lane needs of the scenario: each line's command and
    // whether it expects a status.
    void scenario(const Scenario &scenario);

    // The edges to one level (rises: to 1) in a bucket, and the time the
    // line spent at that level from the bucket's first edge to the first of
    // them (to its last edge when there is none), from the first to the last
    // of them, and from the last to the bucket's last edge. With two edges
    // or more: the shortest and the longest time from one of them to the
    // next (a period), and the edge each began at.
    struct Edges {
        uint32_t count = 0;
        Ticks first = 0, last = 0;
        Ticks head = 0, middle = 0, tail = 0;
        Ticks shortest = 0, longest = 0;
        Ticks shortest_at = 0, longest_at = 0;
    };
    struct Bucket {
        Ticks first, last;  // first and last edge in it
        uint32_t edges;
        int after;  // the level after its last edge
        Edges rises, falls;
    };
    static Bucket merge(const Bucket &earlier, const Bucket &later);

    const std::vector<Bucket> &buckets(std::string_view line) const;
    // The level at the window's start.
    int level_at_start(std::string_view line) const;
    // The first edges inside the window, for the zoomed inset.
    const std::vector<Edge> &first_edges(std::string_view line) const;
    const SvgWindow &window() const { return window_; }

    struct LineInfo {
        int line;
        CommandKind kind;
        bool expects_status;
        Ticks time;
    };
    const LineInfo *line_info(int line) const;

    static constexpr size_t kInsetEdges = 24;

private:
    struct Line {
        int level = 0;
        int start_level = 0;
        Ticks width = 1;
        std::vector<Bucket> buckets;
        std::vector<Edge> first;
    };
    void add(Line &line, Ticks time, int value);
    const Line &line(std::string_view name) const { return name == kEnableLine ? enable_ : drive_; }

    size_t capacity_;
    SvgWindow window_;
    Line enable_, drive_;
    std::vector<LineInfo> lines_;
};

// A self-contained SVG timing diagram: the lines from `picture`, the state
// and the calls from `recording`.
void write_svg(std::ostream &out, const Recording &recording, const SvgPicture &picture);
void write_svg(std::ostream &out, const Recording &recording, const Scenario *scenario = nullptr,
               SvgWindow window = {});

}  // namespace vibra_tool
