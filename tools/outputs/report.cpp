// SPDX-License-Identifier: MIT
#include "outputs/report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "scenario/scenario.h"
#include "measure/summary.h"
#include "scenario/status.h"
#include "outputs/waveforms.h"

namespace vibra_tool {
namespace {

uint32_t read_u32(const std::vector<uint8_t> &bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::string hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

const char *state_name(uint32_t state)
{
    switch (state) {
    case 0: return "off";
    case 1: return "on";
    case 2: return "blink";
    default: return "invalid";
    }
}

// One record's fields, as far as `available` bytes of it go.
std::string decode_record(const std::vector<uint8_t> &bytes, size_t offset, size_t index)
{
    static const char *const names[] = {"HwNId", "HwNType"};
    std::string text = "record " + std::to_string(index) + ":";
    for (size_t field = 0; field < 9 && offset + 4 * field + 4 <= bytes.size(); ++field) {
        const uint32_t value = read_u32(bytes, offset + 4 * field);
        if (field < 2) {
            text += std::string(" ") + names[field] + "=" + std::to_string(value);
            continue;
        }
        const size_t setting = field - 2;
        text += " HwNSettings[" + std::to_string(setting) + "]=";
        switch (setting) {
        case 1: text += std::to_string(value) + " (period ms)"; break;
        case 2: text += std::to_string(value) + " (duty %)"; break;
        case 3: text += std::to_string(value) + " (cycles)"; break;
        case 6: text += std::to_string(value) + " (state " + state_name(value) + ")"; break;
        default: text += hex32(value); break;
        }
    }
    return text;
}

std::string milliseconds(Ticks ticks)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(ticks) / vsim::kTicksPerMs);
    return text;
}

void write_call(std::ostream &out, const CallRecord &call)
{
    char head[64];
    std::snprintf(head, sizeof head, "%13s  %-9s ", format_time(call.time).c_str(),
                  call.line ? ("line " + std::to_string(call.line)).c_str() : "set-up");
    out << head << call.text;
    if (call.status) {
        out << "  -> " << describe_status(*call.status);
    }
    if (call.bytes) {
        out << ", " << *call.bytes << " bytes " << call.bytes_label;
    }
    out << "\n";
    const std::string indent(27, ' ');
    for (const std::string &line : decode_payload(call.output)) {
        out << indent << line << "\n";
    }
    for (const std::string &note : call.notes) {
        out << indent << note << "\n";
    }
}

void write_line_summaries(std::ostream &out, const Recording &recording)
{
    out << "\nLines, from 0ms to " << format_time(recording.end) << ":\n";
    const LineSummaries summaries =
        recording.summaries ? *recording.summaries : summarise(recording.changes, recording.end);
    for (const char *line : {kEnableLine, kDriveLine}) {
        const LineSummary &summary = std::string_view(line) == kEnableLine ? summaries.enable : summaries.drive;
        char text[160];
        const int edges = summary.rising + summary.falling;
        std::snprintf(text, sizeof text, "  %-7s %d edge%s (%d rising, %d falling), high for %s, ends %s\n", line,
                      edges, edges == 1 ? "" : "s", summary.rising, summary.falling,
                      milliseconds(summary.high).c_str(), summary.final_level ? "high" : "low");
        out << text;
    }
    const DriveSummary &drive = summaries.motor;
    if (drive.running == 0) {
        out << "  the motor did not run (the enable line stayed low)\n";
        return;
    }
    char text[160];
    std::snprintf(text, sizeof text, "  drive while the motor ran (%s): %.1f Hz, duty %.1f %%\n",
                  milliseconds(drive.running).c_str(), drive.frequency_hz, drive.duty_percent);
    out << text;
}

void write_findings(std::ostream &out, const Recording &recording)
{
    const std::vector<StateSample> states = state_changes(recording);
    if (!states.empty()) {
        const uint32_t state = states.back().state;
        out << "Stored element state at the end: " << state << " (" << state_name(state) << ")\n";
    }
    const uint64_t lines = std::max<uint64_t>(recording.trace_lines, recording.trace.size());
    out << "Trace: " << lines << (lines == 1 ? " line passed" : " lines passed") << " the masks\n";
    if (!recording.idle) {
        out << "Run: still busy at " << format_time(recording.end)
            << " (steady vibration runs until it is switched off)\n";
    }
    if (!recording.setup_failure.empty()) {
        out << "Set-up: FAILED: " << recording.setup_failure << "; the calls after it were skipped" << "\n";
    }
    size_t skipped = 0;
    for (const CallRecord &call : recording.calls) {
        for (const ExpectationRecord &expectation : call.expectations) {
            skipped += expectation.skipped ? 1 : 0;
        }
    }
    if (recording.expectation_failures.empty()) {
        out << "Expectations: all held\n";
    } else {
        out << "Expectations: " << recording.expectation_failures.size() << " failed";
        if (skipped != 0) {
            out << " (" << skipped << " of them skipped, never evaluated)";
        }
        out << "\n";
        for (const std::string &failure : recording.expectation_failures) {
            out << "  " << failure << "\n";
        }
    }
    if (!recording.faults.empty()) {
        out << "Faults taken: " << recording.faults.size() << "\n";
        for (const FaultRecord &fault : recording.faults) {
            out << "  " << format_time(fault.time) << "  " << fault.op << " call " << fault.call << " failed with "
                << describe_status(fault.status);
            if (fault.armed_line) {
                out << " (armed at line " << fault.armed_line << ")";
            }
            out << (fault.during.empty() ? std::string(", between calls")
                                         : ", during " + (fault.during_line ? "line " + std::to_string(fault.during_line) + ": "
                                                                            : std::string()) +
                                               fault.during)
                << "\n";
        }
    }
    for (const std::string &warning : recording.warnings) {
        out << "Warning: " << warning << "\n";
    }
    if (recording.verifier_failures.empty()) {
        out << "Verifier: no findings\n";
    } else {
        out << "Verifier: " << recording.verifier_failures.size() << " findings\n";
        for (const std::string &failure : recording.verifier_failures) {
            out << "  " << failure << "\n";
        }
    }
}

}  // namespace

std::vector<std::string> decode_payload(const std::vector<uint8_t> &bytes)
{
    std::vector<std::string> lines;
    if (bytes.empty()) {
        return lines;
    }
    static const char *const header[] = {"HwNPayloadSize", "HwNPayloadVersion", "HwNRequests"};
    std::string text;
    for (size_t field = 0; field < 3 && 4 * field + 4 <= bytes.size(); ++field) {
        text += (field ? " " : "") + std::string(header[field]) + "=" + std::to_string(read_u32(bytes, 4 * field));
    }
    lines.push_back(text);
    for (size_t offset = 12, index = 0; offset + 4 <= bytes.size(); offset += 36, ++index) {
        lines.push_back(decode_record(bytes, offset, index));
    }
    if (bytes.size() % 4 != 0) {
        lines.push_back("(" + std::to_string(bytes.size() % 4) + " trailing bytes)");
    }
    return lines;
}

void write_report(std::ostream &out, const Recording &recording)
{
    out << "Scenario " << recording.scenario << "\n"
        << "Set-up: lines enable (connection 0x00000001000000ab) and drive (0x00000001000000ac), "
        << "driver loaded, one device initialised with both GPIO connections\n\n"
        << "         time  source    call  -> status, bytes\n";
    for (const CallRecord &call : recording.calls) {
        write_call(out, call);
    }
    write_line_summaries(out, recording);
    write_findings(out, recording);
}

}  // namespace vibra_tool
