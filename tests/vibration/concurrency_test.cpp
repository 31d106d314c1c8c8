// SPDX-License-Identifier: MIT
// Interleavings: requests that arrive while a timer callback runs, overlapping
// runs of one callback, and a blink pattern stopped while its callback runs.
// Each is produced deterministically by the simulator's hooks.

#include "vibration/fixture.h"

namespace vtest {
namespace {

using vsim::Op;

class ConcurrencyTest : public VibrationTest {
protected:
    void start_worked_blink()
    {
        ASSERT_EQ(start_blink(record_.get()), STATUS_SUCCESS);
    }
    BlinkRecord record_{500, 40, 3};
};

TEST_F(ConcurrencyTest, StopArrivingWhileAStepRunsIsNotLost)
{
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    sim.run_until(us(15000));
    // The 16.5 ms step ends the kick-start (Mode becomes Run); the stop comes
    // in while that step is writing the drive line.
    bool step_held_lock = false;
    NTSTATUS stop = STATUS_PENDING;
    bool stop_waited = false;
    sim.before_call(Op::WdfRequestCreate, 1, [&] {
        step_held_lock = sim.lock_held(dev()->IntensityLock);
        stop = stop_drive();
    });
    sim.before_call(Op::WdfTimerStart, 1, [&] { stop_waited = stop == STATUS_PENDING; });
    expect_settled();

    EXPECT_TRUE(step_held_lock) << "the step holds IntensityLock while it writes";
    EXPECT_TRUE(stop_waited) << "the stop changes the mode only after the running step";
    EXPECT_EQ(stop, STATUS_SUCCESS);
    EXPECT_EQ(drive_writes(), (Writes{{0, 1}, {step(1), 0}, {step(2), 1}, {step(3), 0}, {step(4), 1}, {step(5), 0},
                                      {step(6), 0}, {step(7), 1}}))
        << "the stop sequence follows the step that was running";
    EXPECT_EQ(enable_writes(), (Writes{{0, 1}, {step(7), 0}}));
}

TEST_F(ConcurrencyTest, StartArrivingWhileAStepRunsRestartsAfterIt)
{
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    sim.run_until(us(15000));
    sim.before_call(Op::WdfRequestCreate, 1, [&] { start_drive(); });
    sim.run_until(step(6));
    // The step wrote low and only then did the start write both lines high.
    const Writes drive = drive_writes();
    ASSERT_GE(drive.size(), 3u);
    EXPECT_EQ((Writes{drive.end() - 3, drive.end()}), (Writes{{step(5), 0}, {step(5), 1}, {step(6), 0}}));
    EXPECT_EQ(intensity()->KickPulseCount, 2u) << "a whole new kick-start";
    EXPECT_EQ(intensity()->Mode, IntensityModeKickStart);
    stop_drive();
    expect_settled();
    EXPECT_EQ(sim.resolution_calls().size(), 2u);
}

TEST_F(ConcurrencyTest, OverlappingStepRunDoesNotDoubleStep)
{
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    sim.run_until(us(5000));
    sim.before_call(Op::WdfTimerStart, 1, [&] { sim.run_timer_callback(dev()->IntensityTimer); });
    sim.run_until(us(24000));
    stop_drive();
    expect_settled();

    EXPECT_EQ(trace_count("EvtTimerIntensityCallback Error:  WdfWaitLockAcquire failed 102\n"), 1u);
    EXPECT_EQ(trace_count("-EvtTimerIntensityCallback:Success:00000102\n"), 1u);
    EXPECT_EQ(drive_writes(), (Writes{{0, 1}, {step(1), 0}, {step(2), 1}, {step(3), 0}, {step(4), 1}, {step(5), 0},
                                      {step(6), 1}, {step(7), 0}, {step(8), 0}, {step(9), 1}}))
        << "the worked timeline, one write per step";
}

TEST_F(ConcurrencyTest, OverlappingBlinkRunDoesNotCountTwice)
{
    start_worked_blink();
    sim.run_until(ms(199));
    sim.before_call(Op::WdfTimerStart, 1, [&] { sim.run_timer_callback(dev()->BlinkTimer); });
    sim.run_until(ms(201));
    EXPECT_EQ(blink()->CyclesRemaining, 2u);
    EXPECT_EQ(trace_count("EvtTimerBlinkCallback Error:  WdfWaitLockAcquire failed 102\n"), 1u);
    expect_settled();
    EXPECT_EQ(times_of("+QM38_205_StartVibration\n"), (std::vector<Ticks>{0, ms(500), ms(1000)}));
    EXPECT_EQ(times_of("+QM38_205_StopVibration\n"), (std::vector<Ticks>{ms(200), ms(700), ms(1200)}));
}

TEST_F(ConcurrencyTest, BlinkCallbackTakesTheLocksInTheirFixedOrder)
{
    start_worked_blink();
    sim.run_until(ms(499));
    bool blink_lock = false, intensity_lock = false;
    // Inside the restart of the drive at 500 ms: its enable write.
    sim.before_call(Op::WdfRequestSend, 1, [&] {
        blink_lock = sim.lock_held(dev()->BlinkLock);
        intensity_lock = sim.lock_held(dev()->IntensityLock);
    });
    expect_settled();
    EXPECT_TRUE(blink_lock);
    EXPECT_TRUE(intensity_lock);
}

// --- stopping a blink pattern ---------------------------------------------------

struct StopDuringCallback {
    const char *name;
    Op hook;  // where the callback at 200 ms is when the stop comes in
    std::vector<Ticks> motor_stops;
    int enable_after;  // the motor is the stopper's to turn off
};

void PrintTo(const StopDuringCallback &c, std::ostream *os) { *os << c.name; }

const StopDuringCallback kStops[] = {
    // Before the callback has BlinkLock: it finds the pattern stopped.
    {"BeforeTheCallbackHasTheLock", Op::WdfWaitLockAcquire, {}, 1},
    // While it re-arms: the stop waits for the lock, then cancels the re-arm.
    {"WhileTheCallbackReArms", Op::WdfTimerStart, {ms(200)}, 0},
};

class StopBlinkTest : public ConcurrencyTest, public testing::WithParamInterface<StopDuringCallback> {};

TEST_P(StopBlinkTest, CannotBringThePatternBack)
{
    const StopDuringCallback &c = GetParam();
    start_worked_blink();
    sim.run_until(ms(199));
    NTSTATUS stop = STATUS_PENDING;
    bool callback_over_when_stop_returned = false;
    sim.before_call(c.hook, 1, [&] {
        stop = stop_blink();
        callback_over_when_stop_returned = traced("-EvtTimerBlinkCallback:Success:00000000\n");
    });
    sim.run_until(ms(210));

    EXPECT_EQ(stop, STATUS_SUCCESS);
    EXPECT_TRUE(callback_over_when_stop_returned) << "the stop waits for the running callback to finish";
    EXPECT_EQ(blink()->PhaseDue, 0u) << "no phase pending";
    EXPECT_FALSE(pending(dev()->BlinkTimer)) << "no callback is pending once the stop has returned";
    EXPECT_EQ(times_of("+QM38_205_StopVibration\n"), c.motor_stops);
    EXPECT_EQ(times_of("-EvtTimerBlinkCallback:Success:00000000\n"), std::vector<Ticks>{ms(200)});
    EXPECT_EQ(sim.level("enable"), c.enable_after);

    stop_drive();
    expect_settled();
    EXPECT_EQ(times_of("+EvtTimerBlinkCallback\n"), std::vector<Ticks>{ms(200)}) << "the pattern stays ended";
    EXPECT_EQ(times_of("+QM38_205_StartVibration\n"), std::vector<Ticks>{0});
}

INSTANTIATE_TEST_SUITE_P(Interleavings, StopBlinkTest, testing::ValuesIn(kStops),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ConcurrencyTest, StopBlinkBetweenPhasesEndsThePatternForGood)
{
    start_worked_blink();
    sim.run_until(ms(300));
    EXPECT_EQ(stop_blink(), STATUS_SUCCESS);
    EXPECT_FALSE(pending(dev()->BlinkTimer));
    // A run that the framework had already queued finds the pattern stopped.
    sim.clear_trace();
    sim.run_timer_callback(dev()->BlinkTimer);
    EXPECT_EQ(trace_texts(),
              (std::vector<std::string>{"+EvtTimerBlinkCallback\n", "-EvtTimerBlinkCallback:Success:00000000\n"}));
    EXPECT_FALSE(pending(dev()->BlinkTimer));

    // A new pattern runs again.
    BlinkRecord next(100, 50, 1);
    ASSERT_EQ(start_blink(next.get()), STATUS_SUCCESS);
    EXPECT_NE(blink()->PhaseDue, 0u);
    expect_settled();
    EXPECT_EQ(times_of("+QM38_205_StopVibration\n"), std::vector<Ticks>{ms(350)});
}

// A run of the callback that fired for the old pattern but starts only after a
// new one was set (the stop with wait did not wait for a run not yet started)
// finds its phase not due and does nothing: the new pattern keeps its
// on-phase, and ends on time.
TEST_F(ConcurrencyTest, AStaleRunCannotActOnANewPattern)
{
    BlinkRecord first(66, 50, 5);
    ASSERT_EQ(start_blink(first.get()), STATUS_SUCCESS);
    sim.run_until(ms(33));  // the first on-phase has just ended
    sim.run_until(ms(43));
    EXPECT_EQ(stop_blink(), STATUS_SUCCESS);
    stop_drive();
    BlinkRecord second(400, 50, 1);
    ASSERT_EQ(start_blink(second.get()), STATUS_SUCCESS);
    sim.clear_trace();
    sim.run_timer_callback(dev()->BlinkTimer);  // the old pattern's run, late
    EXPECT_EQ(trace_texts(),
              (std::vector<std::string>{"+EvtTimerBlinkCallback\n", "-EvtTimerBlinkCallback:Success:00000000\n"}));
    EXPECT_EQ(blink()->CyclesRemaining, 1u);
    EXPECT_EQ(blink()->IsOn, 1u);
    expect_settled();
    EXPECT_EQ(times_of("+QM38_205_StopVibration\n"), std::vector<Ticks>{ms(243)});
    EXPECT_EQ(sim.level("enable"), 0);
}

TEST_F(ConcurrencyTest, StopBlinkToleratesMissingHandles)
{
    // Null blink timer: nothing to stop, nothing reaches the framework.
    const WDFTIMER timer = dev()->BlinkTimer;
    dev()->BlinkTimer = NULL;
    const size_t calls = platform_calls();
    EXPECT_EQ(stop_blink(), STATUS_SUCCESS);
    EXPECT_EQ(platform_calls(), calls);
    dev()->BlinkTimer = timer;

    // Null blink lock: the pattern is still stopped.
    start_worked_blink();
    const WDFWAITLOCK lock = dev()->BlinkLock;
    dev()->BlinkLock = NULL;
    EXPECT_EQ(stop_blink(), STATUS_SUCCESS);
    dev()->BlinkLock = lock;
    EXPECT_EQ(blink()->PhaseDue, 0u) << "no phase pending";
    EXPECT_FALSE(pending(dev()->BlinkTimer));
    stop_drive();
    expect_settled();
}

TEST_F(ConcurrencyTest, RequestsWaitForTheirLocksWithoutTimeOut)
{
    // Every timed wait times out; the callers' own waits are untimed, so
    // start, stop and the end of a blink pattern still do their part.
    start_worked_blink();
    sim.inject(Op::WdfWaitLockAcquire, STATUS_TIMEOUT, 0);
    EXPECT_EQ(stop_drive(), STATUS_SUCCESS);
    EXPECT_EQ(intensity()->Mode, IntensityModeStopRequested);
    EXPECT_EQ(start_drive(), STATUS_SUCCESS);
    EXPECT_EQ(intensity()->Mode, IntensityModeKickStart);
    EXPECT_EQ(stop_blink(), STATUS_SUCCESS);
    EXPECT_EQ(blink()->PhaseDue, 0u) << "no phase pending";
    sim.run_until_idle();
    sim.clear_faults();
    EXPECT_EQ(sim.outstanding_resolution_requests(), 1) << "the skipped steps keep the resolution";
    start_drive();
    stop_drive();
    expect_settled();
}

}  // namespace
}  // namespace vtest
