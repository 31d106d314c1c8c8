// SPDX-License-Identifier: MIT
#include "explore/systematic.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ostream>

#include "explore/explore.h"
#include "player/player.h"
#include "scenario/scenario.h"
#include "scenario/status.h"

namespace vibra_tool {
namespace {

// As long as the explorer's settle phase allows pending work.
constexpr Ticks kSettleBound = 5 * vsim::kTicksPerSecond;

std::optional<Scenario> parse(const SystematicInput &input, const std::optional<Injection> &injection,
                              std::string *error)
{
    const std::string text = injection ? injection_line(*injection) + "\n" + input.text : input.text;
    ParseResult parsed = parse_scenario(text, input.name);
    if (!parsed.scenario) {
        *error = parsed.error;
        return std::nullopt;
    }
    // A failed call changes what the scenario's own expectations should be:
    // they are not judged here.
    for (Command &command : parsed.scenario->commands) {
        command.expect_status.reset();
        command.expect_bytes.reset();
        command.expect_output.reset();
        if (command.kind == CommandKind::Check) {
            command.kind = CommandKind::Wait;
        }
    }
    return std::move(parsed.scenario);
}

// What a run saw once its commands were done and its pending work ran out,
// faults still armed.
struct Observed {
    bool taken = false;
    std::array<uint64_t, size_t(vsim::Op::Count)> fired{};
    Ticks fault_time = -1;
    std::vector<vsim::Op> consultations;
    std::vector<Ticks> reports;  // error and warning trace lines
    // At the very end of the run.
    int enable = 0;
    int resolution = 0;
    bool loaded = false;
    size_t live_objects = 0;
    size_t live_requests = 0;

