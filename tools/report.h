// The readable report on standard output: every call with its time, status
// and byte count, get-state payloads decoded field by field, and a summary of
// what each GPIO line did.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "recording.h"

namespace vibra_tool {

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

// The level of a line from its recorded changes; lines start low.
LineSummary summarise_line(const Recording &recording, const std::string &line);
DriveSummary summarise_drive(const Recording &recording);

// "HwNPayloadSize=48 HwNPayloadVersion=1 HwNRequests=1", then one line a
// record; as far as the bytes go.
std::vector<std::string> decode_payload(const std::vector<uint8_t> &bytes);

void write_report(std::ostream &out, const Recording &recording);

}  // namespace vibra_tool
