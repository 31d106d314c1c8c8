// SPDX-License-Identifier: MIT
// The seeded explorer: its scenarios print as text that reads back to the
// same commands, a seed decides the whole output, and the invariant checker
// turns a wrong or stuck observation into a finding with its exit status.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "explore/explore.h"
#include "explore/state_model.h"
#include "support/tool_run.h"

namespace vibra_tool {
namespace {

// Every field that the parser fills, the line and the report text aside.
void expect_same_command(const Command &a, const Command &b, const std::string &where)
{
    SCOPED_TRACE(where);
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.concurrent, b.concurrent);
    EXPECT_EQ(a.payload, b.payload);
    EXPECT_EQ(a.length, b.length);
    EXPECT_EQ(a.input, b.input);
    EXPECT_EQ(a.input_length, b.input_length);
    EXPECT_EQ(a.output_length, b.output_length);
    EXPECT_EQ(a.same_buffer, b.same_buffer);
    EXPECT_EQ(a.masks, b.masks);
    EXPECT_EQ(a.op, b.op);
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.nth, b.nth);
    EXPECT_EQ(a.enable, b.enable);
    EXPECT_EQ(a.drive, b.drive);
    EXPECT_EQ(a.state, b.state);
    EXPECT_EQ(a.expect_status, b.expect_status);
    EXPECT_EQ(a.expect_bytes, b.expect_bytes);
    EXPECT_EQ(a.expect_output, b.expect_output);
}

void expect_round_trip(const Scenario &scenario, bool same_text)
{
    const std::string text = format_scenario(scenario);
    const ParseResult parsed = parse_scenario(text, scenario.name);
    ASSERT_TRUE(parsed.scenario) << parsed.error << "\n" << text;
    ASSERT_EQ(parsed.scenario->commands.size(), scenario.commands.size()) << text;
    for (size_t i = 0; i < scenario.commands.size(); ++i) {
        const Command &original = scenario.commands[i];
        const Command &read = parsed.scenario->commands[i];
        expect_same_command(original, read, scenario.name + " command " + std::to_string(i) + ": " +
                                                format_command(original));
        if (same_text) {
            EXPECT_EQ(original.text, read.text);
            EXPECT_EQ(original.line, read.line);
        }
    }
}

TEST(ExploreScenarios, PrintAsTextThatReadsBackToTheSameCommands)
{
    for (uint32_t run = 0; run < 200; ++run) {
        const Scenario scenario = generate_scenario(run_seed(7, run), 40, 0.3);
        expect_round_trip(scenario, true);
        if (HasFailure()) {
            break;
        }
    }
}

TEST(ExploreScenarios, TheFormatterWritesEveryHandWrittenScenarioBackFaithfully)
{
    for (const char *file : {"regression.vsim", "steady_on.vsim", "expectation_fails.vsim"}) {
        const ParseResult parsed = load_scenario(std::string(VIBRA_TEST_DIR) + "/scenarios/" + file);
        ASSERT_TRUE(parsed.scenario) << parsed.error;
        expect_round_trip(*parsed.scenario, false);
    }
}

TEST(ExploreScenarios, ASeedGivesTheSameScenarioAndRunsGetDifferentOnes)
{
    EXPECT_EQ(format_scenario(generate_scenario(99, 40, 0.1)), format_scenario(generate_scenario(99, 40, 0.1)));
    EXPECT_NE(run_seed(1, 0), run_seed(1, 1));
    EXPECT_NE(run_seed(1, 0), run_seed(2, 0));
    const Scenario scenario = generate_scenario(run_seed(1, 0), 40, 0.1);
    // The start, the 40 steps, and a teardown (perhaps after a fault) in one run of five.
    ASSERT_GE(scenario.commands.size(), 41u);
    ASSERT_LE(scenario.commands.size(), 43u);
    EXPECT_EQ(format_command(scenario.commands[0]), "at 0ms start");
    for (size_t i = 1; i < scenario.commands.size(); ++i) {
        const Ticks step = scenario.commands[i].time - scenario.commands[i - 1].time;
        EXPECT_GE(step, 0);
        EXPECT_LE(step, vsim::ms(60));
    }
}

