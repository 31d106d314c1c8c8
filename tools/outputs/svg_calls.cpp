// SPDX-License-Identifier: MIT
// The calls lane of the SVG: a marker for every call, check and fault command
// in the window, its shape and colour saying how it went, its tooltip the
// scenario line and the result; and one for every armed fault taking effect.
#include <algorithm>
#include <cmath>
#include <map>

#include "scenario/status.h"
#include "outputs/svg_draw.h"

namespace vibra_tool::svg {
namespace {

constexpr double kLaneHeight = 15;
constexpr int kMaxLanes = 8;
constexpr size_t kMaxMarkers = 1500;  // beyond: one marker per 2 px, the worst result shown
constexpr double kCharWidth = 6.1;    // average width of an 11-pixel character
constexpr size_t kMaxLabel = 44;

struct Look {
    const char *colour;
    const char *name;
};
constexpr Look kLooks[] = {
    {"#2ca02c", "pass"},    {"#e69f00", "expected failure"}, {"#d62728", "unexpected failure"},
    {"#8c8c8c", "skipped"}, {"#555555", "fault armed"},      {"#7b3294", "fault taken"},
};
static_assert(std::size(kLooks) == CallsLane::kResults);

// How bad a result is: a shared marker shows its worst, drawn last.
constexpr int kSeverity[] = {0, 3, 4, 1, 0, 2};

// A circle, a diamond, a downward triangle, a hollow circle, a hollow square,
// a lightning bolt: told apart without the colour too.
void shape(std::ostream &out, CallsLane::Result result, double x, double y)
{
    const char *colour = kLooks[result].colour;
    switch (result) {
    case CallsLane::Pass:
        out << "<circle cx=\"" << number(x) << "\" cy=\"" << number(y) << "\" r=\"4.5\" fill=\"" << colour << "\"/>";
        break;
    case CallsLane::Expected:
        out << "<path d=\"M" << number(x) << " " << number(y - 6) << " l6 6 l-6 6 l-6 -6 z\" fill=\"" << colour
            << "\"/>";
        break;
    case CallsLane::Unexpected:
        out << "<path d=\"M" << number(x - 6.5) << " " << number(y - 5) << " h13 l-6.5 11 z\" fill=\"" << colour
            << "\" stroke=\"#7f0000\" stroke-width=\"0.8\"/>";
        break;
    case CallsLane::Skipped:
        out << "<circle cx=\"" << number(x) << "\" cy=\"" << number(y) << "\" r=\"4\" fill=\"white\" stroke=\""
            << colour << "\" stroke-width=\"1.5\"/>";
        break;
    case CallsLane::Armed:
        out << "<rect x=\"" << number(x - 4) << "\" y=\"" << number(y - 4)
            << "\" width=\"8\" height=\"8\" fill=\"#ffffff\" stroke=\"" << colour << "\" stroke-width=\"1.5\"/>";
        break;
    case CallsLane::Fault:
        out << "<path d=\"M" << number(x - 2) << " " << number(y - 7) << " l-4 8 h4 l-1 6 l6 -9 h-4 l2 -5 z\" fill=\""
            << colour << "\"/>";
        break;
    }
}

bool skipped(const CallRecord &call)
{
    return std::any_of(call.notes.begin(), call.notes.end(),
                       [](const std::string &note) { return note.rfind("skipped: ", 0) == 0; });
}

}  // namespace

const char *result_class(CallsLane::Result result)
{
    static const char *const names[] = {"pass", "expected", "unexpected", "skipped", "armed", "fault"};
    return names[result];
}

CallsLane::CallsLane(const Recording &recording, const SvgPicture &picture, const Scale &scale)
{
    gather(recording, picture, scale);
    lay_out_labels();
}

void CallsLane::gather(const Recording &recording, const SvgPicture &picture, const Scale &scale)
{
    for (const CallRecord &call : recording.calls) {
        const SvgPicture::LineInfo *info = call.line ? picture.line_info(call.line) : nullptr;
        if (call.time < scale.from || call.time > scale.to ||
            (info && (info->kind == CommandKind::Wait || info->kind == CommandKind::End))) {
            continue;
        }
        Result result = Pass;
        std::string outcome;
        if (call.status) {
            const std::string_view name = status_name(*call.status);
            outcome = name.empty() ? describe_status(*call.status) : std::string(name);
        }
        if (call.failed_expectation) {
            result = Unexpected;
        } else if (call.status && *call.status < 0) {
            result = info && info->expects_status ? Expected : Unexpected;
        } else if (skipped(call)) {
            result = Skipped;
        } else if (info && info->kind == CommandKind::Fault) {
            result = Armed;  // neither a pass nor a failure: what it does shows where it takes effect
        }
        std::string title = (call.line ? "line " + std::to_string(call.line) : std::string("set-up")) + ", " +
                            duration(call.time) + ": " + call.text;
        if (!outcome.empty()) {
            title += " \xe2\x86\x92 " + outcome;  // an arrow
        }
        title += std::string(" (") + kLooks[result].name + ")";
        for (const std::string &note : call.notes) {
            title += "\n" + note;
        }
        std::string label = call.text.size() > kMaxLabel ? call.text.substr(0, kMaxLabel - 3) + "..." : call.text;
        if (!outcome.empty()) {
            label += ": " + outcome;
        }
        markers_.push_back({scale.x(call.time), result, std::move(title), std::move(label)});
    }
    gather_faults(recording, picture, scale);
    if (markers_.size() > kMaxMarkers) {
        group(scale);
    }
}

// A marker where each armed fault took effect, naming the operation, its call
// number and the line that armed it; in time order with the calls.
void CallsLane::gather_faults(const Recording &recording, const SvgPicture &picture, const Scale &scale)
{
    if (recording.faults.empty()) {
        return;
    }
    std::map<int, const std::string *> armed_by;
    for (const CallRecord &call : recording.calls) {
        const SvgPicture::LineInfo *info = call.line ? picture.line_info(call.line) : nullptr;
        if (info && info->kind == CommandKind::Fault) {
            armed_by.emplace(call.line, &call.text);
        }
    }
    for (const FaultRecord &fault : recording.faults) {
        if (fault.time < scale.from || fault.time > scale.to) {
            continue;
        }
        const std::string_view name = status_name(fault.status);
        const std::string status = name.empty() ? describe_status(fault.status) : std::string(name);
        std::string title = "fault taken, " + duration(fault.time) + ": " + fault.op + " call " +
                            std::to_string(fault.call) + " \xe2\x86\x92 " + status + "\narmed by ";
        if (fault.armed_line == 0) {
            title += "no scenario line";
        } else {
            title += "line " + std::to_string(fault.armed_line);
            const auto text = armed_by.find(fault.armed_line);
            title += text == armed_by.end() ? std::string() : ": " + *text->second;
        }
        if (!fault.during.empty()) {
            title += "\nduring " +
                     (fault.during_line ? "line " + std::to_string(fault.during_line) + ": " : std::string()) +
                     fault.during;
        }
        std::string label = fault.op + " call " + std::to_string(fault.call) + " failed";
        if (label.size() > kMaxLabel) {
            label = label.substr(0, kMaxLabel - 3) + "...";
        }
        markers_.push_back({scale.x(fault.time), Fault, std::move(title), std::move(label)});
    }
    std::stable_sort(markers_.begin(), markers_.end(), [](const Marker &a, const Marker &b) { return a.x < b.x; });
}

void CallsLane::group(const Scale &scale)
{
    // Too many to draw one by one: one marker for each 2 px, showing the
    // worst of its calls, its tooltip counting them.
    std::vector<Marker> grouped;
    size_t first = 0;
    while (first < markers_.size()) {
        const double column = std::floor((markers_[first].x - scale.left) / 2);
        size_t end = first;
        int counts[kResults] = {};
        Result worst = markers_[first].result;
        const Marker *example = &markers_[first];
        while (end < markers_.size() && std::floor((markers_[end].x - scale.left) / 2) == column) {
            const Result result = markers_[end].result;
            ++counts[result];
            if (kSeverity[result] > kSeverity[worst]) {
                example = &markers_[end];
                worst = result;
            }
            ++end;
        }
        std::string title = std::to_string(end - first) + " markers:";
        for (int r = 0; r < kResults; ++r) {
            if (counts[r]) {
                title += " " + std::to_string(counts[r]) + " " + kLooks[r].name + ",";
            }
        }
        title.back() = '\n';
        title += "such as " + example->title;
        grouped.push_back({markers_[first].x, worst, std::move(title), {}});
        first = end;
    }
    // One row, the worst drawn last, on top.
    std::stable_sort(grouped.begin(), grouped.end(),
                     [](const Marker &a, const Marker &b) { return kSeverity[a.result] < kSeverity[b.result]; });
    markers_ = std::move(grouped);
    grouped_ = true;
}

// Each marker with its label goes into the first lane where neither overlaps
// what is there already; labels that fit nowhere are dropped (the tooltip
// stays), and markers that fit nowhere share a last row.
void CallsLane::lay_out_labels()
{
    std::vector<double> lane_ends;
    const double right = kLeft + kPlotWidth + 40;
    bool overflow = false;
    const auto find_lane = [&lane_ends](double begin, double end) -> int {
        size_t lane = 0;
        while (lane < lane_ends.size() && lane_ends[lane] > begin - 5) {
            ++lane;
        }
        if (lane == lane_ends.size()) {
            if (lane_ends.size() == kMaxLanes) {
                return -1;
            }
            lane_ends.push_back(0);
        }
        lane_ends[lane] = end;
        return static_cast<int>(lane);
    };
    if (grouped_) {
        lanes_ = 1;
        return;
    }
    for (Marker &marker : markers_) {
        int lane = -1;
        if (!marker.label.empty()) {
            const double width = kCharWidth * static_cast<double>(marker.label.size());
            marker.label_x = marker.x + 9 + width <= right ? marker.x + 9 : marker.x - 9 - width;
            lane = find_lane(std::min(marker.label_x, marker.x - 6), std::max(marker.label_x + width, marker.x + 6));
            if (lane < 0) {
                marker.label.clear();
            }
        }
        if (lane < 0) {
            lane = find_lane(marker.x - 6, marker.x + 6);
        }
        if (lane < 0) {
            overflow = true;
            lane = kMaxLanes;
        }
        marker.lane = lane;
    }
    lanes_ = std::max<int>(1, static_cast<int>(lane_ends.size()));
    if (overflow) {
        for (Marker &marker : markers_) {
            marker.lane = std::min(marker.lane, lanes_);
        }
        ++lanes_;
    }
}

double CallsLane::height() const { return 14 + kLaneHeight * lanes_; }

void CallsLane::draw(std::ostream &out, double top, double lines_top) const
{
    out << "<text class=\"lane-name\" x=\"12\" y=\"" << number(top + 14) << "\">calls</text>\n"
        << "<g class=\"calls\">\n";
    for (const Marker &marker : markers_) {
        const double y = top + 10 + kLaneHeight * marker.lane;
        const char *colour = kLooks[marker.result].colour;
        out << "<g class=\"call " << result_class(marker.result) << "\"><title>" << escape(marker.title)
            << "</title>";
        if (!marker.label.empty() || marker.result == Unexpected) {
            // A thin rule up through the lines, to read what they did then.
            out << "<line class=\"request\" x1=\"" << number(marker.x) << "\" y1=\"" << number(lines_top)
                << "\" x2=\"" << number(marker.x) << "\" y2=\"" << number(y) << "\" stroke=\"" << colour
                << "\" stroke-dasharray=\"3,3\" stroke-width=\"0.7\" opacity=\"0.7\"/>";
        }
        shape(out, marker.result, marker.x, y);
        if (!marker.label.empty()) {
            out << "<text x=\"" << number(marker.label_x) << "\" y=\"" << number(y + 4)
                << "\" font-size=\"11\" fill=\"" << (marker.result == Pass ? "#1d6b1d" : colour) << "\">"
                << escape(marker.label) << "</text>";
        }
        out << "</g>\n";
    }
    out << "</g>\n";
}

void CallsLane::legend(std::ostream &out, double x, double y)
{
    out << "<g class=\"legend\" font-size=\"12\">\n";
    for (int r = 0; r < kResults; ++r) {
        shape(out, static_cast<Result>(r), x, y);
        out << "<text x=\"" << number(x + 10) << "\" y=\"" << number(y + 4) << "\">" << kLooks[r].name
            << "</text>\n";
        x += 24 + 7 * static_cast<double>(std::string_view(kLooks[r].name).size());
    }
    out << "</g>\n";
}

}  // namespace vibra_tool::svg
