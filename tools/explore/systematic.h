// SPDX-License-Identifier: MIT
// Systematic fault injection, as a driver verifier's systematic low-resources
// mode does it: a scenario is played once to list the platform calls it
// makes that the real platform could fail, then once more for each such call,
// with that call failing with the operation's most common failure status
// (vsim::possible_failures). Each run must end with no verifier report, no
// leaked object and the motor off after the final off or stop (the explorer's
// rest and settle checks), and with the failure reported: a failure status
// returned from a call, or an error or warning trace line, at or after the
// time the fault took effect.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "sim.h"

namespace vibra_tool {

struct SystematicInput {
    std::string name;     // as the report names it
    std::string text;     // the scenario's text
    std::string replay;   // the command-line arguments that name it again ("--scenario FILE", or "")
};

// One call that a run fails: call `nth` of `op`, counted from the start of
// the run (the set-up included).
struct Injection {
    vsim::Op op = vsim::Op::Count;
    uint64_t nth = 0;
    int32_t status = 0;
};

// The scenario line that arms `injection` before the set-up.
std::string injection_line(const Injection &injection);

// The injectable calls a scenario makes, in the order it makes them, each with
// the status its run fails it with. Nothing when the text does not parse
// (*error says why).
std::optional<std::vector<Injection>> injectable_calls(const SystematicInput &input, std::string *error);

struct SystematicResult {
    bool fired = false;      // the injected fault took effect
    bool reported = false;   // by a returned status or a trace line
    std::vector<std::string> findings;
    bool stuck = false;
};

// Plays the scenario with `injection` armed (none: as written) and checks the
// run. The scenario's own expectations are not judged: a failed call changes
// what they should be.
SystematicResult check_injection(const SystematicInput &input, const std::optional<Injection> &injection);

// Every run of every scenario, or only run `only` (1-based; 0: the scenario
// as written, with no fault added). Writes a line per scenario and each
// failing run with the fault line and the command that replays it; returns
// 0 when all held, 4 for a wrong result, 5 when a run did not come to rest,
// 2 when a scenario does not parse.
int systematic(const std::vector<SystematicInput> &inputs, std::optional<uint32_t> only, std::ostream &out);

}  // namespace vibra_tool
