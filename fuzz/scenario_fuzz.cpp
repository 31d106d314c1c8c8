// Feeds arbitrary text to the scenario parser, and plays what it accepts:
// a bad scenario must be refused with a "name:line:" message and never crash
// the parser; a good one, with whatever faults it injects, must run without a
// finding of the platform's verifier (no null or stale handle, no request left
// alive, no lock left held), and, with the faults cleared, leave the motor off
// where the device reports it off, as the explorer checks it at rest.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "player.h"
#include "rest_check.h"
#include "scenario.h"

namespace {

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
    for (const vibra_tool::Command &command : parsed.scenario->commands) {
        if (command.time > 2 * vsim::kTicksPerSecond) {
            return 0;
        }
    }
    vibra_tool::PlayerOptions options;
    options.settle = vsim::kTicksPerSecond;
    vibra_tool::RestObservation rest;
    options.after_commands = [&rest](vsim::Simulator &sim, vsim::DeviceId device) {
        rest = vibra_tool::observe_rest(sim, device);
    };
    const vibra_tool::Recording recording = vibra_tool::play(*parsed.scenario, options);
    if (!recording.verifier_failures.empty()) {
        fail("verifier: " + recording.verifier_failures.front(), text);
    }
    for (const std::string &finding : vibra_tool::check_rest(rest)) {
        fail("at rest: " + finding, text);
    }
    return 0;
}