TEST(Explore, AFixedSeedHoldsAndGivesTheSameOutputEveryTime)
{
    ExploreOptions options;
    options.seed = 42;
    options.runs = 12;
    options.fault_rate = 0.3;
    std::ostringstream first, second, progress;
    EXPECT_EQ(explore(options, first, progress), 0) << first.str();
    EXPECT_EQ(explore(options, second, progress), 0);
    EXPECT_EQ(first.str(), second.str());
    EXPECT_EQ(first.str().rfind("vibra-sim explore: --seed 42 --runs 12 --steps 40 --fault-rate 0.3 --schedule pct:3:2000\n", 0), 0u)
        << first.str();
    EXPECT_NE(first.str().find("all 12 runs held"), std::string::npos) << first.str();
    EXPECT_EQ(progress.str(), "explore: 10/12 runs held\nexplore: 10/12 runs held\n");
}

// A targeted run through the same harness: a blink, a refused send, then a
// record applied before its buffer length is refused.
Scenario targeted()
{
    const ParseResult parsed = parse_scenario("at 0ms start\n"
                                              "at 10ms set-state blink period=100 duty=50 cycles=100\n"
                                              "at 20ms refuse-send\n"
                                              "at 20ms set-state on\n"
                                              "at 30ms get-state\n"
                                              "at 40ms set-state on length=52\n",
                                              "targeted.vsim");
    EXPECT_TRUE(parsed.scenario) << parsed.error;
    return parsed.scenario.value_or(Scenario{});
}

TEST(ExploreChecks, ATargetedRunWithFaultsHolds)
{
    const RunResult result = check_scenario(targeted());
    std::string findings;
    for (const Finding &finding : result.findings) {
        findings += finding.text + "\n";
    }
    EXPECT_TRUE(result.findings.empty()) << findings;
    EXPECT_EQ(result.observation.state, 1u) << "the record of a too-long buffer is applied";
}

std::string findings_of(const RunResult &result)
{
    std::string text;
    for (const Finding &finding : result.findings) {
        text += finding.text + "\n";
    }
    return text;
}

Scenario parsed(const std::string &text)
{
    const ParseResult result = parse_scenario(text, "t.vsim");
    EXPECT_TRUE(result.scenario) << result.error;
    return result.scenario.value_or(Scenario{});
}

// Calls on threads of their own, at the same instant, under interleaved
// schedules: the class extension serialises them and every check holds.
TEST(ExploreChecks, ConcurrentCallsHoldUnderEverySchedule)
{
    const Scenario scenario = parsed("at 0ms start\n"
                                     "at 10ms & set-state on\n"
                                     "at 10ms & set-state blink period=100 duty=50 cycles=2\n"
                                     "at 10ms & stop\n"
                                     "at 10ms & get-state\n"
                                     "at 40ms & set-state off\n"
                                     "at 40ms start\n"
                                     "at 500ms set-state off\n"
                                     "at 600ms check enable=0 state=0\n");
    for (const vsim::SchedulePolicy policy : {vsim::SchedulePolicy::Random, vsim::SchedulePolicy::Pct}) {
        for (uint64_t seed = 0; seed < 6; ++seed) {
            vsim::Schedule schedule;
            schedule.policy = policy;
            schedule.seed = seed;
            const RunResult result = check_scenario(scenario, schedule);
            EXPECT_TRUE(result.findings.empty()) << "seed " << seed << ":\n" << findings_of(result);
            EXPECT_TRUE(result.recording.expectation_failures.empty());
            int concurrent = 0;
            for (const CallRecord &call : result.recording.calls) {
                if (call.text.starts_with("& ")) {
                    ++concurrent;
                    EXPECT_EQ(call.time, call.line <= 5 ? vsim::ms(10) : vsim::ms(40)) << "reported at its start";
                }
            }
            EXPECT_EQ(concurrent, 5);
            EXPECT_GT(result.scheduling_points, 0u);
        }
    }
}

