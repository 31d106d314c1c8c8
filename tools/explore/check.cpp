// SPDX-License-Identifier: MIT
// The checks of one run: safety while the faults were armed, rest once they
// are cleared, and the settle phase's clean cycle.
#include "explore/explore.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>

#include "device/device.h"
#include "driver_view.h"
#include "hwn/request.h"
#include "vibration/vibration.h"
#include "scenario/payload.h"
#include "player/player.h"
#include "explore/end_checks.h"
#include "explore/rest_check.h"
#include "explore/state_model.h"
#include "scenario/status.h"

namespace vibra_tool {
namespace {

constexpr uint32_t kStoredSize = 48;
constexpr uint32_t kStoredSetting4 = 0x5555;
constexpr uint32_t kStoredSetting5 = 0xFFFFFFFF;
// The settle phase allows this much virtual time for pending work to end.
constexpr Ticks kSettleBound = 5 * vsim::kTicksPerSecond;
// How long the clean cycle lets the motor run before it stops it.
constexpr Ticks kCleanRun = 50 * vsim::kTicksPerMs;

// ---------------------------------------------------------------------------
// The settle phase

// The drive's step state (every field before the resolution flag) changes
// only under IntensityLock.
void watch_intensity(vsim::Simulator &sim, vsim::DeviceId device)
{
    PDEVICE_CONTEXT context = driver_view::context(sim, device);
    if (context->IntensityTimer == nullptr || context->IntensityLock == nullptr) {
        return;
    }
    const void *timer_context = sim.typed_context(context->IntensityTimer);
    if (timer_context != nullptr) {
        sim.watch(timer_context, offsetof(INTENSITY_TIMER_CONTEXT, DeviceContext) + sizeof(PDEVICE_CONTEXT),
                  context->IntensityLock, "the intensity timer's context");
    }
}

// The blink pattern's course changes only under BlinkLock.
void watch_blink(vsim::Simulator &sim, vsim::DeviceId device)
{
    PDEVICE_CONTEXT context = driver_view::context(sim, device);
    if (context->BlinkTimer == nullptr || context->BlinkLock == nullptr) {
        return;
    }
    if (const void *timer_context = sim.typed_context(context->BlinkTimer)) {
        sim.watch(timer_context, offsetof(BLINK_TIMER_CONTEXT, PhaseTries), context->BlinkLock,
                  "the blink timer's context");
    }
}

// What the monitors that watched the commands hand to the settle phase.
struct Monitors {
    const Scenario &scenario;
    OffMonitor off;
    BlinkMonitor blink;
};

bool has_faults(const Scenario &scenario)
{
    return std::any_of(scenario.commands.begin(), scenario.commands.end(),
                       [](const Command &command) { return command.kind == CommandKind::Fault; });
}


// The end-state checks that come before the faults are cleared: a stop's
// effort under them, and the blink patterns, given the time to end when no
// fault can disturb them.
void end_checks(vsim::Simulator &sim, vsim::DeviceId device, Monitors &monitors, SettleObservation &seen)
{
    if (monitors.off.off_since(sim, device)) {
        if (std::optional<std::string> finding = check_stop_effort(sim, device)) {
            seen.end_findings.push_back(*finding);
        }
    }
    if (!has_faults(monitors.scenario) && monitors.blink.judge_by() > sim.now()) {
        sim.run_until(monitors.blink.judge_by());
    }
    monitors.blink.judge_due(sim, device);
    for (const std::string &finding : monitors.blink.findings()) {
        seen.end_findings.push_back(finding);
    }
}

void settle_phase(vsim::Simulator &sim, vsim::DeviceId device, Monitors &monitors, SettleObservation &seen)
{
    seen.device = true;
    if (sim.torn_down(device)) {
        seen.torn_down = true;
        seen.verifier_before = sim.verifier_failures();
        seen.end_findings = check_torn_down(sim, device, monitors.scenario);
        seen.verifier_at_end = sim.verifier_failures();
        return;
    }
    seen.verifier_before = sim.verifier_failures();
    const HWN_HEADER &stored = driver_view::stored(*driver_view::context(sim, device));
    seen.header[0] = stored.HwNPayloadSize;
    seen.header[1] = stored.HwNPayloadVersion;
    seen.header[2] = stored.HwNRequests;
    seen.id = stored.HwNSettingsInfo[0].HwNId;
    seen.type = stored.HwNSettingsInfo[0].HwNType;
    seen.fixed_settings[0] = stored.HwNSettingsInfo[0].HwNSettings[4];
    seen.fixed_settings[1] = stored.HwNSettingsInfo[0].HwNSettings[5];
    seen.state = stored.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_STATE];
    end_checks(sim, device, monitors, seen);

