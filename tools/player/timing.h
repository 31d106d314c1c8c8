// SPDX-License-Identifier: MIT
// The real-time timing report: runs the drive on real threads for a while and
// measures, on the monotonic clock, the intervals between its drive-line steps,
// the square wave they make and the CPU time they cost; in the same run a bare
// loop sleeps to the same 3.3 ms deadlines (absolute, on the monotonic clock),
// which is as well as this host can keep time, and the report sets the two
// side by side. The two take turns, a second of each at a time, so that a
// host whose load comes and goes weighs on both alike.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace vibra_tool {

inline constexpr int64_t kStepNs = 3'300'000;  // the drive's fixed step

struct TimingOptions {
    double seconds = 10;         // of steady vibration, and as long again for the bare loop
    unsigned long slack_ns = 1;  // the process's timer slack while it measures; 0: the host's default
};

// Order statistics of a series of step intervals and of their lateness (how
// much later than asked each step came), in nanoseconds. Percentiles are
// nearest-rank: p99 is the smallest value that at least 99 % of the series
// do not exceed.
struct IntervalSummary {
    size_t count = 0;
    int64_t min = 0, median = 0, p99 = 0, max = 0;
    int64_t late_median = 0, late_p99 = 0, late_max = 0;
};
IntervalSummary summarise(std::vector<int64_t> intervals, std::vector<int64_t> lateness);

// The square wave of a line from its changes (time in ns, level written):
// frequency from the first to the last rising edge, duty as the share of time
// high from the first change to the last. Zero when there is too little to say.
struct Waveform {
    double frequency_hz = 0;
    double duty = 0;  // 0 to 1
};
Waveform waveform_of(const std::vector<std::pair<int64_t, int>> &changes);

struct TimingResult {
    unsigned long slack_ns = 0;  // the timer slack in force while measuring
    size_t rounds = 0;           // of the bare loop and the drive, taking turns
    // Lateness: interval - 3.3 ms, since each step re-arms the timer from where it runs.
    IntervalSummary drive;  // the steps: when each wrote the drive line
    IntervalSummary line;   // the drive line: when each write completed and the line changed
    IntervalSummary bare;   // lateness: wake - its absolute deadline
    Waveform wave;
    double vibration_s = 0;  // from each on request to its last drive-line step, summed
    double drive_cpu_s = 0;  // process CPU time over those runs
    double bare_cpu_s = 0;
    double bare_s = 0;
    bool motor_off = false;           // after every round: both lines as the stop sequence leaves them, nothing pending
    std::vector<std::string> errors;  // set-up or request failures, verifier findings
};

TimingResult measure_timing(const TimingOptions &options);
// With each target beside its figure, "met" or "MISSED".
void write_timing_report(std::ostream &out, const TimingResult &result);

}  // namespace vibra_tool