// Overlapping set-states may take effect in either order, so a get-state
// among them may read either state, and nothing else.
TEST(ExploreChecks, OverlappingCallsAllowEitherOrderAndNothingElse)
{
    const Scenario scenario = parsed("at 0ms start\n"
                                     "at 10ms & set-state on\n"
                                     "at 10ms & set-state off\n"
                                     "at 10ms & get-state\n"
                                     "at 60ms set-state off\n");
    vsim::Schedule schedule;
    schedule.policy = vsim::SchedulePolicy::Pct;
    const RunResult result = check_scenario(scenario, schedule);
    ASSERT_TRUE(result.findings.empty()) << findings_of(result);
    Recording recording = result.recording;
    for (CallRecord &call : recording.calls) {
        if (call.line == 4) {
            ASSERT_GE(call.output.size(), 48u);
            call.output[44] = 2;
        }
    }
    const std::vector<Finding> findings = check_run(scenario, recording, result.observation);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].text, "get-state at line 4 (at 10ms get-state) reported state 2; the results of the "
                                "set-state calls before it allow 0 or 1");
}

// Calls are recorded as they return: a call on its own thread that returned
// after a later call began is listed after it, and still overlaps the calls
// its span met. A get-state at the instant an on began may read the on.
TEST(ExploreChecks, ACallThatReturnedLateStillOverlapsTheCallsItsSpanMet)
{
    const Scenario scenario = parsed("at 0ms start\n"
                                     "at 10ms & set-state on\n"
                                     "at 10ms get-state\n"
                                     "at 12ms & set-state on\n");
    const auto call = [](int line, Ticks time, Ticks returned, const char *text, uint32_t state) {
        CallRecord record{.time = time * vsim::kTicksPerMs, .returned = returned * vsim::kTicksPerMs, .line = line};
        record.text = text;
        record.status = 0;
        if (state <= 2) {
            record.output.assign(48, 0);
            record.output[0] = 48;
            record.output[4] = 1;
            record.output[44] = static_cast<uint8_t>(state);
            record.bytes = 48;
        }
        return record;
    };
    Recording recording;
    recording.calls = {call(1, 0, 0, "start", 3), call(3, 10, 10, "get-state", 1),
                       call(4, 12, 12, "& set-state on", 3), call(2, 10, 12, "& set-state on", 3)};
    EXPECT_EQ(check_states(scenario, recording, 1), std::vector<std::string>{});
    recording.calls[1].output[44] = 2;
    EXPECT_EQ(check_states(scenario, recording, 1),
              std::vector<std::string>{"get-state at line 3 (at 10ms get-state) reported state 2; the results of "
                                       "the set-state calls before it allow 0 or 1"});
}

// The motor left on while the device says off is a finding: a timer start
// that arms nothing (which the real platform never does, so no scenario can
// ask for it; the simulator still can) halts the drive with the enable line
// high, and the off that follows cannot end it.
TEST(ExploreChecks, AMotorLeftOnAfterAnOffIsAFinding)
{
    Scenario scenario = parsed("at 0ms start\n"
                               "at 10ms set-state on\n"
                               "at 20ms fault WdfRequestSend every\n"
                               "at 30ms clear-faults\n"
                               "at 100ms set-state off\n"
                               "at 200ms wait\n");
    scenario.commands[2].op = vsim::Op::WdfTimerStart;
    const RunResult result = check_scenario(scenario);
    EXPECT_NE(findings_of(result).find("the motor is not off at 200ms, 100ms after the device was told off "
                                       "(stored state 0): the enable line is high"),
              std::string::npos)
        << findings_of(result);
}

struct BadObservation {
    const char *name;
    std::function<void(Recording &, SettleObservation &)> spoil;
    const char *finding;  // a part of the expected finding's text
    int exit;
};

class ExploreCatches : public ::testing::TestWithParam<BadObservation> {};

TEST_P(ExploreCatches, AWrongOrStuckObservation)
{
    static const Scenario scenario = targeted();
    static const RunResult good = check_scenario(scenario);
    ASSERT_TRUE(good.findings.empty());
    Recording recording = good.recording;
    SettleObservation seen = good.observation;
    GetParam().spoil(recording, seen);
    const std::vector<Finding> findings = check_run(scenario, recording, seen);
    std::string texts;
    for (const Finding &finding : findings) {
        texts += finding.text + "\n";
    }
    EXPECT_NE(texts.find(GetParam().finding), std::string::npos) << texts;
    EXPECT_EQ(exit_status(findings), GetParam().exit) << texts;
}

CallRecord &call_at_line(Recording &recording, int line)
{
    for (CallRecord &call : recording.calls) {
        if (call.line == line) {
            return call;
        }
    }
    ADD_FAILURE() << "no call of line " << line;
    return recording.calls.front();
}

