// SPDX-License-Identifier: MIT
// Played scenarios: one or several in a run, each with its report and output
// files, and the machine-readable results of all of them.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "complain.h"
#include "cli/interrupts.h"
#include "outputs/progress.h"
#include "outputs/report.h"
#include "outputs/results.h"
#include "scenario/errno_text.h"
#include "cli/settings.h"
#include "player/trace_log.h"

#ifndef VIBRA_VERSION
#define VIBRA_VERSION "0.0.0"
#endif

namespace vibra_tool::cli {
namespace {

void tell_where_files_are(std::ostream &out, const Outputs &paths)
{
    if (paths.events.empty() && paths.vcd.empty() && paths.svg.empty()) {
        out << "\nNo waveform files written; add --out DIR (or --vcd, --svg, --events FILE) to keep them.\n";
        return;
    }
    out << "\nWaveform files:\n";
    if (!paths.vcd.empty()) {
        out << "  VCD     " << paths.vcd << "   (gtkwave " << paths.vcd << ", or PulseView / sigrok-cli)\n";
    }
    if (!paths.svg.empty()) {
        out << "  SVG     " << paths.svg << "   (any web browser)\n";
    }
    if (!paths.events.empty()) {
        out << "  events  " << paths.events << "\n";
    }
    if (!paths.trace.empty() && paths.trace != "-") {
        out << "  trace   " << paths.trace << "\n";
    }
}

// A run ended by Ctrl-C or SIGTERM: the report and the files cover it up to
// where it stopped.
void tell_if_interrupted(std::ostream &report, const Recording &recording)
{
    if (recording.interrupted) {
        report << "\ninterrupted at " << format_duration(recording.end)
               << ": the report and the files cover the run up to there\n";
        complain() << "interrupted at " << format_duration(recording.end) << "\n";
    }
}

// The options every played scenario shares; false after saying on stderr
// what is wrong.
bool player_options(const Settings &settings, PlayerOptions &options)
{
    std::string error;
    if (settings.open_masks) {
        options.masks.fill(0xFFFFFFFFu);
    }
    for (const std::string &mask : settings.masks) {
        if (!parse_mask_option(mask, options, error)) {
            complain() << error << "\n";
            return false;
        }
    }
    options.gpio_latency = static_cast<Ticks>(settings.gpio_latency_us * vsim::kTicksPerUs);
    options.realtime = settings.realtime;
    const std::optional<vsim::Schedule> schedule = schedule_option(settings, vsim::Schedule{});
    if (!schedule) {
        return false;
    }
    options.schedule = *schedule;
    if (settings.realtime && (!settings.completions.empty() || !settings.clock.empty() || settings.power_transitions)) {
        complain() << "--completions, --clock and --power-transitions shape virtual time; --realtime runs on real "
                      "threads\n";
        return false;
    }
    options.serialise_client_calls = settings.serial_calls;
    options.power_transitions = settings.power_transitions;
    options.completions = settings.completions == "inside"   ? vsim::Completions::InsideSend
                          : settings.completions == "seeded" ? vsim::Completions::Seeded
                                                             : vsim::Completions::Later;
    options.timer_clock = settings.clock == "ticks" ? vsim::TimerClock::ClockTicks : vsim::TimerClock::Exact;
    if (settings.realtime && schedule->policy != vsim::SchedulePolicy::Sequential) {
        complain() << "--schedule " << settings.schedule
                   << ": schedules interleave in virtual time; --realtime runs on real threads\n";
        return false;
    }
    return true;
}

// Where the results go to standard output, the report must not.
bool results_options_fit(const Settings &settings)
{
    if (settings.json == "-" && settings.junit == "-") {
        complain() << "--json - and --junit - would both write to standard output; expected a file for "
                      "one of them\n";
        return false;
    }
    for (const std::string *option : {&settings.json, &settings.junit}) {
        if (*option == "-" && !settings.quiet) {
            complain() << (option == &settings.json ? "--json" : "--junit")
                       << " - would mix with the report on standard output; expected --quiet with it, or a file\n";
            return false;
        }
    }
    return true;
}

// With several scenarios, each one's files go below --out; a file named
// alone could hold only one of them.
bool outputs_fit(const Settings &settings)
{
    if (settings.scenarios.size() < 2) {
        return true;
    }
    const std::pair<const char *, const std::string *> named[] = {{"--events", &settings.events},
                                                                  {"--vcd", &settings.vcd},
                                                                  {"--svg", &settings.svg},
                                                                  {"--trace", &settings.trace}};
    for (const auto &[option, path] : named) {
        if (!path->empty() && *path != "-") {
            complain() << option << " names one file, but " << settings.scenarios.size()
                       << " scenarios are played; expected -o DIR, which keeps each scenario's files in "
                          "DIR/<scenario name>/\n";
            return false;
        }
    }
    return true;
}

// The results files, opened before anything runs; null for standard output.
bool open_results(const std::string &path, std::unique_ptr<std::ofstream> &file)
{
    if (path.empty() || path == "-") {
        return true;
    }
    std::string error;
    if (const std::filesystem::path dir = std::filesystem::path(path).parent_path(); !dir.empty()) {
        std::error_code ignored;  // a directory that cannot be made fails the open below
        std::filesystem::create_directories(dir, ignored);
    }
    file = open_output(path, error);
    if (!file) {
        complain() << error << "\n";
    }
    return file != nullptr;
}

bool finish_results(const std::string &path, std::unique_ptr<std::ofstream> &file,
                    const std::vector<ScenarioResult> &results, bool json)
{
    if (path.empty()) {
        return true;
    }
    std::ostream &out = file ? static_cast<std::ostream &>(*file) : std::cout;
    if (json) {
        write_json(out, results, VIBRA_VERSION);
    } else {
        write_junit(out, results);
    }
    std::string error;
    if (file && !close_output(*file, path, error)) {
        complain() << error << "\n";
        return false;
    }
    errno = 0;
    if (!file && !std::cout.flush()) {
        complain() << "standard output: " << (errno ? errno_text(errno) : "write failed") << "\n";
        return false;
    }
    return true;
}

// Plays one scenario with its outputs; the exit status it alone gives.
int play_one(const Scenario &scenario, const Settings &settings, PlayerOptions options, const Outputs &paths,
             std::ostream &report, Recording &recording)
{
    std::string error;
    // Settling stops at --max-time too.
    const Ticks last = scenario.commands.empty() ? 0 : scenario.commands.back().time;
    options.settle = std::min(static_cast<Ticks>(settings.settle_ms * vsim::kTicksPerMs), max_ticks(settings) - last);
    // Open the trace first so that a bad path stops the run before it starts.
    std::unique_ptr<std::ofstream> trace_file;
    std::ostream *trace = nullptr;
    if (paths.trace == "-") {
        trace = &std::cerr;
    } else if (!paths.trace.empty()) {
        trace_file = open_output(paths.trace, error);
        if (!trace_file) {
            complain() << error << "\n";
            return kExitUsage;
        }
        trace = trace_file.get();
    }
    if (trace) {
        options.on_trace = [trace](const TraceRecord &record) { write_trace_line(*trace, record); };
    }
    // Progress shares stderr with nothing: a trace going there turns it off.
    Progress progress(std::cerr, last, stderr_is_terminal());
    if (settings.realtime && paths.trace != "-") {
        options.on_progress = [&progress](Ticks now) { progress.show(now); };
    }
    Streams streams;
    if (!streams.open(paths, scenario, VIBRA_VERSION, options, error)) {
        complain() << error << "\n";
        return kExitUsage;
    }
    options.interrupt = &catch_interrupts();
    recording = play(scenario, options);
    release_interrupts();
    progress.finish();
    write_report(report, recording);
    tell_if_interrupted(report, recording);
    // A window that starts past the run's end would draw an empty picture.
    bool window_fits = true;
    if (!paths.svg.empty() && paths.svg_window.from > 0 && paths.svg_window.from >= recording.end &&
        !recording.interrupted) {
        complain() << "--from " << format_duration(paths.svg_window.from) << " is past the end of the run at "
                   << format_duration(recording.end) << "; expected a window within 0ms to "
                   << format_duration(recording.end) << "\n";
        window_fits = false;
    }
    bool written = streams.finish(recording, error);
    if (!written) {
        complain() << error << "\n";
    }
    if (trace_file && !close_output(*trace_file, paths.trace, error)) {
        complain() << error << "\n";
        written = false;
    }
    tell_where_files_are(report, paths);
    errno = 0;
    if (!settings.quiet && !std::cout.flush()) {
        complain() << "standard output: " << (errno ? errno_text(errno) : "write failed") << "\n";
        written = false;
    }
    for (const std::string &failure : recording.verifier_failures) {
        complain() << "verifier: " << failure << "\n";
    }
    if (!recording.setup_failure.empty()) {
        complain() << recording.scenario << ": set-up failed: " << recording.setup_failure << "\n";
    }
    for (const std::string &failure : recording.expectation_failures) {
        complain() << failure << "\n";
    }
    for (const std::string &warning : recording.warnings) {
        complain() << "warning: " << warning << "\n";
    }
    if (recording.interrupted) {
        return kExitSignalBase + interrupt_signal();
    }
    if (!recording.verifier_failures.empty()) {
        return kExitVerifier;
    }
    if (!recording.expectation_failures.empty() || !recording.setup_failure.empty() ||
        (settings.strict && !recording.warnings.empty())) {
        return kExitExpectation;
    }
    return written && window_fits ? 0 : kExitUsage;
}

// Some scenarios were refused: each one's errors on stderr, and, when asked
// for, results files where the refused are errors and the rest unplayed.
int report_refused(const Settings &settings, const std::vector<ParseResult> &parsed)
{
    std::vector<ScenarioResult> results(parsed.size());
    for (size_t index = 0; index < parsed.size(); ++index) {
        const std::string source = settings.scenarios.empty() ? std::string("<default>") : settings.scenarios[index];
        results[index].recording.scenario = source == "-" ? "<stdin>" : source;
        results[index].exit_status = kExitUsage;
        if (parsed[index].scenario) {
            results[index].played = false;
        } else {
            complain(parsed[index].error);
            results[index].parse_error = parsed[index].error;
        }
    }
    if (parsed.size() > 1) {
        complain() << "no scenario was played; expected every scenario to be well formed\n";
    }
    if (settings.check_only) {
        return kExitUsage;
    }
    std::unique_ptr<std::ofstream> json_file, junit_file;
    if (open_results(settings.json, json_file) && open_results(settings.junit, junit_file)) {
        finish_results(settings.json, json_file, results, true);
        finish_results(settings.junit, junit_file, results, false);
    }
    return kExitUsage;
}

}  // namespace

int run(const Settings &settings)
{
    if (!results_options_fit(settings) || !outputs_fit(settings)) {
        return kExitUsage;
    }
    // Every scenario is read and checked before any is played. When one is
    // refused none is played, but the results files are still written, the
    // refused ones as errors, so that a CI sees why.
    std::vector<ParseResult> parsed = read_scenarios(settings);
    const bool refused = std::any_of(parsed.begin(), parsed.end(), [](const ParseResult &one) { return !one.scenario; });
    if (refused) {
        return report_refused(settings, parsed);
    }
    std::vector<Scenario> scenarios;
    for (ParseResult &one : parsed) {
        scenarios.push_back(std::move(*one.scenario));
    }
    const bool fit = std::all_of(scenarios.begin(), scenarios.end(),
                                 [&](const Scenario &scenario) { return within_max_time(scenario, settings); });
    if (!fit) {
        return kExitUsage;
    }
    if (settings.check_only) {
        for (const Scenario &scenario : scenarios) {
            std::cout << scenario.name << ": " << scenario.commands.size()
                      << (scenario.commands.size() == 1 ? " command" : " commands") << ", well formed\n";
        }
        return 0;
    }
    PlayerOptions options;
    if (!player_options(settings, options)) {
        return kExitUsage;
    }
    // Each scenario's files: as named for one; below --out for several.
    std::vector<Outputs> paths;
    std::vector<std::string> dirs;
    if (scenarios.size() == 1) {
        paths.push_back(output_paths(settings));
        dirs.push_back(settings.out);
    } else {
        for (const std::string &stem : scenario_stems(settings.scenarios)) {
            Settings own = settings;
            own.out = settings.out.empty() ? "" : (std::filesystem::path(settings.out) / stem).string();
            paths.push_back(output_paths(own));
            dirs.push_back(own.out);
        }
    }
    for (const std::string &dir : dirs) {
        std::error_code ignored;
        if (!dir.empty()) {
            std::filesystem::create_directories(dir, ignored);
        }
    }
    std::unique_ptr<std::ofstream> json_file, junit_file;
    if (!open_results(settings.json, json_file) || !open_results(settings.junit, junit_file)) {
        return kExitUsage;
    }

    std::ostream quiet(nullptr);
    std::ostream &report = settings.quiet ? quiet : std::cout;
    std::vector<ScenarioResult> results(scenarios.size());
    int worst = 0;
    for (size_t index = 0; index < scenarios.size(); ++index) {
        if (index > 0) {
            report << "\n" << std::string(78, '=') << "\n\n";
        }
        results[index].exit_status = play_one(scenarios[index], settings, options, paths[index], report,
                                              results[index].recording);
        results[index].recording.scenario = scenarios[index].name;
        if (results[index].recording.interrupted) {
            // An interrupted run plays no further scenario; its results hold
            // what was played.
            results.resize(index + 1);
            worst = results[index].exit_status;
            break;
        }
        worst = worst_exit_status(worst, results[index].exit_status);
    }
    if (results.size() > 1) {
        report << "\n" << results.size() << " scenarios:";
        for (const ScenarioResult &result : results) {
            report << " " << result.recording.scenario << " " << result.exit_status << ";";
        }
        report << " exit status " << worst << "\n";
    }
    const bool json_ok = finish_results(settings.json, json_file, results, true);
    const bool junit_ok = finish_results(settings.junit, junit_file, results, false);
    if (worst >= kExitSignalBase) {
        return worst;
    }
    return json_ok && junit_ok ? worst : worst_exit_status(worst, kExitUsage);
}

}  // namespace vibra_tool::cli
