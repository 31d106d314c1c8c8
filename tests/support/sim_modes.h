// SPDX-License-Identifier: MIT
// The simulator's modes that tests ask for besides the default (virtual
// time, timers firing when due).
#pragma once

#include "sim.h"

namespace vibra_test {

// Timers fire on the clock's ticks, as the host's timers do.
inline vsim::Options on_clock_ticks()
{
    vsim::Options options;
    options.timer_clock = vsim::TimerClock::ClockTicks;
    return options;
}

// The platform's threads are real ones, in wall-clock time.
inline vsim::Options on_real_threads()
{
    vsim::Options options;
    options.threads = vsim::Threads::Real;
    return options;
}

}  // namespace vibra_test
