// SPDX-License-Identifier: MIT
// A stop request and a failed start always reach the stop sequence, and a
// stop sequence always ends: after a step that failed or was skipped (before
// or during the sequence), a start that failed half-way or during a stop
// sequence, or an enable-low write that the controller failed, the enable
// line ends low, no step stays armed and the resolution is released, to the
// microsecond in virtual time. Under a fault that never clears, the drive
// gives up after a bounded number of tries, and the next stop tries again.

#include <functional>

#include "vibration/fixture.h"

namespace vtest {
namespace {

using vsim::Op;

struct Event {
    Ticks at;
    std::function<void(VibrationTest &, vsim::Simulator &, PDEVICE_CONTEXT)> act;
};

struct ReachCase {
    const char *name;
    std::vector<Event> events;
    Writes drive;
    Writes enable;
    size_t resolution_calls;  // a request and a release per started drive and per stop re-armed after rest
};

void PrintTo(const ReachCase &c, std::ostream *os) { *os << c.name; }

Event start(Ticks at, NTSTATUS expected = STATUS_SUCCESS)
{
    return {at, [expected](VibrationTest &, vsim::Simulator &, PDEVICE_CONTEXT dev) {
                EXPECT_EQ(QM38_205_StartVibration(dev), expected);
            }};
}

Event stop(Ticks at)
{
    return {at, [](VibrationTest &, vsim::Simulator &, PDEVICE_CONTEXT dev) {
                EXPECT_EQ(QM38_205_StopVibration(dev), STATUS_SUCCESS);
            }};
}

Event fault(Ticks at, Op op, NTSTATUS status, uint32_t nth = 1)
{
    return {at, [=](VibrationTest &, vsim::Simulator &sim, PDEVICE_CONTEXT) { sim.inject(op, status, nth); }};
}

Event clear_faults(Ticks at)
{
    return {at, [](VibrationTest &, vsim::Simulator &sim, PDEVICE_CONTEXT) { sim.clear_faults(); }};
}

// The enable line is still high here, whatever the driver believes.
Event enable_still_high(Ticks at)
{
    return {at, [](VibrationTest &, vsim::Simulator &sim, PDEVICE_CONTEXT) { EXPECT_EQ(sim.level("enable"), 1); }};
}

const ReachCase kCases[] = {
    // The high write at 33.0 ms is refused and the drive stops with the line
    // state already advanced to high: the stop lets the line go low for
    // OffTimeUs, then runs both stop steps.
    {"StopAfterARefusedStepWrite",
     {start(0), fault(ms(30), Op::WdfRequestSend, STATUS_UNSUCCESSFUL), enable_still_high(ms(99)), stop(ms(100))},
     square_wave(9) + Writes{{step(1, ms(100)), 0}, {step(2, ms(100)), 0}, {step(3, ms(100)), 1}},
     {{0, 1}, {step(3, ms(100)), 0}},
     2},
    // The 33.0 ms step is skipped before it changed anything: the line was
    // low, so the stop steps follow at once.
    {"StopAfterASkippedStep",
     {start(0), fault(ms(30), Op::WdfWaitLockAcquire, STATUS_TIMEOUT), enable_still_high(ms(99)), stop(ms(100))},
     square_wave(9) + Writes{{step(1, ms(100)), 0}, {step(2, ms(100)), 1}},
     {{0, 1}, {step(2, ms(100)), 0}},
     2},
    // The last stop step is skipped on a lock time-out: it is tried again
    // 3.3 ms later, and the sequence ends.
    {"LockTimeoutBeforeTheLastStopStep",
     {start(0), stop(us(24000)), fault(us(29000), Op::WdfWaitLockAcquire, STATUS_TIMEOUT)},
     square_wave(7) + Writes{{step(8), 0}, {step(10), 1}},
     {{0, 1}, {step(10), 0}},
     2},
    // The enable-low write cannot be sent: the whole stop sequence runs again.
    {"EnableLowWriteNotSent",
     {start(0), stop(us(24000)), fault(us(29000), Op::WdfRequestCreate, STATUS_INSUFFICIENT_RESOURCES, 2)},
     square_wave(7) + Writes{{step(8), 0}, {step(9), 1}, {step(10), 0}, {step(11), 0}, {step(12), 1}},
     {{0, 1}, {step(12), 0}},
     2},
    // The enable-low write is sent but the controller fails it: its completion
    // arms a step, and the whole stop sequence runs again.
    {"EnableLowWriteFailedInTheController",
     {start(0), stop(us(24000)), fault(us(29000), Op::RequestCompletion, STATUS_IO_TIMEOUT, 2)},
     square_wave(7) + Writes{{step(8), 0}, {step(9), 1}, {step(10), 0}, {step(11), 0}, {step(12), 1}},
     {{0, 1}, {step(12), 0}},
     4},
    // Every write fails in the controller for a while: the stop sequence is
    // tried again until one goes through, with no new stop asked for.
    {"StopWhileTheControllerFailsEveryWrite",
     {start(0), fault(ms(100), Op::RequestCompletion, STATUS_IO_TIMEOUT, 0), stop(ms(100)), clear_faults(ms(130))},
     square_wave(30) + Writes{{step(40), 0}, {step(41), 0}, {step(42), 1}},
     {{0, 1}, {step(42), 0}},
     8},
    // The enable line went high, the drive line's write was refused: the
    // half-started motor goes through the stop sequence on its own.
    {"StartWhoseDriveWriteWasRefused",
     {start(0), stop(ms(50)), fault(ms(300), Op::WdfRequestSend, STATUS_UNSUCCESSFUL, 2),
      start(ms(300), STATUS_UNSUCCESSFUL)},
     square_wave(15) + Writes{{step(16), 0}, {step(17), 1}} +
         Writes{{step(1, ms(300)), 0}, {step(2, ms(300)), 0}, {step(3, ms(300)), 1}},
     {{0, 1}, {step(17), 0}, {ms(300), 1}, {step(3, ms(300)), 0}},
     4},
    // A restart during the stop sequence whose enable write is refused: the
    // pending step finds the re-initialised fields in the stop mode, not in
    // kick-start, and the later stop has nothing left to do.
    {"RestartRefusedDuringTheStopSequence",
     {start(0), stop(us(24000)), fault(us(25000), Op::WdfRequestSend, STATUS_DEVICE_NOT_CONNECTED),
      start(us(25000), STATUS_DEVICE_NOT_CONNECTED), stop(ms(40))},
     square_wave(7) + Writes{{step(8), 0}, {step(9), 0}, {step(10), 1}},
     {{0, 1}, {step(10), 0}},
     2},
};

class StopReachTest : public VibrationTest, public testing::WithParamInterface<ReachCase> {};

TEST_P(StopReachTest, EndsWithTheEnableLineLowAndNothingArmed)
{
    const ReachCase &c = GetParam();
    for (const Event &event : c.events) {
        sim.run_until(event.at);
        event.act(*this, sim, dev());
    }
    expect_settled();
    EXPECT_EQ(drive_writes(), c.drive);
    EXPECT_EQ(enable_writes(), c.enable);
    EXPECT_EQ(sim.level("enable"), 0);
    EXPECT_FALSE(pending(dev()->IntensityTimer));
    EXPECT_EQ(sim.resolution_calls().size(), c.resolution_calls);
}

INSTANTIATE_TEST_SUITE_P(Faults, StopReachTest, testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The end of a blink on-phase is a stop request like any other: a step
// skipped during the first on-phase does not keep the motor on through the
// off-phase.
TEST_F(VibrationTest, BlinkOnPhaseEndsAfterASkippedStep)
{
    BlinkRecord record(500, 40, 1);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    sim.run_until(ms(150));
    sim.inject(Op::WdfWaitLockAcquire, STATUS_TIMEOUT);  // the step at 151.8 ms
    sim.run_until(ms(199));
    EXPECT_FALSE(pending(dev()->IntensityTimer));
    EXPECT_EQ(sim.level("enable"), 1);
    expect_settled();
    EXPECT_EQ(enable_writes(), (Writes{{0, 1}, {step(2, ms(200)), 0}}));
}

// A stop with the drive at rest and its enable line low writes nothing and
// arms nothing, before any start and after a finished drive.
TEST_F(VibrationTest, StopOfADriveAtRestStaysANoOp)
{
    EXPECT_EQ(stop_drive(), STATUS_SUCCESS);
    EXPECT_FALSE(pending(dev()->IntensityTimer));
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    stop_drive();
    expect_settled();
    const size_t writes = sim.writes().size();
    sim.run_for(ms(10));
    EXPECT_EQ(stop_drive(), STATUS_SUCCESS);
    EXPECT_FALSE(pending(dev()->IntensityTimer));
    expect_settled();
    EXPECT_EQ(sim.writes().size(), writes);
}

struct Persistent {
    const char *name;
    Op op;
    NTSTATUS status;
    uint64_t failed_writes;  // writes the fault spoilt until the drive gave up
    uint64_t error_lines;
};

void PrintTo(const Persistent &c, std::ostream *os) { *os << c.name; }

const Persistent kPersistent[] = {
    // The stop's first step and four retries, each refused.
    {"EveryWriteRefused", Op::WdfRequestSend, STATUS_UNSUCCESSFUL, 5, 11},
    // Five whole sequences of three steps, each ended by an enable-low write
    // that failed; every failed completion prints its warning.
    {"EveryCompletionFailed", Op::RequestCompletion, STATUS_IO_TIMEOUT, 20, 21},
};

class PersistentFaultTest : public VibrationTest, public testing::WithParamInterface<Persistent> {};

// One off under a fault that never clears costs a bounded number of writes
// and error lines; then nothing is armed and the resolution is released, and
// the mark that the enable line may be high is kept, so that the next stop,
// with the fault gone, runs the sequence again.
TEST_P(PersistentFaultTest, SettlesAfterABoundedEffort)
{
    const Persistent &c = GetParam();
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    sim.run_until(ms(40));
    set_trace_masks(kInitialMasks);  // what a board prints: errors only
    sim.clear_trace();
    sim.inject(c.op, c.status, 0);
    ASSERT_EQ(stop_drive(), STATUS_SUCCESS);
    EXPECT_TRUE(sim.run_until_idle(vsim::kTicksPerSecond)) << "the drive settles under the fault";
    EXPECT_EQ(sim.faults_fired(c.op), c.failed_writes);
    EXPECT_EQ(sim.trace().size(), c.error_lines);
    EXPECT_EQ(sim.trace().back().text, "QM38_205_RetryStop Error: stop given up after 4 tries; the enable line may be high\n");
    EXPECT_FALSE(pending(dev()->IntensityTimer));
    EXPECT_EQ(sim.outstanding_resolution_requests(), 0);
    EXPECT_EQ(sim.level("enable"), 1);
    EXPECT_TRUE(intensity()->EnableRaised);

    sim.clear_faults();
    EXPECT_EQ(stop_drive(), STATUS_SUCCESS);
    expect_settled();
    EXPECT_EQ(sim.level("enable"), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, PersistentFaultTest, testing::ValuesIn(kPersistent),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vtest
