// SPDX-License-Identifier: MIT
// The JSON document of a run (schema "vibra-sim/1", see docs/vibra-sim.md).
#include <cmath>
#include <cstdio>

#include "outputs/results.h"
#include "scenario/status.h"

namespace vibra_tool {
namespace {

using results_detail::microseconds;

std::string number(double value)
{
    if (!std::isfinite(value)) {
        return "null";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    std::string result = text;
    while (result.back() == '0') {
        result.pop_back();
    }
    if (result.back() == '.') {
        result.pop_back();
    }
    return result == "-0" ? "0" : result;
}

std::string hex32(int32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(value));
    return text;
}

std::string hex_bytes(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

// Writes objects and arrays with their commas and two-space indentation.
class Writer {
public:
    explicit Writer(std::ostream &out)
        : out_(out)
    {
    }
    void open(const char *key, char bracket)
    {
        item(key);
        out_ << bracket;
        first_ = true;
        ++depth_;
    }
    void close(char bracket)
    {
        --depth_;
        if (!first_) {
            newline();
        }
        out_ << bracket;
        first_ = false;
    }
    void raw(const char *key, const std::string &value)
    {
        item(key);
        out_ << value;
    }
    void text(const char *key, std::string_view value) { raw(key, json_string(value)); }

private:
    void newline() { out_ << "\n" << std::string(size_t{2} * depth_, ' '); }
    void item(const char *key)
    {
        if (depth_ > 0) {
            out_ << (first_ ? "" : ",");
            newline();
        }
        first_ = false;
        if (key) {
            out_ << json_string(key) << ": ";
        }
    }

    std::ostream &out_;
    int depth_ = 0;
    bool first_ = true;
};

void write_call(Writer &json, const CallRecord &call)
{
    json.open(nullptr, '{');
    json.raw("line", std::to_string(call.line));
    json.raw("repetition", std::to_string(call.repetition));
    json.raw("time_us", microseconds(call.time));
    json.raw("returned_us", microseconds(call.returned));
    json.text("text", call.text);
    if (call.status) {
        json.text("status", hex32(*call.status));
        const std::string_view name = status_name(*call.status);
        json.raw("status_name", name.empty() ? "null" : json_string(name));
    } else {
        json.raw("status", "null");
        json.raw("status_name", "null");
    }
    json.raw("bytes", call.bytes ? std::to_string(*call.bytes) : "null");
    json.raw("bytes_label", call.bytes ? json_string(call.bytes_label) : "null");
    json.raw("output", call.output.empty() ? "null" : json_string(hex_bytes(call.output)));
    json.open("notes", '[');
    for (const std::string &note : call.notes) {
        json.text(nullptr, note);
    }
    json.close(']');
    json.close('}');
}

void write_line(Writer &json, const char *name, const LineSummary &line, Ticks end)
{
    json.open(name, '{');
    json.raw("edges", std::to_string(line.rising + line.falling));
    json.raw("rising", std::to_string(line.rising));
    json.raw("falling", std::to_string(line.falling));
    json.raw("high_us", microseconds(line.high));
    json.raw("duty_percent", end > 0 ? number(100.0 * static_cast<double>(line.high) / static_cast<double>(end)) : "0");
    json.raw("final_level", std::to_string(line.final_level));
    json.close('}');
}

void write_scenario(Writer &json, const ScenarioResult &result)
{
    const Recording &recording = result.recording;
    json.open(nullptr, '{');
    json.text("name", recording.scenario);
    json.raw("exit_status", std::to_string(result.exit_status));
    json.raw("played", result.played ? "true" : "false");
    json.raw("parse_error", result.parse_error.empty() ? "null" : json_string(result.parse_error));
    json.raw("end_us", microseconds(recording.end));
    json.raw("idle", recording.idle ? "true" : "false");
    json.raw("setup_ok", recording.setup_ok ? "true" : "false");
    json.raw("setup_failure", recording.setup_failure.empty() ? "null" : json_string(recording.setup_failure));
    json.open("calls", '[');
    for (const CallRecord &call : recording.calls) {
        write_call(json, call);
    }
    json.close(']');
    json.open("expectations", '[');
    for (size_t index = 0; index < recording.calls.size(); ++index) {
        const CallRecord &call = recording.calls[index];
        for (const ExpectationRecord &expectation : call.expectations) {
            json.open(nullptr, '{');
            json.raw("call", std::to_string(index));
            json.raw("line", std::to_string(call.line));
            json.raw("repetition", std::to_string(call.repetition));
            json.text("text", call.text);
            json.text("expected", expectation.expected);
            json.text("got", expectation.got);
            json.raw("held", expectation.held ? "true" : "false");
            json.raw("skipped", expectation.skipped ? "true" : "false");
            json.close('}');
        }
    }
    json.close(']');
    json.open("faults", '[');
    for (const FaultRecord &fault : recording.faults) {
        json.open(nullptr, '{');
        json.raw("time_us", microseconds(fault.time));
        json.text("op", fault.op);
        json.raw("call", std::to_string(fault.call));
        json.text("status", hex32(fault.status));
        json.raw("armed_line", std::to_string(fault.armed_line));
        json.raw("during_line", std::to_string(fault.during_line));
        json.raw("during", fault.during.empty() ? "null" : json_string(fault.during));
        json.close('}');
    }
    json.close(']');
    json.open("warnings", '[');
    for (const std::string &warning : recording.warnings) {
        json.text(nullptr, warning);
    }
    json.close(']');
    const LineSummaries summaries = results_detail::line_summaries(recording);
    json.open("lines", '{');
    write_line(json, "enable", summaries.enable, recording.end);
    write_line(json, "drive", summaries.drive, recording.end);
    json.open("drive_while_enabled", '{');
    json.raw("running_us", microseconds(summaries.motor.running));
    json.raw("frequency_hz", number(summaries.motor.frequency_hz));
    json.raw("duty_percent", number(summaries.motor.duty_percent));
    json.close('}');
    json.close('}');
    json.open("verifier", '[');
    for (const std::string &finding : recording.verifier_failures) {
        json.text(nullptr, finding);
    }
    json.close(']');
    json.raw("trace_lines", std::to_string(std::max<uint64_t>(recording.trace_lines, recording.trace.size())));
    json.close('}');
}

}  // namespace

std::string json_string(std::string_view text)
{
    std::string quoted = "\"";
    results_detail::for_each_code_point(text, [&](int32_t code, std::string_view bytes) {
        switch (code) {
        case '"':
            quoted += "\\\"";
            break;
        case '\\':
            quoted += "\\\\";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        case -1:
            quoted += "\\ufffd";
            break;
        default:
            if (code < 0x20 || code == 0x7F) {
                char escape[16];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
                quoted += escape;
            } else {
                quoted += bytes;
            }
        }
    });
    return quoted + "\"";
}

void write_json(std::ostream &out, const std::vector<ScenarioResult> &results, const std::string &version)
{
    int worst = 0;
    for (const ScenarioResult &result : results) {
        worst = worst_exit_status(worst, result.exit_status);
    }
    Writer json(out);
    json.open(nullptr, '{');
    json.text("schema", kJsonSchema);
    json.text("version", version);
    json.raw("exit_status", std::to_string(worst));
    json.open("scenarios", '[');
    for (const ScenarioResult &result : results) {
        write_scenario(json, result);
    }
    json.close(']');
    json.close('}');
    out << "\n";
}

}  // namespace vibra_tool
