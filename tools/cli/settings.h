// The command line of vibra-sim: its settings, and the runs they choose.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "outputs.h"
#include "player.h"

namespace CLI {
class App;
}

namespace vibra_tool::cli {

inline constexpr int kExitExpectation = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitVerifier = 3;

struct Settings {
    std::string scenario;
    std::string trace;
    std::string events;
    std::string vcd;
    std::string svg;
    std::string out;
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
    bool timing = false;
    double timing_seconds = 10;
    unsigned long timer_slack_ns = 1;
};

void add_options(CLI::App &app, Settings &settings);

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

int run(const Settings &settings);
int run_explorer(const Settings &settings);
int run_timing(const Settings &settings);

}  // namespace vibra_tool::cli
