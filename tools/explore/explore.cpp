// SPDX-License-Identifier: MIT
#include "explore/explore.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <memory>
#include <cstdio>
#include <ostream>
#include <sstream>

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "player/player.h"

namespace vibra_tool {
namespace {

// ---------------------------------------------------------------------------
// Crash notes: what to print if the process dies in the middle of a run.

// The handler reads only the published text and length, lock-free atomics,
// and calls write(2): no string member runs inside a signal handler.
std::string crash_note;
std::atomic<const char *> crash_note_text{nullptr};
std::atomic<size_t> crash_note_size{0};
static_assert(std::atomic<const char *>::is_always_lock_free && std::atomic<size_t>::is_always_lock_free);

void set_crash_note(std::string note)
{
    crash_note_text = nullptr;
    crash_note = std::move(note);
    crash_note_size = crash_note.size();
    crash_note_text = crash_note.empty() ? nullptr : crash_note.data();
}

void write_crash_note()
{
    const char *text = crash_note_text;
    if (text != nullptr) {
        ssize_t ignored = ::write(STDERR_FILENO, text, crash_note_size);
        (void)ignored;
    }
}

extern "C" void on_fatal_signal(int signal)
{
    write_crash_note();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

class CrashNotes {
public:
    CrashNotes()
    {
        for (size_t i = 0; i < kSignals.size(); ++i) {
            previous_[i] = std::signal(kSignals[i], on_fatal_signal);
        }
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_set_death_callback(write_crash_note);
#endif
    }
    ~CrashNotes()
    {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_set_death_callback(nullptr);
#endif
        for (size_t i = 0; i < kSignals.size(); ++i) {
            std::signal(kSignals[i], previous_[i]);
        }
        set_crash_note({});
    }

private:
    static constexpr std::array<int, 5> kSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
    std::array<void (*)(int), 5> previous_{};
};

std::string options_line(const ExploreOptions &options)
{
    std::ostringstream text;
    text << "--seed " << options.seed << " --runs " << options.runs << " --steps " << options.steps
         << " --fault-rate " << options.fault_rate << " --schedule " << vsim::format_schedule(options.schedule);
    if (options.shards > 1) {
        text << " --shard " << options.shard + 1 << "/" << options.shards;
    }
    return text.str();
}

}  // namespace

void write_switches(std::ostream &out, const RunResult &result)
{
    constexpr size_t kShown = RunResult::kShownSwitches;
    out << "schedule: " << result.scheduling_points << " scheduling points, " << result.switch_count << " switches"
        << (result.switch_count > kShown ? "; the last " + std::to_string(kShown) + ":" : ":") << "\n";
    for (const vsim::SwitchRecord &record : result.switches) {
        out << "  " << format_time(record.time) << "  " << record.from << " -> " << record.to << "  (" << record.at
            << ")\n";
    }
}

void write_findings(std::ostream &out, const std::vector<Finding> &findings)
{
    for (const Finding &finding : findings) {
        out << "  - " << (finding.stuck ? "stuck: " : "") << finding.text << "\n";
    }
}

int explore(const ExploreOptions &options, std::ostream &out, std::ostream &progress)
{
    out << "vibra-sim explore: " << options_line(options) << "\n" << std::flush;
    CrashNotes notes;
    uint64_t commands = 0;
    uint64_t faults = 0;
    uint64_t failed_calls = 0;
    uint64_t points = 0;
    uint64_t switches = 0;
    uint32_t played = 0;
    for (uint64_t index = options.shard; index < options.runs; index += std::max<uint32_t>(options.shards, 1)) {
        const auto run = static_cast<uint32_t>(index);
        ++played;
        const uint64_t seed = run_seed(options.seed, run);
        const std::string text = format_scenario(generate_scenario(seed, options.steps, options.fault_rate));
        const ParseResult parsed = parse_scenario(text, "run " + std::to_string(run));
        if (!parsed.scenario) {
            out << "internal error: the generated scenario of run " << run << " does not parse: " << parsed.error
                << "\n" << text;
            return 2;
        }
        char seed_text[32];
        std::snprintf(seed_text, sizeof seed_text, "0x%016llx", static_cast<unsigned long long>(seed));
        const std::string heading = "run " + std::to_string(run) + " of " + std::to_string(options.runs) +
                                    " (seed " + std::to_string(options.seed) + ", run seed " + seed_text + ")";
        const std::string reproduce =
            "reproduce: vibra-sim --explore " + options_line(options) + "   (stops at this run)\n"
            "or save the scenario below and run: vibra-sim --explore --scenario FILE --schedule " +
            vsim::format_schedule(options.schedule) + " --seed " + std::to_string(seed) + "   (this run alone)\n";
        set_crash_note("\nvibra-sim explore: CRASH in " + heading + "\n" + reproduce + "scenario:\n" + text);

        vsim::Schedule schedule = options.schedule;
        schedule.seed = seed;
        const RunResult result = check_scenario(*parsed.scenario, schedule);
        commands += parsed.scenario->commands.size();
        for (const Command &command : parsed.scenario->commands) {
            faults += command.kind == CommandKind::Fault;
        }
        for (const CallRecord &call : result.recording.calls) {
            failed_calls += call.status && *call.status < 0;
        }
        points += result.scheduling_points;
        switches += result.switch_count;
        if (!result.findings.empty()) {
            const int status = exit_status(result.findings);
            out << "\nFAILED " << heading << ": " << (status == kExitStuck ? "a stuck run" : "a wrong result")
                << "\nfindings:\n";
            write_findings(out, result.findings);
            out << reproduce << "schedule: " << vsim::format_schedule(schedule) << ", seed " << seed_text
                << " (replay: --schedule " << vsim::format_schedule(schedule) << " --seed " << seed << ")\n";
            write_switches(out, result);
            out << "scenario:\n" << text;
            return status;
        }
        if (played % 10 == 0) {
            progress << "explore: " << run + 1 << "/" << options.runs << " runs held\n" << std::flush;
        }
    }
    out << "all " << played << " runs" << (options.shards > 1 ? " of the shard" : "") << " held: " << commands
        << " commands, " << faults << " faults armed, " << failed_calls << " calls returned a failure status; " << points << " scheduling points, " << switches
        << " thread switches\n";
    return 0;
}

int explore_scenario(const Scenario &scenario, const vsim::Schedule &schedule, std::ostream &out)
{
    out << "vibra-sim explore: " << scenario.name << ", " << scenario.commands.size() << " commands, schedule "
        << vsim::format_schedule(schedule) << ", seed " << schedule.seed << "\n";
    vsim::Schedule replay = schedule;
    if (replay.policy == vsim::SchedulePolicy::Choices && !replay.log) {
        replay.log = std::make_shared<vsim::ChoiceLog>();
    }
    const RunResult result = check_scenario(scenario, replay);
    if (replay.log &&
        (replay.log->mismatch || (!replay.forced.empty() && replay.forced.back().point >= replay.log->points.size()))) {
        out << "the choices do not fit this scenario: the run met " << replay.log->points.size()
            << " choice points, and a forced choice names a point or a candidate it did not have; expected the "
               "choices the search printed for this scenario and --seed\n";
        return 2;
    }
    if (result.findings.empty()) {
        out << "the run held\n";
        return 0;
    }
    const int status = exit_status(result.findings);
    out << "FAILED: " << (status == kExitStuck ? "a stuck run" : "a wrong result") << "\nfindings:\n";
    write_findings(out, result.findings);
    write_switches(out, result);
    return status;
}

}  // namespace vibra_tool