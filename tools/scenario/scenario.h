// SPDX-License-Identifier: MIT
// Scenario files: one timed command a line, played against the simulated
// device by the player. The format is documented in docs/vibra-sim.md.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim.h"

namespace vibra_tool {

using vsim::Ticks;

enum class CommandKind {
    Setup,        // load the driver, add the device, initialise it (implicit when absent)
    Start,        // class extension: start the device
    Stop,         // class extension: stop the device
    Teardown,     // class extension: uninitialise the device
    Info,         // class extension: query the device information
    SetState,     // class extension: set-state with a payload
    GetState,     // class extension: get-state
    Remove,       // framework: remove the device
    Unload,       // framework: unload the driver
    TraceMask,    // change the driver's trace masks
    Fault,        // arm a fault in a platform operation
    ClearFaults,  // disarm every fault
    Check,        // compare the lines and the stored state with expected values
    Wait,         // only advance virtual time
    End,          // advance virtual time and end the run there
};

// A timing check over an interval: what the line's edges within [from, to]
// must show (see docs/vibra-sim.md, "Timing checks").
struct IntervalCheck {
    std::string line;             // kEnableLine or kDriveLine
    Ticks from = 0;
    Ticks to = 0;
    std::optional<Ticks> period;  // rising edge to rising edge
    std::optional<double> frequency_hz;
    std::optional<double> duty_percent;
    // Relative to the expected value (for duty: in percentage points), or,
    // when tolerance_time is set, an absolute time on the period and on the
    // high time of a period.
    double tolerance_percent = 1.0;
    std::optional<Ticks> tolerance_time;
};

struct Command {
    int line = 0;        // line number in the scenario text, from 1
    int repetition = 0;  // within a repeat block: which repetition, from 1
    Ticks time = 0;      // virtual time relative to the set-up, 100 ns units
    CommandKind kind = CommandKind::Wait;
    std::string text;    // the command as written, without time, '&' and comment
    bool concurrent = false;  // "at TIME & ...": runs on a simulated thread of its own

    // set-state: the payload bytes and the length of the buffer handed over
    // (shorter: the payload is cut; longer: zero-padded).
    std::vector<uint8_t> payload;
    uint32_t length = 0;

    // get-state
    std::optional<std::vector<uint8_t>> input;  // absent: no input buffer
    uint32_t input_length = 0;
    uint32_t output_length = 48;
    bool same_buffer = false;

    // trace-mask: (level 1..5, mask) pairs
    std::vector<std::pair<int, uint32_t>> masks;

    // fault
    vsim::Op op = vsim::Op::Count;
    int32_t status = 0;
    uint32_t nth = 1;  // 0: every call

    // check
    std::optional<int> enable;
    std::optional<int> drive;
    std::optional<uint32_t> state;
    std::optional<IntervalCheck> interval;

    // expectations on the call's result
    std::optional<int32_t> expect_status;
    std::optional<uint32_t> expect_bytes;
    std::optional<std::vector<uint8_t>> expect_output;

    bool returns_status() const;
};

// The class-extension calls, which "at TIME & ..." may run on a thread of
// their own.
bool runs_on_own_thread(CommandKind kind);

struct Scenario {
    std::string name;  // the file name, or "<default>"
    std::vector<Command> commands;
};

struct ParseResult {
    std::optional<Scenario> scenario;
    // When scenario is empty: each refused line's first error,
    // "name:line: what is wrong; expected ...", in line order, and how many;
    // reading stops after kMaxShownErrors of them.
    std::vector<std::string> errors;
    size_t error_count = 0;
    // `errors` one a line, then "name: N errors" when there are several.
    std::string error;
};

// Limits on what a scenario may ask for, so that no file makes the tool
// allocate or read without bound.
constexpr size_t kMaxScenarioBytes = size_t{16} * 1024 * 1024;  // a scenario file
constexpr uint32_t kMaxBufferLength = 64 * 1024;         // a buffer handed to the driver
constexpr size_t kMaxCommands = 1'000'000;               // commands, repeat blocks expanded
constexpr size_t kMaxShownErrors = 100;                  // errors listed of one file

ParseResult parse_scenario(std::string_view text, const std::string &name);
ParseResult load_scenario(const std::string &path);
// Whether a scenario makes a call or a check; one that does neither passes
// without testing anything, and a run refuses it.
bool plays_something(const Scenario &scenario);

// Times as the report writes them: "12.5 ms", "3300 us" is written "3.3 ms".
std::string format_time(Ticks ticks);
// A length of time in the largest units that read well: "150ms", "2.5s",
// "2h 26min 44.31s", "24h".
std::string format_duration(Ticks ticks);

}  // namespace vibra_tool
