#include <algorithm>
#include <ctime>
#include <tuple>

#include "waveforms.h"

namespace vibra_tool {
namespace {

struct Change {
    Ticks time;
    int order;  // enable, drive, state: a fixed order within one time
    std::string text;
};

std::vector<Change> collect_changes(const Recording &recording)
{
    std::vector<Change> changes;
    for (const Edge &edge : level_edges(recording, kEnableLine)) {
        changes.push_back({edge.time, 0, std::to_string(edge.value) + "!"});
    }
    for (const Edge &edge : level_edges(recording, kDriveLine)) {
        changes.push_back({edge.time, 1, std::to_string(edge.value) + "\""});
    }
    // The state as two scalar bits rather than one vector, since not every
    // viewer reads vector values: bit 0 is set for on, bit 1 for blink.
    uint32_t state = 0;
    for (const StateSample &sample : state_changes(recording)) {
        for (uint32_t bit = 0; bit < 2; ++bit) {
            const uint32_t value = (sample.state >> bit) & 1;
            if (value != ((state >> bit) & 1)) {
                changes.push_back({sample.time, 2 + static_cast<int>(bit), std::to_string(value) + (bit ? "%" : "&")});
            }
        }
        state = sample.state;
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change &a, const Change &b) { return std::tie(a.time, a.order) < std::tie(b.time, b.order); });
    return changes;
}

}  // namespace

// Whole microseconds when every change falls on one, else 100 ns steps.
void write_vcd(std::ostream &out, const Recording &recording, const std::string &version)
{
    const std::vector<Change> changes = collect_changes(recording);
    const bool whole_us = std::all_of(changes.begin(), changes.end(),
                                      [](const Change &c) { return c.time % vsim::kTicksPerUs == 0; }) &&
                          recording.end % vsim::kTicksPerUs == 0;
    const Ticks divisor = whole_us ? vsim::kTicksPerUs : 1;

    char date[64] = "";
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    out << "$date " << date << " $end\n"
        << "$version vibra-sim " << version << " $end\n"
        << "$comment scenario " << recording.scenario
        << "; state[1:0]: stored element state (0 off, 1 on, 2 blink) $end\n"
        << "$timescale " << (whole_us ? "1us" : "100ns") << " $end\n"
        << "$scope module vibra $end\n"
        << "$var wire 1 ! enable $end\n"
        << "$var wire 1 \" drive $end\n"
        << "$var wire 1 % state[1] $end\n"
        << "$var wire 1 & state[0] $end\n"
        << "$upscope $end\n"
        << "$enddefinitions $end\n"
        << "#0\n$dumpvars\n0!\n0\"\n0%\n0&\n$end\n";
    Ticks current = 0;
    for (const Change &change : changes) {
        if (change.time != current) {
            current = change.time;
            out << "#" << current / divisor << "\n";
        }
        out << change.text << "\n";
    }
    if (recording.end > current) {
        out << "#" << recording.end / divisor << "\n";
    }
}

}  // namespace vibra_tool
