// SPDX-License-Identifier: MIT
// The options of the bounded exhaustive search, and the search itself.
#include <CLI/CLI.hpp>

#include <iostream>

#include "complain.h"
#include "cli/settings.h"
#include "explore/exhaustive.h"
#include "explore/explore.h"

namespace vibra_tool::cli {

void add_exhaustive_options(CLI::App &app, Settings &settings)
{
    CLI::Option *exhaustive = app.add_flag(
        "--exhaustive", settings.exhaustive,
        "With --explore --scenario FILE: run every schedule of the scenario with at most --preemptions "
        "preemptions, fewest first, each checked as the explorer checks a run");
    app.add_option("--preemptions", settings.preemptions,
                   "With --exhaustive: the most preemptions a schedule may have (default 2)")
        ->type_name("K")
        ->check(CLI::Range(0u, 20u))
        ->needs(exhaustive);
    app.add_option("--max-schedules", settings.max_schedules,
                   "With --exhaustive: stop after this many schedules, the space then not covered (default 100000)")
        ->type_name("N")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1'000'000'000}))
        ->needs(exhaustive);
    exhaustive->needs(app.get_option("--explore"));
    for (const char *other : {"--runs", "--steps", "--fault-rate", "--shard"}) {
        exhaustive->excludes(app.get_option(other));
    }
}

int run_exhaustive(const Settings &settings)
{
    if (settings.scenarios.size() != 1 || settings.scenarios.front() == "-") {
        complain() << "--exhaustive runs one scenario many times; expected a single --scenario FILE\n";
        return kExitUsage;
    }
    if (!settings.schedule.empty()) {
        complain() << "--exhaustive chooses the schedules itself; expected no --schedule (a failing schedule "
                      "replays with --explore --scenario FILE --schedule choices:...)\n";
        return kExitUsage;
    }
    const std::vector<Scenario> scenarios = load_scenarios(settings);
    if (scenarios.empty() || !within_max_time(scenarios.front(), settings)) {
        return kExitUsage;
    }
    SearchOptions options;
    options.preemptions = settings.preemptions;
    options.max_schedules = settings.max_schedules;
    options.schedule.seed = settings.seed.value_or(0);
    return explore_exhaustive(scenarios.front(), settings.scenarios.front(), options, std::cout, std::cerr);
}

}  // namespace vibra_tool::cli