INSTANTIATE_TEST_SUITE_P(
    Observations, ExploreCatches,
    ::testing::Values(
        BadObservation{"StoredStateNoResultAllows",
                       [](Recording &, SettleObservation &seen) { seen.state = seen.state_after_stop = 0; },
                       "stored state 0 after the last command; the results of the set-state calls allow 1",
                       kExitWrongResult},
        BadObservation{"StoredStateOutOfRange",
                       [](Recording &, SettleObservation &seen) { seen.state = seen.state_after_stop = 3; },
                       "stored state 3", kExitWrongResult},
        BadObservation{"AFailedRequestThatCouldNotHaveEndedTheBlink",
                       // The refused on may leave 2 or 0 (blink ended), never 1.
                       [](Recording &recording, SettleObservation &) {
                           CallRecord &get = call_at_line(recording, 5);
                           get.output[44] = 1;
                       },
                       "get-state at line 5 (at 30ms get-state) reported state 1; the results of the set-state "
                       "calls before it allow 0 or 2",
                       kExitWrongResult},
        BadObservation{"AnInvalidPayloadThatSucceeded",
                       [](Recording &recording, SettleObservation &) {
                           call_at_line(recording, 6).status = 0;
                       },
                       "succeeded with a buffer of 52 bytes, 1 records, state 1; such a payload must be refused",
                       kExitWrongResult},
        BadObservation{"AChangedHeader", [](Recording &, SettleObservation &seen) { seen.header[2] = 2; },
                       "stored header changed to 48/1/2", kExitWrongResult},
        BadObservation{"AChangedFixedSetting",
                       [](Recording &, SettleObservation &seen) { seen.fixed_settings[1] = 0; },
                       "HwNSettings[5] 0x0", kExitWrongResult},
        BadObservation{"AVerifierFindingUnderFaults",
                       [](Recording &, SettleObservation &seen) { seen.verifier_before.push_back("double delete"); },
                       "verifier: double delete", kExitWrongResult},
        BadObservation{"ALockHeldAtRest",
                       [](Recording &, SettleObservation &seen) { seen.verifier_at_end.push_back("lock held"); },
                       "verifier, at rest: lock held", kExitWrongResult},
        BadObservation{"TheEnableLineLeftHigh",
                       [](Recording &, SettleObservation &seen) { seen.enable_at_end = 1; },
                       "enable=1 drive=1; the sequence leaves enable=0 drive=1", kExitWrongResult},
        BadObservation{"TheDriveLineLeftLow", [](Recording &, SettleObservation &seen) { seen.drive_at_end = 0; },
                       "enable=0 drive=0", kExitWrongResult},
        BadObservation{"TheResolutionNotReleased",
                       [](Recording &, SettleObservation &seen) { seen.resolution_at_end = 1; },
                       "1 timer-resolution requests outstanding at rest", kExitWrongResult},
        BadObservation{"AMotorThatDoesNotRunAfterTheFaults",
                       [](Recording &, SettleObservation &seen) { seen.enable_while_running = 0; },
                       "the enable line was low", kExitWrongResult},
        BadObservation{"TheMotorRunningOnWhileOff",
                       [](Recording &, SettleObservation &seen) {
                           seen.rest.off = true;
                           seen.rest.step_pending_while_off = true;
                       },
                       "the motor ran on with the stored state 0: an intensity step still pending 32.825ms after the "
                       "faults were cleared",
                       kExitWrongResult},
        BadObservation{"TheEnableLineHighAfterTheDeviceStop",
                       [](Recording &, SettleObservation &seen) { seen.rest.enable_after_stop = 1; },
                       "the enable line still high 32.825ms after a device stop", kExitWrongResult},
        BadObservation{"AStepPendingAfterTheDeviceStop",
                       [](Recording &, SettleObservation &seen) { seen.rest.step_pending_after_stop = true; },
                       "an intensity step still pending 32.825ms after a device stop", kExitWrongResult},
        BadObservation{"TheResolutionWantedAfterTheDeviceStop",
                       [](Recording &, SettleObservation &seen) { seen.rest.resolution_after_stop = 1; },
                       "1 timer-resolution requests outstanding 32.825ms after a device stop", kExitWrongResult},
        BadObservation{"ABusyDeviceAfterTheStopIsStuck",
                       [](Recording &, SettleObservation &seen) { seen.idle_after_stop = false; },
                       "after the faults were cleared and the device stopped", kExitStuck},
        BadObservation{"StuckWinsOverWrong",
                       [](Recording &, SettleObservation &seen) {
                           seen.idle_at_end = false;
                           seen.enable_at_end = 1;
                       },
                       "after the clean cycle's stop", kExitStuck}),
    [](const ::testing::TestParamInfo<BadObservation> &info) { return std::string(info.param.name); });

