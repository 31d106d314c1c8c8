// SPDX-License-Identifier: MIT
#include "player/timing.h"

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "device/device.h"
#include "hwn/request.h"
#include "scenario/payload.h"
#include "player/recording.h"
#include "sim.h"
#include "scenario/status.h"

namespace vibra_tool {
namespace {

constexpr int64_t kNsPerTick = 100;
constexpr double kMedianTolerance = 0.005;  // of the step
constexpr double kLatenessRatio = 1.25;     // of the bare loop's p99
constexpr double kCpuRatio = 1.5;           // of the bare loop's share of a core
constexpr double kRoundS = 1;               // of each side at a time

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

double process_cpu_s()
{
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

int64_t nearest_rank(const std::vector<int64_t> &sorted, double share)
{
    if (sorted.empty()) {
        return 0;
    }
    size_t rank = size_t(share * double(sorted.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

// The timer slack of the calling thread, which the threads it starts inherit.
class Slack {
public:
    explicit Slack(unsigned long ns)
        : saved_(static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)))
    {
        if (ns != 0) {
            prctl(PR_SET_TIMERSLACK, ns, 0, 0, 0);
        }
        now_ = static_cast<unsigned long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
    }
    ~Slack() { prctl(PR_SET_TIMERSLACK, saved_, 0, 0, 0); }
    Slack(const Slack &) = delete;
    Slack &operator=(const Slack &) = delete;
    unsigned long now() const { return now_; }

private:
    unsigned long saved_;
    unsigned long now_ = 0;
};

// The series of one side of the measurement, gathered round by round:
// intervals never span two rounds.
struct Series {
    std::vector<int64_t> intervals, lateness;
    double cpu_s = 0, seconds = 0;

    // Each step re-arms the drive's timer 3.3 ms from where it runs, so a
    // step's lateness is how much longer than that its interval was.
    void add_steps(const std::vector<int64_t> &times)
    {
        for (size_t i = 1; i < times.size(); ++i) {
            intervals.push_back(times[i] - times[i - 1]);
            lateness.push_back(intervals.back() - kStepNs);
        }
    }
    IntervalSummary summary() { return summarise(std::move(intervals), std::move(lateness)); }
};

// Sleeps to k x 3.3 ms after its start, for `steps` deadlines.
void bare_loop(size_t steps, Series &bare)
{
    std::vector<int64_t> wakes;
    wakes.reserve(steps + 1);
    const double cpu = process_cpu_s();
    const int64_t start = monotonic_ns();
    wakes.push_back(start);
    for (size_t k = 1; k <= steps; ++k) {
        const int64_t deadline = start + int64_t(k) * kStepNs;
        const timespec when{time_t(deadline / 1'000'000'000), long(deadline % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
        }
        const int64_t woke = monotonic_ns();
        bare.intervals.push_back(woke - wakes.back());
        bare.lateness.push_back(woke - deadline);
        wakes.push_back(woke);
    }
    bare.cpu_s += process_cpu_s() - cpu;
    bare.seconds += double(wakes.back() - start) / 1e9;
}

bool succeeded(NTSTATUS status, const char *what, TimingResult &result)
{
    if (!NT_SUCCESS(status)) {
        result.errors.push_back(std::string(what) + " failed with " + describe_status(status));
        return false;
    }
    return true;
}

// What the rounds of vibration gathered, and the drive line's square wave
// weighted by each round's changes.
struct DriveSeries {
    Series steps, line;
    double hz_weighted = 0, duty_weighted = 0, weight = 0;
};

// One round of steady vibration on real threads: on, `seconds` of drive, off,
// and the stop sequence to its end. False when the motor was not off then.
bool vibrate(vsim::Simulator &sim, vsim::DeviceId id, double seconds, DriveSeries &drive, TimingResult &result)
{
    const size_t writes = sim.writes().size(), changes_before = sim.line_changes().size();
    const double cpu = process_cpu_s();
    const vsim::Ticks on = sim.now();
    if (succeeded(set_state_to(sim, id, HWN_STATE_ON), "set-state on", result)) {
        sim.run_for(vsim::Ticks(seconds * double(vsim::kTicksPerSecond)));
        succeeded(set_state_to(sim, id, HWN_STATE_OFF), "set-state off", result);
    }
    const bool idle = sim.run_until_idle(vsim::kTicksPerSecond);
    drive.steps.cpu_s += process_cpu_s() - cpu;

    std::vector<std::pair<int64_t, int>> changes;
    for (size_t i = changes_before; i < sim.line_changes().size(); ++i) {
        const vsim::LineChange &change = sim.line_changes()[i];
        if (change.line == kDriveLine) {
            changes.emplace_back(change.time * kNsPerTick, change.value);
        }
    }
    std::vector<int64_t> sent;
    for (size_t i = writes; i < sim.writes().size(); ++i) {
        if (sim.writes()[i].line == kDriveLine) {
            sent.push_back(sim.writes()[i].sent * kNsPerTick);
        }
    }
    std::sort(sent.begin(), sent.end());
    if (!changes.empty()) {
        drive.steps.seconds += double(changes.back().first - on * kNsPerTick) / 1e9;
    }
    drive.steps.add_steps(sent);
    std::vector<int64_t> completed;
    for (const auto &change : changes) {
        completed.push_back(change.first);
    }
    drive.line.add_steps(completed);
    const Waveform wave = waveform_of(changes);
    drive.hz_weighted += wave.frequency_hz * double(changes.size());
    drive.duty_weighted += wave.duty * double(changes.size());
    drive.weight += double(changes.size());
    return idle && sim.level(kEnableLine) == 0;
}

// The bare loop and the drive take turns, a round of each at a time, so that
// both meet the host's load as it comes and goes.
void measure(double seconds, TimingResult &result)
{
    vsim::Options options;
    options.threads = vsim::Threads::Real;
    vsim::Simulator sim(options);
    sim.add_line(kEnableConnectionId, kEnableLine);
    sim.add_line(kDriveConnectionId, kDriveLine);
    vsim::DeviceId id = 0;
    const vsim::ResourceList lines = {vsim::gpio_io(kEnableConnectionId), vsim::gpio_io(kDriveConnectionId)};
    if (!succeeded(sim.load_driver(), "load driver", result) || !succeeded(sim.add_device(&id), "add device", result) ||
        !succeeded(sim.initialize_device(id, lines, lines), "initialize device", result) ||
        !succeeded(sim.start_device(id), "start device", result)) {
        return;
    }
    sim.run_until_idle(vsim::kTicksPerSecond);
    const size_t rounds = std::max<size_t>(1, size_t(std::ceil(seconds / kRoundS)));
    const double round_s = seconds / double(rounds);
    const size_t steps = size_t(std::max(0.0, round_s) * 1e9 / double(kStepNs));
    Series bare;
    DriveSeries drive;
    result.motor_off = true;
    for (size_t round = 0; round < rounds; ++round) {
        bare_loop(steps, bare);
        result.motor_off = vibrate(sim, id, round_s, drive, result) && result.motor_off;
    }
    result.rounds = rounds;
    result.bare_cpu_s = bare.cpu_s;
    result.bare_s = bare.seconds;
    result.bare = bare.summary();
    result.drive_cpu_s = drive.steps.cpu_s;
    result.vibration_s = drive.steps.seconds;
    result.drive = drive.steps.summary();
    result.line = drive.line.summary();
    if (drive.weight > 0) {
        result.wave = {drive.hz_weighted / drive.weight, drive.duty_weighted / drive.weight};
    }
    if (!result.motor_off) {
        result.errors.push_back("the motor was not off a second after an off request");
    }
    for (const std::string &failure : sim.verifier_failures()) {
        result.errors.push_back("verifier: " + failure);
    }
}

std::string ms(int64_t ns)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f ms", double(ns) / 1e6);
    return text;
}

std::string us(int64_t ns)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f us", double(ns) / 1e3);
    return text;
}

void row(std::ostream &out, const char *name, const std::string &drive, const std::string &line,
         const std::string &bare)
{
    char text[160];
    std::snprintf(text, sizeof text, "  %-18s %14s %14s %14s\n", name, drive.c_str(), line.c_str(), bare.c_str());
    out << text;
}

template <typename Show>
void rows(std::ostream &out, const char *name, const TimingResult &result, int64_t IntervalSummary::*field, Show show)
{
    row(out, name, show(result.drive.*field), show(result.line.*field), show(result.bare.*field));
}

}  // namespace

IntervalSummary summarise(std::vector<int64_t> intervals, std::vector<int64_t> lateness)
{
    IntervalSummary summary;
    summary.count = intervals.size();
    std::sort(intervals.begin(), intervals.end());
    std::sort(lateness.begin(), lateness.end());
    if (!intervals.empty()) {
        summary.min = intervals.front();
        summary.max = intervals.back();
    }
    summary.median = nearest_rank(intervals, 0.5);
    summary.p99 = nearest_rank(intervals, 0.99);
    summary.late_median = nearest_rank(lateness, 0.5);
    summary.late_p99 = nearest_rank(lateness, 0.99);
    summary.late_max = lateness.empty() ? 0 : lateness.back();
    return summary;
}

Waveform waveform_of(const std::vector<std::pair<int64_t, int>> &changes)
{
    Waveform wave;
    int64_t first_rise = -1, last_rise = -1, high = 0;
    size_t rises = 0;
    for (size_t i = 0; i < changes.size(); ++i) {
        const bool rising = changes[i].second != 0 && (i == 0 || changes[i - 1].second == 0);
        if (rising) {
            first_rise = first_rise < 0 ? changes[i].first : first_rise;
            last_rise = changes[i].first;
            ++rises;
        }
        if (i > 0 && changes[i - 1].second != 0) {
            high += changes[i].first - changes[i - 1].first;
        }
    }
    if (rises >= 2 && last_rise > first_rise) {
        wave.frequency_hz = double(rises - 1) * 1e9 / double(last_rise - first_rise);
    }
    if (changes.size() >= 2 && changes.back().first > changes.front().first) {
        wave.duty = double(high) / double(changes.back().first - changes.front().first);
    }
    return wave;
}

TimingResult measure_timing(const TimingOptions &options)
{
    TimingResult result;
    const Slack slack(options.slack_ns);
    result.slack_ns = slack.now();
    measure(options.seconds, result);
    return result;
}

void write_timing_report(std::ostream &out, const TimingResult &result)
{
    char text[256];
    std::snprintf(text, sizeof text,
                  "Real-time timing: a bare loop for %.1f s and %.1f s of steady vibration on real threads,\n"
                  "taking turns in %zu rounds (monotonic clock; timer slack %lu ns; step 3.3 ms)\n\n",
                  result.bare_s, result.vibration_s, result.rounds, result.slack_ns);
    out << text;
    row(out, "", "drive steps", "drive line", "bare loop");
    row(out, "intervals", std::to_string(result.drive.count), std::to_string(result.line.count),
        std::to_string(result.bare.count));
    rows(out, "interval min", result, &IntervalSummary::min, ms);
    rows(out, "interval median", result, &IntervalSummary::median, ms);
    rows(out, "interval p99", result, &IntervalSummary::p99, ms);
    rows(out, "interval max", result, &IntervalSummary::max, ms);
    rows(out, "lateness median", result, &IntervalSummary::late_median, us);
    rows(out, "lateness p99", result, &IntervalSummary::late_p99, us);
    rows(out, "lateness max", result, &IntervalSummary::late_max, us);
    const double drive_cpu = result.vibration_s > 0 ? result.drive_cpu_s / result.vibration_s : 0;
    const double bare_cpu = result.bare_s > 0 ? result.bare_cpu_s / result.bare_s : 0;
    std::snprintf(text, sizeof text, "%.3f %%", drive_cpu * 100);
    std::string drive_share = text;
    std::snprintf(text, sizeof text, "%.3f %%", bare_cpu * 100);
    row(out, "CPU of a core", drive_share, "", text);
    std::snprintf(text, sizeof text,
                  "\n  drive line: %.2f Hz, duty %.1f %% (a 6.6 ms square wave is 151.52 Hz, 50 %%)\n",
                  result.wave.frequency_hz, result.wave.duty * 100);
    out << text;

    const double off = double(result.drive.median - kStepNs) / double(kStepNs);
    const double ratio = result.bare.late_p99 > 0 ? double(result.drive.late_p99) / double(result.bare.late_p99) : 0;
    const auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    out << "\nTargets:\n";
    std::snprintf(text, sizeof text, "  median interval within 0.5 %% of 3.3 ms     %s (%+.3f %%)   %s\n",
                  ms(result.drive.median).c_str(), off * 100,
                  verdict(result.drive.count > 0 && std::abs(off) <= kMedianTolerance));
    out << text;
    std::snprintf(text, sizeof text, "  p99 lateness at most 1.25 x the bare loop's  %s / %s = %.2f x   %s\n",
                  us(result.drive.late_p99).c_str(), us(result.bare.late_p99).c_str(), ratio,
                  verdict(result.bare.late_p99 > 0 && ratio <= kLatenessRatio));
    out << text;
    const double cpu_ratio = bare_cpu > 0 ? drive_cpu / bare_cpu : 0;
    std::snprintf(text, sizeof text, "  CPU at most 1.5 x the bare loop's            %.3f %% / %.3f %% = %.2f x   %s\n",
                  drive_cpu * 100, bare_cpu * 100, cpu_ratio,
                  verdict(result.vibration_s > 0 && bare_cpu > 0 && cpu_ratio <= kCpuRatio));
    out << text;
    out << "  motor off at the end: " << (result.motor_off ? "yes" : "NO") << "\n";
    for (const std::string &error : result.errors) {
        out << "  error: " << error << "\n";
    }
}

}  // namespace vibra_tool
