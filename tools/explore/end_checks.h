// SPDX-License-Identifier: MIT
// End-state checks shared by the explorer and the scenario fuzzer, beside the
// rest check: the effort a stop costs under faults that never clear, nothing
// of the driver after teardown, and a finite blink pattern that ends as asked.
// Like the rest check they read the device context only for its timer
// handles, and judge the lines, the timers and the verifier.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "player/recording.h"
#include "scenario/scenario.h"
#include "sim.h"

namespace vibra_tool {

// The drive steps one stop may still cost when faults never clear: its own
// sequence and a few re-runs of it, with room to spare. A drive that re-arms
// for ever makes this many in about 70 ms.
inline constexpr uint64_t kStepsAfterStop = 24;
inline constexpr Ticks kEffortWindow = vsim::kTicksPerSecond;

// With the faults still armed and the device saying off: lets kEffortWindow
// of virtual time pass and counts the drive's steps meanwhile. A finding when
// more than kStepsAfterStop ran.
std::optional<std::string> check_stop_effort(vsim::Simulator &sim, vsim::DeviceId device);

// Once the device's teardown (the scenario's last) has returned: everything
// still pending runs out, no timer of the device is armed, at most the
// driver's one timer-resolution request is still made, the enable line is
// low if no fault took effect since the teardown; then the device is removed
// and the driver unloaded, after which no request is made. The verifier's own
// findings (a call, a timer or a write after teardown) are the caller's to
// read.
std::vector<std::string> check_torn_down(vsim::Simulator &sim, vsim::DeviceId device, const Scenario &scenario);

// A blink pattern asked for with no fault armed until it should have ended,
// and no other request meanwhile, runs its on-phases as asked and ends with
// the enable line low and no phase pending.
class BlinkMonitor {
public:
    explicit BlinkMonitor(const Scenario &scenario);
    void on_change(const LevelChange &change);
    // Takes the calls recorded since the last look and judges the patterns
    // whose end has passed; call before each command and after the last.
    void observe(vsim::Simulator &sim, vsim::DeviceId device, const Recording &recording);
    void judge_due(vsim::Simulator &sim, vsim::DeviceId device);
    // When the last pattern still waiting can be judged (-1 when none waits).
    Ticks judge_by() const;
    const std::vector<std::string> &findings() const { return findings_; }

private:
    struct Pattern {
        Ticks start = 0;
        int line = 0;
        Ticks on = 0, off = 0;
        uint32_t cycles = 0;
        Ticks end = 0;  // when the last on-phase ends
    };
    std::optional<Pattern> pattern_of(const CallRecord &call) const;
    void judge(vsim::Simulator &sim, vsim::DeviceId device, const Pattern &pattern);

    std::map<int, const Command *> by_line_;
    Ticks first_fault_ = -1;
    // Every call that may change the motor: when it began, and when it
    // returned if it ran on a thread of its own (and so may have changed the
    // motor after calls that began later).
    struct MotorCall {
        Ticks began = 0;
        std::optional<Ticks> own_thread_until;
    };
    std::vector<MotorCall> motor_calls_;
    std::vector<LevelChange> enable_;
    std::vector<Pattern> waiting_;
    size_t seen_ = 0;
    std::vector<std::string> findings_;
};

}  // namespace vibra_tool
