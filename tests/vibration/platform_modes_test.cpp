// SPDX-License-Identifier: MIT
// The engine on the platform's harsher modes: timers that fire on clock ticks
// (every step stays within one 1 ms tick of its due time, because the drive
// holds the 1 ms resolution) and completions inside the send.

#include "vibration/fixture.h"
#include "support/sim_modes.h"

namespace vtest {
namespace {

using vsim::Op;

struct DriveCall {
    Ticks at;
    bool start;
};

void PrintTo(const std::vector<DriveCall> &calls, std::ostream *os) { *os << calls.size() << " calls"; }

class TickTest : public VibrationTest, public testing::WithParamInterface<std::vector<DriveCall>> {
protected:
    TickTest()
        : VibrationTest(vibra_test::on_clock_ticks())
    {
    }

    void drive()
    {
        for (const DriveCall &call : GetParam()) {
            sim.run_until(call.at);
            EXPECT_EQ(call.start ? start_drive() : stop_drive(), STATUS_SUCCESS);
        }
        expect_settled();
    }

    // Gaps between consecutive drive-line writes of one drive (a restart
    // begins another): each step is armed 3.3 ms ahead and may fire up to one
    // tick late.
    std::vector<Ticks> late_steps() const
    {
        std::vector<Ticks> late;
        const Writes writes = drive_writes();
        for (size_t i = 1; i < writes.size(); ++i) {
            const Ticks gap = writes[i].first - writes[i - 1].first;
            const bool restarted = std::any_of(GetParam().begin(), GetParam().end(), [&](const DriveCall &call) {
                return call.start && writes[i - 1].first < call.at && call.at <= writes[i].first;
            });
            if (gap != 0 && !restarted && (gap < us(3300) || gap > us(3300) + ms(1))) {
                late.push_back(gap);
            }
        }
        return late;
    }
};

TEST_P(TickTest, EveryStepFiresWithinOneMillisecondTickOfItsDueTime)
{
    drive();
    EXPECT_TRUE(late_steps().empty()) << late_steps().size() << " steps off the 1 ms ticks";
    EXPECT_EQ(sim.clock_tick(), 156'250) << "back to the resting tick once the drive released the resolution";
    EXPECT_EQ(sim.level("enable"), 0);
}

// A driver that never holds the 1 ms resolution (every request ignored)
// steps on the 15.625 ms resting ticks, which this check catches.
TEST_P(TickTest, ADriveWithoutTheResolutionRequestStepsOnTheRestingTicks)
{
    sim.inject(Op::ExSetTimerResolution, STATUS_UNSUCCESSFUL, 0);
    drive();
    EXPECT_FALSE(late_steps().empty());
}

INSTANTIATE_TEST_SUITE_P(Drives, TickTest,
                         testing::Values(std::vector<DriveCall>{{0, true}, {us(24000), false}},
                                         std::vector<DriveCall>{{us(1500), true}, {us(1500), false}},
                                         std::vector<DriveCall>{
                                             {0, true}, {us(24000), false}, {us(27000), true}, {us(45000), false}}));

class InsideSendTest : public VibrationTest {
protected:
    InsideSendTest()
        : VibrationTest(inside_send())
    {
    }
    static vsim::Options inside_send()
    {
        vsim::Options options;
        options.completions = vsim::Completions::InsideSend;
        return options;
    }
};

// Each write completes before its send returns; the drive's timeline and its
// bookkeeping are those of completions that come later.
TEST_F(InsideSendTest, TheWorkedDriveKeepsItsTimeline)
{
    ASSERT_EQ(start_drive(), STATUS_SUCCESS);
    sim.run_until(us(24000));
    ASSERT_EQ(stop_drive(), STATUS_SUCCESS);
    expect_settled();
    const Writes expected = {{0, 1},       {step(1), 0}, {step(2), 1}, {step(3), 0}, {step(4), 1},
                             {step(5), 0}, {step(6), 1}, {step(7), 0}, {step(8), 0}, {step(9), 1}};
    EXPECT_EQ(drive_writes(), expected);
    EXPECT_EQ(enable_writes(), (Writes{{0, 1}, {step(9), 0}}));
}

}  // namespace
}  // namespace vtest