    // A motor the device reports off must be off, before anything else is
    // played; the rest observation clears the faults and stops the device.
    seen.rest = observe_rest(sim, device, &seen.stop_status);
    seen.idle_after_stop = sim.run_until_idle(kSettleBound);
    seen.state_after_stop = driver_view::stored_state(sim, device);

    // Whatever the faults left behind, a clean cycle must work again.
    seen.off_status = set_state_to(sim, device, 0);
    sim.run_until_idle(kSettleBound);
    seen.on_status = set_state_to(sim, device, 1);
    sim.run_for(kCleanRun);
    seen.enable_while_running = sim.level(kEnableLine);
    seen.resolution_while_running = sim.outstanding_resolution_requests();
    seen.final_stop_status = sim.stop_device(device);
    seen.idle_at_end = sim.run_until_idle(kSettleBound);
    seen.enable_at_end = sim.level(kEnableLine);
    seen.drive_at_end = sim.level(kDriveLine);
    seen.resolution_at_end = sim.outstanding_resolution_requests();
    seen.state_at_end = driver_view::stored_state(sim, device);
    seen.verifier_at_end = sim.check_quiescent();
}

std::string hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

}  // namespace


std::vector<Finding> check_run(const Scenario &scenario, const Recording &recording,
                               const SettleObservation &seen)
{
    std::vector<Finding> findings;
    const auto wrong = [&](std::string text) { findings.push_back({false, std::move(text)}); };
    const auto stuck = [&](std::string text) { findings.push_back({true, std::move(text)}); };

    // Safety, with the faults still armed.
    for (const std::string &failure : recording.expectation_failures) {
        wrong("expectation: " + failure);
    }
    for (const std::string &failure : seen.verifier_before) {
        wrong("verifier: " + failure);
    }
    if (!recording.setup_ok || !seen.device) {
        wrong(kNoDeviceFinding);
        return findings;
    }
    for (const std::string &finding : seen.end_findings) {
        wrong(finding);
    }
    if (seen.torn_down) {
        for (size_t i = seen.verifier_before.size(); i < seen.verifier_at_end.size(); ++i) {
            wrong("verifier, after the teardown: " + seen.verifier_at_end[i]);
        }
        return findings;
    }
    if (seen.header[0] != kStoredSize || seen.header[1] != 1 || seen.header[2] != 1) {
        wrong("stored header changed to " + std::to_string(seen.header[0]) + "/" + std::to_string(seen.header[1]) +
              "/" + std::to_string(seen.header[2]) + "; it must stay 48/1/1");
    }
    if (seen.id != 0 || seen.type != kStoredType || seen.fixed_settings[0] != kStoredSetting4 ||
        seen.fixed_settings[1] != kStoredSetting5) {
        wrong("stored record's fixed fields changed: HwNId " + std::to_string(seen.id) + ", HwNType " +
              std::to_string(seen.type) + ", HwNSettings[4] " + hex32(seen.fixed_settings[0]) + ", HwNSettings[5] " +
              hex32(seen.fixed_settings[1]) + "; they must stay 0, 2, 0x5555, 0xFFFFFFFF");
    }

    for (std::string &finding : check_states(scenario, recording, seen.state)) {
        wrong(std::move(finding));
    }

    // At rest: faults cleared, before anything else was played.
    for (std::string &finding : check_rest(seen.rest)) {
        wrong(std::move(finding));
    }

    // Settle: faults cleared, device stopped.
    if (!seen.idle_after_stop) {
        stuck("still busy " + format_time(kSettleBound) + " after the faults were cleared and the device stopped");
    }
    if (seen.stop_status < 0) {
        wrong("stop without faults failed with " + describe_status(seen.stop_status));
    }
    if (seen.state_after_stop != seen.state) {
        wrong("stop changed the stored state from " + std::to_string(seen.state) + " to " +
              std::to_string(seen.state_after_stop));
    }
    if (seen.off_status < 0 || seen.on_status < 0 || seen.final_stop_status < 0) {
        wrong("the clean cycle failed: set-state off " + describe_status(seen.off_status) + ", set-state on " +
              describe_status(seen.on_status) + ", stop " + describe_status(seen.final_stop_status));
    }
    if (seen.enable_while_running != 1) {
        wrong("the enable line was low " + format_time(kCleanRun) + " after a clean set-state on");
    }
    if (seen.resolution_while_running != 1) {
        wrong(std::to_string(seen.resolution_while_running) +
              " timer-resolution requests outstanding while the motor ran; expected 1");
    }
    if (!seen.idle_at_end) {
        stuck("still busy " + format_time(kSettleBound) + " after the clean cycle's stop");
    }
    if (seen.enable_at_end != 0 || seen.drive_at_end != 1) {
        wrong("after the clean cycle's stop sequence: enable=" + std::to_string(seen.enable_at_end) +
              " drive=" + std::to_string(seen.drive_at_end) + "; the sequence leaves enable=0 drive=1");
    }
    if (seen.resolution_at_end != 0) {
        wrong(std::to_string(seen.resolution_at_end) + " timer-resolution requests outstanding at rest; expected 0");
    }
    if (seen.state_at_end != 1) {
        wrong("stored state " + std::to_string(seen.state_at_end) + " after the clean cycle; expected 1");
    }
    for (size_t i = seen.verifier_before.size(); i < seen.verifier_at_end.size(); ++i) {
        wrong("verifier, at rest: " + seen.verifier_at_end[i]);
    }
    return findings;
}

