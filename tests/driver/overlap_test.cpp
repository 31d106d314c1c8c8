// SPDX-License-Identifier: MIT
// Class-extension calls that overlap, as the class extension may deliver them
// from several threads at once, under interleaved schedules: two calls that
// turn the motor on start it once, and device stops and teardowns, which are
// power transitions, never deadlock on the timer resolution.

#include <functional>
#include <string>
#include <vector>

#include "support/harness.h"
#include "support/sim_modes.h"

namespace vtest {
namespace {

struct Interleaving {
    vsim::SchedulePolicy policy;
    uint64_t seed;
};

void PrintTo(const Interleaving &i, std::ostream *os)
{
    *os << (i.policy == vsim::SchedulePolicy::Pct ? "pct" : "random") << " seed " << i.seed;
}

// The explorer's platform: interleaved, with power transitions.
vsim::Options harsh(const Interleaving &interleaving)
{
    vsim::Options options = vibra_test::interleaved(interleaving.policy, interleaving.seed);
    options.power_transitions = true;
    return options;
}

class OverlapTest : public SimTest, public testing::WithParamInterface<Interleaving> {
protected:
    OverlapTest()
        : SimTest(harsh(GetParam()))
    {
    }

    void SetUp() override
    {
        id = bring_up();
        ASSERT_EQ(sim.start_device(id), STATUS_SUCCESS);
    }

    // Runs the calls at once and waits until every one has returned.
    void together(const std::vector<std::function<void()>> &calls)
    {
        run_together(calls);
        ASSERT_EQ(sim.live_threads(), 0u);
    }

    vsim::DeviceId id = -1;
};

// Two ons at once: the second finds the drive running and leaves it be.
TEST_P(OverlapTest, TwoOnsStartTheDriveOnce)
{
    sim.run_until(ms(10));
    together({[&] { EXPECT_EQ(set_state(id, Record::state(1)), STATUS_SUCCESS); },
              [&] { EXPECT_EQ(set_state(id, Record::state(1)), STATUS_SUCCESS); }});
    EXPECT_EQ(trace_count("+QM38_205_StartVibration\n"), 1u);
    sim.run_until(ms(60));
    EXPECT_EQ(sim.level("enable"), 1);
    ASSERT_EQ(set_state(id, Record::state(0)), STATUS_SUCCESS);
    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_EQ(sim.outstanding_resolution_requests(), 0);
}

// A device stop and a teardown are power transitions: the driver neither
// asks for the timer resolution inside one nor waits inside one for a thread
// that asks for it, whatever runs alongside (the verifier would report the
// deadlock). The resolution a torn-down drive held is given back at unload.
TEST_P(OverlapTest, TransitionsNeverWaitForTheTimerResolution)
{
    sim.run_until(ms(10));
    ASSERT_EQ(set_state(id, Record::blink(40, 50, 5)), STATUS_SUCCESS);
    sim.run_until(ms(10) + ms(GetParam().seed % 7 * 5));
    together({[&] { EXPECT_EQ(sim.stop_device(id), STATUS_SUCCESS); },
              [&] { EXPECT_EQ(set_state(id, Record::state(1)), STATUS_SUCCESS); }});
    sim.run_for(ms(GetParam().seed % 3 * 2));
    EXPECT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_LE(sim.outstanding_resolution_requests(), 1);
    sim.remove_device(id);
    sim.unload_driver();
    EXPECT_EQ(sim.outstanding_resolution_requests(), 0);
}

std::vector<Interleaving> interleavings()
{
    std::vector<Interleaving> all;
    for (uint64_t seed = 0; seed < 24; ++seed) {
        all.push_back({seed % 2 ? vsim::SchedulePolicy::Random : vsim::SchedulePolicy::Pct, seed});
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(Seeds, OverlapTest, testing::ValuesIn(interleavings()));

}  // namespace
}  // namespace vtest
