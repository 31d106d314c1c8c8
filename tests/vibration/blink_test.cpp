// SPDX-License-Identifier: MIT
// Blink pattern: which patterns run and how they are normalised, the phase
// timeline in virtual time, and the failure paths.

#include "vibration/fixture.h"

namespace vtest {
namespace {

using vsim::Op;

constexpr ULONG kMaxMs = 0xFFFFFFFF;

class BlinkTest : public VibrationTest {
protected:
    void set_stored_state(ULONG state) { driver_view::stored_record(*dev()).HwNSettings[HWN_SETTING_STATE] = state; }
    // Once the motor has been asked to stop, its own stop sequence ends at
    // the second or third 3.3 ms step after the request (never on a step).
    static Ticks drive_ends(Ticks start, Ticks stop)
    {
        const int last = static_cast<int>((stop - start) / us(3300));
        return step(last + (last % 2 == 0 ? 3 : 2), start);
    }
};

TEST_F(BlinkTest, WorkedPatternRunsThreeOnPhasesWithOffPhasesBetween)
{
    struct Row {
        Ticks at;
        ULONG cycles;
        ULONG is_on;
        const char *motor_call;
        Ticks armed_for;  // 0: not re-armed
    };
    const Row rows[] = {
        {0, 3, 1, "+QM38_205_StartVibration\n", ms(200)},
        {ms(200), 2, 0, "+QM38_205_StopVibration\n", ms(300)},
        {ms(500), 2, 1, "+QM38_205_StartVibration\n", ms(200)},
        {ms(700), 1, 0, "+QM38_205_StopVibration\n", ms(300)},
        {ms(1000), 1, 1, "+QM38_205_StartVibration\n", ms(200)},
        {ms(1200), 0, 0, "+QM38_205_StopVibration\n", 0},
    };
    BlinkRecord record(500, 40, 3);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    EXPECT_EQ(blink()->OnTimeMs, 200u);
    EXPECT_EQ(blink()->OffTimeMs, 300u);
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "at " << row.at / vsim::kTicksPerMs << " ms");
        sim.run_until(row.at);
        EXPECT_EQ(blink()->CyclesRemaining, row.cycles);
        EXPECT_EQ(blink()->IsOn, row.is_on);
        const std::vector<Ticks> calls = times_of(row.motor_call);
        EXPECT_NE(std::find(calls.begin(), calls.end(), row.at), calls.end()) << row.motor_call;
        EXPECT_EQ(pending(dev()->BlinkTimer), row.armed_for != 0);
        if (row.armed_for != 0) {
            EXPECT_EQ(due(dev()->BlinkTimer), row.at + row.armed_for);
        }
    }
    expect_settled();

    EXPECT_EQ(times_of("+EvtTimerBlinkCallback\n"), (std::vector<Ticks>{ms(200), ms(500), ms(700), ms(1000), ms(1200)}));
    EXPECT_EQ(times_of("-EvtTimerBlinkCallback:Success:00000000\n").size(), 5u);
    EXPECT_EQ(enable_writes(), (Writes{{0, 1},
                                       {drive_ends(0, ms(200)), 0},
                                       {ms(500), 1},
                                       {drive_ends(ms(500), ms(700)), 0},
                                       {ms(1000), 1},
                                       {drive_ends(ms(1000), ms(1200)), 0}}));
    EXPECT_EQ(record.pattern(), (std::array<ULONG, 3>{500, 40, 3})) << "a pattern under 100 % is not rewritten";
}

TEST_F(BlinkTest, FoldedPatternRunsOneLongOnPhase)
{
    BlinkRecord record(250, 150, 4);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    EXPECT_EQ(record.pattern(), (std::array<ULONG, 3>{1000, 100, 1}));
    EXPECT_EQ(blink()->OnTimeMs, 1000u);
    EXPECT_EQ(blink()->OffTimeMs, 0u);
    expect_settled();
    EXPECT_EQ(times_of("+EvtTimerBlinkCallback\n"), std::vector<Ticks>{ms(1000)});
    EXPECT_EQ(times_of("+QM38_205_StopVibration\n"), std::vector<Ticks>{ms(1000)});
    EXPECT_EQ(enable_writes(), (Writes{{0, 1}, {drive_ends(0, ms(1000)), 0}}));
}

