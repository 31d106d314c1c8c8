// SPDX-License-Identifier: MIT
#include "outputs/waveforms.h"

#include <algorithm>
#include <cstdio>

#include "scenario/status.h"

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

char *put_decimal(char *at, uint64_t value)
{
    static const char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char digits[20];
    char *end = digits + sizeof digits;
    char *at_digit = end;
    while (value >= 100) {
        const unsigned pair = static_cast<unsigned>(value % 100) * 2;
        value /= 100;
        *--at_digit = kPairs[pair + 1];
        *--at_digit = kPairs[pair];
    }
    if (value >= 10) {
        *--at_digit = kPairs[value * 2 + 1];
        *--at_digit = kPairs[value * 2];
    } else {
        *--at_digit = static_cast<char>('0' + value);
    }
    return std::copy(at_digit, end, at);
}

// One row a completed write, formatted by hand: a soak run writes millions.
void write_event_row(std::ostream &out, const WriteRecord &write)
{
    static const char kHex[] = "0123456789ABCDEF";
    char row[96];
    char *at = row;
    const Ticks completed = write.completed;
    if (completed < 0) {
        *at++ = '-';
    }
    const uint64_t ticks = completed < 0 ? 0 - static_cast<uint64_t>(completed) : static_cast<uint64_t>(completed);
    at = put_decimal(at, ticks / vsim::kTicksPerUs);
    if (ticks % vsim::kTicksPerUs != 0) {
        *at++ = '.';
        *at++ = static_cast<char>('0' + ticks % vsim::kTicksPerUs);
    }
    *at++ = ',';
    const size_t name = std::min<size_t>(write.line.size(), 32);
    at = std::copy_n(write.line.data(), name, at);
    *at++ = ',';
    if (write.value < 0) {
        *at++ = '-';
    }
    at = put_decimal(at, static_cast<uint64_t>(write.value < 0 ? -static_cast<int64_t>(write.value) : write.value));
    *at++ = ',';
    *at++ = '0';
    *at++ = 'x';
    const auto status = static_cast<uint32_t>(write.status);
    for (int shift = 28; shift >= 0; shift -= 4) {
        *at++ = kHex[(status >> shift) & 0xF];
    }
    *at++ = '\n';
    out.write(row, at - row);
}

void write_events_csv(std::ostream &out, const Recording &recording)
{
    write_events_header(out);
    for (const WriteRecord &write : recording.writes) {
        write_event_row(out, write);
    }
}

}  // namespace vibra_tool
