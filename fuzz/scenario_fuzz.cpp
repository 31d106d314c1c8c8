// SPDX-License-Identifier: MIT
// Feeds arbitrary text to the scenario parser, and plays what it accepts:
// timed class-extension calls, concurrent ones too, with faults armed and
// cleared. A bad scenario must be refused with a "name:line:" message and
// never crash the parser. A good one, whatever faults it injects, must run
// without a finding of the platform's verifier (no null or stale handle, no
// request left alive, no lock left held); the motor must be off whenever the
// device says it is off, while the commands play (the explorer's monitor,
// looked at before each command and once more 50 ms after the last); with the
// faults cleared, a device stop must turn it off and end any blink pattern;
// and removing the device and unloading the driver must leave no framework
// object alive.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "explore/end_checks.h"
#include "invariants.h"
#include "player/player.h"
#include "explore/rest_check.h"
#include "scenario/scenario.h"

namespace {

// Past the monitor's bound (50 ms), so that it judges a final off.
constexpr vsim::Ticks kMonitorWait = 60 * vsim::kTicksPerMs;

[[noreturn]] void fail(const std::string &what, std::string_view text)
{
    std::fprintf(stderr, "scenario_fuzz: %s\n--- scenario ---\n%.*s\n", what.c_str(), static_cast<int>(text.size()),
                 text.data());
    std::abort();
}

// The generator's raw bytes rarely form a scenario: shape half of them into
// lines of known commands with random arguments and times.
const char *const kLines[] = {
    "start", "stop", "teardown", "info", "remove", "unload", "set-state on", "set-state off",
    "set-state blink period=66 duty=50 cycles=2", "set-state blink period=100 duty=99 cycles=3",
    "set-state raw=300000000100000001000000000000000200000000000000000000000000000000000000000000000000000001000000",
    "set-state raw=0c00000001000000 length=4", "get-state", "get-state output-length=12",
    ("get-state input=300000000100000001000000000000000200000000000000000000000000000000000000000000000000000000000000 "
     "input-length=48 output-length=48 same-buffer"),
    "lock-timeout nth=1", "refuse-send", "fail-completion status=0xC00000B5", "fault WdfRequestCreate status=0xC000009A",
    "fault WdfObjectGetTypedContext status=0xC0000001", "fault WdfTimerCreate status=0xC000009A",
    "fault WdfIoTargetOpen status=0xC0000034", "fault WdfRequestSend status=0xC000009D every", "clear-faults",
    "trace-mask open", "setup", "wait", "check enable=0",
};

}  // namespace

extern "C" size_t VibraFuzzShapeInput(uint8_t *data, size_t size, size_t max_size, uint64_t seed)
{
    if ((seed & 1) == 0) {
        return size;
    }
    std::string text;
    uint64_t time_ms = 0;
    for (size_t i = 0; i < size && text.size() + 200 < max_size; i += 2) {
        time_ms += data[i] % 40;
        text += "at " + std::to_string(time_ms) + "ms " + kLines[data[i + 1 < size ? i + 1 : i] % std::size(kLines)] +
                "\n";
    }
    if (text.size() > max_size) {
        return size;
    }
    std::copy(text.begin(), text.end(), data);
    return text.size();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const vibra_tool::ParseResult parsed = vibra_tool::parse_scenario(text, "fuzz");
    if (!parsed.scenario) {
        if (parsed.error.rfind("fuzz:", 0) != 0) {
            fail("refusal without a file:line prefix: " + parsed.error, text);
        }
        return 0;
    }
    // Keep each run short in virtual time.
    vibra_tool::Scenario scenario = std::move(*parsed.scenario);
    for (const vibra_tool::Command &command : scenario.commands) {
        if (command.time > 2 * vsim::kTicksPerSecond) {
            return 0;
        }
    }
    // The monitor needs its bound to have passed since the last command to
    // judge the end of the run.
    if (!scenario.commands.empty() && scenario.commands.back().kind != vibra_tool::CommandKind::End) {
        vibra_tool::Command wait;
        wait.line = scenario.commands.back().line + 1;
        wait.time = scenario.commands.back().time + kMonitorWait;
        wait.kind = vibra_tool::CommandKind::Wait;
        wait.text = "wait";
        scenario.commands.push_back(wait);
    }

    vibra_tool::PlayerOptions options;
    options.settle = vsim::kTicksPerSecond;
    vibra_tool::OffMonitor monitor(scenario);
    vibra_tool::BlinkMonitor blink(scenario);
    options.on_change = [&blink](const vibra_tool::LevelChange &change) { blink.on_change(change); };
    options.before_command = [&](vsim::Simulator &sim, vsim::DeviceId device, const vibra_tool::Recording &recording) {
        monitor.observe(sim, device, recording);
        blink.observe(sim, device, recording);
    };
    bool torn_down = false;
    options.after_commands = [&](vsim::Simulator &sim, vsim::DeviceId device) {
        if (!monitor.finding().empty()) {
            fail("while playing: " + monitor.finding(), text);
        }
        for (const std::string &failure : sim.verifier_failures()) {
            fail("verifier: " + failure, text);
        }
        if (sim.torn_down(device)) {
            // Nothing of the driver runs after its teardown, whatever faults are armed.
            for (const std::string &finding : vibra_tool::check_torn_down(sim, device, scenario)) {
                fail("after the teardown: " + finding, text);
            }
            for (const std::string &failure : sim.verifier_failures()) {
                fail("verifier, after the teardown: " + failure, text);
            }
            vibra_fuzz::check_teardown(sim, device, false);
            torn_down = true;
            return;
        }
        if (monitor.off_since(sim, device)) {
            if (std::optional<std::string> finding = vibra_tool::check_stop_effort(sim, device)) {
                fail("with the faults armed: " + *finding, text);
            }
        }
        blink.judge_due(sim, device);
        if (!blink.findings().empty()) {
            fail(blink.findings().front(), text);
        }
        const vibra_tool::RestObservation rest = vibra_tool::observe_rest(sim, device);
        for (const std::string &finding : vibra_tool::check_rest(rest)) {
            fail("at rest: " + finding, text);
        }
        if (vibra_fuzz::timer_pending(sim, driver_view::context(sim, device)->BlinkTimer)) {
            fail("at rest: a blink phase is pending after a device stop", text);
        }
        vibra_fuzz::check_teardown(sim, device, false);
        torn_down = true;
    };
    const vibra_tool::Recording recording = vibra_tool::play(scenario, options);
    if (!recording.verifier_failures.empty()) {
        fail("verifier: " + recording.verifier_failures.front(), text);
    }
    if (!torn_down && !monitor.finding().empty()) {
        fail("while playing: " + monitor.finding(), text);
    }
    return 0;
}
