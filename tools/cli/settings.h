// SPDX-License-Identifier: MIT
// The command line of vibra-sim: its settings, and the runs they choose.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "outputs/outputs.h"
#include "player/player.h"

namespace CLI {
class App;
}

namespace vibra_tool::cli {

inline constexpr int kExitExpectation = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitVerifier = 3;

struct Settings {
    std::vector<std::string> scenarios;  // in the order given; "-" is standard input
    std::string json;
    std::string junit;
    bool quiet = false;
    bool strict = false;  // warnings (a fault that never took effect) fail the run
    std::string trace;
    std::string events;
    std::string vcd;
    std::string svg;
    std::string out;
    std::string from, to;  // the SVG's window
    std::vector<std::string> masks;
    bool open_masks = false;
    double gpio_latency_us = 0;
    double settle_ms = 10000;
    double max_time_s = 86400;
    bool realtime = false;
    bool check_only = false;
    bool print_default = false;
    std::string list;  // --list: commands, faults or statuses
    bool explore = false;
    std::optional<uint64_t> seed;
    uint32_t runs = 100;
    uint32_t steps = 40;
    double fault_rate = 0.1;
    std::string schedule;
    std::string completions;  // later, inside or seeded; empty: later
    std::string clock;        // exact or ticks; empty: exact
    bool serial_calls = false;       // the class extension's calls one at a time per device
    bool power_transitions = false;  // start, stop and teardown as power transitions
    // Systematic fault injection (systematic_options.cpp): more scenario
    // files, and the one run to replay. The explorer's shard, "K/N".
    bool systematic = false;
    std::optional<uint32_t> inject_at;
    std::string shard;
    // The bounded exhaustive search (exhaustive_options.cpp).
    bool exhaustive = false;
    uint32_t preemptions = 2;
    uint64_t max_schedules = 100'000;
    bool timing = false;
    double timing_seconds = 10;
    unsigned long timer_slack_ns = 1;
};

void add_options(CLI::App &app, Settings &settings);
// Options that only mean something with others: the explorer's without
// --explore, --seed without a schedule that draws from it. Reports on stderr.
bool options_fit_the_run(const CLI::App &app, const Settings &settings);

// --schedule with its seed: --seed, else 0 for a played scenario; the
// explorer seeds each run itself. The default is sequential for a played
// scenario and pct for the explorer. Reports a bad policy on stderr.
std::optional<vsim::Schedule> schedule_option(const Settings &settings, const vsim::Schedule &fallback);

// "5=0xFFFFFFFF" into level and mask.
bool parse_mask_option(const std::string &text, PlayerOptions &options, std::string &error);

// The output files: those named one by one, the rest in --out's directory.
Outputs output_paths(const Settings &settings);

// --list: the accepted names, one a line, on stdout.
int print_list(const Settings &settings);

// The scenarios to play, each read and parsed: the files named, "-" read
// from standard input, or the built-in scenario when none is named. Reports
// every scenario that is refused on stderr; empty then.
std::vector<Scenario> load_scenarios(const Settings &settings);
// Each scenario named (or the built-in one), read and parsed, refused ones
// included, in order; says nothing.
std::vector<ParseResult> read_scenarios(const Settings &settings);
// One directory name a scenario under --out when several are played: the
// file's stem ("stdin" for standard input), made unique with "-2", "-3"...
std::vector<std::string> scenario_stems(const std::vector<std::string> &sources);

// --max-time in ticks; a scenario whose commands go past it is refused, on
// stderr, before anything runs.
Ticks max_ticks(const Settings &settings);
bool within_max_time(const Scenario &scenario, const Settings &settings);

// Plays the scenarios one after the other, each with its report; the exit
// status is the worst of theirs (see worst_exit_status).
int run(const Settings &settings);
int run_explorer(const Settings &settings);
int run_timing(const Settings &settings);
int run_systematic(const Settings &settings);
void add_systematic_options(CLI::App &app, Settings &settings);
int run_exhaustive(const Settings &settings);
void add_exhaustive_options(CLI::App &app, Settings &settings);
// --shard K/N into the explorer's shard K - 1 of N (0 of 1 without it);
// reports a bad one on stderr.
bool shard_option(const Settings &settings, uint32_t &shard, uint32_t &shards);

}  // namespace vibra_tool::cli
