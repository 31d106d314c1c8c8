// SPDX-License-Identifier: MIT
// An interleaved schedule is a function of its seed alone, whatever runs the
// simulated threads underneath: a fixed run of the driver under PCT and
// random seeds must make exactly the switches, trace lines, line changes and
// writes it made when these digests were recorded. A change to how simulated
// threads are carried that moves one switch, or one event, shows here.

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/harness.h"
#include "support/sim_modes.h"

namespace vtest {
namespace {

struct Golden {
    vsim::SchedulePolicy policy;
    uint64_t seed;
    uint64_t digest;
};

void PrintTo(const Golden &golden, std::ostream *os)
{
    *os << (golden.policy == vsim::SchedulePolicy::Pct ? "pct" : "random") << " seed " << golden.seed;
}

// FNV-1a over every field, with a separator after each.
class Digest {
public:
    void add(std::string_view text)
    {
        for (unsigned char c : text) {
            mix(c);
        }
        mix(0xFF);
    }
    void add(int64_t value) { add(std::to_string(value)); }
    uint64_t value() const { return hash_; }

private:
    void mix(unsigned char byte)
    {
        hash_ ^= byte;
        hash_ *= 0x100000001B3ULL;
    }
    uint64_t hash_ = 0xCBF29CE484222325ULL;
};

class ScheduleDigestTest : public SimTest, public testing::WithParamInterface<Golden> {
protected:
    ScheduleDigestTest()
        : SimTest(vibra_test::interleaved(GetParam().policy, GetParam().seed))
    {
    }

    uint64_t digest() const
    {
        Digest digest;
        for (const vsim::SwitchRecord &s : sim.switches()) {
            digest.add(s.time);
            digest.add(s.at);
            digest.add(s.from);
            digest.add(s.to);
        }
        for (const vsim::TraceLine &line : sim.trace()) {
            digest.add(line.time);
            digest.add(line.text);
        }
        for (const vsim::LineChange &change : sim.line_changes()) {
            digest.add(change.time);
            digest.add(change.line);
            digest.add(change.value);
        }
        for (const vsim::GpioWrite &write : sim.writes()) {
            digest.add(write.sent);
            digest.add(write.completed);
            digest.add(write.line);
            digest.add(write.value);
            digest.add(write.status);
        }
        return digest.value();
    }
};

// A blink, two ons racing each other and the blink's timer, an off racing a
// device stop, then the teardown.
TEST_P(ScheduleDigestTest, SameSeedSameSwitchesAndEvents)
{
    const vsim::DeviceId id = bring_up();
    ASSERT_EQ(sim.start_device(id), STATUS_SUCCESS);
    sim.run_until(ms(10));
    ASSERT_EQ(set_state(id, Record::blink(40, 50, 5)), STATUS_SUCCESS);
    sim.run_until(ms(37));
    run_together({[&] { set_state(id, Record::state(1)); }, [&] { set_state(id, Record::state(1)); }});
    sim.run_for(ms(25));
    run_together({[&] { set_state(id, Record::state(0)); }, [&] { sim.stop_device(id); }});
    sim.run_for(ms(3));
    EXPECT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    EXPECT_TRUE(sim.run_until_idle());
    sim.remove_device(id);
    sim.unload_driver();

    EXPECT_GT(sim.switches().size(), 20u);
    if (sizeof(void *) != 8) {
        // The records name objects by handle, printed at the pointer's width.
        GTEST_SKIP() << "digests recorded with 64-bit handles";
    }
    char actual[24];
    std::snprintf(actual, sizeof actual, "0x%016llx", static_cast<unsigned long long>(digest()));
    char golden[24];
    std::snprintf(golden, sizeof golden, "0x%016llx", static_cast<unsigned long long>(GetParam().digest));
    EXPECT_STREQ(actual, golden) << sim.switches().size() << " switches, " << sim.trace().size() << " trace lines";
}

constexpr vsim::SchedulePolicy kPct = vsim::SchedulePolicy::Pct;
constexpr vsim::SchedulePolicy kRandom = vsim::SchedulePolicy::Random;

INSTANTIATE_TEST_SUITE_P(Seeds, ScheduleDigestTest,
                         testing::Values(Golden{kPct, 1, 0x2a2348eb68cc34dc}, Golden{kPct, 5, 0x5a5e7847e204cbcd},
                                         Golden{kPct, 42, 0x176bbf2842e8837b}, Golden{kRandom, 2, 0x2d01080ecd90f3b6},
                                         Golden{kRandom, 5, 0xbd74f2431d4c0591},
                                         Golden{kRandom, 77, 0x6c09959b0015a160}));

}  // namespace
}  // namespace vtest
