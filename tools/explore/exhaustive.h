// SPDX-License-Identifier: MIT
// The bounded exhaustive search: every schedule of one scenario with at most
// K preemptions, each run once under the Choices schedule and checked as the
// explorer checks a run (check_scenario). Iterative context bounding: first
// every schedule with no preemption, then every one with exactly one, and so
// on up to K.
//
// What is enumerated: at every choice point of the scenario's commands (from
// the set-up to the last command and the threads it left ready), which
// ready thread runs: at a platform call the running thread goes on or another
// ready thread preempts it (a preemption); where a thread parks or ends, any
// ready thread may follow (free); where the main thread would move virtual
// time on, the ready threads run first, in any order (free), or, within the
// schedule's window, time moves on while they wait (a preemption); where the
// next call or event is due at the same instant, it may arrive before the
// ready threads run (free). What is not: the settle phase and the end checks
// after the commands run with the default choices, and where a completion
// runs (inside the send or later) comes from the seeded stream of --seed.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "scenario/scenario.h"
#include "sim.h"

namespace vibra_tool {

// One run of the search: whether it failed, and how many of its choice
// points (from the first) the search may branch on.
struct SearchRun {
    bool failed = false;
    size_t points = 0;
};

struct SearchOptions {
    uint32_t preemptions = 2;
    uint64_t max_schedules = 100'000;
    vsim::Schedule schedule;  // its window and seed; policy and choices are the search's
    // Called after each run with the runs so far and the bound being searched.
    std::function<void(uint64_t runs, uint32_t bound)> progress;
};

struct SearchResult {
    std::vector<uint64_t> schedules;  // run, by number of preemptions
    bool covered = false;             // every schedule within the bound was run
    bool nondeterministic = false;    // a replayed prefix met other choice points
    uint64_t runs = 0;
    // The first failing schedule: its forced choices, its preemptions and its
    // number among the runs (from 1).
    std::optional<std::vector<vsim::Choice>> failing;
    uint32_t failing_preemptions = 0;
};

// The search over whatever `run` plays: it runs the schedule it is given
// (whose log it must leave filled) and says whether the run failed.
SearchResult search(const std::function<SearchRun(const vsim::Schedule &)> &run, const SearchOptions &options);

// The preemptions of a schedule's forced choices, as its log recorded them.
uint32_t preemptions(const std::vector<vsim::Choice> &forced, const vsim::ChoiceLog &log);

// --explore --exhaustive: the search over `scenario` (read from `file`),
// with check_scenario's checks. Writes the schedules per bound, whether the
// space was covered, and the first failure with the line that replays it, to
// `out`; progress lines ("explore: ") to `progress`. Returns the explorer's
// exit status.
int explore_exhaustive(const Scenario &scenario, const std::string &file, const SearchOptions &options,
                       std::ostream &out, std::ostream &progress);

}  // namespace vibra_tool
