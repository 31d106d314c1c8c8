// SPDX-License-Identifier: MIT
// The explorer's end-state checks, on targeted scenarios: a stop's bounded
// effort under faults that never clear, nothing after teardown, and blink
// patterns that end as asked whatever the interleaving.

#include <gtest/gtest.h>

#include "explore/explore.h"

namespace vibra_tool {
namespace {

Scenario parsed(const std::string &text)
{
    const ParseResult result = parse_scenario(text, "t.vsim");
    EXPECT_TRUE(result.scenario) << result.error;
    return result.scenario.value_or(Scenario{});
}

std::string findings_of(const RunResult &result)
{
    std::string text;
    for (const Finding &finding : result.findings) {
        text += finding.text + "\n";
    }
    return text;
}

struct Targeted {
    const char *name;
    const char *scenario;
};

void PrintTo(const Targeted &c, std::ostream *os) { *os << c.name; }

const Targeted kHeld[] = {
    // A line that refuses every write, or a controller that fails every
    // write, from the off on: the drive gives up after a few tries.
    {"OffUnderRefusedWrites", "at 0ms start\nat 10ms set-state on\nat 50ms set-state off\nat 50ms refuse-send every\n"
                              "at 200ms wait\n"},
    {"OffUnderFailedCompletions",
     "at 0ms start\nat 10ms set-state on\nat 50ms set-state off\nat 50ms fail-completion every\nat 200ms wait\n"},
    // The enable-low write that teardown sends fails in the controller.
    {"TeardownWhoseWriteFails", "at 0ms start\nat 10ms set-state on\nat 50ms fail-completion nth=1\nat 50ms teardown\n"},
    {"TeardownDuringABlink", "at 0ms start\nat 10ms set-state blink period=100 duty=50 cycles=5\nat 130ms teardown\n"},
    // A new pattern, an off or a device stop as the old pattern's phase ends.
    {"NewPatternAtAPhaseEnd", "at 0ms start\nat 10ms set-state blink period=66 duty=50 cycles=5\n"
                              "at 43ms set-state blink period=400 duty=50 cycles=1\nat 1000ms check enable=0 state=2\n"},
    {"OffThenPatternAtAPhaseEnd",
     "at 0ms start\nat 10ms set-state blink period=66 duty=50 cycles=5\nat 43ms set-state off\n"
     "at 43ms set-state blink period=400 duty=50 cycles=1\nat 1000ms check enable=0 state=2\n"},
    {"StopStartThenPatternAtAPhaseEnd",
     "at 0ms start\nat 10ms set-state blink period=66 duty=50 cycles=5\nat 43ms stop\nat 43ms start\n"
     "at 43ms set-state blink period=400 duty=50 cycles=1\nat 1000ms check enable=0 state=2\n"},
    {"ThreeCyclesAfterAPhaseEnd", "at 0ms start\nat 10ms set-state blink period=66 duty=50 cycles=5\n"
                                  "at 43ms set-state blink period=500 duty=40 cycles=3\n"
                                  "at 2000ms check enable=0 state=2\n"},
};

class EndChecksTest : public testing::TestWithParam<Targeted> {};

// Each holds under the sequential schedule and 25 seeds each of PCT and
// random interleavings (CI plays the interleaving scenarios under 200 each,
// tests/scripts/race_scenarios.sh).
TEST_P(EndChecksTest, HoldsUnderEverySchedule)
{
    const Scenario scenario = parsed(GetParam().scenario);
    EXPECT_TRUE(check_scenario(scenario).findings.empty()) << findings_of(check_scenario(scenario));
    for (const vsim::SchedulePolicy policy : {vsim::SchedulePolicy::Pct, vsim::SchedulePolicy::Random}) {
        for (uint64_t seed = 1; seed <= 25; ++seed) {
            vsim::Schedule schedule;
            schedule.policy = policy;
            schedule.seed = seed;
            const RunResult result = check_scenario(scenario, schedule);
            ASSERT_TRUE(result.findings.empty() && result.recording.expectation_failures.empty())
                << vsim::format_schedule(schedule) << " seed " << seed << ":\n"
                << findings_of(result) << (result.recording.expectation_failures.empty()
                                               ? ""
                                               : result.recording.expectation_failures.front());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, EndChecksTest, testing::ValuesIn(kHeld),
                         [](const auto &info) { return std::string(info.param.name); });

// What each check reports, on runs made to break it.
TEST(EndChecks, ABlinkPatternCutShortIsAFinding)
{
    // A lock that times out at every phase end but the first: the pattern
    // gives up with the motor off, one on-phase instead of three. No fault
    // command comes before the end the check judges, so the fault is armed
    // from outside, after the set-up.
    const Scenario scenario = parsed("at 0ms start\nat 10ms set-state blink period=500 duty=40 cycles=3\n"
                                     "at 2000ms wait\n");
    const RunResult result = check_scenario(scenario, {}, [](PlayerOptions &options) {
        options.after_setup = [after = options.after_setup](vsim::Simulator &sim, vsim::DeviceId device) {
            after(sim, device);
            sim.before_call(vsim::Op::WdfWaitLockAcquire, 1, [&sim] {
                sim.inject(vsim::Op::WdfWaitLockAcquire, STATUS_TIMEOUT, 0);
            });
        };
    });
    EXPECT_NE(findings_of(result).find("the blink pattern of line 2 ran"), std::string::npos) << findings_of(result);
}

// A timer-resolution request still made once the torn-down device is removed
// and the driver unloaded (one made from outside, besides the driver's own).
TEST(EndChecks, AResolutionRequestLeftAfterTheUnloadIsAFinding)
{
    const Scenario scenario = parsed("at 0ms start\nat 10ms set-state on\nat 50ms teardown\n");
    const RunResult result = check_scenario(scenario, {}, [](PlayerOptions &options) {
        options.after_commands = [after = options.after_commands](vsim::Simulator &sim, vsim::DeviceId device) {
            ExSetTimerResolution(10000, TRUE);
            after(sim, device);
        };
    });
    EXPECT_NE(
        findings_of(result).find("2 timer-resolution requests outstanding after the teardown; expected at most 1"),
        std::string::npos)
        << findings_of(result);
    EXPECT_NE(findings_of(result).find("1 timer-resolution requests outstanding after the driver's unload"),
              std::string::npos)
        << findings_of(result);
}

}  // namespace
}  // namespace vibra_tool