TEST_F(BlinkTest, SingleCycleStopsAfterItsOnPhase)
{
    BlinkRecord record(100, 50, 1);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    expect_settled();
    EXPECT_EQ(times_of("+EvtTimerBlinkCallback\n"), std::vector<Ticks>{ms(50)});
    EXPECT_EQ(times_of("+QM38_205_StartVibration\n"), std::vector<Ticks>{0});
    EXPECT_EQ(enable_writes(), (Writes{{0, 1}, {drive_ends(0, ms(50)), 0}}));
}

TEST_F(BlinkTest, OffPhaseShorterThanTheStopSequenceKeepsTheMotorEnabled)
{
    BlinkRecord record(100, 99, 3);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    expect_settled();
    EXPECT_EQ(times_of("+QM38_205_StartVibration\n"), (std::vector<Ticks>{0, ms(100), ms(200)}));
    EXPECT_EQ(times_of("+QM38_205_StopVibration\n"), (std::vector<Ticks>{ms(99), ms(199), ms(299)}));

    const Writes enable = enable_writes();
    ASSERT_EQ(enable.size(), 4u);
    EXPECT_EQ(enable[0], std::make_pair(Ticks{0}, 1));
    EXPECT_EQ(enable[1], std::make_pair(ms(100), 1));
    EXPECT_EQ(enable[2], std::make_pair(ms(200), 1));
    EXPECT_EQ(enable[3].second, 0) << "the only low write ends the last on-phase";
    EXPECT_GT(enable[3].first, ms(299));
    // Each on-phase begins with a new kick-start: drive high at the start,
    // low 3.3 ms later.
    const Writes drive = drive_writes();
    for (Ticks start : {ms(100), ms(200)}) {
        EXPECT_NE(std::find(drive.begin(), drive.end(), std::make_pair(start, 1)), drive.end());
        EXPECT_NE(std::find(drive.begin(), drive.end(), std::make_pair(step(1, start), 0)), drive.end());
    }
    EXPECT_EQ(sim.resolution_calls().size(), 2u) << "one request and one release across the restarts";
}

// --- which patterns run, and what the record and timer context become --------

struct Pattern {
    const char *name;
    ULONG period, duty, cycles;
    bool runs;
    std::array<ULONG, 3> record_after;
    ULONGLONG on_ms, off_ms;
};

void PrintTo(const Pattern &c, std::ostream *os) { *os << c.name; }

const Pattern kPatterns[] = {
    {"ShortestOnPhaseRuns", 66, 50, 1, true, {66, 50, 1}, 33, 33},
    {"OnPhaseOf32msDoesNotRun", 65, 50, 1, false, {65, 50, 1}, 0, 0},
    {"OverfullDutyIsJudgedBeforeTheClamp", 14, 250, 1, true, {14, 100, 1}, 14, 0},
    {"OverfullDutyTooShortDoesNotRun", 13, 250, 1, false, {13, 250, 1}, 0, 0},
    {"ZeroPeriodDoesNotRun", 0, 50, 3, false, {0, 50, 3}, 0, 0},
    {"ZeroDutyDoesNotRun", 500, 0, 3, false, {500, 0, 3}, 0, 0},
    {"ZeroCyclesDoNotRun", 500, 40, 0, false, {500, 40, 0}, 0, 0},
    {"FullDutySingleCycleIsLeftAsItIs", 500, 100, 1, true, {500, 100, 1}, 500, 0},
    {"FullDutyCyclesFoldIntoOnePhase", 250, 150, 4, true, {1000, 100, 1}, 1000, 0},
    {"NearlyFullDutyKeepsItsCycles", 100, 99, 3, true, {100, 99, 3}, 99, 1},
    // Products that do not fit in 32 bits are taken whole, never wrapped.
    {"PeriodTimesDutyBeyond32Bits", 42949673, 100, 1, true, {42949673, 100, 1}, 42949673, 0},
    {"HalfDutyBeyond32Bits", 0x80000000, 50, 2, true, {0x80000000, 50, 2}, 0x40000000, 0x40000000},
    {"HugeDutyWouldWrapToZero", 100, 0x80000000, 1, true, {100, 100, 1}, 100, 0},
    {"FoldThatFitsIsExact", 0x7FFFFFFF, 200, 2, true, {0xFFFFFFFE, 100, 1}, 0xFFFFFFFE, 0},
    {"FoldBeyond32BitsIsClamped", 0x80000000, 100, 3, true, {kMaxMs, 100, 1}, kMaxMs, 0},
};

