// SPDX-License-Identifier: MIT
// A run's progress on real threads: "virtual time X of Y (P %)", redrawn in
// place with \r on a terminal, else a plain line every so often.
#pragma once

#include <chrono>
#include <ostream>

#include "scenario/scenario.h"

namespace vibra_tool {

class Progress {
public:
    Progress(std::ostream &out, Ticks total, bool terminal,
             std::chrono::steady_clock::duration every = std::chrono::seconds(10));
    void show(Ticks now);
    // Ends a line redrawn in place.
    void finish();

private:
    std::ostream &out_;
    Ticks total_;
    bool terminal_;
    bool drawn_ = false;
    std::chrono::steady_clock::duration every_;
    std::chrono::steady_clock::time_point next_;
};

// Whether stderr is a terminal.
bool stderr_is_terminal();

}  // namespace vibra_tool
