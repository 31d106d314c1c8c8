// SPDX-License-Identifier: MIT
// Simulated threads share one OS thread in virtual time: a SimulatedLocal
// still has a value of its own on each, whatever the schedule.
#include "mini.h"

#include <algorithm>
#include <string>
#include <vector>

#include "simulated_local.h"

namespace {

class SimulatedLocalTest : public ::testing::TestWithParam<vsim::SchedulePolicy> {};

// Three threads take turns on a lock; each finds the value empty, sets its
// own, keeps it across every switch and empties it again (as a call that
// sets one for its length does). The spawning thread's value stays its own.
TEST_P(SimulatedLocalTest, EachSimulatedThreadKeepsItsOwnValue)
{
    vsim::Options options;
    options.schedule.policy = GetParam();
    options.schedule.seed = 3;
    vsim::Simulator sim(options);
    ASSERT_EQ(sim.load_driver(&mini::Entry), STATUS_SUCCESS);
    vsim::SimulatedLocal<std::string> name;
    *name = "main";
    WDFWAITLOCK lock = mini::make_lock();
    std::vector<std::string> seen;
    for (std::string label : {"a", "b", "c"}) {
        sim.spawn_thread(label, [&name, &seen, lock, label] {
            seen.push_back(label + " found '" + *name + "'");
            *name = label;
            for (int i = 0; i < 3; ++i) {
                WdfWaitLockAcquire(lock, nullptr);
                *name += ".";
                WdfWaitLockRelease(lock);
            }
            seen.push_back(label + " kept '" + *name + "'");
            name->clear();
        });
    }
    sim.run_threads();
    EXPECT_EQ(sim.live_threads(), 0u);
    EXPECT_EQ(*name, "main");
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"a found ''", "a kept 'a...'", "b found ''", "b kept 'b...'",
                                              "c found ''", "c kept 'c...'"}));
}

INSTANTIATE_TEST_SUITE_P(Schedules, SimulatedLocalTest,
                         ::testing::Values(vsim::SchedulePolicy::Sequential, vsim::SchedulePolicy::Random,
                                           vsim::SchedulePolicy::Pct));

}  // namespace
