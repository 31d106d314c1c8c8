#include <CLI/CLI.hpp>

#include <cmath>
#include <filesystem>
#include <iostream>

#include "settings.h"
#include "status.h"

#ifndef VIBRA_VERSION
#define VIBRA_VERSION "0.0.0"
#endif

namespace vibra_tool::cli {

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
    add_systematic_options(app, settings);
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

}  // namespace vibra_tool::cli
