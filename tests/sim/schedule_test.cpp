// SPDX-License-Identifier: MIT
// Interleaved schedules: one seed, one interleaving; timed waits that end in
// virtual time; the class extension's one call at a time; the races, lock
// orders and deadlocks that the simulator reports; and a queued timer
// callback that a stop with wait does not wait for.
#include "mini.h"

#include <set>

namespace {

using vsim::ms;
using vsim::SchedulePolicy;
using vsim::Ticks;
using vsim::us;

// PCT spreads its change points over about as many scheduling points as
// these short runs make.
vsim::Options interleaved(SchedulePolicy policy, uint64_t seed, Ticks window = ms(2))
{
    vsim::Options options;
    options.schedule.policy = policy;
    options.schedule.seed = seed;
    options.schedule.window = window;
    options.schedule.steps = 20;
    return options;
}

// One simulator with the mini driver and a device, for tests that try many
// seeds (only one simulator may exist at a time).
struct Board {
    explicit Board(vsim::Options options) : sim(options)
    {
        mini::timer_actions.clear();
        mini::on_set_state = nullptr;
        EXPECT_EQ(sim.load_driver(&mini::Entry), STATUS_SUCCESS);
        EXPECT_EQ(sim.add_device(&id), STATUS_SUCCESS);
        device = sim.device(id);
    }
    ~Board()
    {
        mini::timer_actions.clear();
        mini::on_set_state = nullptr;
    }
    bool reported(std::string_view text) const
    {
        const auto &failures = sim.verifier_failures();
        return std::any_of(failures.begin(), failures.end(),
                           [&](const std::string &failure) { return failure.find(text) != std::string::npos; });
    }
    vsim::Simulator sim;
    vsim::DeviceId id = 0;
    WDFDEVICE device = nullptr;
};

LONGLONG relative(Ticks ticks) { return -ticks; }

class InterleavedTest : public ::testing::TestWithParam<SchedulePolicy> {};

// Two timers and a thread of their own each take turns with their own lock;
// the order of their steps is the interleaving.
std::vector<std::string> three_threads(uint64_t seed, SchedulePolicy policy)
{
    Board run(interleaved(policy, seed));
    std::vector<std::string> order;
    auto worker = [&order](std::string name) {
        WDFWAITLOCK lock = mini::make_lock();
        return [&order, name, lock] {
            for (int i = 0; i < 4; ++i) {
                LONGLONG timeout = relative(ms(1));
                EXPECT_EQ(WdfWaitLockAcquire(lock, &timeout), STATUS_SUCCESS);
                order.push_back(name + std::to_string(i));
                WdfWaitLockRelease(lock);
            }
        };
    };
    auto a = worker("a"), b = worker("b"), c = worker("c");
    WdfTimerStart(mini::make_timer([&](WDFTIMER) { a(); }, run.device), relative(ms(1)));
    WdfTimerStart(mini::make_timer([&](WDFTIMER) { b(); }, run.device), relative(ms(1)));
    run.sim.spawn_thread("c", c);
    EXPECT_TRUE(run.sim.run_until_idle());
    EXPECT_EQ(order.size(), 12u);
    EXPECT_TRUE(run.sim.verifier_failures().empty());
    return order;
}

TEST_P(InterleavedTest, TheSameSeedGivesTheSameInterleavingAndSeedsDiffer)
{
    std::set<std::vector<std::string>> seen;
    for (uint64_t seed = 0; seed < 12; ++seed) {
        const std::vector<std::string> first = three_threads(seed, GetParam());
        EXPECT_EQ(three_threads(seed, GetParam()), first) << "seed " << seed;
        seen.insert(first);
    }
    EXPECT_GE(seen.size(), 3u) << "the seeds explore different interleavings";
}

// Two threads take and give back locks of their own, `rounds` times or, with
// `past_drop`, until the record has let its older half go (at 100,000
// switches) and 30 rounds more; with `read_each_round` the record is read
// after every round, while the run goes on.
std::vector<vsim::SwitchRecord> lockers(SchedulePolicy policy, int rounds, bool past_drop, bool read_each_round)
{
    Board run(interleaved(policy, 9));
    WDFWAITLOCK locks[2] = {mini::make_lock(), mini::make_lock()};
    size_t previous = 0;
    for (int round = 0; round < rounds; ++round) {
        for (WDFWAITLOCK lock : locks) {
            run.sim.spawn_thread("locker", [lock] {
                WdfWaitLockAcquire(lock, nullptr);
                WdfWaitLockRelease(lock);
            });
        }
        run.sim.run_threads();
        if (read_each_round) {
            EXPECT_EQ(run.sim.switches().size(), run.sim.switch_count());
        }
        if (past_drop && run.sim.switch_count() < previous) {
            past_drop = false;
            rounds = round + 30;
        } else if (past_drop) {
            rounds = round + 2;
        }
        previous = run.sim.switch_count();
    }
    EXPECT_FALSE(past_drop);
    const std::vector<vsim::SwitchRecord> &all = run.sim.switches();
    EXPECT_EQ(all.size(), run.sim.switch_count());
    for (size_t count : {size_t(0), size_t(1), size_t(7), all.size(), all.size() + 3}) {
        const std::vector<vsim::SwitchRecord> recent = run.sim.recent_switches(count);
        EXPECT_EQ(recent.size(), std::min(count, all.size()));
        for (size_t i = 0; i < recent.size() && recent.size() <= all.size(); ++i) {
            const vsim::SwitchRecord &full = all[all.size() - recent.size() + i];
            EXPECT_TRUE(recent[i].time == full.time && recent[i].at == full.at && recent[i].from == full.from &&
                        recent[i].to == full.to)
                << "switch " << i << " of the last " << count;
        }
    }
    return all;
}

bool same(const std::vector<vsim::SwitchRecord> &a, const std::vector<vsim::SwitchRecord> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto &x, const auto &y) {
        return x.time == y.time && x.at == y.at && x.from == y.from && x.to == y.to;
    });
}

