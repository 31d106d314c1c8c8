// SPDX-License-Identifier: MIT
// Soak runs end to end: vibra-sim plays the built-in scenario, an hour (or a
// minute) of steady vibration, or of a 100 ms / 50 % blink pattern, with the report, the
// events CSV, the VCD, the SVG and the trace all written to files. Each run is
// a process of its own, so that its peak memory is its own; the counters are
// simulated seconds per wall second of the best run, its wall time, and the
// peak resident set in MB. Run them alone (the filter below): the kernel
// charges a spawned child's peak with the spawning process's resident set
// at the exec, so after the other benchmarks have grown this process the
// figure would be this process's, not vibra-sim's.
//
//   build/bench/bench/vibra_bench --benchmark_filter=Soak
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

enum Pattern { kSteady, kBlink, kBuiltIn };

std::filesystem::path scenario_file(Pattern pattern, int64_t seconds)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("vibra-soak-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::filesystem::path path =
        dir / ((pattern == kSteady ? "steady-" : "blink-") + std::to_string(seconds) + ".vsim");
    if (pattern == kBuiltIn) {
        return dir / "built-in.vsim";  // not written: the run plays the built-in scenario
    }
    std::ofstream out(path);
    out << "at 0ms start\n";
    if (pattern == kSteady) {
        out << "at 10ms set-state on\n"
            << "at " << seconds << "s end\n";
    } else {
        // 100 ms periods, as many as fit.
        out << "at 10ms set-state blink period=100 duty=50 cycles=" << seconds * 10 << "\n"
            << "at " << seconds * 1000 + 100 << "ms end\n";
    }
    return path;
}

// Runs vibra-sim on the scenario with every output on; the child's peak
// resident set in kB, or -1 when it failed.
long play(const std::filesystem::path &scenario)
{
    const std::string out_dir = scenario.parent_path() / (scenario.stem().string() + "-out");
    const std::string report = out_dir + "/report.txt";
    std::filesystem::create_directories(out_dir);
    std::vector<std::string> args = {VIBRA_SIM_EXE, "--out", out_dir};
    if (std::filesystem::exists(scenario)) {
        args.insert(args.end(), {"--scenario", scenario.string()});
    }
    std::vector<char *> argv;
    for (std::string &arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return usage.ru_maxrss;
}

void Soak(benchmark::State &state, Pattern pattern)
{
    const int64_t seconds = state.range(0);
    const std::filesystem::path scenario = scenario_file(pattern, seconds);
    long peak_kb = 0;
    double best = 0;
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        const long kb = play(scenario);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        if (kb < 0) {
            state.SkipWithError("vibra-sim failed");
            break;
        }
        state.SetIterationTime(took.count());
        best = best == 0 ? took.count() : std::min(best, took.count());
        peak_kb = std::max(peak_kb, kb);
    }
    std::filesystem::remove_all(scenario.parent_path());
    // The best run: on a shared machine the others only add the load's noise.
    if (best > 0) {
        state.counters["best_wall_s"] = best;
        state.counters["sim_s_per_wall_s"] = static_cast<double>(seconds) / best;
        state.counters["peak_MB"] = static_cast<double>(peak_kb) / 1024.0;
    }
}

// The built-in scenario (about 3 s of steady and blink), as the first command plays it.
BENCHMARK_CAPTURE(Soak, BuiltIn, kBuiltIn)->Arg(3)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Soak, Steady, kSteady)->Arg(60)->Arg(3600)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(Soak, Blink, kBlink)->Arg(60)->Arg(3600)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