class BlinkPatternTest : public BlinkTest, public testing::WithParamInterface<Pattern> {};

TEST_P(BlinkPatternTest, RunsOnlyWhatIsLongEnoughAndNormalisesTheRecord)
{
    const Pattern &p = GetParam();
    // Any stored state but off means the motor may be running.
    for (ULONG stored : {HWN_STATE_OFF, HWN_STATE_ON, HWN_STATE_BLINK}) {
        SCOPED_TRACE(testing::Message() << "stored state " << stored);
        set_stored_state(stored);
        sim.clear_trace();
        BlinkRecord record(p.period, p.duty, p.cycles);
        EXPECT_EQ(start_blink(record.get()), STATUS_SUCCESS);
        EXPECT_EQ(record.pattern(), p.record_after);
        EXPECT_EQ(pending(dev()->BlinkTimer), p.runs);
        if (p.runs) {
            EXPECT_TRUE(traced("+QM38_205_StartVibration\n"));
            EXPECT_FALSE(traced("+QM38_205_StopVibration\n"));
            EXPECT_EQ(blink()->OnTimeMs, p.on_ms);
            EXPECT_EQ(blink()->OffTimeMs, p.off_ms);
            EXPECT_EQ(blink()->CyclesRemaining, p.record_after[2]);
            EXPECT_EQ(blink()->IsOn, 1u);
            EXPECT_EQ(blink()->DeviceContext, dev());
            EXPECT_EQ(due(dev()->BlinkTimer), sim.now() + ms(static_cast<int64_t>(p.on_ms)));
            // Leave the device as request processing would before the next pattern.
            EXPECT_EQ(stop_blink(), STATUS_SUCCESS);
        } else {
            EXPECT_FALSE(traced("+QM38_205_StartVibration\n"));
            EXPECT_EQ(traced("+QM38_205_StopVibration\n"), stored != HWN_STATE_OFF)
                << "a pattern that does not run turns a running motor off";
            EXPECT_EQ(blink()->CyclesRemaining, 0u) << "the timer context is left alone";
            EXPECT_EQ(blink()->OnTimeMs, 0u);
        }
        EXPECT_TRUE(traced("-QM38_205_StartBlink:Success:00000000\n"));
        stop_drive();
    }
    expect_settled();
}

INSTANTIATE_TEST_SUITE_P(Patterns, BlinkPatternTest, testing::ValuesIn(kPatterns),
                         [](const auto &info) { return std::string(info.param.name); });

// --- failures ------------------------------------------------------------------

TEST_F(BlinkTest, NullArgumentsAndMissingLinesChangeNothing)
{
    struct Case {
        const char *name;
        bool null_record, null_context, null_target;
        ULONG id;
        const char *line;
    };
    const char *kNullInput = "QM38_205_StartBlink Error: Function input NULL\n";
    const char *kNullTarget = "QM38_205_StartBlink Error: Context->VibraIoTarget[HwNSettingsInfo->HwNId] == NULL \n";
    const Case cases[] = {
        {"null record", true, false, false, 0, kNullInput},
        {"null context", false, true, false, 0, kNullInput},
        {"null enable line", false, false, true, 0, kNullTarget},
        // The device has one element: any other identifier has no line.
        {"element 1", false, false, false, 1, kNullTarget},
        {"element 0xFFFFFFFF", false, false, false, 0xFFFFFFFF, kNullTarget},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim.clear_trace();
        BlinkRecord record(250, 150, 4, c.id);
        const WDFIOTARGET enable = dev()->VibraIoTarget[VIBRA_ENABLE_LINE];
        if (c.null_target) {
            dev()->VibraIoTarget[VIBRA_ENABLE_LINE] = NULL;
        }
        const size_t calls = platform_calls();
        EXPECT_EQ(QM38_205_StartBlink(c.null_record ? NULL : record.get(), c.null_context ? NULL : dev()),
                  STATUS_INVALID_PARAMETER);
        dev()->VibraIoTarget[VIBRA_ENABLE_LINE] = enable;
        EXPECT_EQ(trace_texts(), (std::vector<std::string>{"+QM38_205_StartBlink\n", c.line,
                                                           "-QM38_205_StartBlink:Fail:C000000D\n"}));
        EXPECT_EQ(record.pattern(), (std::array<ULONG, 3>{250, 150, 4})) << "the record is not normalised";
        EXPECT_EQ(platform_calls(), calls) << "nothing but the trace reaches the platform";
    }
    EXPECT_FALSE(pending(dev()->BlinkTimer));
    EXPECT_TRUE(sim.writes().empty());
}

