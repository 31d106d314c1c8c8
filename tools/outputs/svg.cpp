#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "scenario.h"
#include "status.h"
#include "waveforms.h"

namespace vibra_tool {
namespace {

constexpr double kLeft = 90;     // label column
constexpr double kPlotWidth = 1100;
constexpr double kRowHeight = 46;
constexpr double kTop = 40;
constexpr double kLaneHeight = 13;   // one row of call labels
constexpr double kCharWidth = 5.6;   // average width of a 10-pixel character
constexpr size_t kMaxCallText = 48;  // long hex payloads are cut

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
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

class Diagram {
public:
    Diagram(std::ostream &out, const Recording &recording, const SvgPicture &picture)
        : out_(out), recording_(recording), picture_(picture), span_(std::max<Ticks>(recording.end, vsim::kTicksPerMs))
    {
    }

    void write()
    {
        lay_out_labels();
        const double height = kTop + 3 * kRowHeight + calls_height() + 40;
        out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << number(kLeft + kPlotWidth + 30)
             << "\" height=\"" << number(height) << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
             << "<title>vibra-sim: " << escape(recording_.scenario) << "</title>\n"
             << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
             << "<text x=\"10\" y=\"22\" font-size=\"15\" font-weight=\"bold\">vibra-sim: "
             << escape(recording_.scenario) << "</text>\n";
        digital_row(kEnableLine, 0, "#1f77b4");
        digital_row(kDriveLine, 1, "#d62728");
        state_row(2);
        calls(kTop + 3 * kRowHeight);
        axis(kTop + 3 * kRowHeight + calls_height());
        out_ << "</svg>\n";
    }

private:
    double x(Ticks time) const { return kLeft + kPlotWidth * static_cast<double>(time) / static_cast<double>(span_); }

    void label(double y, const char *text)
    {
        out_ << "<text x=\"10\" y=\"" << number(y) << "\" font-weight=\"bold\">" << text << "</text>\n";
    }

    void digital_row(const std::string &line, int row, const char *colour)
    {
        const double top = kTop + row * kRowHeight + 8;
        const double bottom = top + kRowHeight - 16;
        label((top + bottom) / 2 + 4, line.c_str());
        std::string points = number(x(0)) + "," + number(bottom);
        double level_y = bottom;
        const auto point = [&points](double px, double py) { points += " " + number(px) + "," + number(py); };
        for (const SvgPicture::Bucket &bucket : picture_.buckets(line)) {
            const double first_x = x(bucket.first);
            const double new_y = bucket.after ? top : bottom;
            point(first_x, level_y);
            if (bucket.edges > 1) {
                // Several edges in one bucket: a block from its first edge
                // to its last, between both levels.
                const double last_x = x(bucket.last);
                point(first_x, top);
                point(first_x, bottom);
                point(last_x, bottom);
                point(last_x, top);
                point(last_x, new_y);
            } else {
                point(first_x, new_y);
            }
            level_y = new_y;
        }
        points += " " + number(x(span_)) + "," + number(level_y);
        out_ << "<g class=\"line\" id=\"" << line << "\">\n"
             << "<line x1=\"" << number(kLeft) << "\" y1=\"" << number(bottom) << "\" x2=\"" << number(x(span_))
             << "\" y2=\"" << number(bottom) << "\" stroke=\"#dddddd\"/>\n"
             << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"1.2\" points=\"" << points
             << "\"/>\n</g>\n";
    }

    void state_row(int row)
    {
        const double top = kTop + row * kRowHeight + 10;
        const double height = kRowHeight - 20;
        label(top + height / 2 + 4, "state");
        static const char *const names[] = {"off", "on", "blink"};
        static const char *const colours[] = {"#eeeeee", "#a6dba0", "#fdd49e"};
        const std::vector<StateSample> changes = state_changes(recording_);
        out_ << "<g class=\"state\">\n";
        for (size_t i = 0; i < changes.size(); ++i) {
            const Ticks begin = changes[i].time;
            const Ticks end = i + 1 < changes.size() ? changes[i + 1].time : span_;
            const uint32_t state = changes[i].state;
            const char *name = state < 3 ? names[state] : "?";
            out_ << "<rect x=\"" << number(x(begin)) << "\" y=\"" << number(top) << "\" width=\""
                 << number(std::max(0.5, x(end) - x(begin))) << "\" height=\"" << number(height) << "\" fill=\""
                 << (state < 3 ? colours[state] : "#cccccc") << "\" stroke=\"#888888\" stroke-width=\"0.5\"/>\n";
            if (x(end) - x(begin) > 40) {
                out_ << "<text x=\"" << number(x(begin) + 4) << "\" y=\"" << number(top + height / 2 + 4) << "\">"
                     << name << " (" << state << ")</text>\n";
            }
        }
        out_ << "</g>\n";
    }

