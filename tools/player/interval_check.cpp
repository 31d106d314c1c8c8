// SPDX-License-Identifier: MIT
// A timing check over an interval: the period, frequency and duty that the
// line's edges within [from, to] show, against the expected values.
#include <cmath>
#include <cstdio>

#include "player/session.h"

namespace vibra_tool::session {
namespace {

// "50", "49.5", "151.52": at most two decimals, without trailing zeros.
std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    std::string result = text;
    result.erase(result.find_last_not_of('0') + 1);
    if (result.back() == '.') {
        result.pop_back();
    }
    return result;
}

std::string duration(double ticks) { return format_time(static_cast<Ticks>(std::llround(ticks))); }

// Within the tolerance, allowing for rounding in the last digits.
bool within(double got, double expected, double tolerance)
{
    return std::fabs(got - expected) <= tolerance + 1e-9 * std::max(1.0, std::fabs(expected));
}

}  // namespace

void Player::check_interval(const Command &command, CallRecord &call)
{
    const IntervalCheck &check = *command.interval;
    IntervalMeasure measure;
    {
        const auto lock = stream_lock();
        measure = intervals_.measure(command, now());
    }
    const double percent = check.tolerance_percent;
    // A time tolerance, when one is given (a flag and a value: GCC's
    // uninitialised-use warning misreads an optional here at -O1).
    const bool by_time = check.tolerance_time.has_value();
    const double time = by_time ? static_cast<double>(*check.tolerance_time) : 0.0;
    const std::string tolerance = by_time ? " ±" + format_time(*check.tolerance_time) : " ±" + number(percent) + "%";
    const std::string window = " from " + format_time(check.from) + " to " + format_time(check.to);
    const std::string edges = std::to_string(measure.rising) + " rising edge" + (measure.rising == 1 ? "" : "s");
    std::string note = check.line + window + ": " + edges;
    if (measure.period) {
        note += ", period " + duration(*measure.period) + " (" +
                number(static_cast<double>(vsim::kTicksPerSecond) / *measure.period) + " Hz)";
    }
    note += ", duty " + number(measure.duty_percent()) + "%";
    call.notes.push_back(note);
    const std::string no_period = "no period (" + edges + window + ")";

    if (check.period) {
        const double expected = static_cast<double>(*check.period);
        const bool ok = measure.period && within(*measure.period, expected, by_time ? time : expected * percent / 100);
        expectation(command, call, ok, check.line + " period " + format_time(*check.period) + tolerance,
                           measure.period ? duration(*measure.period) : no_period);
    }
    if (check.frequency_hz) {
        const double expected = *check.frequency_hz;
        bool ok = false;
        if (measure.period) {
            const double got = static_cast<double>(vsim::kTicksPerSecond) / *measure.period;
            ok = by_time ? within(*measure.period, vsim::kTicksPerSecond / expected, time)
                      : within(got, expected, expected * percent / 100);
        }
        expectation(
            command, call, ok, check.line + " frequency " + number(expected) + " Hz" + tolerance,
            measure.period ? number(static_cast<double>(vsim::kTicksPerSecond) / *measure.period) + " Hz"
                           : no_period);
    }
    if (check.duty_percent) {
        const double expected = *check.duty_percent;
        const double got = measure.duty_percent();
        // With a time tolerance: the high time of a period (or of the window,
        // without whole periods) against the expected share of it.
        const double parts = measure.periods > 0 ? measure.periods : 1;
        const bool ok = by_time ? within(static_cast<double>(measure.high) / parts,
                                      expected / 100 * static_cast<double>(measure.span) / parts, time)
                             : within(got, expected, percent);
        expectation(command, call, ok, check.line + " duty " + number(expected) + "%" + tolerance,
                           number(got) + "%");
    }
}

}  // namespace vibra_tool::session
