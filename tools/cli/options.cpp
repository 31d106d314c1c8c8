// SPDX-License-Identifier: MIT
#include <CLI/CLI.hpp>

#include <cmath>
#include <filesystem>
#include <iostream>

#include "complain.h"
#include "scenario/catalogue.h"
#include "cli/settings.h"
#include "scenario/status.h"
#include "scenario/suggest.h"

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
            const std::string policy = settings.schedule.substr(0, settings.schedule.find(':'));
            const std::optional<std::string> meant = closest(policy, {"sequential", "random", "pct", "choices"});
            complain() << "--schedule " << settings.schedule << ": " << error
                       << (meant ? "; did you mean '" + *meant + "'?" : std::string()) << "\n";
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
    app.add_option("-s,--scenario,scenarios", settings.scenarios,
                   "Scenario file to play; repeatable, and further files may follow as arguments; '-' reads one "
                   "from standard input (default: the built-in scenario)")
        ->type_name("FILE");
    app.add_option("-o,--out", settings.out,
                   "Directory for all outputs: events.csv, waves.vcd, timing.svg and trace.txt (with several "
                   "scenarios, in a directory of each scenario's name below it)")
        ->type_name("DIR");
    app.add_option("--json", settings.json,
                   "Write the results of every scenario as one JSON document (schema vibra-sim/1; '-': standard "
                   "output, with --quiet)")
        ->type_name("FILE");
    app.add_option("--junit", settings.junit,
                   "Write the results as JUnit XML for CI: a test case an expectation, a test suite a scenario "
                   "('-': standard output, with --quiet)")
        ->type_name("FILE");
    app.add_flag("--strict", settings.strict,
                 "Fail the run (exit 1) on a warning too, such as an armed fault that never took effect");
    app.add_flag("-q,--quiet", settings.quiet, "Do not print the report on standard output (errors still go to stderr)");
    app.add_option("--trace", settings.trace, "Write the driver's trace lines with time, level and flags ('-': stderr)")
        ->type_name("FILE");
    app.add_option("--events", settings.events, "Write the GPIO line writes as CSV (time_us,line,value,status)")
        ->type_name("FILE");
    app.add_option("--vcd", settings.vcd, "Write a Value Change Dump of the enable and drive lines and the stored state")
        ->type_name("FILE");
    app.add_option("--svg", settings.svg, "Write an SVG timing diagram of the lines, the state and the calls")
        ->type_name("FILE");
    app.add_option("--from", settings.from, "Start the SVG's window here, e.g. 2s (default: the start of the run)")
        ->type_name("TIME");
    app.add_option("--to", settings.to, "End the SVG's window here, e.g. 2150ms (default: the end of the run)")
        ->type_name("TIME");
    app.parse_complete_callback([&settings] {
        SvgWindow window;
        std::string error;
        if (!parse_svg_window(settings.from, settings.to, window, error)) {
            throw CLI::ValidationError(error);
        }
        if ((!settings.from.empty() || !settings.to.empty()) && settings.svg.empty() && settings.out.empty()) {
            throw CLI::ValidationError("--from and --to choose what the SVG shows; expected --svg FILE or --out DIR");
        }
    });
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
    app.add_option("--list", settings.list,
                   "Print what scenarios accept, one a line: the commands with their arguments, the fault "
                   "operations or the status names")
        ->type_name("commands|faults|statuses")
        ->check(CLI::Validator(
            [](const std::string &what) {
                return list_names(what) ? std::string{}
                                        : "unknown list '" + what.substr(0, 40) + "'" +
                                              did_you_mean(what, {"commands", "faults", "statuses"}) + "expected " +
                                              std::string(kListWords);
            },
            ""));
    app.add_flag("--explore", settings.explore,
                 "Play random scenarios from a seed and check that the driver holds its invariants (with "
                 "--scenario: check that scenario alone)");
    app.add_option("--seed", settings.seed,
                   "Seed of the exploration (default: from the clock; printed), or of the --schedule of a played "
                   "scenario (default 0)")
        ->type_name("N");
    app.add_option("--schedule", settings.schedule,
                   "How simulated threads interleave: sequential (default when playing), random, "
                   "pct[:DEPTH[:STEPS]] (default pct:3:2000 when exploring), or choices[:POINT.INDEX,...] (one "
                   "schedule of --exhaustive, as its failure report gives it)")
        ->type_name("POLICY");
    app.add_option("--completions", settings.completions,
                   "Where a played scenario's GPIO completions run: later, as events of their own (default), "
                   "inside the send, or seeded (each send chooses by --seed)")
        ->type_name("later|inside|seeded")
        ->check(CLI::IsMember({"later", "inside", "seeded"}));
    app.add_option("--clock", settings.clock,
                   "When a played scenario's timers fire: exact (default) or ticks (at the first clock tick at or "
                   "after the due time: 15.625 ms, or 1 ms while the driver holds that resolution)")
        ->type_name("exact|ticks")
        ->check(CLI::IsMember({"exact", "ticks"}));
    app.add_flag("--serial-calls", settings.serial_calls,
                 "Deliver a device's class-extension calls one at a time, as a kinder class extension would "
                 "(by default calls on different threads overlap)");
    app.add_flag("--power-transitions", settings.power_transitions,
                 "Run start, stop and teardown as power transitions, during which ExSetTimerResolution blocks "
                 "(virtual time; the explorer always does)");
    app.add_option("--runs", settings.runs, "Scenarios the exploration plays (default 100)")->type_name("N");
    app.add_option("--steps", settings.steps, "Commands in each explored scenario (default 40)")
        ->type_name("N")
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--fault-rate", settings.fault_rate,
                   "Probability that an explored step arms or clears a fault (default 0.1)")
        ->type_name("P")
        ->check(finite)
        ->check(CLI::Range(0.0, 1.0));
    add_systematic_options(app, settings);
    add_exhaustive_options(app, settings);
    CLI::Option *timing = app.add_flag(
        "--timing", settings.timing,
        "With --realtime: run the drive on real threads and report its step intervals, lateness and CPU time "
        "beside a bare loop sleeping to the same 3.3 ms deadlines, the two taking turns (no scenario is played)");
    app.add_option("--duration", settings.timing_seconds, "Seconds of vibration that --timing measures (default 10)")
        ->type_name("S")
        ->check(CLI::Range(0.1, 86400.0))
        ->needs(timing);
    app.add_option("--timer-slack", settings.timer_slack_ns,
                   "Timer slack of --timing's bare loop and of waits with a time-out, in ns (default 1; 0: the host's "
                   "default); the platform's timers fire at their due time whatever the slack")
        ->type_name("NS")
        ->check(CLI::Range(0ul, 1'000'000'000ul))
        ->needs(timing);
    for (const char *other :
         {"--scenario", "--explore", "--check", "--schedule", "--print-default", "--json", "--junit", "--list"}) {
        timing->excludes(app.get_option(other));
    }
    for (const char *results : {"--json", "--junit", "--quiet"}) {
        app.get_option("--explore")->excludes(app.get_option(results));
    }
    app.set_version_flag("--version", "vibra-sim " VIBRA_VERSION);
}

bool options_fit_the_run(const CLI::App &app, const Settings &settings)
{
    if (settings.explore) {
        return true;
    }
    for (const char *name : {"--runs", "--steps", "--fault-rate"}) {
        if (app.count(name) != 0) {
            complain() << name << " sets up the explorer; expected it with --explore\n";
            return false;
        }
    }
    if (settings.seed && settings.completions != "seeded") {
        std::string ignored;
        const std::optional<vsim::Schedule> schedule =
            settings.schedule.empty() ? std::nullopt : vsim::parse_schedule(settings.schedule, &ignored);
        if (!schedule || schedule->policy == vsim::SchedulePolicy::Sequential) {
            complain() << "--seed seeds the explorer or a random schedule; expected it with --explore, "
                          "with --schedule random or pct, or with --completions seeded\n";
            return false;
        }
    }
    return true;
}

int print_list(const Settings &settings)
{
    for (const std::string &line : list_names(settings.list).value_or(std::vector<std::string>{})) {
        std::cout << line << "\n";
    }
    return std::cout.flush() ? 0 : kExitUsage;
}

Outputs output_paths(const Settings &settings)
{
    Outputs paths{settings.events, settings.vcd, settings.svg, settings.trace, {}};
    std::string ignored;  // checked when the options were parsed
    parse_svg_window(settings.from, settings.to, paths.svg_window, ignored);
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
