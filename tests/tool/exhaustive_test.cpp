// SPDX-License-Identifier: MIT
// The bounded exhaustive search: on a model of two threads it runs every
// interleaving once, each bound's exactly; on simulated threads it finds a
// lost update at one preemption and not at none, and the choices it reports
// replay that run.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "explore/exhaustive.h"
#include "sim/mini.h"

namespace {

using vibra_tool::SearchOptions;
using vibra_tool::SearchResult;
using vibra_tool::SearchRun;

// Two threads of `steps` steps each, as the Choices schedule would run them:
// the first step is a free choice between the two, then before each step,
// while both have steps left, the running thread goes on (the default) or
// the other preempts it. Returns the interleaving, e.g. "AABAB".
std::string model_run(const vsim::Schedule &schedule, int steps)
{
    int left[2] = {steps, steps};
    std::string order;
    uint32_t point = 0;
    size_t next = 0;
    int running = -1;
    while (left[0] + left[1] > 0) {
        int thread = left[0] == 0 ? 1 : left[1] == 0 ? 0 : -1;
        if (thread < 0) {
            vsim::ChoicePoint at;
            at.candidates = 2;
            at.stay = int16_t(running);
            at.fallback = running < 0 ? 0 : uint16_t(running);
            at.taken = at.fallback;
            if (next < schedule.forced.size() && schedule.forced[next].point == point) {
                at.taken = uint16_t(schedule.forced[next++].index);
            }
            schedule.log->points.push_back(at);
            ++point;
            thread = at.taken;
        }
        --left[thread];
        order += char('A' + thread);
        running = thread;
    }
    return order;
}

// Preemptions of an interleaving: switches away from a thread with steps left.
int preemptions_of(const std::string &order, int steps)
{
    int done[2] = {0, 0}, count = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        const int thread = order[i] - 'A';
        if (i > 0 && order[i] != order[i - 1] && done[order[i - 1] - 'A'] < steps) {
            ++count;
        }
        ++done[thread];
    }
    return count;
}

TEST(ExhaustiveSearchTest, RunsEveryInterleavingOnceWithItsBoundsCountsExactly)
{
    constexpr int kSteps = 3;
    // Every arrangement of three A's and three B's, by its preemptions.
    std::map<int, uint64_t> expected;
    std::string all = "AAABBB";
    do {
        ++expected[preemptions_of(all, kSteps)];
    } while (std::next_permutation(all.begin(), all.end()));
    ASSERT_EQ(expected[0], 2u);  // one thread, then the other
    ASSERT_EQ(expected[1], 4u);  // AAB|BBA-like: 2 x (steps - 1)

    for (uint32_t bound = 0; bound <= 4; ++bound) {
        std::set<std::string> seen;
        SearchOptions options;
        options.preemptions = bound;
        const SearchResult result = vibra_tool::search(
            [&](const vsim::Schedule &schedule) {
                const std::string order = model_run(schedule, kSteps);
                EXPECT_TRUE(seen.insert(order).second) << order << " ran twice";
                EXPECT_LE(preemptions_of(order, kSteps), int(bound)) << order;
                return SearchRun{false, schedule.log->points.size()};
            },
            options);
        EXPECT_TRUE(result.covered);
        for (uint32_t c = 0; c <= bound; ++c) {
            EXPECT_EQ(result.schedules[c], expected[int(c)]) << "bound " << bound << ", " << c << " preemptions";
        }
    }
}

TEST(ExhaustiveSearchTest, StopsAtTheCapUncovered)
{
    SearchOptions options;
    options.preemptions = 4;
    options.max_schedules = 5;
    const SearchResult result = vibra_tool::search(
        [](const vsim::Schedule &schedule) {
            return SearchRun{false, (model_run(schedule, 3), schedule.log->points.size())};
        },
        options);
    EXPECT_FALSE(result.covered);
    EXPECT_EQ(result.runs, 5u);
}

// Two simulated threads add one to a counter, reading it, making a platform
// call and writing it back; with `locked` under a wait lock, as they must.
struct Counter {
    explicit Counter(const vsim::Schedule &schedule, bool locked)
    {
        vsim::Options options;
        options.schedule = schedule;
        vsim::Simulator sim(options);
        mini::timer_actions.clear();
        EXPECT_EQ(sim.load_driver(&mini::Entry), STATUS_SUCCESS);
        WDFWAITLOCK lock = mini::make_lock();
        WDFWAITLOCK other = mini::make_lock();
        for (const char *name : {"a", "b"}) {
            sim.spawn_thread(name, [&, locked] {
                if (locked) {
                    WdfWaitLockAcquire(lock, nullptr);
                }
                const int seen = value;
                WdfWaitLockAcquire(other, nullptr);  // a platform call: a scheduling point
                WdfWaitLockRelease(other);
                value = seen + 1;
                if (locked) {
                    WdfWaitLockRelease(lock);
                }
            });
        }
        sim.run_threads();
        switches = sim.switches().size();
    }
    int value = 0;
    size_t switches = 0;
};

SearchResult search_counter(uint32_t bound, bool locked)
{
    SearchOptions options;
    options.preemptions = bound;
    return vibra_tool::search(
        [locked](const vsim::Schedule &schedule) {
            const Counter counter(schedule, locked);
            return SearchRun{counter.value != 2, schedule.log->points.size()};
        },
        options);
}

TEST(ExhaustiveSearchTest, FindsALostUpdateAtOnePreemptionAndNotAtNone)
{
    const SearchResult none = search_counter(0, false);
    EXPECT_TRUE(none.covered);
    EXPECT_FALSE(none.failing);

    const SearchResult one = search_counter(1, false);
    ASSERT_TRUE(one.failing);
    EXPECT_EQ(one.failing_preemptions, 1u);
    EXPECT_FALSE(one.nondeterministic);

    // Its choices replay the lost update, every time.
    vsim::Schedule replay;
    replay.policy = vsim::SchedulePolicy::Choices;
    replay.forced = *one.failing;
    std::string error;
    const std::optional<vsim::Schedule> parsed = vsim::parse_schedule(vsim::format_schedule(replay), &error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->forced, replay.forced);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Counter(*parsed, false).value, 1);
    }

    // With the lock, no schedule within three preemptions loses it.
    const SearchResult locked = search_counter(3, true);
    EXPECT_TRUE(locked.covered);
    EXPECT_FALSE(locked.failing);
    EXPECT_GT(locked.runs, one.runs);
}

TEST(ExhaustiveSearchTest, RefusesMalformedChoices)
{
    for (const char *text : {"choices:1", "choices:1.x", "choices:3.0,2.1", "choices:1.0,", "choices:.1"}) {
        std::string error;
        EXPECT_FALSE(vsim::parse_schedule(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    std::string error;
    const std::optional<vsim::Schedule> empty = vsim::parse_schedule("choices", &error);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->forced.empty());
    EXPECT_EQ(vsim::format_schedule(*empty), "choices");
}

}  // namespace
