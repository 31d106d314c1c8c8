// SPDX-License-Identifier: MIT
// Teardown and removal: once teardown has returned nothing of the driver runs
// for the device and no timer of its is armed; a write still in flight then
// completes (or is cancelled by the removal) touching nothing but its own
// request; the verifier says so when it is not the case.

#include <functional>

#if defined(__SANITIZE_ADDRESS__) || defined(__clang__)
#include <sanitizer/asan_interface.h>
#endif

#include "vibration/fixture.h"

namespace vtest {
namespace {

using vsim::Op;

#if defined(__SANITIZE_ADDRESS__)
#define TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_ASAN 1
#endif
#endif

void unpoison(void *address, size_t size)
{
#ifdef TEST_ASAN
    __asan_unpoison_memory_region(address, size);
#else
    (void)address;
    (void)size;
#endif
}

class TeardownTest : public VibrationTest {
protected:
    // Everything the driver's callbacks printed after `since`.
    std::vector<Ticks> callbacks_after(Ticks since) const
    {
        std::vector<Ticks> times;
        for (const char *entry : {"+EvtTimerIntensityCallback\n", "+EvtTimerBlinkCallback\n"}) {
            for (Ticks at : times_of(entry)) {
                if (at > since) {
                    times.push_back(at);
                }
            }
        }
        return times;
    }

    void expect_quiet_since(Ticks since)
    {
        EXPECT_TRUE(sim.run_until_idle());
        EXPECT_EQ(callbacks_after(since), std::vector<Ticks>{}) << "no step or phase runs after teardown";
        EXPECT_FALSE(pending(dev()->IntensityTimer));
        EXPECT_FALSE(pending(dev()->BlinkTimer));
        EXPECT_EQ(sim.created_objects(vsim::ObjectType::Request), sim.deleted_objects(vsim::ObjectType::Request));
        expect_resolution_given_back_at_unload();
        EXPECT_EQ(sim.verifier_failures(), std::vector<std::string>{});
    }

