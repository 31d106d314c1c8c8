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

// Simulated threads interleaved by `policy` from `seed`, with completions
// inside the send as the seed chooses and timers on clock ticks.
inline vsim::Options interleaved(vsim::SchedulePolicy policy, uint64_t seed)
{
    vsim::Options options = on_clock_ticks();
    options.schedule.policy = policy;
    options.schedule.seed = seed;
    options.completions = vsim::Completions::Seeded;
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
