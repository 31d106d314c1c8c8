// SPDX-License-Identifier: MIT
// Wait locks between simulated threads: time-outs, parking until release,
// misuse, and what is left over at the end.
#include "mini.h"

namespace {

using mini::SimFixture;
using vsim::ms;

LONGLONG one_second = -10'000'000;

TEST_F(SimFixture, InjectedTimeOutAppliesOnlyToTimedAcquiresAndLeavesTheLockFree)
{
    WDFWAITLOCK lock = make_lock();
    sim.inject(vsim::Op::WdfWaitLockAcquire, STATUS_TIMEOUT, 1);

    EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS) << "an untimed wait cannot time out";
    WdfWaitLockRelease(lock);
    EXPECT_EQ(WdfWaitLockAcquire(lock, &one_second), STATUS_TIMEOUT) << "the first timed acquire";
    EXPECT_FALSE(sim.lock_held(lock));
    EXPECT_EQ(WdfWaitLockAcquire(lock, &one_second), STATUS_SUCCESS);
    EXPECT_TRUE(sim.lock_held(lock));
    WdfWaitLockRelease(lock);
    EXPECT_EQ(sim.calls(vsim::Op::WdfWaitLockAcquire), 3u) << "every call is counted";
}

TEST_F(SimFixture, ATimedAcquireOfALockHeldByAnInterruptedThreadTimesOutAtOnce)
{
    WDFWAITLOCK lock = make_lock();
    std::vector<NTSTATUS> results;
    WDFTIMER timer = make_timer([&](WDFTIMER self) {
        const NTSTATUS status = WdfWaitLockAcquire(lock, &one_second);
        results.push_back(status);
        if (results.size() == 1) {
            sim.run_timer_callback(self);  // an overlapping run while this one holds the lock
        }
        if (status == STATUS_SUCCESS) {
            WdfWaitLockRelease(lock);
        }
    });
    WdfTimerStart(timer, -ms(1));
    sim.run_until_idle();
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_TIMEOUT}));
    EXPECT_EQ(sim.now(), ms(1)) << "virtual time did not move";
}

TEST_F(SimFixture, AnUntimedWaiterParksAndRunsAtTheReleasePoint)
{
    WDFWAITLOCK lock = make_lock();
    std::vector<std::string> events;
    WDFTIMER timer = make_timer([&](WDFTIMER) {
        ASSERT_EQ(WdfWaitLockAcquire(lock, &one_second), STATUS_SUCCESS);
        sim.before_call(vsim::Op::WdfWaitLockRelease, 1, [&] {
            events.push_back("waiter asks");
            EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
            events.push_back("waiter holds the lock");
            WdfWaitLockRelease(lock);
        });
        events.push_back("holder releases");
        WdfWaitLockRelease(lock);
        events.push_back("holder goes on");
    });
    WdfTimerStart(timer, -ms(1));
    sim.run_until_idle();
    EXPECT_EQ(events, (std::vector<std::string>{"holder releases", "waiter asks", "waiter holds the lock",
                                                "holder goes on"}));
    EXPECT_FALSE(sim.lock_held(lock));
    EXPECT_TRUE(sim.check_quiescent().empty());
}

struct LockMisuseCase {
    const char *name;
    std::function<void(WDFWAITLOCK)> misuse;
    const char *report;
};

class LockMisuseTest : public SimFixture, public ::testing::WithParamInterface<LockMisuseCase> {};

TEST_P(LockMisuseTest, IsReportedAndNeverHangs)
{
    WDFWAITLOCK lock = make_lock();
    GetParam().misuse(lock);
    EXPECT_TRUE(take_failure(GetParam().report)) << "expected a report containing: " << GetParam().report;
}

INSTANTIATE_TEST_SUITE_P(
    Locks, LockMisuseTest,
    ::testing::Values(
        LockMisuseCase{"TimedReacquire",
                       [](WDFWAITLOCK lock) {
                           ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
                           EXPECT_EQ(WdfWaitLockAcquire(lock, &one_second), STATUS_TIMEOUT);
                           WdfWaitLockRelease(lock);
                       },
                       "which it already holds"},
        LockMisuseCase{"UntimedReacquire",
                       [](WDFWAITLOCK lock) {
                           ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
                           EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
                           WdfWaitLockRelease(lock);
                       },
                       "deadlock"},
        LockMisuseCase{"ReleaseOfAFreeLock", [](WDFWAITLOCK lock) { WdfWaitLockRelease(lock); },
                       "is not held by the calling thread (it is free)"},
        LockMisuseCase{"ReleaseByAnotherThread",
                       [](WDFWAITLOCK lock) {
                           ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
                           vsim::Simulator::current()->before_call(vsim::Op::WdfWaitLockRelease, 1,
                                                                   [lock] { WdfWaitLockRelease(lock); });
                           WdfWaitLockRelease(lock);
                       },
                       "is not held by the calling thread (held by thread"},
        LockMisuseCase{"HeldAtTheEnd",
                       [](WDFWAITLOCK lock) {
                           ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
                           vsim::Simulator::current()->check_quiescent();
                       },
                       "still held by thread"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SimFixture, AWaitThatCanNeverEndIsReportedAsADeadlock)
{
    WDFWAITLOCK lock = make_lock();
    // A callback that returns with the lock held: nobody can release it.
    WDFTIMER timer = make_timer([&](WDFTIMER) { ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS); });
    WdfTimerStart(timer, -ms(1));
    sim.run_until_idle();

    EXPECT_EQ(WdfWaitLockAcquire(lock, &one_second), STATUS_TIMEOUT);
    EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS) << "returns instead of hanging";
    EXPECT_TRUE(take_failure("waits forever"));
    EXPECT_TRUE(sim.lock_held(lock));
    sim.check_quiescent();
    EXPECT_TRUE(take_failure("still held by thread"));
}

TEST_F(SimFixture, AThreadParkedForeverIsReportedAtQuiescence)
{
    WDFWAITLOCK lock = make_lock();
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    sim.before_call(vsim::Op::WdfTimerStart, 1, [&] { WdfWaitLockAcquire(lock, nullptr); });
    WDFTIMER timer = make_timer([](WDFTIMER) {});
    WdfTimerStart(timer, -ms(1));  // the waiter parks before this call and never gets the lock
    sim.check_quiescent();
    EXPECT_TRUE(take_failure("still waiting for WdfWaitLockAcquire"));
    WdfWaitLockRelease(lock);  // the waiter finally runs and takes it
    EXPECT_TRUE(sim.lock_held(lock));
    sim.clear_verifier_failures();
}

}  // namespace
