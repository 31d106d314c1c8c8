// SPDX-License-Identifier: MIT
// The explorer and the real-threads timing report; played scenarios are in
// play.cpp.
#include <algorithm>
#include <chrono>
#include <iostream>

#include "complain.h"
#include "explore/explore.h"
#include "scenario/scenario.h"
#include "cli/settings.h"
#include "player/timing.h"

namespace vibra_tool::cli {

Ticks max_ticks(const Settings &settings) { return static_cast<Ticks>(settings.max_time_s * vsim::kTicksPerSecond); }

bool within_max_time(const Scenario &scenario, const Settings &settings)
{
    const Ticks last = scenario.commands.empty() ? 0 : scenario.commands.back().time;
    if (last <= max_ticks(settings)) {
        return true;
    }
    complain() << scenario.name << ": the scenario runs to " << format_duration(last) << ", past --max-time "
               << format_duration(max_ticks(settings)) << "; expected a shorter scenario or a larger --max-time\n";
    return false;
}

int run_explorer(const Settings &settings)
{
    if (settings.exhaustive) {
        return run_exhaustive(settings);
    }
    if (settings.scenarios.size() > 1) {
        complain() << "--explore checks one scenario; expected a single --scenario\n";
        return kExitUsage;
    }
    if (!settings.scenarios.empty()) {
        const std::vector<Scenario> scenarios = load_scenarios(settings);
        if (scenarios.empty() || !within_max_time(scenarios.front(), settings)) {
            return kExitUsage;
        }
        const Scenario *const scenario = &scenarios.front();
        const std::optional<vsim::Schedule> schedule =
            schedule_option(settings, ExploreOptions::default_explore_schedule());
        if (!schedule) {
            return kExitUsage;
        }
        return explore_scenario(*scenario, *schedule, std::cout);
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
    std::cerr << "Measuring: a bare loop and the drive taking turns, " << options.seconds << " s of each...\n";
    const TimingResult result = measure_timing(options);
    write_timing_report(std::cout, result);
    const bool verifier = std::any_of(result.errors.begin(), result.errors.end(),
                                      [](const std::string &error) { return error.rfind("verifier: ", 0) == 0; });
    return verifier ? kExitVerifier : result.errors.empty() ? 0 : kExitExpectation;
}

}  // namespace vibra_tool::cli
