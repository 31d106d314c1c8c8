// SPDX-License-Identifier: MIT
// The motor's two lines as the measuring code sees them: their names, a
// change of level, and what a run's changes sum up to. Lines start low.
#pragma once

#include <string>

#include "sim.h"

namespace vibra_tool {

using vsim::Ticks;

inline constexpr const char *kEnableLine = "enable";
inline constexpr const char *kDriveLine = "drive";

struct LevelChange {
    Ticks time = 0;
    std::string line;
    int value = 0;
};

// What a line did: its edges and how long it was high; lines start low.
struct LineSummary {
    int rising = 0;
    int falling = 0;
    Ticks high = 0;  // total time high up to the end of the run
    int final_level = 0;
};

// The drive line while the enable line was high (the motor running).
struct DriveSummary {
    Ticks running = 0;          // total time the enable line was high
    double frequency_hz = 0.0;  // from rising edge to rising edge of the drive line
    double duty_percent = 0.0;  // share of the running time the drive line was high
};

struct LineSummaries {
    LineSummary enable;
    LineSummary drive;
    DriveSummary motor;
};

}  // namespace vibra_tool