// The record read while it grows, and across the drop of its older half,
// shows what one reading at the end shows; its tail and count agree with it.
TEST_P(InterleavedTest, TheSwitchRecordReadsTheSameWhenReadMidwayAndItsTailAndCountAgree)
{
    const std::vector<vsim::SwitchRecord> once = lockers(GetParam(), 40, false, false);
    EXPECT_GT(once.size(), 20u);
    EXPECT_TRUE(same(lockers(GetParam(), 40, false, true), once));
    const std::vector<vsim::SwitchRecord> long_once = lockers(GetParam(), 1, true, false);
    EXPECT_LT(long_once.size(), 100'000u);
    EXPECT_TRUE(same(lockers(GetParam(), 1, true, true), long_once));
}

struct TimedWaitCase {
    const char *name;
    std::optional<Ticks> release_at;  // when the holder's own wait ends
    NTSTATUS status;
    Ticks returned_at;
};

class TimedWaitTest : public ::testing::TestWithParam<std::tuple<SchedulePolicy, TimedWaitCase>> {};

// A thread holds L while it waits for M, which the test holds; a callback at
// 1 ms waits 0.5 ms for L.
TEST_P(TimedWaitTest, EndsWhenTheLockIsReleasedOrAtItsDeadlineInVirtualTime)
{
    const auto &[policy, expected] = GetParam();
    Board run(interleaved(policy, 7, 0));
    WDFWAITLOCK l = mini::make_lock(), m = mini::make_lock();
    ASSERT_EQ(WdfWaitLockAcquire(m, nullptr), STATUS_SUCCESS);
    run.sim.spawn_thread("holder", [&] {
        EXPECT_EQ(WdfWaitLockAcquire(l, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(WdfWaitLockAcquire(m, nullptr), STATUS_SUCCESS);
        WdfWaitLockRelease(m);
        WdfWaitLockRelease(l);
    });
    NTSTATUS status = STATUS_PENDING;
    Ticks at = -1;
    WdfTimerStart(mini::make_timer(
                      [&](WDFTIMER) {
                          LONGLONG timeout = relative(us(500));
                          status = WdfWaitLockAcquire(l, &timeout);
                          at = run.sim.now();
                          if (status == STATUS_SUCCESS) {
                              WdfWaitLockRelease(l);
                          }
                      },
                      run.device),
                  relative(ms(1)));
    run.sim.run_until(expected.release_at.value_or(ms(3)));
    WdfWaitLockRelease(m);
    EXPECT_TRUE(run.sim.run_until_idle());
    EXPECT_EQ(status, expected.status);
    EXPECT_EQ(at, expected.returned_at);
    for (const std::string &failure : run.sim.check_quiescent()) {
        ADD_FAILURE() << failure;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Schedules, TimedWaitTest,
    ::testing::Combine(::testing::Values(SchedulePolicy::Random, SchedulePolicy::Pct),
                       ::testing::Values(TimedWaitCase{"Released", us(1200), STATUS_SUCCESS, us(1200)},
                                         TimedWaitCase{"TimedOut", std::nullopt, STATUS_TIMEOUT, us(1500)})),
    [](const auto &info) {
        return std::string(std::get<0>(info.param) == SchedulePolicy::Random ? "Random" : "Pct") +
               std::get<1>(info.param).name;
    });

// Calls for one device on threads of their own overlap, as the real class
// extension may make them; asked to, the class extension makes them one at a
// time.
TEST_P(InterleavedTest, ClassExtensionCallsOverlapUnlessSerialised)
{
    for (const bool serialised : {false, true}) {
        std::set<std::string> orders;
        for (uint64_t seed = 0; seed < 8; ++seed) {
            vsim::Options options = interleaved(GetParam(), seed);
            options.serialise_client_calls = serialised;
            Board run(options);
            WDFWAITLOCK lock = mini::make_lock();
            std::vector<char> events;
            mini::on_set_state = [&] {
                events.push_back('(');
                for (int i = 0; i < 3; ++i) {
                    EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
                    WdfWaitLockRelease(lock);
                }
                events.push_back(')');
                return STATUS_SUCCESS;
            };
            for (int i = 0; i < 3; ++i) {
                run.sim.spawn_thread("caller", [&] {
                    HWN_HEADER header{};
                    ULONG written = 0;
                    EXPECT_EQ(run.sim.set_state(run.id, &header, sizeof header, &written), STATUS_SUCCESS);
                });
            }
            run.sim.run_threads();
            orders.insert(std::string(events.begin(), events.end()));
        }
        if (serialised) {
            EXPECT_EQ(orders, std::set<std::string>{"()()()"});
        } else {
            orders.erase("()()()");
            EXPECT_FALSE(orders.empty()) << "some seed overlaps the calls";
        }
    }
}

// A callback changes a watched value under its lock, with a platform call in
// between; another callback at the same instant changes it with or without
// the lock.
bool race_seen(uint64_t seed, bool writer_locks)
{
    Board run(interleaved(SchedulePolicy::Random, seed));
    WDFWAITLOCK lock = mini::make_lock();
    ULONG value = 0;
    run.sim.watch(&value, sizeof value, lock, "the value");
    WDFTIMER idle = mini::make_timer([](WDFTIMER) {}, run.device);
    WdfTimerStart(mini::make_timer(
                      [&](WDFTIMER) {
                          EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
                          value += 1;
                          WdfTimerStop(idle, FALSE);
                          value += 1;
                          WdfWaitLockRelease(lock);
                      },
                      run.device),
                  relative(ms(1)));
    WdfTimerStart(mini::make_timer(
                      [&](WDFTIMER) {
                          if (writer_locks) {
                              EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
                          }
                          value = 100;
                          WdfTimerStop(idle, FALSE);
                          if (writer_locks) {
                              WdfWaitLockRelease(lock);
                          }
                      },
                      run.device),
                  relative(ms(1)));
    EXPECT_TRUE(run.sim.run_until_idle());
    return !run.sim.races().empty();
}

TEST(Races, AChangeWithoutTheLockWhileAnotherThreadHoldsItIsReportedAndOnlyThen)
{
    int unlocked = 0, locked = 0;
    for (uint64_t seed = 0; seed < 24; ++seed) {
        unlocked += race_seen(seed, false);
        locked += race_seen(seed, true);
    }
    EXPECT_GT(unlocked, 0) << "some interleaving puts the unlocked change inside the other's critical section";
    EXPECT_EQ(locked, 0);
}

TEST_P(InterleavedTest, ADeadlockBetweenTwoCallbacksIsReportedAndTheRunComesToRest)
{
    int deadlocks = 0;
    for (uint64_t seed = 0; seed < 16; ++seed) {
        Board run(interleaved(GetParam(), seed));
        WDFWAITLOCK first = mini::make_lock(), second = mini::make_lock();
        auto take = [](WDFWAITLOCK outer, WDFWAITLOCK inner) {
            return [outer, inner](WDFTIMER) {
                EXPECT_EQ(WdfWaitLockAcquire(outer, nullptr), STATUS_SUCCESS);
                EXPECT_EQ(WdfWaitLockAcquire(inner, nullptr), STATUS_SUCCESS);
                WdfWaitLockRelease(inner);
                WdfWaitLockRelease(outer);
            };
        };
        WdfTimerStart(mini::make_timer(take(first, second), run.device), relative(ms(1)));
        WdfTimerStart(mini::make_timer(take(second, first), run.device), relative(ms(1)));
        EXPECT_TRUE(run.sim.run_until_idle());
        run.sim.check_quiescent();
        EXPECT_TRUE(run.reported("lock order reversed")) << "seed " << seed;
        deadlocks += run.reported("still waiting for WdfWaitLockAcquire");
    }
    EXPECT_GT(deadlocks, 0);
}

TEST_P(InterleavedTest, AStopWithWaitDoesNotWaitForACallbackQueuedButNotStarted)
{
    int late = 0;
    for (uint64_t seed = 0; seed < 16; ++seed) {
        vsim::Options options = interleaved(GetParam(), seed);
        options.schedule.steps = 2000;  // no change point during the set-up
        Board run(options);
        bool ran = false;
        WDFTIMER timer = mini::make_timer([&](WDFTIMER) { ran = true; }, run.device);
        WdfTimerStart(timer, relative(ms(1)));
        run.sim.run_until(ms(1));
        WdfTimerStop(timer, TRUE);
        late += !ran;
        EXPECT_TRUE(run.sim.run_until_idle());
        EXPECT_TRUE(ran) << "seed " << seed << ": the queued run still happens";
    }
    EXPECT_GT(late, 0);
}

INSTANTIATE_TEST_SUITE_P(Schedules, InterleavedTest, ::testing::Values(SchedulePolicy::Random, SchedulePolicy::Pct),
                         [](const auto &info) { return info.param == SchedulePolicy::Random ? "Random" : "Pct"; });

struct VerifierCase {
    const char *name;
    std::function<void(Board &)> misuse;
    const char *report;
};

class LockVerifierTest : public ::testing::TestWithParam<VerifierCase> {};

TEST_P(LockVerifierTest, Reports)
{
    Board run({});
    GetParam().misuse(run);
    EXPECT_TRUE(run.reported(GetParam().report)) << "expected a report containing: " << GetParam().report;
}

INSTANTIATE_TEST_SUITE_P(
    Locks, LockVerifierTest,
    ::testing::Values(
        VerifierCase{"ReversedOrder",
                     [](Board &) {
                         WDFWAITLOCK a = mini::make_lock(), b = mini::make_lock();
                         for (auto [outer, inner] : {std::pair{a, b}, std::pair{b, a}}) {
                             WdfWaitLockAcquire(outer, nullptr);
                             WdfWaitLockAcquire(inner, nullptr);
                             WdfWaitLockRelease(inner);
                             WdfWaitLockRelease(outer);
                         }
                     },
                     "lock order reversed"},
        VerifierCase{"AcquiredAtDispatchLevel",
                     [](Board &run) {
                         WDFWAITLOCK lock = mini::make_lock();
                         WDFTIMER timer = mini::make_timer(
                             [lock](WDFTIMER) {
                                 LONGLONG timeout = relative(ms(1));
                                 if (WdfWaitLockAcquire(lock, &timeout) == STATUS_SUCCESS) {
                                     WdfWaitLockRelease(lock);
                                 }
                             },
                             run.device, WdfExecutionLevelDispatch);
                         WdfTimerStart(timer, relative(ms(1)));
                         run.sim.run_until_idle();
                     },
                     "at raised IRQL"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ScheduleNames, ParseAndFormat)
{
    std::string error;
    EXPECT_EQ(vsim::format_schedule(*vsim::parse_schedule("sequential", &error)), "sequential");
    EXPECT_EQ(vsim::format_schedule(*vsim::parse_schedule("random", &error)), "random");
    EXPECT_EQ(vsim::format_schedule(*vsim::parse_schedule("pct", &error)), "pct:3:2000");
    EXPECT_EQ(vsim::format_schedule(*vsim::parse_schedule("pct:5:300", &error)), "pct:5:300");
    for (const char *bad : {"", "pct:0", "pct:x", "pct:3:", "pct:3:0", "random:2", "fifo"}) {
        EXPECT_FALSE(vsim::parse_schedule(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