TEST_F(BlinkTest, MissingTimerContextFailsAfterTheRecordWasNormalised)
{
    for (bool null_timer : {false, true}) {
        SCOPED_TRACE(null_timer ? "no blink timer" : "no context");
        sim.clear_trace();
        const WDFTIMER timer = dev()->BlinkTimer;
        if (null_timer) {
            dev()->BlinkTimer = NULL;
        } else {
            sim.inject(Op::WdfObjectGetTypedContext, STATUS_UNSUCCESSFUL);
        }
        BlinkRecord record(250, 150, 4);
        EXPECT_EQ(start_blink(record.get()), STATUS_INVALID_PARAMETER);
        dev()->BlinkTimer = timer;
        EXPECT_EQ(record.pattern(), (std::array<ULONG, 3>{1000, 100, 1}));
        EXPECT_EQ(trace_texts(), (std::vector<std::string>{"+QM38_205_StartBlink\n",
                                                           "QM38_205_StartBlink Error: TimerContext == NULL c000000d\n",
                                                           "-QM38_205_StartBlink:Fail:C000000D\n"}));
    }
    EXPECT_TRUE(sim.writes().empty()) << "the motor is not started";
}

TEST_F(BlinkTest, FailedMotorStartLeavesTheTimerIdle)
{
    sim.inject(Op::WdfRequestCreate, STATUS_INSUFFICIENT_RESOURCES);
    BlinkRecord record(500, 40, 3);
    EXPECT_EQ(start_blink(record.get()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(traced("QM38_205_StartBlink Error:  QM38_205_HardwareTurnOn failed c000009a\n"));
    EXPECT_TRUE(traced("-QM38_205_StartBlink:Fail:C000009A\n"));
    EXPECT_FALSE(pending(dev()->BlinkTimer));
    EXPECT_EQ(blink()->CyclesRemaining, 3u) << "the timer context was already set";
    EXPECT_EQ(blink()->IsOn, 1u);
    expect_settled();
}

TEST_F(BlinkTest, FailedMotorStopOnAPatternThatDoesNotRun)
{
    set_stored_state(HWN_STATE_ON);
    sim.inject(Op::WdfObjectGetTypedContext, STATUS_UNSUCCESSFUL);
    BlinkRecord record(65, 50, 1);
    EXPECT_EQ(start_blink(record.get()), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced("QM38_205_StartBlink Error: QM38_205_HardwareTurnOff failed c000000d\n"));
    EXPECT_TRUE(traced("-QM38_205_StartBlink:Fail:C000000D\n"));
}

struct PhaseFailure {
    const char *name;
    Ticks inject_at;  // just before the phase end that fails
    Op op;
    NTSTATUS status;
    uint32_t nth;
    const char *line;
    const char *exit;
    bool goes_on;  // the timer is armed again
    ULONG cycles, is_on;
};

void PrintTo(const PhaseFailure &c, std::ostream *os) { *os << c.name; }

const PhaseFailure kPhaseFailures[] = {
    // Nothing counted or switched; the phase end is tried again 10 ms later.
    {"LockTimeoutIsTriedAgain", ms(199), Op::WdfWaitLockAcquire, STATUS_TIMEOUT, 1,
     "EvtTimerBlinkCallback Error:  WdfWaitLockAcquire failed 102\n", "-EvtTimerBlinkCallback:Success:00000102\n",
     true, 3, 1},
    // The callback's own context lookup is the first, the motor's the second.
    {"FailedMotorStopIsTracedAndThePatternGoesOn", ms(199), Op::WdfObjectGetTypedContext, STATUS_UNSUCCESSFUL, 2,
     "EvtTimerBlinkCallback Error:  QM38_205_StopVibration(TimerContext->DeviceContext) failed c000000d\n",
     "-EvtTimerBlinkCallback:Fail:C000000D\n", true, 2, 0},
    {"FailedMotorStartIsTracedAndThePatternGoesOn", ms(499), Op::WdfRequestCreate, STATUS_INSUFFICIENT_RESOURCES, 1,
     "EvtTimerBlinkCallback Error:  QM38_205_StartVibration(TimerContext->DeviceContext) failed c000009a\n",
     "-EvtTimerBlinkCallback:Fail:C000009A\n", true, 2, 1},
};

class BlinkPhaseFailureTest : public BlinkTest, public testing::WithParamInterface<PhaseFailure> {};

TEST_P(BlinkPhaseFailureTest, IsTracedWithItsStatus)
{
    const PhaseFailure &c = GetParam();
    BlinkRecord record(500, 40, 3);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    sim.run_until(c.inject_at);
    sim.inject(c.op, c.status, c.nth);
    sim.run_until(c.inject_at + ms(1));
    EXPECT_TRUE(traced(c.line));
    EXPECT_TRUE(traced(c.exit));
    EXPECT_EQ(blink()->CyclesRemaining, c.cycles);
    EXPECT_EQ(blink()->IsOn, c.is_on);
    EXPECT_EQ(pending(dev()->BlinkTimer), c.goes_on);
    expect_settled();
    EXPECT_EQ(sim.level("enable"), 0);
}

INSTANTIATE_TEST_SUITE_P(Failures, BlinkPhaseFailureTest, testing::ValuesIn(kPhaseFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// A phase end skipped by a lock time-out is taken up 10 ms later; the pattern
// goes on from there and ends with the motor off, nothing pending.
TEST_F(BlinkTest, APatternWhosePhaseEndTimedOutStillEnds)
{
    BlinkRecord record(500, 40, 3);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    sim.run_until(us(199800));
    sim.inject(Op::WdfWaitLockAcquire, STATUS_TIMEOUT);  // the phase end at 200 ms
    expect_settled();
    EXPECT_EQ(times_of("+QM38_205_StartVibration\n"), (std::vector<Ticks>{0, ms(510), ms(1010)}));
    EXPECT_EQ(times_of("+QM38_205_StopVibration\n"), (std::vector<Ticks>{ms(210), ms(710), ms(1210)}));
    EXPECT_EQ(sim.level("enable"), 0);
    EXPECT_EQ(blink()->PhaseDue, 0u);
}

// Under a lock that never comes, the phase end is given up after four more
// tries, with one line to say so.
TEST_F(BlinkTest, APhaseEndThatNeverGetsTheLockIsGivenUp)
{
    BlinkRecord record(500, 40, 3);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    sim.run_until(ms(300));  // in the off-phase, the drive at rest
    sim.inject(Op::WdfWaitLockAcquire, STATUS_TIMEOUT, 0);
    EXPECT_TRUE(sim.run_until_idle(vsim::kTicksPerSecond));
    EXPECT_EQ(times_of("+EvtTimerBlinkCallback\n"),
              (std::vector<Ticks>{ms(200), ms(500), ms(510), ms(520), ms(530), ms(540)}));
    EXPECT_EQ(times_of("EvtTimerBlinkCallback Error: phase end given up after 4 tries\n"), std::vector<Ticks>{ms(540)});
    EXPECT_EQ(sim.level("enable"), 0);
    EXPECT_FALSE(pending(dev()->BlinkTimer));
    sim.clear_faults();
}

TEST_F(BlinkTest, CallbackOfAnUnstartedTimerDoesNothing)
{
    sim.run_timer_callback(dev()->BlinkTimer);
    EXPECT_EQ(trace_texts(), (std::vector<std::string>{
                                 "+EvtTimerBlinkCallback\n",
                                 "EvtTimerBlinkCallback Error: TimerContext == NULL\n",
                                 "-EvtTimerBlinkCallback:Fail:C0000001\n",
                             }));
    EXPECT_TRUE(sim.writes().empty());
}

}  // namespace
}  // namespace vtest
