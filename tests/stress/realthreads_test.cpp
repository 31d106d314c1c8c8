// SPDX-License-Identifier: MIT
// The real-threads mode of the platform: wait locks time out for real, a stop
// with wait waits for the running callback, and each kind of code runs on its
// own kind of thread at its own level. Only orderings and outcomes are
// asserted, never how long anything took.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "player/player.h"
#include "sim/mini.h"
#include "support/harness.h"
#include "support/sim_modes.h"

namespace {

using vsim::ms;
using vsim::Ticks;

void wait_for(const std::function<bool()> &condition)
{
    while (!condition()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// False when the condition still does not hold after a time no correct run
// comes near: a missed wake-up fails the test rather than hanging it.
bool comes_true(const std::function<bool()> &condition)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The mini driver, loaded with one device, on real threads.
class RealThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        mini::timer_actions.clear();
        ASSERT_EQ(sim.load_driver(&mini::Entry), STATUS_SUCCESS);
        ASSERT_EQ(sim.add_device(&id), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        EXPECT_TRUE(sim.run_until_idle(10 * vsim::kTicksPerSecond));
        for (const std::string &failure : sim.verifier_failures()) {
            ADD_FAILURE() << "verifier: " << failure;
        }
    }

    WDFTIMER make_timer(std::function<void(WDFTIMER)> action, WDF_EXECUTION_LEVEL level = WdfExecutionLevelPassive)
    {
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, mini::TimerTrampoline);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ExecutionLevel = level;
        attributes.ParentObject = sim.device(id);
        WDFTIMER timer = nullptr;
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
        mini::timer_actions[timer] = std::move(action);
        return timer;
    }

    vsim::Simulator sim{vibra_test::on_real_threads()};
    vsim::DeviceId id = 0;
};

TEST_F(RealThreads, ATimedWaitTimesOutOnlyWhileTheHolderKeepsTheLock)
{
    WDFWAITLOCK lock = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    LONGLONG one_second = -10'000'000;

    // The holder keeps the lock until the waiter has given up.
    std::atomic<bool> gave_up{false};
    std::thread keeper([&] {
        EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
        wait_for([&] { return gave_up.load(); });
        WdfWaitLockRelease(lock);
    });
    wait_for([&] { return sim.lock_held(lock); });
    const Ticks asked = sim.now();
    EXPECT_EQ(WdfWaitLockAcquire(lock, &one_second), STATUS_TIMEOUT);
    EXPECT_GE(sim.now(), asked - one_second) << "gave up before its time-out";
    gave_up = true;
    keeper.join();

    // A holder that lets go within the time-out hands the lock over.
    std::atomic<bool> released{false};
    std::thread brief([&] {
        EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        released = true;
        WdfWaitLockRelease(lock);
    });
    wait_for([&] { return sim.lock_held(lock); });
    EXPECT_EQ(WdfWaitLockAcquire(lock, &one_second), STATUS_SUCCESS);
    EXPECT_TRUE(released) << "got the lock while another thread held it";
    WdfWaitLockRelease(lock);
    brief.join();
}

TEST_F(RealThreads, StopWithWaitReturnsOnlyAfterTheRunningCallbackReturned)
{
    std::atomic<bool> entered{false}, let_go{false}, returned{false};
    std::atomic<KIRQL> level{KIRQL(0xFF)};
    std::thread::id runner;
    WDFTIMER timer = make_timer([&](WDFTIMER) {
        runner = std::this_thread::get_id();
        level = KeGetCurrentIrql();
        entered = true;
        wait_for([&] { return let_go.load(); });
        returned = true;
    });
    WdfTimerStart(timer, -ms(1));
    wait_for([&] { return entered.load(); });

    std::atomic<bool> stopped{false};
    bool returned_before_stop = false;
    std::thread stopper([&] {
        WdfTimerStop(timer, TRUE);
        returned_before_stop = returned;
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(stopped) << "the stop returned while the callback still ran";
    let_go = true;
    stopper.join();
    EXPECT_TRUE(returned_before_stop);
    EXPECT_EQ(level, PASSIVE_LEVEL);
    EXPECT_NE(runner, std::this_thread::get_id()) << "a timer callback ran on the thread that armed it";
}

// A worker that runs a callback is not there to see the next timer fall due:
// another worker must be, also for a timer armed by the running callback.
TEST_F(RealThreads, ATimerDueWhileACallbackRunsFiresOnAnotherWorkerMeanwhile)
{
    std::atomic<bool> second_ran{false}, first_saw_it{false}, first_returned{false};
    WDFTIMER second = make_timer([&](WDFTIMER) { second_ran = true; });
    WDFTIMER first = make_timer([&](WDFTIMER) {
        WdfTimerStart(second, -ms(1));
        first_saw_it = comes_true([&] { return second_ran.load(); });
        first_returned = true;
    });
    WdfTimerStart(first, -ms(1));
    wait_for([&] { return first_returned.load(); });
    EXPECT_TRUE(first_saw_it) << "the second timer waited for the first callback to return";
}

// The verifier records misuse on real threads as it does in virtual time.
TEST_F(RealThreads, MisuseOnAnyThreadIsRecordedNotCrashedOn)
{
    WDFWAITLOCK lock = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    std::atomic<int> done{0};
    WDFTIMER own_stop = make_timer([&](WDFTIMER timer) {
        WdfTimerStop(timer, TRUE);
        ++done;
    });
    WDFTIMER raised_wait = make_timer(
        [&](WDFTIMER) {
            if (WdfWaitLockAcquire(lock, nullptr) == STATUS_SUCCESS) {
                WdfWaitLockRelease(lock);
            }
            ++done;
        },
        WdfExecutionLevelDispatch);
    WdfTimerStart(own_stop, -ms(1));
    WdfTimerStart(raised_wait, -ms(1));
    wait_for([&] { return done == 2; });
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    std::thread([&] { WdfWaitLockRelease(lock); }).join();
    EXPECT_TRUE(sim.lock_held(lock)) << "another thread's release freed the lock";
    WdfWaitLockRelease(lock);

    ASSERT_TRUE(sim.run_until_idle(10 * vsim::kTicksPerSecond));
    std::vector<std::string> failures = sim.verifier_failures();
    sim.clear_verifier_failures();
    for (const char *expected : {"WdfTimerStop with wait called from the timer's own callback",
                                 "WdfWaitLockAcquire: waits for WDFWAITLOCK", "is not held by the calling thread"}) {
        EXPECT_TRUE(std::any_of(failures.begin(), failures.end(),
                                [&](const std::string &failure) { return failure.find(expected) != std::string::npos; }))
            << expected;
    }
}

// Loads the driver, starts a device on both lines, and turns the motor on
// and, 30 ms later, off.
void turn_on_then_off(vsim::Simulator &sim)
{
    sim.add_line(vtest::kEnableId, "enable");
    sim.add_line(vtest::kDriveId, "drive");
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);
    vsim::DeviceId id = 0;
    ASSERT_EQ(sim.add_device(&id), STATUS_SUCCESS);
    const vsim::ResourceList resources = {vsim::gpio_io(vtest::kEnableId), vsim::gpio_io(vtest::kDriveId)};
    ASSERT_EQ(sim.initialize_device(id, resources, resources), STATUS_SUCCESS);
    for (ULONG state : {HWN_STATE_ON, HWN_STATE_OFF}) {
        vtest::Buffer buffer = vtest::payload(vtest::Record::state(state));
        ULONG written = 0;
        ASSERT_EQ(sim.set_state(id, buffer.data(), buffer.length(), &written), STATUS_SUCCESS);
        sim.run_for(ms(30));
    }
}

// The driver's own code: timer callbacks at passive level on the platform's
// workers, completions at dispatch level on a thread of their own, the class
// extension's calls on the caller's thread.
TEST(RealThreadsDriver, EachKindOfCodeRunsOnItsOwnKindOfThreadAtItsLevel)
{
    struct Seen {
        std::set<KIRQL> levels;
        std::set<std::thread::id> threads;
    };
    std::map<std::string, Seen> seen;
    vtest::open_trace_masks();
    {
        vsim::Simulator sim(vibra_test::on_real_threads());
        // Called under the platform's lock: one line at a time.
        sim.set_trace_sink([&](const vsim::TraceLine &line) {
            for (const char *entry : {"+EvtTimerIntensityCallback", "+EvtRequestWriteCompletionRoutine",
                                      "+QM38_205_SetState"}) {
                if (line.text.rfind(entry, 0) == 0) {
                    seen[entry].levels.insert(KeGetCurrentIrql());
                    seen[entry].threads.insert(std::this_thread::get_id());
                }
            }
        });
        ASSERT_NO_FATAL_FAILURE(turn_on_then_off(sim));
        EXPECT_TRUE(sim.run_until_idle(10 * vsim::kTicksPerSecond));
        EXPECT_EQ(sim.level("enable"), 0);
        EXPECT_TRUE(sim.check_quiescent().empty()) << sim.verifier_failures().front();
    }
    vtest::set_trace_masks(vtest::kInitialMasks);

    const Seen &steps = seen["+EvtTimerIntensityCallback"];
    const Seen &completions = seen["+EvtRequestWriteCompletionRoutine"];
    const Seen &calls = seen["+QM38_205_SetState"];
    EXPECT_EQ(calls.levels, std::set<KIRQL>{PASSIVE_LEVEL});
    EXPECT_EQ(calls.threads, std::set<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(steps.levels, std::set<KIRQL>{PASSIVE_LEVEL});
    EXPECT_EQ(completions.levels, std::set<KIRQL>{DISPATCH_LEVEL});
    ASSERT_FALSE(steps.threads.empty());
    ASSERT_FALSE(completions.threads.empty());
    for (const auto &thread : completions.threads) {
        EXPECT_FALSE(steps.threads.count(thread) || calls.threads.count(thread)) << "a completion ran inline";
    }
    for (const auto &thread : steps.threads) {
        EXPECT_FALSE(calls.threads.count(thread)) << "a timer callback ran on the caller's thread";
    }
}

// A completion due some time after its send wakes the completion thread then,
// with nothing else to wake it.
TEST(RealThreadsDriver, AWriteThatCompletesLaterCompletesAtItsTime)
{
    vsim::Simulator sim(vibra_test::on_real_threads());
    sim.set_gpio_latency(ms(2));
    ASSERT_NO_FATAL_FAILURE(turn_on_then_off(sim));
    ASSERT_TRUE(sim.run_until_idle(10 * vsim::kTicksPerSecond)) << "a completion never came";
    EXPECT_EQ(sim.level("enable"), 0);
    ASSERT_FALSE(sim.writes().empty());
    for (const vsim::GpioWrite &write : sim.writes()) {
        EXPECT_EQ(write.status, STATUS_SUCCESS) << write.line;
        EXPECT_GE(write.completed, write.sent + ms(2)) << "completed before its time: " << write.line;
    }
}

// vibra-sim --realtime plays a scenario on real threads.
TEST(RealThreadsTool, APlayedScenarioEndsWithTheMotorOffAndNothingFound)
{
    const vibra_tool::ParseResult parsed = vibra_tool::parse_scenario(
        "at 0ms start\nat 10ms set-state on\nat 60ms set-state off\n", "realtime");
    ASSERT_TRUE(parsed.scenario) << parsed.error;
    vibra_tool::PlayerOptions options;
    options.realtime = true;
    const vibra_tool::Recording recording = vibra_tool::play(*parsed.scenario, options);
    EXPECT_TRUE(recording.idle);
    EXPECT_TRUE(recording.expectation_failures.empty()) << recording.expectation_failures.front();
    EXPECT_TRUE(recording.verifier_failures.empty()) << recording.verifier_failures.front();
    // Only the order of events is checked: on real threads their times vary.
    std::vector<int> enable;
    for (const auto &change : recording.changes) {
        if (change.line == "enable") {
            enable.push_back(change.value);
        }
    }
    ASSERT_FALSE(enable.empty());
    EXPECT_NE(std::find(enable.begin(), enable.end(), 1), enable.end()) << "the motor never started";
    EXPECT_EQ(enable.back(), 0) << "the motor was left enabled";
}

}  // namespace
