// SPDX-License-Identifier: MIT
// Timers in virtual time: due times, re-arming, firing order, stopping, and the
// platform's rough edges around stopping with wait.
#include "mini.h"

namespace {

using mini::SimFixture;
using vsim::ms;
using vsim::Ticks;

TEST_F(SimFixture, RearmingAPendingTimerMovesItsDueTimeAndStopSaysWhetherItWasPending)
{
    std::vector<Ticks> fired;
    WDFTIMER timer = make_timer([&](WDFTIMER) { fired.push_back(sim.now()); });

    EXPECT_FALSE(WdfTimerStart(timer, -ms(10))) << "an idle timer was not pending";
    sim.run_for(ms(2));
    EXPECT_TRUE(WdfTimerStart(timer, -ms(5))) << "a pending timer is re-armed";
    EXPECT_EQ(sim.timer_info(timer)->due, ms(7));
    sim.run_until_idle();
    EXPECT_EQ(fired, std::vector<Ticks>{ms(7)}) << "fires once, at the new due time";

    EXPECT_FALSE(WdfTimerStop(timer, TRUE)) << "idle";
    WdfTimerStart(timer, -ms(1));
    EXPECT_TRUE(WdfTimerStop(timer, TRUE)) << "pending";
    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_EQ(fired.size(), 1u) << "a stopped timer does not fire";
}

struct DueCase {
    const char *name;
    LONGLONG due;
    Ticks fires_at;  // the timer is started at 2 ms
};

class DueTimeTest : public SimFixture, public ::testing::WithParamInterface<DueCase> {};

TEST_P(DueTimeTest, NegativeIsRelativePositiveIsAbsoluteSystemTime)
{
    Ticks fired = -1;
    WDFTIMER timer = make_timer([&](WDFTIMER) { fired = sim.now(); });
    sim.run_for(ms(2));
    WdfTimerStart(timer, GetParam().due);
    sim.run_until_idle();
    EXPECT_EQ(fired, GetParam().fires_at);
}

INSTANTIATE_TEST_SUITE_P(Timers, DueTimeTest,
                         ::testing::Values(DueCase{"Relative", -ms(3), ms(5)},
                                           DueCase{"Absolute", vsim::kSystemTimeAtStart + ms(8), ms(8)},
                                           DueCase{"Zero", 0, ms(2)},
                                           DueCase{"AbsoluteInThePast", vsim::kSystemTimeAtStart + ms(1), ms(2)},
                                           DueCase{"SmallPositiveIsLongPast", ms(8), ms(2)},
                                           DueCase{"OneTick", -1, ms(2) + 1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SimFixture, TimersFireByDueTimeThenByArmingOrder)
{
    std::vector<std::string> order;
    WDFTIMER a = make_timer([&](WDFTIMER) { order.push_back("a"); });
    WDFTIMER b = make_timer([&](WDFTIMER) { order.push_back("b"); });
    WDFTIMER c = make_timer([&](WDFTIMER) { order.push_back("c"); });
    WdfTimerStart(a, -ms(5));
    WdfTimerStart(b, -ms(3));
    WdfTimerStart(c, -ms(5));
    sim.run_until_idle();
    EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "c"}));
}

TEST_F(SimFixture, AFiringTimerIsNoLongerPendingAndItsCallbackMayRearmIt)
{
    std::vector<Ticks> fired;
    WDFTIMER timer = make_timer([&](WDFTIMER self) {
        EXPECT_FALSE(sim.timer_info(self)->pending) << "not pending while its callback runs";
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "a passive-level timer's callback";
        EXPECT_EQ(sim.timer_info(self)->running, 1);
        fired.push_back(sim.now());
        if (fired.size() < 3) {
            EXPECT_FALSE(WdfTimerStart(self, -ms(2)));
        }
    });
    WdfTimerStart(timer, -ms(1));
    sim.run_until_idle();
    EXPECT_EQ(fired, (std::vector<Ticks>{ms(1), ms(3), ms(5)}));
    EXPECT_EQ(sim.timer_info(timer)->fired, 3u);
    EXPECT_EQ(sim.timer_info(timer)->running, 0);
}

TEST_F(SimFixture, DispatchLevelTimersRunAtDispatchLevelAndRepeatWithTheirPeriod)
{
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, mini::TimerTrampoline);
    config.Period = 4;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    WDFTIMER timer = nullptr;
    ASSERT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
    std::vector<Ticks> fired;
    mini::timer_actions[timer] = [&](WDFTIMER) {
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        fired.push_back(sim.now());
    };
    EXPECT_EQ(sim.timer_info(timer)->execution_level, WdfExecutionLevelDispatch);

    WdfTimerStart(timer, -ms(1));
    sim.run_until(ms(10));
    EXPECT_TRUE(WdfTimerStop(timer, FALSE));
    EXPECT_EQ(fired, (std::vector<Ticks>{ms(1), ms(5), ms(9)}));
    EXPECT_EQ(sim.pending_events(), 0u);
}

TEST_F(SimFixture, StopWithWaitFromTheTimersOwnCallbackIsReportedAndDoesNotHang)
{
    WDFTIMER timer = make_timer([](WDFTIMER self) {
        WdfTimerStart(self, -ms(1));
        EXPECT_TRUE(WdfTimerStop(self, TRUE)) << "still cancels the re-arm";
    });
    WdfTimerStart(timer, -ms(1));
    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_TRUE(take_failure("WdfTimerStop with wait called from the timer's own callback"));
    EXPECT_EQ(sim.timer_info(timer)->fired, 1u);
}

TEST_F(SimFixture, ARearmByTheCallbackWhileAStopWithWaitWaitsIsIgnored)
{
    std::vector<std::string> events;
    WDFTIMER timer = make_timer([&](WDFTIMER self) {
        events.push_back("callback runs");
        // Another thread stops the timer with wait just before the callback re-arms.
        sim.before_call(vsim::Op::WdfTimerStart, 1, [&, self] {
            events.push_back("stop begins");
            EXPECT_FALSE(WdfTimerStop(self, TRUE));
            events.push_back("stop returns");
        });
        events.push_back(WdfTimerStart(self, -ms(1)) ? "re-armed (was pending)" : "re-arm returned FALSE");
        events.push_back("callback ends");
    });
    WdfTimerStart(timer, -ms(1));
    EXPECT_TRUE(sim.run_until_idle());

    EXPECT_EQ(events, (std::vector<std::string>{"callback runs", "stop begins", "re-arm returned FALSE",
                                                "callback ends", "stop returns"}));
    EXPECT_EQ(sim.timer_info(timer)->fired, 1u) << "the ignored re-arm never fires";
}

TEST_F(SimFixture, APassiveTimersCallbackCanRunAgainWhileAnEarlierRunIsGoing)
{
    int depth = 0, deepest = 0, runs = 0;
    WDFTIMER timer = make_timer([&](WDFTIMER self) {
        ++runs;
        deepest = std::max(deepest, ++depth);
        if (runs == 1) {
            sim.run_timer_callback(self);  // the framework's next work item, while this run goes on
            EXPECT_EQ(sim.timer_info(self)->running, 1) << "the second run has ended";
        }
        --depth;
    });
    WdfTimerStart(timer, -ms(1));
    sim.run_until_idle();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(deepest, 2) << "the runs overlapped";
}

}  // namespace
