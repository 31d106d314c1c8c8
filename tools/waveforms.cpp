#include "waveforms.h"

#include <algorithm>
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

void write_events_header(std::ostream &out) { out << "time_us,line,value,status\n"; }

void write_event_row(std::ostream &out, const WriteRecord &write)
{
    char row[96];
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

void write_events_csv(std::ostream &out, const Recording &recording)
{
    write_events_header(out);
    for (const WriteRecord &write : recording.writes) {
        write_event_row(out, write);
    }
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
    std::vector<Bucket> &buckets = line.buckets;
    if (!buckets.empty() && buckets.back().first / line.width == time / line.width) {
        Bucket &last = buckets.back();
        last.last = std::max(last.last, time);
        ++last.edges;
        last.after = value;
        return;
    }
    buckets.push_back({time, time, 1, value});
    while (buckets.size() > capacity_) {
        // Twice as wide: neighbours that now share a bucket merge.
        line.width *= 2;
        size_t kept = 0;
        for (size_t i = 1; i < buckets.size(); ++i) {
            Bucket &into = buckets[kept];
            if (into.first / line.width == buckets[i].first / line.width) {
                into.last = buckets[i].last;
                into.edges += buckets[i].edges;
                into.after = buckets[i].after;
            } else {
                buckets[++kept] = buckets[i];
            }
        }
        buckets.resize(kept + 1);
    }
}

const std::vector<SvgPicture::Bucket> &SvgPicture::buckets(std::string_view line) const
{
    return line == kEnableLine ? enable_.buckets : drive_.buckets;
}

}  // namespace vibra_tool
