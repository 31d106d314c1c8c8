// SPDX-License-Identifier: MIT
#include "explore/exhaustive.h"

#include <algorithm>
#include <memory>
#include <ostream>

#include "explore/explore.h"
#include "player/player.h"

namespace vibra_tool {
namespace {

// A schedule still to run: its forced choices.
struct Pending {
    std::vector<vsim::Choice> forced;
};

std::string plural(uint64_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

uint32_t preemptions(const std::vector<vsim::Choice> &forced, const vsim::ChoiceLog &log)
{
    uint32_t count = 0;
    for (const vsim::Choice &choice : forced) {
        count += choice.point < log.points.size() && log.points[choice.point].costs(choice.index);
    }
    return count;
}

SearchResult search(const std::function<SearchRun(const vsim::Schedule &)> &run, const SearchOptions &options)
{
    SearchResult result;
    result.schedules.assign(options.preemptions + 1, 0);
    // One stack of schedules to run per number of preemptions: the search
    // ends a bound's stack, depth first, before it starts the next one's.
    std::vector<std::vector<Pending>> pending(options.preemptions + 1);
    pending[0].push_back({});
    for (uint32_t bound = 0; bound <= options.preemptions; ++bound) {
        while (!pending[bound].empty()) {
            if (result.runs == options.max_schedules) {
                return result;
            }
            const Pending next = std::move(pending[bound].back());
            pending[bound].pop_back();
            vsim::Schedule schedule = options.schedule;
            schedule.policy = vsim::SchedulePolicy::Choices;
            schedule.forced = next.forced;
            schedule.log = std::make_shared<vsim::ChoiceLog>();
            const SearchRun outcome = run(schedule);
            ++result.runs;
            ++result.schedules[bound];
            if (options.progress) {
                options.progress(result.runs, bound);
            }
            const vsim::ChoiceLog &log = *schedule.log;
            if (log.mismatch || preemptions(next.forced, log) != bound) {
                result.nondeterministic = true;
                result.failing = next.forced;
                result.failing_preemptions = bound;
                return result;
            }
            if (outcome.failed) {
                result.failing = next.forced;
                result.failing_preemptions = bound;
                return result;
            }
            // Each alternative at a point after the last forced one is a
            // schedule of its own: the points before it as this run took
            // them, then that alternative, then the defaults.
            const size_t first = next.forced.empty() ? 0 : next.forced.back().point + 1;
            const size_t end = std::min(outcome.points, log.points.size());
            for (size_t point = first; point < end; ++point) {
                const vsim::ChoicePoint &at = log.points[point];
                for (uint32_t index = 0; index < at.candidates; ++index) {
                    const uint32_t cost = bound + (at.costs(index) ? 1 : 0);
                    if (index == at.taken || cost > options.preemptions) {
                        continue;
                    }
                    Pending child{next.forced};
                    child.forced.push_back({uint32_t(point), index});
                    pending[cost].push_back(std::move(child));
                }
            }
        }
    }
    result.covered = true;
    return result;
}

int explore_exhaustive(const Scenario &scenario, const std::string &file, const SearchOptions &options,
                       std::ostream &out, std::ostream &progress)
{
    out << "vibra-sim explore: " << scenario.name << ", " << scenario.commands.size()
        << " commands, every schedule with at most " << plural(options.preemptions, "preemption", "preemptions")
        << " (window " << format_time(options.schedule.window) << ", seed " << options.schedule.seed << ")\n"
        << std::flush;
    std::optional<RunResult> failed;
    const auto run = [&](const vsim::Schedule &schedule) {
        size_t end = SIZE_MAX;
        RunResult result = check_scenario(scenario, schedule, [&end, &schedule](PlayerOptions &player) {
            // Only the commands' choice points are searched: the settle phase
            // and the end checks take the defaults.
            player.after_commands = [&end, log = schedule.log, settle = player.after_commands](vsim::Simulator &sim,
                                                                                               vsim::DeviceId device) {
                end = log->points.size();
                settle(sim, device);
            };
        });
        const SearchRun outcome{!result.findings.empty(), end};
        if (outcome.failed) {
            failed = std::move(result);
        }
        return outcome;
    };
    SearchOptions with_progress = options;
    with_progress.progress = [&progress](uint64_t runs, uint32_t bound) {
        if (runs % 1000 == 0) {
            progress << "explore: " << runs << " schedules held, now those with " << bound << " preemptions\n"
                     << std::flush;
        }
    };
    const SearchResult result = search(run, with_progress);
    for (uint32_t bound = 0; bound < result.schedules.size(); ++bound) {
        if (result.schedules[bound] != 0 || result.covered) {
            out << plural(bound, "preemption", "preemptions") << ": "
                << plural(result.schedules[bound], "schedule", "schedules") << "\n";
        }
    }
    const std::string seed = options.schedule.seed == 0 ? "" : " --seed " + std::to_string(options.schedule.seed);
    if (result.failing) {
        vsim::Schedule schedule = options.schedule;
        schedule.policy = vsim::SchedulePolicy::Choices;
        schedule.forced = *result.failing;
        const std::string replay = "vibra-sim --explore --scenario " + file + " --schedule " +
                                   vsim::format_schedule(schedule) + seed;
        if (result.nondeterministic) {
            out << "\nFAILED schedule " << result.runs << ": the search is not deterministic: replaying its choices "
                << "met other choice points (an internal error)\nreplay: " << replay << "\n";
            return kExitWrongResult;
        }
        const int status = exit_status(failed->findings);
        out << "\nFAILED schedule " << result.runs << " ("
            << plural(result.failing_preemptions, "preemption", "preemptions")
            << "): " << (status == kExitStuck ? "a stuck run" : "a wrong result") << "\nfindings:\n";
        write_findings(out, failed->findings);
        out << "replay: " << replay << "   (this schedule alone)\n"
            << "the search found no failure with fewer preemptions\n";
        write_switches(out, *failed);
        return status;
    }
    if (result.covered) {
        out << "all " << plural(result.runs, "schedule", "schedules") << " held; covered: every schedule with at most "
            << plural(options.preemptions, "preemption", "preemptions") << " was run\n";
    } else {
        out << result.runs << " schedules held; not covered: the search stopped at --max-schedules "
            << options.max_schedules << "\n";
    }
    return 0;
}

}  // namespace vibra_tool