    // A teardown cannot give the timer resolution back (it is a power
    // transition); the driver's unload does.
    void expect_resolution_given_back_at_unload()
    {
        EXPECT_LE(sim.outstanding_resolution_requests(), 1);
        sim.remove_device(id);
        sim.unload_driver();
        EXPECT_EQ(sim.outstanding_resolution_requests(), 0);
    }
};

// The enable-low write that teardown sends fails in the controller: its
// completion reports the failure and touches nothing else; the line stays as
// the controller left it.
TEST_F(TeardownTest, AFailedCompletionAfterTeardownArmsNothing)
{
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    sim.run_until(ms(50));
    sim.inject(Op::RequestCompletion, STATUS_IO_TIMEOUT);
    ASSERT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    sim.run_for(ms(20));
    EXPECT_TRUE(traced("EvtRequestWriteCompletionRoutine Failed\r\n"));
    EXPECT_EQ(sim.writes().back().line, "enable");
    EXPECT_EQ(sim.writes().back().status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(sim.level("enable"), 1) << "the last write did not go through";
    expect_quiet_since(ms(50));
}

struct InFlight {
    const char *name;
    bool stop_first;  // the stop sequence's own enable-low write is in flight
};

void PrintTo(const InFlight &c, std::ostream *os) { *os << c.name; }

class InFlightAtRemovalTest : public TeardownTest, public testing::WithParamInterface<InFlight> {};

// Removal right after teardown, with the last enable-low write still in
// flight: the closing target cancels it, its completion routine runs with
// STATUS_CANCELLED, and the line keeps its value.
TEST_P(InFlightAtRemovalTest, IsCancelledAndTouchesNothing)
{
    sim.set_gpio_latency(us(500));
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    if (GetParam().stop_first) {
        stop_drive();
        sim.run_until(step(3) + us(100));  // the sequence's enable-low write is out
    } else {
        sim.run_until(ms(20));
    }
    const Ticks torn_down = sim.now();
    ASSERT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    sim.remove_device(id);
    const vsim::GpioWrite &last = sim.writes().back();
    EXPECT_EQ(last.line, "enable");
    EXPECT_EQ(last.value, 0);
    EXPECT_EQ(last.status, STATUS_CANCELLED);
    EXPECT_EQ(last.completed, torn_down) << "cancelled at the removal";
    EXPECT_TRUE(traced("EvtRequestWriteCompletionRoutine Failed\r\n")) << "its completion routine ran";
    EXPECT_EQ(sim.level("enable"), 1);
    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_EQ(callbacks_after(torn_down), std::vector<Ticks>{});
    EXPECT_EQ(sim.created_objects(vsim::ObjectType::Request), sim.deleted_objects(vsim::ObjectType::Request));
    EXPECT_EQ(sim.verifier_failures(), std::vector<std::string>{});
    EXPECT_LE(sim.outstanding_resolution_requests(), 1);
    sim.unload_driver();
    EXPECT_EQ(sim.outstanding_resolution_requests(), 0);
}

INSTANTIATE_TEST_SUITE_P(Writes, InFlightAtRemovalTest,
                         testing::Values(InFlight{"TeardownsOwnWrite", false}, InFlight{"TheStopSequencesWrite", true}),
                         [](const auto &info) { return std::string(info.param.name); });

// Torn down while the motor runs: teardown lets the enable line go itself, as
// the stop sequence will not run; once that write has gone through the
// device can go.
TEST_F(TeardownTest, WhileRunningLeavesTheMotorOff)
{
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    sim.run_until(ms(20));
    ASSERT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    expect_quiet_since(ms(20));
    EXPECT_EQ(sim.level("enable"), 0);
}

// During a blink pattern, with a phase and a step pending.
TEST_F(TeardownTest, DuringABlinkPatternLeavesNothingToRun)
{
    BlinkRecord record(500, 40, 3);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    sim.run_until(ms(600));
    ASSERT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    expect_quiet_since(ms(600));
    EXPECT_EQ(sim.level("enable"), 0);
}

// A run of a timer callback that fired before teardown and starts after it
// (the framework may still have it queued) stops at its own timer's context.
TEST_F(TeardownTest, ACallbackQueuedBeforeTeardownStopsAtItsContext)
{
    BlinkRecord record(500, 40, 3);
    ASSERT_EQ(start_blink(record.get()), STATUS_SUCCESS);
    sim.run_until(ms(100));
    ASSERT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    const size_t writes = sim.writes().size();
    sim.run_timer_callback(dev()->BlinkTimer);
    sim.run_timer_callback(dev()->IntensityTimer);
    EXPECT_EQ(sim.writes().size(), writes);
    expect_quiet_since(ms(200));
}

// The verifier's side: what a driver must not do once teardown has returned.
// Each misuse acts as driver code would, with the context it was given (now
// released) and the handles it read from it before.
struct Misuse {
    const char *name;
    std::function<void(PDEVICE_CONTEXT released, const DEVICE_CONTEXT &before)> act;
    const char *finding;
};

void PrintTo(const Misuse &c, std::ostream *os) { *os << c.name; }

const Misuse kMisuses[] = {
    {"TimerStarted", [](PDEVICE_CONTEXT, const DEVICE_CONTEXT &before) { WdfTimerStart(before.IntensityTimer, -33000); },
     "used after its teardown returned"},
    {"LockTaken",
     [](PDEVICE_CONTEXT, const DEVICE_CONTEXT &before) {
         WdfWaitLockAcquire(before.IntensityLock, NULL);
         WdfWaitLockRelease(before.IntensityLock);
     },
     "used after its teardown returned"},
    {"ContextWritten",
     [](PDEVICE_CONTEXT released, const DEVICE_CONTEXT &) {
         unpoison(released, sizeof(DEVICE_CONTEXT));  // the address sanitizer would stop the test here
         released->HwNCount = 0;
     },
     "written after its teardown returned"},
};

class AfterTeardownVerifierTest : public TeardownTest, public testing::WithParamInterface<Misuse> {};

TEST_P(AfterTeardownVerifierTest, ReportsIt)
{
    const PDEVICE_CONTEXT released = dev();
    ASSERT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    ASSERT_EQ(sim.verifier_failures(), std::vector<std::string>{});
    GetParam().act(released, *dev());
    sim.remove_device(id);
    ASSERT_FALSE(sim.verifier_failures().empty());
    EXPECT_NE(sim.verifier_failures().front().find(GetParam().finding), std::string::npos)
        << sim.verifier_failures().front();
    sim.clear_verifier_failures();
}

INSTANTIATE_TEST_SUITE_P(Misuse, AfterTeardownVerifierTest, testing::ValuesIn(kMisuses),
                         [](const auto &info) { return std::string(info.param.name); });

// A timer that the driver left armed is reported when teardown returns.
TEST_F(TeardownTest, ATimerLeftArmedIsReported)
{
    const WDFTIMER timer = dev()->BlinkTimer;
    WdfTimerStart(timer, -10000000);
    dev()->BlinkTimer = NULL;  // a driver that lost track of its timer
    ASSERT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    ASSERT_EQ(sim.verifier_failures().size(), 1u);
    EXPECT_NE(sim.verifier_failures().front().find("still armed when the teardown of device"), std::string::npos)
        << sim.verifier_failures().front();
    sim.clear_verifier_failures();
    sim.remove_device(id);
}

}  // namespace
}  // namespace vtest
