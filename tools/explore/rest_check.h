// SPDX-License-Identifier: MIT
// The rest check shared by the explorer and the scenario fuzzer: with the
// faults cleared, a motor that the device reports off must be off. It reads
// the device context only for its stored state and its timer handles, to ask
// the simulator whether they are pending; it knows nothing else of the
// driver.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "player/recording.h"
#include "scenario/scenario.h"
#include "sim.h"

namespace vibra_tool {

// Longer than any stop sequence: a stop may wait up to one step for the
// pending one, then the line goes low for OffTimeUs and the two stop steps
// follow; on clock ticks each of those four 3.3 ms steps may fire up to one
// 1 ms tick late, and a stop re-armed by a write's completion (which may not
// ask for the resolution) waits for one resting 15.625 ms tick first.
inline constexpr Ticks kRestingTick = 156250;
inline constexpr Ticks kLongestStopSequence = Ticks(4) * 4300 * vsim::kTicksPerUs + kRestingTick;

// A motor that the device reports off, seen with the faults cleared before
// anything else is played.
struct RestObservation {
    bool observed = false;
    // After the commands: stored state 0 and no blink phase pending; then,
    // kLongestStopSequence later, an intensity step still pending.
    bool off = false;
    bool step_pending_while_off = false;
    // A timer start that armed nothing, or a typed context missing, took
    // effect: the driver then believes a step armed that never comes, which
    // no stop request can see, so the enable line and the resolution after
    // the stop are not judged.
    bool timer_guarantee_broken = false;
    // kLongestStopSequence after a device stop.
    int enable_after_stop = 0;
    bool step_pending_after_stop = false;
    int resolution_after_stop = 0;
};

// Clears the faults and takes the rest observation, stopping the device;
// plays nothing else. The status of that device stop goes to *stop_status
// when it is not null.
RestObservation observe_rest(vsim::Simulator &sim, vsim::DeviceId device, int32_t *stop_status = nullptr);

// The findings of a rest observation, one text each.
std::vector<std::string> check_rest(const RestObservation &rest);

// The motor is off whenever the device says it is. Once the last set-state
// that succeeded with a record left the stored state 0 (or the last device
// stop came after it), with no fault taking effect since and none armed and no
// call in progress, then after the longest stop sequence the enable line is
// low, no drive step and no blink phase is pending and the timer resolution is
// released. A set-state that failed took no effect, except perhaps one that
// refused its length: after it nothing is checked until the next success.
// Looked at before every command, while faults come and go.
class OffMonitor {
public:
    explicit OffMonitor(const Scenario &scenario);
    void observe(vsim::Simulator &sim, vsim::DeviceId device, const Recording &recording);
    const std::string &finding() const { return finding_; }
    // Since when the device says the motor is off, by the calls observed so
    // far: a set-state that left the stored state 0, or a device stop after
    // the last set-state.
    std::optional<Ticks> off_since(vsim::Simulator &sim, vsim::DeviceId device) const;

private:
    bool applies_a_record(int line) const;

    std::map<int, const Command *> by_line_;
    size_t seen_ = 0;
    std::optional<Ticks> last_set_state_ = Ticks(0);  // the set-up leaves the motor off
    std::optional<Ticks> last_stop_;
    std::string finding_;
};

}  // namespace vibra_tool
