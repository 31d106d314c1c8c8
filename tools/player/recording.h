// SPDX-License-Identifier: MIT
// What a played scenario produced: the calls with their results, the GPIO
// line activity, the stored element state and the trace. Times are relative
// to the end of the set-up, in 100 ns units. The report and the waveform
// writers read only this, so they can be checked without running the driver.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "measure/lines.h"
#include "sim.h"

namespace vibra_tool {

inline constexpr uint64_t kEnableConnectionId = 0x00000001000000abULL;
inline constexpr uint64_t kDriveConnectionId = 0x00000001000000acULL;

// One expectation of a call or a check, and whether it held.
struct ExpectationRecord {
    std::string expected;  // "status STATUS_SUCCESS (0x00000000)", "48 bytes read", "enable=1", ...
    std::string got;       // what the run gave, in the same terms
    bool held = false;
    bool skipped = false;  // never evaluated (the call could not be made): counts as not held
};

struct CallRecord {
    Ticks time = 0;
    Ticks returned = 0;    // differs from time only for a call on a thread of its own
    int line = 0;          // scenario line, 0 for the implicit set-up
    int repetition = 0;    // within a repeat block: which repetition, from 1
    std::string text;      // the call as the report names it
    std::optional<int32_t> status;
    std::optional<uint32_t> bytes;  // bytes written (set-state) or read (get-state), when the driver set them
    std::string bytes_label;        // "written" or "read"
    std::vector<uint8_t> output;    // get-state: the bytes read, to decode
    std::vector<std::string> notes; // further lines of the report for this call
    std::vector<ExpectationRecord> expectations;  // in the order they were checked
    bool failed_expectation = false;
};

// An armed fault taking effect: which platform call failed, when, and during
// which scenario call (line 0: between calls, in a timer or completion).
struct FaultRecord {
    Ticks time = 0;
    std::string op;
    uint64_t call = 0;  // the operation's call number, as `fault ... nth=` counts them
    int32_t status = 0;
    int armed_line = 0;  // the fault command's line
    int during_line = 0;
    std::string during;  // the scenario call then running, or empty
};

struct WriteRecord {
    Ticks sent = 0;
    Ticks completed = 0;
    std::string line;
    int value = 0;
    int32_t status = 0;
};

struct StateSample {
    Ticks time = 0;
    uint32_t state = 0;
};

struct TraceRecord {
    Ticks time = 0;
    uint32_t level = 0;
    uint32_t flags = 0;
    std::string text;
};

struct Recording {
    std::string scenario;
    std::vector<CallRecord> calls;
    // Kept only when the player keeps records (see PlayerOptions):
    std::vector<WriteRecord> writes;     // completed writes, in completion order
    std::vector<LevelChange> changes;    // every completed successful write, level as it then was
    std::vector<StateSample> states;     // stored element state after each call
    std::vector<TraceRecord> trace;      // empty unless the player kept records
    uint64_t trace_lines = 0;            // trace lines printed, kept or not
    // The line summaries, made as the run went; when absent (a recording put
    // together by hand) the report works them out from `changes`.
    std::optional<LineSummaries> summaries;
    std::vector<std::string> expectation_failures;  // "name:line: expected ..., got ..."
    std::vector<std::string> verifier_failures;
    std::vector<FaultRecord> faults;             // armed faults that took effect, in time order
    std::vector<std::string> warnings;           // "name:line: fault ... never took effect", ...
    // Set when the set-up did not give an initialised device and the scenario
    // did not expect that (an explicit `setup expect=...`): the run fails.
    // Which call failed: "add device returned STATUS_... (0x...)".
    std::string setup_failure;
    Ticks end = 0;            // where the run stopped
    bool idle = true;         // nothing was pending at the end
    bool interrupted = false; // stopped early by PlayerOptions::interrupt, at `end`
    bool setup_ok = false;
};

}  // namespace vibra_tool
