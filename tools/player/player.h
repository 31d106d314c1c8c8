// SPDX-License-Identifier: MIT
// Plays a parsed scenario against the driver on the simulated platform.
//
// Set-up, at virtual time 0 and before the first command other than the
// trace-mask and fault commands written at 0ms (or where the scenario says
// "setup"): the GPIO controller gets two lines, "enable" (connection id
// 0x00000001000000ab) and "drive" (0x00000001000000ac); the driver is loaded;
// the framework adds one device; the class extension initialises it with a
// resource list of both GPIO I/O connections, enable first. Command times are
// relative to the start of the simulation, which is the set-up's time.
//
// A command written "at TIME & ..." runs on a simulated thread of its own,
// started at TIME; the commands after it do not wait for it, except teardown,
// remove, unload and end, which wait until every such call has returned (as
// the framework does before it tears a device down). Its call is reported at
// the time it started.
//
// After the last command the simulation runs until nothing is pending (stop
// sequences complete), at most `settle` further, unless the scenario ended
// with "end".
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <optional>

#include "player/recording.h"
#include "scenario/scenario.h"

namespace vibra_tool {

struct PlayerOptions {
    Ticks gpio_latency = 0;
    bool realtime = false;  // on real threads, in wall-clock time
    vsim::Schedule schedule;  // how simulated threads take turns (virtual time only)
    // Where completions run and when timers fire (vsim::Options; virtual time only).
    vsim::Completions completions = vsim::Completions::Later;
    vsim::TimerClock timer_clock = vsim::TimerClock::Exact;
    bool serialise_client_calls = false;
    bool power_transitions = false;
    Ticks settle = 10 * vsim::kTicksPerSecond;
    // Trace masks for levels 1 to 5 from the set-up on; unset ones keep the
    // driver's initial values.
    std::array<std::optional<uint32_t>, 5> masks;
    // Keep the writes, line changes and trace lines in the Recording. Without
    // it the run's memory does not grow with simulated time: the line
    // summaries are made as the run goes, and what a caller wants of the rest
    // it takes from the callbacks below.
    bool keep_records = true;
    // Keep the simulator's consultation log (vsim::Options).
    bool log_consultations = false;
    // Each trace line as it is printed by the driver.
    std::function<void(const TraceRecord &)> on_trace;
    // Each completed write, in completion order; each completed successful
    // write's line level; the stored element state after each call. In time
    // order; on real threads they may come from the platform's threads, one
    // at a time.
    std::function<void(const WriteRecord &)> on_write;
    std::function<void(const LevelChange &)> on_change;
    std::function<void(const StateSample &)> on_state;
    // Each call as the report lists it, once it has returned (its time is
    // when it started).
    std::function<void(const CallRecord &)> on_call;
    // Each armed fault as it takes effect.
    std::function<void(const FaultRecord &)> on_fault;
    // Called between slices of virtual time in realtime mode.
    std::function<void(Ticks now)> on_progress;
    // When set and it becomes true (from a signal handler, say), the run stops
    // at its next slice of virtual time, plays no further command and does not
    // settle; the recording says it was interrupted.
    const std::atomic<bool> *interrupt = nullptr;
    // Called after the last command, before the run settles, with the
    // simulator and the device, when the set-up produced an initialised
    // device that is still present; lets a caller drive and inspect the
    // device further (the explorer's settle phase).
    std::function<void(vsim::Simulator &, vsim::DeviceId)> after_commands;
    // Called before each command, and once after the last, while the set-up's
    // device is there, with what the run recorded so far.
    std::function<void(vsim::Simulator &, vsim::DeviceId, const Recording &)> before_command;
    // Called once at the end of the run, after the verifier's last look, with
    // the simulator as the run left it (the device may be gone).
    std::function<void(vsim::Simulator &)> at_end;
    // Called once the set-up has initialised the device.
    std::function<void(vsim::Simulator &, vsim::DeviceId)> after_setup;
};

Recording play(const Scenario &scenario, const PlayerOptions &options);

}  // namespace vibra_tool