// Only a broken timer guarantee (a start that armed nothing, a missing typed
// context) excuses the enable line and the resolution after the stop; a step
// still pending is never excused.
TEST(ExploreChecks, ABrokenTimerGuaranteeExcusesOnlyWhatTheDriverCannotSee)
{
    RestObservation rest;
    rest.observed = true;
    rest.timer_guarantee_broken = true;
    rest.enable_after_stop = 1;
    rest.resolution_after_stop = 1;
    EXPECT_TRUE(check_rest(rest).empty());
    rest.step_pending_after_stop = true;
    EXPECT_EQ(check_rest(rest).size(), 1u);
    rest.timer_guarantee_broken = false;
    EXPECT_EQ(check_rest(rest).size(), 3u);
}

// Runs that end with the motor reported off after a fault: each must leave
// it off once the faults are cleared, before the clean cycle resets the lines.
TEST(ExploreChecks, MotorReportedOffAfterAFaultIsOffAtRest)
{
    const char *const scenarios[] = {
        // A refused step write, then off.
        "at 0ms start\nat 10ms set-state on\nat 30ms refuse-send\nat 100ms set-state off\n",
        // A skipped step, then off.
        "at 0ms start\nat 10ms set-state on\nat 30ms lock-timeout\nat 100ms set-state off\n",
        // The whole stop sequence failed in the controller.
        "at 0ms start\nat 10ms set-state on\nat 100ms fail-completion status=STATUS_IO_TIMEOUT every\n"
        "at 100ms set-state off\nat 200ms clear-faults\n",
        // A start whose drive write was refused.
        "at 0ms start\nat 10ms set-state on\nat 60ms set-state off\nat 300ms refuse-send nth=2\n"
        "at 300ms set-state on\n",
        // A restart refused during the stop sequence.
        "at 0ms start\nat 10ms set-state on\nat 34ms set-state off\nat 35ms refuse-send\nat 35ms set-state on\n",
    };
    for (const char *text : scenarios) {
        SCOPED_TRACE(text);
        const ParseResult parsed = parse_scenario(text, "off.vsim");
        ASSERT_TRUE(parsed.scenario) << parsed.error;
        const RunResult result = check_scenario(*parsed.scenario);
        std::string findings;
        for (const Finding &finding : result.findings) {
            findings += finding.text + "\n";
        }
        EXPECT_TRUE(result.findings.empty()) << findings;
        EXPECT_TRUE(result.observation.rest.observed);
        EXPECT_EQ(result.observation.state, 0u);
    }
}

using ExploreCli = vibra_test::SimDirTest;
using vibra_test::run_sim;
using vibra_test::SimRun;

TEST_F(ExploreCli, PrintsTheSeedFirstExitsZeroAndChecksASavedScenario)
{
    const SimRun run = run_sim("--explore --seed 5 --runs 10 --steps 20");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(
        run.out.starts_with("vibra-sim explore: --seed 5 --runs 10 --steps 20 --fault-rate 0.1 --schedule pct:3:2000\n"))
        << run.out;
    EXPECT_EQ(run.err, "explore: 10/10 runs held\n");

    const std::string saved = path("explore-saved.vsim");
    std::ofstream(saved) << format_scenario(targeted());
    const SimRun replay = run_sim("--explore --scenario " + vibra_test::quoted(saved));
    EXPECT_EQ(replay.status, 0) << replay.out;
    EXPECT_NE(replay.out.find("the run held"), std::string::npos) << replay.out;
    EXPECT_EQ(run_sim("--explore --fault-rate 2").status, 2) << "a probability above 1 is bad usage";
}

}  // namespace
}  // namespace vibra_tool
