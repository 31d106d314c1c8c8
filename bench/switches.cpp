// SPDX-License-Identifier: MIT
// What an interleaved schedule costs: a switch between two fibers, a switch
// between simulated threads as the scheduler makes it (with the platform
// calls that are its scheduling points), and the explorer's runs per second
// under each schedule, played by the vibra-sim executable itself.
//
//   build/bench/bench/vibra_bench --benchmark_filter='Switch|Explore'
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "fiber.h"
#include "sim.h"

extern char **environ;

namespace {

// Two fibers hand the baton back and forth: two switches an iteration.
void BM_FiberSwitch(benchmark::State &state)
{
    vsim::detail::Fiber main;
    vsim::detail::Fiber *partner = nullptr;
    bool done = false;
    vsim::detail::Fiber other([&] {
        while (!done) {
            vsim::detail::Fiber::switch_to(*partner, main);
        }
        vsim::detail::Fiber::exit_to(*partner, main);
    });
    partner = &other;
    for (auto _ : state) {
        vsim::detail::Fiber::switch_to(main, other);
    }
    done = true;
    vsim::detail::Fiber::switch_to(main, other);
    state.counters["per_switch"] = benchmark::Counter(2.0 * double(state.iterations()),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FiberSwitch)->UseRealTime();

// Two simulated threads take and give back wait locks of their own under the
// random schedule: every call is a scheduling point, and about half of them
// switch. The counter is the time per switch, the calls around it included.
void BM_SimulatedSwitch(benchmark::State &state)
{
    vsim::Options options;
    options.schedule.policy = vsim::SchedulePolicy::Random;
    options.schedule.seed = 5;
    options.keep_records = false;
    vsim::Simulator sim(options);
    if (sim.load_driver() != STATUS_SUCCESS) {
        state.SkipWithError("the driver did not load");
        return;
    }
    WDFWAITLOCK locks[2] = {};
    for (WDFWAITLOCK &lock : locks) {
        WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
    }
    constexpr size_t kLimit = 100'000;  // the switch record's length, halved when reached
    size_t switches = 0;
    for (auto _ : state) {
        const size_t before = sim.switch_count();
        for (WDFWAITLOCK lock : locks) {
            sim.spawn_thread("locker", [lock] {
                for (int i = 0; i < 100; ++i) {
                    WdfWaitLockAcquire(lock, nullptr);
                    WdfWaitLockRelease(lock);
                }
            });
        }
        sim.run_threads();
        const size_t after = sim.switch_count();
        switches += after >= before ? after - before : kLimit - before + after - kLimit / 2;
    }
    state.counters["switches"] = double(switches);
    state.counters["per_switch"] = benchmark::Counter(double(switches),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SimulatedSwitch)->Unit(benchmark::kMicrosecond)->UseRealTime();

// vibra-sim --explore --runs 2000 --seed 5 under each schedule; the counter
// is runs per second of wall time (the best of the repetitions is the one to
// quote on a busy machine).
void BM_Explore(benchmark::State &state, const char *schedule)
{
    constexpr int kRuns = 2000;
    std::vector<std::string> args = {VIBRA_SIM_EXE, "--explore", "--runs",     std::to_string(kRuns),
                                     "--seed",      "5",         "--schedule", schedule};
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    double seconds = 0;
    for (auto _ : state) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const auto start = std::chrono::steady_clock::now();
        pid_t child = 0;
        int status = -1;
        if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
            waitpid(child, &status, 0);
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        posix_spawn_file_actions_destroy(&actions);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("vibra-sim --explore failed");
            return;
        }
    }
    state.counters["runs_per_s"] = double(kRuns) * double(state.iterations()) / seconds;
}
BENCHMARK_CAPTURE(BM_Explore, sequential, "sequential")->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_Explore, pct, "pct")->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_Explore, random, "random")->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
