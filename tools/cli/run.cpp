// The runs: a played scenario with its report and output files, the explorer,
// and the real-threads timing report.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "default_scenario.h"
#include "explore.h"
#include "report.h"
#include "scenario.h"
#include "settings.h"
#include "timing.h"
#include "trace_log.h"

#ifndef VIBRA_VERSION
#define VIBRA_VERSION "0.0.0"
#endif

namespace vibra_tool::cli {
namespace {

void tell_where_files_are(const Outputs &paths)
{
    if (paths.events.empty() && paths.vcd.empty() && paths.svg.empty()) {
        std::cout << "\nNo waveform files written; add --out DIR (or --vcd, --svg, --events FILE) to keep them.\n";
        return;
    }
    std::cout << "\nWaveform files:\n";
    if (!paths.vcd.empty()) {
        std::cout << "  VCD     " << paths.vcd << "   (gtkwave " << paths.vcd << ", or PulseView / sigrok-cli)\n";
    }
    if (!paths.svg.empty()) {
        std::cout << "  SVG     " << paths.svg << "   (any web browser)\n";
    }
    if (!paths.events.empty()) {
        std::cout << "  events  " << paths.events << "\n";
    }
    if (!paths.trace.empty() && paths.trace != "-") {
        std::cout << "  trace   " << paths.trace << "\n";
    }
}

Ticks max_ticks(const Settings &settings) { return static_cast<Ticks>(settings.max_time_s * vsim::kTicksPerSecond); }

// A run ends by --max-time: a scenario whose commands go past it is refused
// before anything runs.
bool within_max_time(const Scenario &scenario, const Settings &settings)
{
    const Ticks last = scenario.commands.empty() ? 0 : scenario.commands.back().time;
    if (last <= max_ticks(settings)) {
        return true;
    }
    std::cerr << "vibra-sim: " << scenario.name << ": the scenario runs to " << format_time(last)
              << ", past --max-time " << format_time(max_ticks(settings))
              << "; expected a shorter scenario or a larger --max-time\n";
    return false;
}

}  // namespace

int run_explorer(const Settings &settings)
{
    if (!settings.scenario.empty()) {
        const ParseResult parsed = load_scenario(settings.scenario);
        if (!parsed.scenario) {
            std::cerr << parsed.error << "\n";
            return kExitUsage;
        }
        if (!within_max_time(*parsed.scenario, settings)) {
            return kExitUsage;
        }
        const std::optional<vsim::Schedule> schedule =
            schedule_option(settings, ExploreOptions::default_explore_schedule());
        if (!schedule) {
            return kExitUsage;
        }
        return explore_scenario(*parsed.scenario, *schedule, std::cout);
    }
    ExploreOptions options;
    const std::optional<vsim::Schedule> schedule = schedule_option(settings, options.schedule);
    if (!schedule) {
        return kExitUsage;
    }
    options.schedule = *schedule;
    options.seed = settings.seed.value_or(
        static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000000ULL);
    options.runs = settings.runs;
    options.steps = settings.steps;
    options.fault_rate = settings.fault_rate;
    if (!shard_option(settings, options.shard, options.shards)) {
        return kExitUsage;
    }
    return explore(options, std::cout, std::cerr);
}

// The timing report's own exit status: 3 for verifier findings, 1 when the
// drive could not be run or left the motor on; missed targets are reported,
// not failed on.
int run_timing(const Settings &settings)
{
    TimingOptions options;
    options.seconds = settings.timing_seconds;
    options.slack_ns = settings.timer_slack_ns;
    std::cerr << "Measuring: a bare loop for " << options.seconds << " s, then the drive for as long...\n";
    const TimingResult result = measure_timing(options);
    write_timing_report(std::cout, result);
    const bool verifier = std::any_of(result.errors.begin(), result.errors.end(),
                                      [](const std::string &error) { return error.rfind("verifier: ", 0) == 0; });
    return verifier ? kExitVerifier : result.errors.empty() ? 0 : kExitExpectation;
}

int run(const Settings &settings)
{
    const ParseResult parsed = settings.scenario.empty()
                                   ? parse_scenario(default_scenario(), std::string(kDefaultScenarioName))
                                   : load_scenario(settings.scenario);
    if (!parsed.scenario) {
        std::cerr << parsed.error << "\n";
        return kExitUsage;
    }
    if (!within_max_time(*parsed.scenario, settings)) {
        return kExitUsage;
    }
    if (settings.check_only) {
        std::cout << parsed.scenario->name << ": " << parsed.scenario->commands.size() << " commands, well formed\n";
        return 0;
    }

    PlayerOptions options;
    std::string error;
    if (settings.open_masks) {
        options.masks.fill(0xFFFFFFFFu);
    }
    for (const std::string &mask : settings.masks) {
        if (!parse_mask_option(mask, options, error)) {
            std::cerr << "vibra-sim: " << error << "\n";
            return kExitUsage;
        }
    }
    options.gpio_latency = static_cast<Ticks>(settings.gpio_latency_us * vsim::kTicksPerUs);
    // Settling stops at --max-time too.
    const Ticks last = parsed.scenario->commands.empty() ? 0 : parsed.scenario->commands.back().time;
    options.settle = std::min(static_cast<Ticks>(settings.settle_ms * vsim::kTicksPerMs), max_ticks(settings) - last);
    options.realtime = settings.realtime;
    const std::optional<vsim::Schedule> schedule = schedule_option(settings, vsim::Schedule{});
    if (!schedule) {
        return kExitUsage;
    }
    options.schedule = *schedule;
    if (settings.realtime && schedule->policy != vsim::SchedulePolicy::Sequential) {
        std::cerr << "vibra-sim: --schedule " << settings.schedule
                  << ": schedules interleave in virtual time; --realtime runs on real threads\n";
        return kExitUsage;
    }

    const Outputs paths = output_paths(settings);
    if (!settings.out.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(settings.out, ignored);
    }
    // Open the trace first so that a bad path stops the run before it starts.
    std::unique_ptr<std::ofstream> trace_file;
    std::ostream *trace = nullptr;
    if (paths.trace == "-") {
        trace = &std::cerr;
    } else if (!paths.trace.empty()) {
        trace_file = open_output(paths.trace, error);
        if (!trace_file) {
            std::cerr << "vibra-sim: " << error << "\n";
            return kExitUsage;
        }
        trace = trace_file.get();
    }
    if (trace) {
        options.on_trace = [trace](const TraceRecord &record) { write_trace_line(*trace, record); };
    }
    if (settings.realtime) {
        options.on_progress = [](Ticks now) { std::cerr << "\r  virtual time " << format_time(now) << "   " << std::flush; };
    }

    Streams streams;
    if (!streams.open(paths, *parsed.scenario, VIBRA_VERSION, options, error)) {
        std::cerr << "vibra-sim: " << error << "\n";
        return kExitUsage;
    }
    const Recording recording = play(*parsed.scenario, options);
    if (settings.realtime) {
        std::cerr << "\n";
    }
    write_report(std::cout, recording);
    bool written = streams.finish(recording, error);
    if (!written) {
        std::cerr << "vibra-sim: " << error << "\n";
    }
    if (trace_file && !close_output(*trace_file, paths.trace, error)) {
        std::cerr << "vibra-sim: " << error << "\n";
        written = false;
    }
    tell_where_files_are(paths);
    errno = 0;
    if (!std::cout.flush()) {
        std::cerr << "vibra-sim: standard output: " << (errno ? std::strerror(errno) : "write failed") << "\n";
        written = false;
    }

    for (const std::string &failure : recording.verifier_failures) {
        std::cerr << "vibra-sim: verifier: " << failure << "\n";
    }
    for (const std::string &failure : recording.expectation_failures) {
        std::cerr << failure << "\n";
    }
    if (!recording.verifier_failures.empty()) {
        return kExitVerifier;
    }
    if (!recording.expectation_failures.empty()) {
        return kExitExpectation;
    }
    return written ? 0 : kExitUsage;
}

}  // namespace vibra_tool::cli
