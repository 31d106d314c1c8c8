// vibra-sim: loads the driver on the simulated platform, plays a scenario of
// class-extension calls in virtual time and shows what the driver did to the
// motor lines, what it reported and what it traced.
//
// Exit status: 0 all went as expected; 1 an expectation of the scenario did
// not hold; 2 bad usage or a bad scenario (nothing ran); 3 the platform's
// verifier found misuse by the driver. With --explore: 0 every run held; 4 a
// run gave a wrong result; 5 a run did not come to rest.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>

#include "default_scenario.h"
#include "explore.h"
#include "outputs.h"
#include "player.h"
#include "report.h"
#include "scenario.h"
#include "status.h"
#include "timing.h"
#include "trace_log.h"
#include "waveforms.h"

#ifndef VIBRA_VERSION
#define VIBRA_VERSION "0.0.0"
#endif

namespace {

using namespace vibra_tool;

constexpr int kExitExpectation = 1;
constexpr int kExitUsage = 2;
constexpr int kExitVerifier = 3;

struct Settings {
    std::string scenario;
    std::string trace;
    std::string events;
    std::string vcd;
    std::string svg;
    std::string out;
    std::vector<std::string> masks;
    bool open_masks = false;
    double gpio_latency_us = 0;
    double settle_ms = 10000;
    double max_time_s = 86400;
    bool realtime = false;
    bool check_only = false;
    bool print_default = false;
    bool explore = false;
    std::optional<uint64_t> seed;
    uint32_t runs = 100;
    uint32_t steps = 40;
    double fault_rate = 0.1;
    std::string schedule;
    bool timing = false;
    double timing_seconds = 10;
    unsigned long timer_slack_ns = 1;
};

// --schedule with its seed: --seed, else 0 for a played scenario; the
// explorer seeds each run itself. The default is sequential for a played
// scenario and pct for the explorer.
std::optional<vsim::Schedule> schedule_option(const Settings &settings, const vsim::Schedule &fallback)
{
    vsim::Schedule schedule = fallback;
    if (!settings.schedule.empty()) {
        std::string error;
        std::optional<vsim::Schedule> parsed = vsim::parse_schedule(settings.schedule, &error);
        if (!parsed) {
            std::cerr << "vibra-sim: --schedule " << settings.schedule << ": " << error << "\n";
            return std::nullopt;
        }
        schedule = *parsed;
    }
    schedule.seed = settings.seed.value_or(0);
    return schedule;
}

// "5=0xFFFFFFFF" into level and mask.
bool parse_mask_option(const std::string &text, PlayerOptions &options, std::string &error)
{
    const size_t equals = text.find('=');
    const std::optional<int32_t> level = equals == std::string::npos ? std::nullopt : parse_status(text.substr(0, equals));
    const std::optional<int32_t> mask = equals == std::string::npos ? std::nullopt : parse_status(text.substr(equals + 1));
    if (!level || !mask || *level < 1 || *level > 5) {
        error = "--trace-mask " + text + ": expected LEVEL=MASK with a level from 1 to 5, e.g. 5=0xFFFFFFFF";
        return false;
    }
    options.masks[*level - 1] = static_cast<uint32_t>(*mask);
    return true;
}


void add_options(CLI::App &app, Settings &settings)
{
    // CLI::Range lets NaN through: every comparison with it is false.
    const CLI::Validator finite(
        [](const std::string &text) {
            double value = 0;
            return CLI::detail::lexical_cast(text, value) && std::isfinite(value) ? std::string{}
                                                                                   : "expected a finite number";
        },
        "");
    app.add_option("-s,--scenario", settings.scenario, "Scenario file to play (default: the built-in scenario)")
        ->type_name("FILE");
    app.add_option("-o,--out", settings.out,
                   "Directory for all outputs: events.csv, waves.vcd, timing.svg and trace.txt")
        ->type_name("DIR");
    app.add_option("--trace", settings.trace, "Write the driver's trace lines with time, level and flags ('-': stderr)")
        ->type_name("FILE");
    app.add_option("--events", settings.events, "Write the GPIO line writes as CSV (time_us,line,value,status)")
        ->type_name("FILE");
    app.add_option("--vcd", settings.vcd, "Write a Value Change Dump of the enable and drive lines and the stored state")
        ->type_name("FILE");
    app.add_option("--svg", settings.svg, "Write an SVG timing diagram of the lines, the state and the calls")
        ->type_name("FILE");
    app.add_flag("--open-masks", settings.open_masks, "Open every trace mask, so that all trace lines are printed");
    app.add_option("--trace-mask", settings.masks, "Set the trace mask of one level, e.g. 5=0x4 (repeatable)")
        ->type_name("LEVEL=MASK");
    app.add_option("--gpio-latency", settings.gpio_latency_us, "Time the GPIO controller takes to complete a write")
        ->type_name("US")
        ->check(finite)
        ->check(CLI::Range(0.0, 1e9));
    app.add_option("--settle", settings.settle_ms,
                   "After the last command, run at most this long for pending work to finish (default 10000)")
        ->type_name("MS")
        ->check(finite)
        ->check(CLI::Range(0.0, 1e9));
    app.add_option("--max-time", settings.max_time_s,
                   "Longest simulated time a run may cover, settling included; a scenario that goes past it is "
                   "refused before it runs (default 86400: 24 h)")
        ->type_name("S")
        ->check(finite)
        ->check(CLI::Range(0.001, 1e9));
    app.add_flag("--realtime", settings.realtime, "Run on real threads in wall-clock time and show progress on stderr");
    app.add_flag("--check", settings.check_only, "Only parse the scenario and report errors; run nothing");
    app.add_flag("--print-default", settings.print_default, "Print the built-in scenario, a starting point for your own");
    app.add_flag("--explore", settings.explore,
                 "Play random scenarios from a seed and check that the driver holds its invariants (with "
                 "--scenario: check that scenario alone)");
    app.add_option("--seed", settings.seed,
                   "Seed of the exploration (default: from the clock; printed), or of the --schedule of a played "
                   "scenario (default 0)")
        ->type_name("N");
    app.add_option("--schedule", settings.schedule,
                   "How simulated threads interleave: sequential (default when playing), random, or "
                   "pct[:DEPTH[:STEPS]] (default pct:3:2000 when exploring)")
        ->type_name("POLICY");
    app.add_option("--runs", settings.runs, "Scenarios the exploration plays (default 100)")->type_name("N");
    app.add_option("--steps", settings.steps, "Commands in each explored scenario (default 40)")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--fault-rate", settings.fault_rate,
                   "Probability that an explored step arms or clears a fault (default 0.1)")
        ->type_name("P")
        ->check(CLI::Range(0.0, 1.0));
    CLI::Option *timing = app.add_flag(
        "--timing", settings.timing,
        "With --realtime: run the drive on real threads and report its step intervals, lateness and CPU time "
        "beside a bare loop sleeping to the same 3.3 ms deadlines (no scenario is played)");
    app.add_option("--duration", settings.timing_seconds, "Seconds of vibration that --timing measures (default 10)")
        ->type_name("S")
        ->check(CLI::Range(0.1, 86400.0))
        ->needs(timing);
    app.add_option("--timer-slack", settings.timer_slack_ns,
                   "Timer slack of the threads that --timing measures, in ns (default 1; 0: the host's default)")
        ->type_name("NS")
        ->check(CLI::Range(0ul, 1'000'000'000ul))
        ->needs(timing);
    for (const char *other : {"--scenario", "--explore", "--check", "--schedule", "--print-default"}) {
        timing->excludes(app.get_option(other));
    }
    app.set_version_flag("--version", "vibra-sim " VIBRA_VERSION);
}


Outputs output_paths(const Settings &settings)
{
    Outputs paths{settings.events, settings.vcd, settings.svg, settings.trace};
    if (!settings.out.empty()) {
        const std::filesystem::path dir(settings.out);
        const auto fill = [&](std::string &path, const char *name) {
            if (path.empty()) {
                path = (dir / name).string();
            }
        };
        fill(paths.events, "events.csv");
        fill(paths.vcd, "waves.vcd");
        fill(paths.svg, "timing.svg");
        fill(paths.trace, "trace.txt");
    }
    return paths;
}


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

int run_main(int argc, char **argv)
{
    CLI::App app{"vibra-sim: plays a scenario of class-extension calls against the vibration-motor driver on a "
                 "simulated platform, in virtual time, and shows the motor lines, the results and the trace.\n"
                 "Exit status: 0 ok, 1 an expectation failed, 2 bad usage or scenario, 3 verifier findings; "
                 "with --explore: 4 a wrong result, 5 a stuck run."};
    Settings settings;
    add_options(app, settings);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &success) {
        return app.exit(success);
    } catch (const CLI::ParseError &failure) {
        app.exit(failure);
        return kExitUsage;
    }
    if (settings.print_default) {
        std::cout << default_scenario();
        return 0;
    }
    if (settings.timing) {
        return run_timing(settings);
    }
    return settings.explore ? run_explorer(settings) : run(settings);
}

}  // namespace

int main(int argc, char **argv)
{
    // Nothing the tool meets, however large or odd, ends it by an exception.
    try {
        return run_main(argc, argv);
    } catch (const std::bad_alloc &) {
        std::cerr << "vibra-sim: out of memory; expected a smaller scenario or smaller outputs\n";
    } catch (const std::exception &failure) {
        std::cerr << "vibra-sim: internal error: " << failure.what() << "\n";
    } catch (...) {
        std::cerr << "vibra-sim: internal error\n";
    }
    return kExitUsage;
}
