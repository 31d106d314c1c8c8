// SPDX-License-Identifier: MIT
#include "explore/end_checks.h"

#include <algorithm>

#include "device/device.h"
#include "driver_view.h"
#include "scenario/payload.h"
#include "explore/rest_check.h"

namespace vibra_tool {
namespace {

using driver_view::timer_pending;

// A pattern is judged this long after its last on-phase ends: the stop
// sequence, with room for steps that an interleaving keeps waiting.
constexpr Ticks kJudgeAfter = 50 * vsim::kTicksPerMs;
// How far an on-phase, as the enable line shows it, may differ from the one
// asked: a phase end kept waiting, then the stop sequence after it.
// On clock ticks a phase end fires up to one resting tick late (the
// resolution is not held between on-phases).
constexpr Ticks kShorterBy = 3 * vsim::kTicksPerMs;
constexpr Ticks kLongerBy = 25 * vsim::kTicksPerMs + kRestingTick;
// Off-phases shorter than this may keep the enable line high throughout.
constexpr Ticks kSeparateOffPhase = 20 * vsim::kTicksPerMs;
constexpr Ticks kLongestJudged = 10 * vsim::kTicksPerSecond;

bool changes_the_motor(CommandKind kind)
{
    switch (kind) {
    case CommandKind::GetState:
    case CommandKind::Info:
    case CommandKind::TraceMask:
    case CommandKind::Check:
    case CommandKind::Wait:
    case CommandKind::End:
    case CommandKind::Fault:
    case CommandKind::ClearFaults:
        return false;
    default:
        return true;
    }
}

}  // namespace

std::optional<std::string> check_stop_effort(vsim::Simulator &sim, vsim::DeviceId device)
{
    const WDFTIMER timer = driver_view::context(sim, device)->IntensityTimer;
    if (timer == nullptr || sim.live_threads() != 0) {
        return std::nullopt;
    }
    const uint64_t before = driver_view::timer_runs(sim, timer);
    sim.run_for(kEffortWindow);
    const uint64_t steps = driver_view::timer_runs(sim, timer) - before;
    if (steps <= kStepsAfterStop) {
        return std::nullopt;
    }
    return "the drive made " + std::to_string(steps) + " steps in the " + format_time(kEffortWindow) +
           " after the commands, the device told off and the faults still armed; a stop costs at most " +
           std::to_string(kStepsAfterStop);
}

std::vector<std::string> check_torn_down(vsim::Simulator &sim, vsim::DeviceId device, const Scenario &scenario)
{
    Ticks teardown_at = 0;
    for (const Command &command : scenario.commands) {
        teardown_at = command.kind == CommandKind::Teardown ? command.time : teardown_at;
    }
    std::vector<std::string> findings;
    const DEVICE_CONTEXT context = *driver_view::context(sim, device);
    if (!sim.run_until_idle(kEffortWindow)) {
        findings.push_back("still busy " + format_time(kEffortWindow) + " after the teardown");
    }
    if (timer_pending(sim, context.IntensityTimer) || timer_pending(sim, context.BlinkTimer)) {
        findings.push_back("a timer of the device is armed after its teardown");
    }
    // A teardown is a power transition, in which the request cannot be given
    // back; the driver's one request is, at its unload.
    if (sim.outstanding_resolution_requests() > 1) {
        findings.push_back(std::to_string(sim.outstanding_resolution_requests()) +
                           " timer-resolution requests outstanding after the teardown; expected at most 1");
    }
    if (sim.last_fault_time() < teardown_at && sim.level(kEnableLine) != 0) {
        findings.push_back("the enable line is high after a teardown that no fault touched");
    }
    sim.remove_device(device);
    sim.unload_driver();
    if (sim.outstanding_resolution_requests() != 0) {
        findings.push_back(std::to_string(sim.outstanding_resolution_requests()) +
                           " timer-resolution requests outstanding after the driver's unload; expected 0");
    }
    return findings;
}

BlinkMonitor::BlinkMonitor(const Scenario &scenario)
{
    for (const Command &command : scenario.commands) {
        by_line_[command.line] = &command;
        if (command.kind == CommandKind::Fault && first_fault_ < 0) {
            first_fault_ = command.time;
        }
    }
}

void BlinkMonitor::on_change(const LevelChange &change)
{
    if (change.line == kEnableLine) {
        enable_.push_back(change);
    }
}

// The pattern a set-state call started, normalised as the driver does it,
// when the call applied one runnable blink record.
std::optional<BlinkMonitor::Pattern> BlinkMonitor::pattern_of(const CallRecord &call) const
{
    const auto found = by_line_.find(call.line);
    if (found == by_line_.end() || found->second->kind != CommandKind::SetState || !call.status ||
        *call.status < 0) {
        return std::nullopt;
    }
    const Command &command = *found->second;
    if (command.length != kOnePayload || command.payload.size() < kOnePayload || u32_at(command.payload, 8) != 1 ||
        u32_at(command.payload, 44) != 2) {
        return std::nullopt;
    }
    uint64_t period = u32_at(command.payload, 24);
    uint64_t duty = u32_at(command.payload, 28);
    uint64_t cycles = u32_at(command.payload, 32);
    if (period == 0 || duty == 0 || cycles == 0 || period * duty / 100 < 33) {
        return std::nullopt;
    }
    if (duty >= 100) {
        duty = 100;
        if (cycles > 1) {
            period = std::min<uint64_t>(period * cycles, 0xFFFFFFFFu);
            cycles = 1;
        }
    }
    const uint64_t on = period * duty / 100;
    if (cycles > 20 || period * cycles > uint64_t(kLongestJudged / vsim::kTicksPerMs)) {
        return std::nullopt;
    }
    Pattern pattern;
    pattern.start = call.time;
    pattern.line = call.line;
    pattern.on = Ticks(on) * vsim::kTicksPerMs;
    pattern.off = Ticks(period - on) * vsim::kTicksPerMs;
    pattern.cycles = uint32_t(cycles);
    pattern.end = call.returned + Ticks(cycles - 1) * Ticks(period) * vsim::kTicksPerMs + pattern.on +
                  Ticks(2 * cycles) * kRestingTick;
    return pattern;
}

void BlinkMonitor::observe(vsim::Simulator &sim, vsim::DeviceId device, const Recording &recording)
{
    for (; seen_ < recording.calls.size(); ++seen_) {
        const CallRecord &call = recording.calls[seen_];
        const auto found = by_line_.find(call.line);
        if (call.line == 0 || found == by_line_.end() || !changes_the_motor(found->second->kind)) {
            continue;
        }
        motor_calls_.push_back({call.time, call.text.starts_with("& ") ? std::optional(call.returned) : std::nullopt});
        if (std::optional<Pattern> pattern = pattern_of(call)) {
            waiting_.push_back(*pattern);
        }
    }
    judge_due(sim, device);
}

Ticks BlinkMonitor::judge_by() const
{
    Ticks by = -1;
    for (const Pattern &pattern : waiting_) {
        by = std::max(by, pattern.end + kJudgeAfter);
    }
    return by;
}

void BlinkMonitor::judge_due(vsim::Simulator &sim, vsim::DeviceId device)
{
    if (sim.live_threads() != 0) {
        return;
    }
    const Ticks now = sim.now();
    std::erase_if(waiting_, [&](const Pattern &pattern) {
        const Ticks until = pattern.end + kJudgeAfter;
        if (now < until) {
            return false;
        }
        const bool disturbed =
            (first_fault_ >= 0 && first_fault_ <= until) ||
            std::count_if(motor_calls_.begin(), motor_calls_.end(),
                          [&](const MotorCall &call) {
                              return call.began <= until && (call.began >= pattern.start ||
                                                             call.own_thread_until.value_or(-1) >= pattern.start);
                          }) != 1 ||
            std::any_of(motor_calls_.begin(), motor_calls_.end(),
                        [&](const MotorCall &call) { return call.began > until && call.began <= now; });
        if (!disturbed) {
            judge(sim, device, pattern);
        }
        return true;
    });
}

void BlinkMonitor::judge(vsim::Simulator &sim, vsim::DeviceId device, const Pattern &pattern)
{
    const std::string which = "the blink pattern of line " + std::to_string(pattern.line);
    if (sim.level(kEnableLine) != 0) {
        findings_.push_back(which + " left the enable line high after its end");
    }
    if (timer_pending(sim, driver_view::context(sim, device)->BlinkTimer)) {
        findings_.push_back(which + " still has a phase pending after its end");
    }
    if (pattern.off < kSeparateOffPhase) {
        return;
    }
    // The on-phases as the enable line shows them, from the call on.
    int level = 0;
    Ticks rose = pattern.start;
    std::vector<Ticks> lengths;
    for (const LevelChange &change : enable_) {
        if (change.time < pattern.start) {
            level = change.value;
            continue;
        }
        if (change.time > pattern.end + kJudgeAfter || change.value == level) {
            continue;
        }
        if (change.value == 1) {
            rose = change.time;
        } else {
            lengths.push_back(change.time - rose);
        }
        level = change.value;
    }
    const bool as_asked = lengths.size() == pattern.cycles &&
                          std::all_of(lengths.begin(), lengths.end(), [&](Ticks length) {
                              return length >= pattern.on - kShorterBy && length <= pattern.on + kLongerBy;
                          });
    if (!as_asked) {
        std::string seen;
        for (const Ticks length : lengths) {
            seen += (seen.empty() ? "" : ", ") + format_time(length);
        }
        findings_.push_back(which + " ran " + std::to_string(lengths.size()) + " on-phases (" + seen + "); it asked " +
                            std::to_string(pattern.cycles) + " of " + format_time(pattern.on));
    }
}

}  // namespace vibra_tool