    void take(vsim::Simulator &sim)
    {
        taken = true;
        for (size_t op = 0; op < fired.size(); ++op) {
            fired[op] = sim.faults_fired(vsim::Op(op));
        }
        fault_time = sim.last_fault_time();
        consultations = sim.consultation_log();
    }
};

struct Run {
    RunResult result;
    Observed seen;
};

Run play_checked(const Scenario &scenario, bool count)
{
    Run run;
    const bool ended = !scenario.commands.empty() && scenario.commands.back().kind == CommandKind::End;
    Observed &seen = run.seen;
    run.result = check_scenario(scenario, {}, [&](PlayerOptions &options) {
        options.log_consultations = count;
        options.on_trace = [&seen](const TraceRecord &line) {
            if (line.level == 2 || line.level == 3) {
                seen.reports.push_back(line.time);
            }
        };
        options.after_commands = [&seen, ended, settle = options.after_commands](vsim::Simulator &sim,
                                                                                vsim::DeviceId device) {
            // The last off or stop runs its stop sequence with the faults
            // still armed, before the settle phase clears them.
            if (!ended) {
                sim.run_until_idle(kSettleBound);
            }
            seen.take(sim);
            settle(sim, device);
        };
        options.at_end = [&seen](vsim::Simulator &sim) {
            if (!seen.taken) {
                seen.take(sim);
            }
            seen.enable = sim.level(kEnableLine);
            seen.resolution = sim.outstanding_resolution_requests();
            seen.loaded = sim.driver_loaded();
            for (size_t type = 0; type < size_t(vsim::ObjectType::Count); ++type) {
                seen.live_objects += sim.live_objects(vsim::ObjectType(type));
            }
            seen.live_requests = sim.live_objects(vsim::ObjectType::Request);
        };
    });
    return run;
}

std::string hex(int32_t status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
    return text;
}

}  // namespace

std::string injection_line(const Injection &injection)
{
    std::string status(status_name(injection.status));
    return "at 0ms fault " + std::string(vsim::op_name(injection.op)) + " status=" +
           (status.empty() ? hex(injection.status) : status) + " nth=" + std::to_string(injection.nth);
}

std::optional<std::vector<Injection>> injectable_calls(const SystematicInput &input, std::string *error)
{
    const std::optional<Scenario> scenario = parse(input, std::nullopt, error);
    if (!scenario) {
        return std::nullopt;
    }
    const Run run = play_checked(*scenario, true);
    std::vector<Injection> calls;
    std::array<uint64_t, size_t(vsim::Op::Count)> seen{};
    for (const vsim::Op op : run.seen.consultations) {
        const uint64_t nth = ++seen[size_t(op)];
        const std::span<const NTSTATUS> possible = vsim::possible_failures(op);
        if (!possible.empty()) {
            calls.push_back({op, nth, possible.front()});
        }
    }
    return calls;
}

SystematicResult check_injection(const SystematicInput &input, const std::optional<Injection> &injection)
{
    SystematicResult outcome;
    std::string error;
    const std::optional<Scenario> scenario = parse(input, injection, &error);
    if (!scenario) {
        outcome.findings.push_back("the scenario does not parse: " + error);
        return outcome;
    }
    const Run run = play_checked(*scenario, false);
    const Observed &seen = run.seen;
    const Recording &recording = run.result.recording;
    const bool device = run.result.observation.device;
    for (const Finding &finding : run.result.findings) {
        if (!device && finding.text == kNoDeviceFinding) {
            continue;  // the run's end is judged below
        }
        outcome.findings.push_back((finding.stuck ? "stuck: " : "") + finding.text);
        outcome.stuck |= finding.stuck;
    }
    if (!device) {
        for (const std::string &failure : recording.verifier_failures) {
            outcome.findings.push_back("verifier: " + failure);
        }
        if (!recording.idle) {
            outcome.findings.push_back("stuck: still busy " + format_time(kSettleBound) + " after the last command");
            outcome.stuck = true;
        }
    }
    std::vector<std::string> left_on;
    if (seen.enable != 0) {
        left_on.push_back("the enable line is high at the end of the run");
    }
    if (seen.resolution != 0) {
        left_on.push_back(std::to_string(seen.resolution) +
                          " timer-resolution requests outstanding at the end of the run; expected 0");
    }
    if (!seen.loaded && seen.live_objects != 0) {
        outcome.findings.push_back(std::to_string(seen.live_objects) +
                                   " framework objects still alive after the driver was unloaded");
    } else if (seen.live_requests != 0 && recording.idle) {
        outcome.findings.push_back(std::to_string(seen.live_requests) + " write requests still alive at rest");
    }
    if (injection) {
        outcome.fired = seen.fired[size_t(injection->op)] != 0;
    }
    if (!outcome.fired) {
        outcome.reported = true;
        outcome.findings.insert(outcome.findings.end(), left_on.begin(), left_on.end());
        return outcome;
    }
    const Ticks at = seen.fault_time;
    outcome.reported =
        std::any_of(recording.calls.begin(), recording.calls.end(),
                    [at](const CallRecord &call) {
                        return call.status && *call.status < 0 && call.time <= at && at <= call.returned;
                    }) ||
        std::any_of(seen.reports.begin(), seen.reports.end(), [at](Ticks time) { return time == at; });
    // Whatever failed, a motor must be off after the final off or stop.
    outcome.findings.insert(outcome.findings.end(), left_on.begin(), left_on.end());
    if (!outcome.reported) {
        outcome.findings.push_back(std::string(vsim::op_name(injection->op)) + " failed at " + format_time(at) +
                                   " with " + describe_status(injection->status) +
                                   ", and neither a call returned a failure then nor an error line was traced");
    }
    return outcome;
}

// Runs a scenario makes at most; a longer one is sampled.
constexpr size_t kMaxRuns = 2000;

int systematic(const std::vector<SystematicInput> &inputs, std::optional<uint32_t> only, std::ostream &out)
{
    int status = 0;
    uint64_t total_runs = 0;
    uint64_t total_failed = 0;
    for (const SystematicInput &input : inputs) {
        std::string error;
        const std::optional<std::vector<Injection>> calls = injectable_calls(input, &error);
        if (!calls) {
            out << "vibra-sim systematic: " << error << "\n";
            return 2;
        }
        std::array<uint64_t, size_t(vsim::Op::Count)> by_op{};
        for (const Injection &call : *calls) {
            ++by_op[size_t(call.op)];
        }
        out << "vibra-sim systematic: " << input.name << ": " << calls->size() << " injectable calls (";
        bool first = true;
        for (size_t op = 0; op < by_op.size(); ++op) {
            if (by_op[op] != 0) {
                out << (first ? "" : ", ") << vsim::op_name(vsim::Op(op)) << " " << by_op[op];
                first = false;
            }
        }
        out << "), one run each failing it with its most common failure status\n" << std::flush;
        if (only && *only > calls->size()) {
            out << "vibra-sim: --inject-at " << *only << ": " << input.name << " has " << calls->size()
                << (calls->size() == 1 ? " injectable call" : " injectable calls") << "; expected 0 to "
                << calls->size() << "\n";
            return 2;
        }
        uint64_t runs = 0, fired = 0, failed = 0;
        // A long scenario is sampled: every stride-th call, so that it makes
        // at most kMaxRuns runs (each as long as the scenario).
        const uint32_t stride = only ? 1 : static_cast<uint32_t>((calls->size() + kMaxRuns - 1) / kMaxRuns);
        if (stride > 1) {
            out << "sampled: one call in " << stride << ", " << (calls->size() + stride - 1) / stride
                << " runs (--inject-at K replays any call)\n";
        }
        for (uint32_t k = only == 0u ? 0 : 1; k <= calls->size(); k += k == 0 ? 1 : std::max(stride, 1u)) {
            if (only && k != *only) {
                continue;
            }
            const std::optional<Injection> injection =
                k == 0 ? std::nullopt : std::optional<Injection>((*calls)[k - 1]);
            if (only) {
                out << "run " << k << ": "
                    << (injection ? injection_line(*injection).substr(7) : std::string("no fault added"))
                    << "\n";
            }
            const SystematicResult result = check_injection(input, injection);
            ++runs;
            fired += result.fired;
            if (result.findings.empty()) {
                continue;
            }
            ++failed;
            status = std::max(status, result.stuck ? kExitStuck : kExitWrongResult);
            out << "\nFAILED " << input.name << " run " << k << " of " << calls->size() << ": "
                << (injection ? injection_line(*injection).substr(6) : "no fault added") << "\nfindings:\n";
            for (const std::string &finding : result.findings) {
                out << "  - " << finding << "\n";
            }
            const std::string scenario = input.replay.empty() ? "" : " " + input.replay;
            out << "replay: vibra-sim --systematic --inject-at " << k << scenario << "\n";
            if (injection) {
                out << "or add this line at the top of the scenario and run it with --systematic --inject-at 0:\n  "
                    << injection_line(*injection) << "\n";
            }
        }
        out << input.name << ": " << runs << (runs == 1 ? " run, " : " runs, ") << fired << " with the fault taking effect, " << failed
            << " failed\n";
        total_runs += runs;
        total_failed += failed;
    }
    out << (total_failed == 0 ? "all " : "") << total_runs << (total_runs == 1 ? " systematic run" : " systematic runs")
        << (total_failed == 0 ? " held" : "")
        << (total_failed == 0 ? "" : ", " + std::to_string(total_failed) + " failed") << "\n";
    return status;
}

}  // namespace vibra_tool
