// SPDX-License-Identifier: MIT
#include "outputs/results.h"

#include "measure/summary.h"

namespace vibra_tool {
namespace {

int severity(int status)
{
    switch (status) {
    case 0:
        return 0;
    case 1:
        return 1;
    case 3:
        return 2;
    case 2:
        return 4;
    default:
        return 3;  // any other failure ranks below bad usage
    }
}

}  // namespace

int worst_exit_status(int a, int b) { return severity(b) > severity(a) ? b : a; }

namespace results_detail {

std::string microseconds(Ticks ticks)
{
    const Ticks per_us = vsim::kTicksPerUs;
    std::string text = std::to_string(ticks / per_us);
    if (const Ticks rest = ticks % per_us; rest != 0) {
        std::string fraction = std::to_string(rest);
        fraction.insert(0, std::to_string(per_us).size() - 1 - fraction.size(), '0');
        while (fraction.back() == '0') {
            fraction.pop_back();
        }
        text += "." + fraction;
    }
    return text;
}

LineSummaries line_summaries(const Recording &recording)
{
    return recording.summaries ? *recording.summaries : summarise(recording.changes, recording.end);
}

}  // namespace results_detail
}  // namespace vibra_tool
