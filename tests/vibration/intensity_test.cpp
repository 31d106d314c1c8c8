// SPDX-License-Identifier: MIT
// Intensity drive: the recorded line writes of whole drives, to the
// microsecond in virtual time, its failures, and the balance of the timer
// resolution requests.

#include "vibration/fixture.h"

namespace vtest {
namespace {

using vsim::Op;

enum class Call { Start, Stop };

struct Action {
    Ticks at;
    Call call;
};

struct DriveCase {
    const char *name;
    std::vector<Action> actions;
    Writes drive;
    Writes enable;
    Ticks released;  // when the drive gives the timer resolution back
};

void PrintTo(const DriveCase &c, std::ostream *os) { *os << c.name; }

const DriveCase kDrives[] = {
    {"StopAt24msWhileDriveLow",
     {{0, Call::Start}, {us(24000), Call::Stop}},
     // 23.1 ms low, then low again at 26.4 and high at 29.7.
     square_wave(7) + Writes{{step(8), 0}, {step(9), 1}},
     {{0, 1}, {step(9), 0}},
     step(9)},
    {"StopAt21msWhileDriveHigh",
     {{0, Call::Start}, {us(21000), Call::Stop}},
     // The high line first goes low for OffTimeUs; the drive ends at 29.7 all the same.
     square_wave(7) + Writes{{step(8), 0}, {step(9), 1}},
     {{0, 1}, {step(9), 0}},
     step(9)},
    {"StopRightAfterStart",
     {{0, Call::Start}, {0, Call::Stop}},
     // No kick-start pulse is counted.
     {{0, 1}, {step(1), 0}, {step(2), 0}, {step(3), 1}},
     {{0, 1}, {step(3), 0}},
     step(3)},
    {"SecondStopWhileStopping",
     {{0, Call::Start}, {us(24000), Call::Stop}, {us(27000), Call::Stop}},
     // The second stop step finds StopRequested again: the drive line is left low.
     square_wave(7) + Writes{{step(8), 0}, {step(9), 0}},
     {{0, 1}, {step(9), 0}},
     step(9)},
    {"RestartDuringStopSequence",
     {{0, Call::Start}, {us(24000), Call::Stop}, {us(27000), Call::Start}, {us(45000), Call::Stop}},
     // The restart re-arms 3.3 ms from the call and kicks off again.
     square_wave(7) + Writes{{step(8), 0}} + square_wave(5, us(27000)) +
         Writes{{step(6, us(27000)), 0}, {step(7, us(27000)), 1}},
     {{0, 1}, {us(27000), 1}, {step(7, us(27000)), 0}},
     step(7, us(27000))},
    {"StopBeforeAnyStartIsForgotten",
     {{0, Call::Stop}, {us(1000), Call::Start}, {us(24000), Call::Stop}},
     // A full kick-start follows the later start; the stop finds the line high.
     square_wave(7, us(1000)) + Writes{{step(8, us(1000)), 0}, {step(9, us(1000)), 1}},
     {{us(1000), 1}, {step(9, us(1000)), 0}},
     step(9, us(1000))},
};

class DriveTimelineTest : public VibrationTest, public testing::WithParamInterface<DriveCase> {};

TEST_P(DriveTimelineTest, LinesFollowTheStepTableToTheMicrosecond)
{
    const DriveCase &c = GetParam();
    for (const Action &action : c.actions) {
        sim.run_until(action.at);
        const NTSTATUS status =
            action.call == Call::Start ? start_drive() : stop_drive();
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    expect_settled();

    EXPECT_EQ(drive_writes(), c.drive);
    EXPECT_EQ(enable_writes(), c.enable);
    EXPECT_EQ(sim.level("enable"), 0) << "the drive always ends with the enable line low";
    EXPECT_FALSE(pending(dev()->IntensityTimer));
    const Ticks first_start = c.actions[0].call == Call::Start ? c.actions[0].at : c.actions[1].at;
    ASSERT_EQ(sim.resolution_calls().size(), 2u) << "one request per drive, also across a restart";
    EXPECT_EQ(sim.resolution_calls()[0].time, first_start);
    EXPECT_EQ(sim.resolution_calls()[0].desired_time, 10000u);
    EXPECT_TRUE(sim.resolution_calls()[0].set);
    EXPECT_EQ(sim.resolution_calls()[1].time, c.released);
    EXPECT_FALSE(sim.resolution_calls()[1].set);
}

INSTANTIATE_TEST_SUITE_P(Drives, DriveTimelineTest, testing::ValuesIn(kDrives),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(VibrationTest, ModeAndCountersFollowTheWorkedTimeline)
{
    struct Row {
        Ticks at;
        ULONG kick;
        ULONG stop;
        INTENSITY_MODE mode;
    };
    const Row rows[] = {
        {0, 3, 2, IntensityModeKickStart},        {step(1), 2, 2, IntensityModeKickStart},
        {step(2), 2, 2, IntensityModeKickStart},  {step(3), 1, 2, IntensityModeKickStart},
        {step(4), 1, 2, IntensityModeKickStart},  {step(5), 0, 2, IntensityModeRun},
        {step(6), 0, 2, IntensityModeRun},        {step(7), 0, 2, IntensityModeRun},
        {us(24000), 0, 2, IntensityModeStopRequested}, {step(8), 0, 1, IntensityModeStopping},
        {step(9), 0, 0, IntensityModeStopping},
    };
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    for (const Row &row : rows) {
        sim.run_until(row.at);
        if (row.at == us(24000)) {
            stop_drive();
        }
        SCOPED_TRACE(testing::Message() << "at " << row.at << " ticks");
        EXPECT_EQ(intensity()->KickPulseCount, row.kick);
        EXPECT_EQ(intensity()->StopStepCount, row.stop);
        EXPECT_EQ(intensity()->Mode, row.mode);
    }
    expect_settled();
}

TEST_F(VibrationTest, StartReinitialisesEveryFieldButKeepsTheResolutionFlag)
{
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    sim.run_until(us(25000));
    stop_drive();
    sim.run_until(step(8));
    ASSERT_EQ(intensity()->Mode, IntensityModeStopping);
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    const INTENSITY_TIMER_CONTEXT &c = *intensity();
    EXPECT_EQ(c.KickPulseCount, 3u);
    EXPECT_EQ(c.StopStepCount, 2u);
    EXPECT_EQ(c.LineState, 1u);
    EXPECT_EQ(c.OnTimeUs, 3300u);
    EXPECT_EQ(c.OffTimeUs, 3300u);
    EXPECT_EQ(c.Mode, IntensityModeKickStart);
    EXPECT_EQ(c.DeviceContext, dev());
    EXPECT_TRUE(c.ResolutionWanted) << "held since the first start; not requested again";
    EXPECT_EQ(sim.outstanding_resolution_requests(), 1);
    EXPECT_EQ(due(dev()->IntensityTimer), sim.now() + us(3300));
    stop_drive();
    expect_settled();
}

// --- failures ----------------------------------------------------------------

TEST_F(VibrationTest, StartWithNullContextTouchesNothing)
{
    const size_t calls = platform_calls();
    EXPECT_EQ(QM38_205_StartVibration(NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(trace_texts(), (std::vector<std::string>{
                                 "+QM38_205_StartVibration\n",
                                 "QM38_205_StartVibration Error: Function input NULL\n",
                                 "-QM38_205_StartVibration:Fail:C000000D\n",
                             }));
    EXPECT_EQ(platform_calls(), calls);
}

TEST_F(VibrationTest, MissingTimerContextIsInvalidParameter)
{
    struct Case {
        const char *name;
        NTSTATUS (*call)(PDEVICE_CONTEXT);
        const char *line;
        const char *exit;
    };
    const Case cases[] = {
        {"StartVibration", QM38_205_StartVibration, "QM38_205_StartVibration Error: TimerContext == NULL c000000d\n",
         "-QM38_205_StartVibration:Fail:C000000D\n"},
        {"StopVibration", QM38_205_StopVibration, "QM38_205_StopVibration Error: TimerContext == NULL c000000d\n",
         "-QM38_205_StopVibration:Fail:C000000D\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Once through a framework that has no context, once with no timer at
        // all (a failed initialisation): no null handle reaches the framework.
        for (bool null_timer : {false, true}) {
            sim.clear_trace();
            const WDFTIMER timer = dev()->IntensityTimer;
            if (null_timer) {
                dev()->IntensityTimer = NULL;
            } else {
                sim.inject(Op::WdfObjectGetTypedContext, STATUS_UNSUCCESSFUL);
            }
            const uint64_t lookups = sim.calls(Op::WdfObjectGetTypedContext);
            EXPECT_EQ(c.call(dev()), STATUS_INVALID_PARAMETER);
            dev()->IntensityTimer = timer;
            EXPECT_EQ(trace_texts(), (std::vector<std::string>{std::string("+QM38_205_") + c.name + "\n", c.line,
                                                               c.exit}));
            EXPECT_EQ(sim.calls(Op::WdfObjectGetTypedContext) - lookups, null_timer ? 0u : 1u);
        }
    }
    EXPECT_TRUE(sim.writes().empty());
    EXPECT_TRUE(sim.resolution_calls().empty());
    EXPECT_FALSE(pending(dev()->IntensityTimer));
}

// A failed start requests no resolution. When its enable write went out, the
// half-started motor goes through the stop sequence at once; when that write
// was refused, the lines are as they were and nothing is armed.
TEST_F(VibrationTest, FailedLineWriteInStartEndsWithTheEnableLineLow)
{
    struct Case {
        uint32_t nth;  // 1: enable line, 2: drive line
        Writes enable;
        Writes drive;
        size_t resolution_calls;  // the stop sequence holds the resolution while it runs
    };
    const Case cases[] = {
        {1, {}, {}, 0},
        {2, {{0, 1}, {step(3), 0}}, {{step(1), 0}, {step(2), 0}, {step(3), 1}}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "write " << c.nth << " fails");
        sim.clear_trace();
        sim.inject(Op::WdfRequestCreate, STATUS_INSUFFICIENT_RESOURCES, c.nth);
        EXPECT_EQ(start_drive(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(traced("QM38_205_StartVibration Error: QM38_205_PerformHardwareWrite failed c000009a\n"));
        EXPECT_TRUE(traced("-QM38_205_StartVibration:Fail:C000009A\n"));
        EXPECT_EQ(pending(dev()->IntensityTimer), !c.enable.empty());
        expect_settled();
        EXPECT_EQ(sim.resolution_calls().size(), c.resolution_calls);
        EXPECT_FALSE(intensity()->ResolutionWanted);
        EXPECT_EQ(enable_writes(), c.enable);
        EXPECT_EQ(drive_writes(), c.drive);
        EXPECT_EQ(sim.level("enable"), 0);
    }
}

struct StepFailure {
    const char *name;
    Ticks stop_at;    // 0: no stop before the failure
    Ticks inject_at;  // just before the step that fails
    Op op;
    NTSTATUS status;
    uint32_t nth;
    const char *line;
    const char *exit;
    Writes drive;
    Writes enable;
    int outstanding;  // resolution requests left afterwards
};

void PrintTo(const StepFailure &c, std::ostream *os) { *os << c.name; }

const StepFailure kStepFailures[] = {
    {"LockTimeoutMidDrive", 0, us(13000), Op::WdfWaitLockAcquire, STATUS_TIMEOUT, 1,
     "EvtTimerIntensityCallback Error:  WdfWaitLockAcquire failed 102\n",
     "-EvtTimerIntensityCallback:Success:00000102\n", square_wave(3), {{0, 1}}, 1},
    {"DriveWriteFails", 0, us(13000), Op::WdfRequestCreate, STATUS_INSUFFICIENT_RESOURCES, 1,
     "EvtTimerIntensityCallback Error:  QM38_205_PerformHardwareWrite(IoTarget, TRUE) failed c000009a\n",
     "-EvtTimerIntensityCallback:Fail:C000009A\n", square_wave(3), {{0, 1}}, 1},
};

class StepFailureTest : public VibrationTest, public testing::WithParamInterface<StepFailure> {};

TEST_P(StepFailureTest, LeavesTheDriveWhereItWasUntilTheNextStart)
{
    const StepFailure &c = GetParam();
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    if (c.stop_at != 0) {
        sim.run_until(c.stop_at);
        stop_drive();
    }
    sim.run_until(c.inject_at);
    sim.inject(c.op, c.status, c.nth);
    EXPECT_TRUE(sim.run_until_idle()) << "the failed step does not re-arm";

    EXPECT_TRUE(traced(c.line));
    EXPECT_TRUE(traced(c.exit));
    EXPECT_EQ(drive_writes(), c.drive) << "lines as last written";
    EXPECT_EQ(enable_writes(), c.enable);
    EXPECT_EQ(sim.outstanding_resolution_requests(), c.outstanding);

    // The next start drives again and its stop settles everything, without a
    // second resolution request while the first is still held.
    const Ticks restart = sim.now();
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    stop_drive();
    expect_settled();
    EXPECT_EQ(drive_writes().back(), std::make_pair(step(3, restart), 1));
    EXPECT_EQ(enable_writes().back(), std::make_pair(step(3, restart), 0));
    EXPECT_EQ(sim.resolution_calls().size(), c.outstanding == 1 ? 2u : 4u);
}

INSTANTIATE_TEST_SUITE_P(Failures, StepFailureTest, testing::ValuesIn(kStepFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// A run of the callback that no timer fire asked for (the framework may run a
// passive-level callback again) must not wrap an exhausted stop count into
// billions of further steps, nor release the resolution twice.
TEST_F(VibrationTest, ExtraRunsAfterTheDriveEndedDoNotRestartIt)
{
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    stop_drive();
    ASSERT_TRUE(sim.run_until_idle());
    const size_t resolution_calls = sim.resolution_calls().size();
    for (int run = 0; run < 3; ++run) {
        sim.run_timer_callback(dev()->IntensityTimer);
        EXPECT_FALSE(pending(dev()->IntensityTimer)) << "run " << run;
    }
    EXPECT_EQ(intensity()->StopStepCount, 0u);
    EXPECT_EQ(sim.resolution_calls().size(), resolution_calls);
    expect_settled();
    EXPECT_EQ(sim.level("enable"), 0);
}

TEST_F(VibrationTest, CallbackOfAnUnstartedTimerDoesNothing)
{
    sim.run_timer_callback(dev()->IntensityTimer);
    EXPECT_EQ(trace_texts(), (std::vector<std::string>{
                                 "+EvtTimerIntensityCallback\n",
                                 "EvtTimerIntensityCallback Error: TimerContext == NULL\n",
                                 "-EvtTimerIntensityCallback:Fail:C0000001\n",
                             }));
    EXPECT_TRUE(sim.writes().empty());
    EXPECT_TRUE(sim.resolution_calls().empty());
}

TEST_F(VibrationTest, DriveWorksWithoutALock)
{
    // A device whose lock could not be created: nothing to serialise with,
    // and no null handle is handed to the framework.
    dev()->IntensityLock = NULL;
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    sim.run_until(us(24000));
    stop_drive();
    expect_settled();
    EXPECT_EQ(drive_writes(), square_wave(7) + Writes({{step(8), 0}, {step(9), 1}}));
    EXPECT_EQ(sim.calls(Op::WdfWaitLockAcquire), 0u);
}

}  // namespace
}  // namespace vtest
