// SPDX-License-Identifier: MIT
// The seeded explorer: one seed drives everything. Each run generates a
// scenario of random but mostly sensible commands (the vocabulary of scenario
// files, faults included), plays it with the player, then checks the run in
// three phases:
//
// - safety: while faults were armed the driver misused nothing (no verifier
//   finding), the stored payload kept its fixed fields, and every stored
//   state, reported or final, is one the calls' results allow;
// - rest: with the faults cleared, before anything else is played, a motor
//   that the device reports off is off: with the stored state 0 (and no
//   blink phase pending) no intensity step is still pending once the longest
//   stop sequence has passed, and a device stop leaves, after the longest stop
//   sequence, the enable line low, no intensity step pending and the timer
//   resolution released;
// - settle: the run must then come to rest within a bound, and a clean on/off
//   cycle must still work and end with the enable line low, the drive line as
//   the stop sequence leaves it, the timer resolution released, no request
//   alive and no lock held.
//
// Targeted tests use the same harness (check_scenario) on scenarios of their
// own, and the invariant checker (check_run) on fabricated observations.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "player/player.h"
#include "player/recording.h"
#include "explore/rest_check.h"
#include "scenario/scenario.h"

namespace vibra_tool {

inline constexpr int kExitWrongResult = 4;
inline constexpr int kExitStuck = 5;

struct ExploreOptions {
    uint64_t seed = 0;
    uint32_t runs = 100;
    uint32_t steps = 40;       // commands per run
    double fault_rate = 0.1;   // probability that a step arms (or clears) a fault
    // Only the runs i of 0 .. runs - 1 with i mod shards == shard: N shards
    // of one seed together play its runs once each.
    uint32_t shard = 0;
    uint32_t shards = 1;
    // How the simulated threads interleave; each run seeds it with its own
    // run seed.
    vsim::Schedule schedule = default_explore_schedule();
    static vsim::Schedule default_explore_schedule()
    {
        vsim::Schedule schedule;
        schedule.policy = vsim::SchedulePolicy::Pct;
        return schedule;
    }
};

// The seed of run `run` of an exploration started with `seed`.
uint64_t run_seed(uint64_t seed, uint32_t run);

// A random scenario from a run's seed: "at 0ms start", then `steps` commands
// at times that grow by 0 to 60 ms; some class-extension calls run on threads
// of their own ("at TIME & ...").
Scenario generate_scenario(uint64_t seed, uint32_t steps, double fault_rate);

// A command as a scenario line ("at 12.5ms set-state on length=52"), and a
// whole scenario as text; parse_scenario reads both back to the same
// commands.
std::string format_command(const Command &command);
std::string format_scenario(const Scenario &scenario);

// What the settle phase saw of the device.
struct SettleObservation {
    bool device = false;  // an initialised device was there after the commands

    // After the last command, faults still armed.
    std::vector<std::string> verifier_before;  // the verifier's findings so far
    uint32_t header[3] = {};                   // stored HwNPayloadSize, HwNPayloadVersion, HwNRequests
    uint32_t id = 0, type = 0;                 // stored HwNId, HwNType
    uint32_t fixed_settings[2] = {};           // stored HwNSettings[4], [5]
    uint32_t state = 0;                        // stored HwNSettings[6]

    // Faults cleared, device stopped, run until idle.
    RestObservation rest;
    int32_t stop_status = 0;
    bool idle_after_stop = false;
    uint32_t state_after_stop = 0;

    // A clean cycle: set-state off, on, a while of running, stop.
    int32_t off_status = 0;
    int32_t on_status = 0;
    int enable_while_running = 0;
    int resolution_while_running = 0;
    int32_t final_stop_status = 0;
    bool idle_at_end = false;
    int enable_at_end = 0;
    int drive_at_end = 0;
    int resolution_at_end = 0;
    uint32_t state_at_end = 0;
    std::vector<std::string> verifier_at_end;  // after the quiescence check

    // The device was torn down by the commands: only the teardown is judged.
    bool torn_down = false;
    // The end-state checks' findings: the effort of the last stop with the
    // faults still armed, the blink patterns, the teardown.
    std::vector<std::string> end_findings;
};

// The finding of a run whose device was gone (or never there) after the
// commands.
inline constexpr const char *kNoDeviceFinding = "no initialised device after the commands, so nothing could be checked";

struct Finding {
    bool stuck = false;  // the run did not come to rest
    std::string text;
};

// The invariants of one run, from its scenario, its recording and the settle
// observation; no finding means the run held.
std::vector<Finding> check_run(const Scenario &scenario, const Recording &recording,
                               const SettleObservation &observation);

struct RunResult {
    Recording recording;
    // The interleaving of the commands: how many switches, and the last
    // kShownSwitches of them, most recent last.
    static constexpr size_t kShownSwitches = 60;
    size_t switch_count = 0;
    std::vector<vsim::SwitchRecord> switches;
    uint64_t scheduling_points = 0;
    std::vector<std::string> races;
    SettleObservation observation;
    std::vector<Finding> findings;
    bool stuck() const;
};

// Plays `scenario` under `schedule`, runs the settle phase and checks the
// invariants. Besides the checks of check_run, a change to the intensity
// drive's state made without its lock while another thread holds it is a
// wrong result.
// `adjust`, when given, may add to the player's options before the run (the
// systematic runs' own observations).
RunResult check_scenario(const Scenario &scenario, const vsim::Schedule &schedule = {},
                         const std::function<void(PlayerOptions &)> &adjust = {});

// Exit status of a run's findings: 0, kExitWrongResult or kExitStuck (a stuck
// run wins, since what follows a hang is not telling).
int exit_status(const std::vector<Finding> &findings);

// Runs the exploration; writes the seed and options first, and on the first
// failing run its seeds, its scenario and its findings, to `out`; progress
// every 10 runs to `progress`. Returns the exit status.
int explore(const ExploreOptions &options, std::ostream &out, std::ostream &progress);

// A run's findings, one a line; and the last switches of its interleaving,
// enough to follow how the threads met.
void write_findings(std::ostream &out, const std::vector<Finding> &findings);
void write_switches(std::ostream &out, const RunResult &result);

// Checks one scenario (e.g. a failing run saved from the explorer's output)
// with the same harness; writes the findings. Returns the exit status.
int explore_scenario(const Scenario &scenario, const vsim::Schedule &schedule, std::ostream &out);

}  // namespace vibra_tool
