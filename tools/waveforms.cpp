#include "waveforms.h"

#include <cstdio>

#include "status.h"

namespace vibra_tool {

std::vector<Edge> level_edges(const Recording &recording, const std::string &line)
{
    std::vector<Edge> edges;
    int level = 0;
    for (const LevelChange &change : recording.changes) {
        if (change.line == line && change.value != level) {
            level = change.value;
            edges.push_back({change.time, level});
        }
    }
    return edges;
}

std::vector<StateSample> state_changes(const Recording &recording)
{
    std::vector<StateSample> changes;
    for (const StateSample &sample : recording.states) {
        if (changes.empty() || changes.back().state != sample.state) {
            changes.push_back(sample);
        }
    }
    return changes;
}

void write_events_csv(std::ostream &out, const Recording &recording)
{
    out << "time_us,line,value,status\n";
    char row[96];
    for (const WriteRecord &write : recording.writes) {
        const Ticks us = write.completed / vsim::kTicksPerUs;
        const Ticks tenths = write.completed % vsim::kTicksPerUs;
        if (tenths == 0) {
            std::snprintf(row, sizeof row, "%lld,%s,%d,0x%08X\n", static_cast<long long>(us), write.line.c_str(),
                          write.value, static_cast<uint32_t>(write.status));
        } else {
            std::snprintf(row, sizeof row, "%lld.%lld,%s,%d,0x%08X\n", static_cast<long long>(us),
                          static_cast<long long>(tenths), write.line.c_str(), write.value,
                          static_cast<uint32_t>(write.status));
        }
        out << row;
    }
}

}  // namespace vibra_tool