bool RunResult::stuck() const
{
    return std::any_of(findings.begin(), findings.end(), [](const Finding &finding) { return finding.stuck; });
}

int exit_status(const std::vector<Finding> &findings)
{
    if (findings.empty()) {
        return 0;
    }
    return std::any_of(findings.begin(), findings.end(), [](const Finding &finding) { return finding.stuck; })
               ? kExitStuck
               : kExitWrongResult;
}

RunResult check_scenario(const Scenario &scenario, const vsim::Schedule &schedule,
                         const std::function<void(PlayerOptions &)> &adjust)
{
    RunResult result;
    PlayerOptions options;
    options.settle = kSettleBound;
    options.schedule = schedule;
    // The harsher platform: completions inside the send as the run's seed
    // chooses, timers on clock ticks, and the timer-resolution call blocked
    // during power transitions (overlapping class-extension calls are the
    // default).
    options.completions = vsim::Completions::Seeded;
    options.timer_clock = vsim::TimerClock::ClockTicks;
    options.power_transitions = true;
    options.keep_records = false;  // the checks read the calls, the simulator and the summaries
    options.after_setup = [](vsim::Simulator &sim, vsim::DeviceId device) {
        watch_intensity(sim, device);
        watch_blink(sim, device);
    };
    Monitors monitors{scenario, OffMonitor(scenario), BlinkMonitor(scenario)};
    options.on_change = [&monitors](const LevelChange &change) { monitors.blink.on_change(change); };
    options.before_command = [&monitors](vsim::Simulator &sim, vsim::DeviceId device, const Recording &recording) {
        monitors.off.observe(sim, device, recording);
        monitors.blink.observe(sim, device, recording);
    };
    options.after_commands = [&result, &monitors](vsim::Simulator &sim, vsim::DeviceId device) {
        // The interleaving of the commands, before the settle phase adds its own.
        result.switch_count = sim.switch_count();
        result.switches = sim.recent_switches(RunResult::kShownSwitches);
        result.scheduling_points = sim.scheduling_points();
        settle_phase(sim, device, monitors, result.observation);
        result.races = sim.races();
    };
    if (adjust) {
        adjust(options);
    }
    result.recording = play(scenario, options);
    result.findings = check_run(scenario, result.recording, result.observation);
    for (const std::string &race : result.races) {
        result.findings.push_back({false, "race: " + race});
    }
    if (!monitors.off.finding().empty()) {
        result.findings.push_back({false, monitors.off.finding()});
    }
    return result;
}

}  // namespace vibra_tool
