// SPDX-License-Identifier: MIT
// Timers on clock ticks: a timer fires at the first tick at or after its due
// time; the tick is 15.625 ms until a resolution request is held, and a
// pending timer moves when the resolution changes.
#include "mini.h"
#include "support/sim_modes.h"

namespace {

using mini::SimFixture;
using vsim::ms;
using vsim::Ticks;
using vsim::us;

struct TickCase {
    const char *name;
    std::vector<std::pair<ULONG, bool>> before;  // resolution calls before the start, at 0
    Ticks due;                                   // relative, from 0
    std::vector<std::pair<ULONG, bool>> after;   // resolution calls right after the start
    Ticks fires_at;
};

void PrintTo(const TickCase &c, std::ostream *os) { *os << c.name; }

class TickTest : public SimFixture, public ::testing::WithParamInterface<TickCase> {
protected:
    TickTest()
        : SimFixture(vibra_test::on_clock_ticks())
    {
    }
};

TEST_P(TickTest, FiresAtTheFirstTickAtOrAfterItsDueTime)
{
    const TickCase &c = GetParam();
    Ticks fired = -1;
    WDFTIMER timer = make_timer([&](WDFTIMER) { fired = sim.now(); });
    for (auto [desired, set] : c.before) {
        ExSetTimerResolution(desired, set);
    }
    WdfTimerStart(timer, -c.due);
    for (auto [desired, set] : c.after) {
        ExSetTimerResolution(desired, set);
    }
    sim.run_until_idle();
    EXPECT_EQ(fired, c.fires_at);
    while (sim.outstanding_resolution_requests() > 0) {
        ExSetTimerResolution(0, FALSE);
    }
}

constexpr Ticks kResting = 156'250;
INSTANTIATE_TEST_SUITE_P(
    Timers, TickTest,
    ::testing::Values(TickCase{"RestingTick", {}, us(3300), {}, kResting},
                      TickCase{"OneMillisecondHeld", {{10000, TRUE}}, us(3300), {}, ms(4)},
                      TickCase{"OnATick", {{10000, TRUE}}, ms(3), {}, ms(3)},
                      TickCase{"CoarserRequestGetsItsOwnTick", {{50000, TRUE}}, us(3300), {}, ms(5)},
                      TickCase{"FinerThanAMillisecondGetsOne", {{5000, TRUE}}, us(3300), {}, ms(4)},
                      TickCase{"FinestOfTwoRequestsHolds", {{50000, TRUE}, {10000, TRUE}}, us(3300), {}, ms(4)},
                      TickCase{"PendingTimerMovesToFinerTicks", {}, ms(20), {{10000, TRUE}}, ms(20)},
                      TickCase{"PendingTimerMovesBackOnRelease", {{10000, TRUE}}, us(3300), {{0, FALSE}}, kResting},
                      TickCase{
                          "HeldUntilTheLastRelease", {{10000, TRUE}, {10000, TRUE}}, us(3300), {{0, FALSE}}, ms(4)}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SimFixture, TimersFireExactlyOnTimeByDefault)
{
    Ticks fired = -1;
    WdfTimerStart(make_timer([&](WDFTIMER) { fired = sim.now(); }), -us(3300));
    sim.run_until_idle();
    EXPECT_EQ(fired, us(3300)) << "no resolution request needed in the exact mode";
}

TEST_F(TickTest, APeriodicTimerCountsItsPeriodFromTheTickThatFiredIt)
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
    mini::timer_actions[timer] = [&](WDFTIMER self) {
        fired.push_back(sim.now());
        if (fired.size() == 3) {
            WdfTimerStop(self, FALSE);
        }
    };
    WdfTimerStart(timer, -ms(1));
    sim.run_until_idle();
    EXPECT_EQ(fired, (std::vector<Ticks>{kResting, 2 * kResting, 3 * kResting}));
}

}  // namespace