    // Each call's label goes into the first lane where it does not overlap
    // an earlier label, so that calls close in time stay readable.
    struct Label {
        const CallRecord *call;
        std::string text;
        double x;  // where the text starts
        int lane;
    };

    void lay_out_labels()
    {
        std::vector<double> lane_ends;
        const double right = kLeft + kPlotWidth + 20;
        for (const CallRecord &call : recording_.calls) {
            if (!call.status) {
                continue;
            }
            const std::string_view name = status_name(*call.status);
            std::string call_text = call.text;
            if (call_text.size() > kMaxCallText) {
                call_text = call_text.substr(0, kMaxCallText - 3) + "...";
            }
            std::string text = call_text + ": " + (name.empty() ? describe_status(*call.status) : std::string(name));
            const double width = kCharWidth * static_cast<double>(text.size());
            const double start = std::min(x(call.time) + 3, right - width);
            size_t lane = 0;
            while (lane < lane_ends.size() && lane_ends[lane] > start - 4) {
                ++lane;
            }
            if (lane == lane_ends.size()) {
                lane_ends.push_back(0);
            }
            lane_ends[lane] = start + width;
            labels_.push_back({&call, std::move(text), start, static_cast<int>(lane)});
        }
        lanes_ = static_cast<int>(lane_ends.size());
    }

    double calls_height() const { return 24 + kLaneHeight * lanes_; }

    // A marker for each class-extension call, with its name and status.
    void calls(double top)
    {
        label(top + 16, "calls");
        out_ << "<g class=\"calls\">\n";
        for (const Label &item : labels_) {
            const bool bad = item.call->failed_expectation || *item.call->status < 0;
            const char *colour = bad ? "#d62728" : "#2ca02c";
            const double cx = x(item.call->time);
            const double y = top + 16 + kLaneHeight * item.lane;
            out_ << "<line class=\"request\" x1=\"" << number(cx) << "\" y1=\"" << number(kTop) << "\" x2=\""
                 << number(cx) << "\" y2=\"" << number(y) << "\" stroke=\"" << colour
                 << "\" stroke-dasharray=\"3,3\" stroke-width=\"0.8\"/>\n"
                 << "<circle cx=\"" << number(cx) << "\" cy=\"" << number(y) << "\" r=\"2.5\" fill=\"" << colour
                 << "\"/>\n"
                 << "<text x=\"" << number(item.x) << "\" y=\"" << number(y + 4) << "\" font-size=\"10\" fill=\""
                 << colour << "\">" << escape(item.text) << "</text>\n";
        }
        out_ << "</g>\n";
    }

    // Ticks at 1, 2 or 5 times a power of ten, about ten of them.
    void axis(double y)
    {
        const double span_ms = static_cast<double>(span_) / vsim::kTicksPerMs;
        const double raw = span_ms / 10;
        const double power = std::pow(10.0, std::floor(std::log10(raw)));
        double step = power;
        for (double factor : {1.0, 2.0, 5.0, 10.0}) {
            if (factor * power >= raw) {
                step = factor * power;
                break;
            }
        }
        out_ << "<g class=\"axis\">\n<line x1=\"" << number(kLeft) << "\" y1=\"" << number(y) << "\" x2=\""
             << number(x(span_)) << "\" y2=\"" << number(y) << "\" stroke=\"black\"/>\n";
        for (int tick = 0; tick * step <= span_ms + step / 1000; ++tick) {
            const double t = tick * step;
            const double tx = x(static_cast<Ticks>(std::llround(t * vsim::kTicksPerMs)));
            out_ << "<line x1=\"" << number(tx) << "\" y1=\"" << number(y) << "\" x2=\"" << number(tx)
                 << "\" y2=\"" << number(y + 5) << "\" stroke=\"black\"/>\n"
                 << "<text x=\"" << number(tx) << "\" y=\"" << number(y + 18) << "\" text-anchor=\"middle\">"
                 << format_time(static_cast<Ticks>(std::llround(t * vsim::kTicksPerMs))) << "</text>\n";
        }
        out_ << "<text x=\"" << number(kLeft + kPlotWidth) << "\" y=\"" << number(y + 34)
             << "\" text-anchor=\"end\">time</text>\n</g>\n";
    }

    std::ostream &out_;
    const Recording &recording_;
    const SvgPicture &picture_;
    Ticks span_;
    std::vector<Label> labels_;
    int lanes_ = 0;
};

}  // namespace

void write_svg(std::ostream &out, const Recording &recording, const SvgPicture &picture)
{
    Diagram(out, recording, picture).write();
}

void write_svg(std::ostream &out, const Recording &recording)
{
    SvgPicture picture;
    for (const LevelChange &change : recording.changes) {
        picture.change(change);
    }
    write_svg(out, recording, picture);
}

}  // namespace vibra_tool
