// SPDX-License-Identifier: MIT
#include "explore/words.h"

#include <cstdio>

#include "explore/explore.h"
#include "scenario/payload.h"
#include "scenario/status.h"

namespace vibra_tool {
namespace {

std::string hex(const std::vector<uint8_t> &bytes)
{
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2 + bytes.size() / 4);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0 && i % 4 == 0) {
            text += '_';
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

std::string format_status(int32_t status)
{
    const std::string_view name = status_name(status);
    if (!name.empty()) {
        return std::string(name);
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
    return text;
}

std::string format_u32(uint32_t value)
{
    if (value < 0x10000) {
        return std::to_string(value);
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// on, off or blink with the fields that differ from the built ones, when the
// payload is one of those forms; raw bytes otherwise.
std::string set_state_words(const std::vector<uint8_t> &payload)
{
    const bool plain = payload.size() == kOnePayload && u32_at(payload, 20) == 0 && u32_at(payload, 36) == 0 &&
                       u32_at(payload, 40) == 0;
    if (!plain) {
        return "raw=" + hex(payload);
    }
    const uint32_t state = u32_at(payload, 44);
    const bool no_blink = u32_at(payload, 24) == 0 && u32_at(payload, 28) == 0 && u32_at(payload, 32) == 0;
    std::string words;
    uint32_t built_state = 2;
    if (no_blink && state != 2) {
        built_state = state == 1 ? 1 : 0;
        words = built_state == 1 ? "on" : "off";
    } else {
        words = "blink period=" + format_u32(u32_at(payload, 24)) + " duty=" + format_u32(u32_at(payload, 28)) +
                " cycles=" + format_u32(u32_at(payload, 32));
    }
    const std::pair<const char *, std::pair<size_t, uint32_t>> fields[] = {
        {"size", {0, kOnePayload}}, {"version", {4, 1}},          {"requests", {8, 1}},
        {"id", {12, 0}},            {"type", {16, kStoredType}}, {"state", {44, built_state}},
    };
    for (const auto &[key, field] : fields) {
        if (u32_at(payload, field.first) != field.second) {
            words += std::string(" ") + key + "=" + format_u32(u32_at(payload, field.first));
        }
    }
    return words;
}

std::string fault_words(const Command &command)
{
    std::string words;
    if (command.op == vsim::Op::WdfWaitLockAcquire && command.status == STATUS_TIMEOUT) {
        words = "lock-timeout";
    } else if (command.op == vsim::Op::WdfRequestSend) {
        words = "refuse-send status=" + format_status(command.status);
    } else if (command.op == vsim::Op::RequestCompletion) {
        words = "fail-completion status=" + format_status(command.status);
    } else {
        words = std::string("fault ") + vsim::op_name(command.op) + " status=" + format_status(command.status);
    }
    if (command.nth == 0) {
        words += " every";
    } else if (command.nth != 1) {
        words += " nth=" + std::to_string(command.nth);
    }
    return words;
}

std::string trace_mask_words(const Command &command)
{
    const std::vector<std::pair<int, uint32_t>> open = {
        {1, 0xFFFFFFFFu}, {2, 0xFFFFFFFFu}, {3, 0xFFFFFFFFu}, {4, 0xFFFFFFFFu}, {5, 0xFFFFFFFFu}};
    const std::vector<std::pair<int, uint32_t>> initial = {
        {1, 0xFFFFFFFFu}, {2, 0xFFFFFFFEu}, {3, 0xFFFFFFFEu}, {4, 0u}, {5, 0u}};
    if (command.masks == open) {
        return "trace-mask open";
    }
    if (command.masks == initial) {
        return "trace-mask initial";
    }
    // A scenario line sets one level; several pairs are written as the last
    // one, which is what they leave behind for a level given once.
    char mask[16];
    const auto &[level, value] = command.masks.empty() ? std::pair<int, uint32_t>{1, 0xFFFFFFFFu} : command.masks.back();
    std::snprintf(mask, sizeof mask, "0x%08X", value);
    return "trace-mask level=" + std::to_string(level) + " mask=" + mask;
}

}  // namespace

// The words of a command without its time and expectations.
std::string command_words(const Command &command)
{
    switch (command.kind) {
    case CommandKind::Setup: return "setup";
    case CommandKind::Start: return "start";
    case CommandKind::Stop: return "stop";
    case CommandKind::Teardown: return "teardown";
    case CommandKind::Info: return "info";
    case CommandKind::Remove: return "remove";
    case CommandKind::Unload: return "unload";
    case CommandKind::ClearFaults: return "clear-faults";
    case CommandKind::Wait: return "wait";
    case CommandKind::End: return "end";
    case CommandKind::TraceMask: return trace_mask_words(command);
    case CommandKind::Fault: return fault_words(command);
    case CommandKind::SetState: {
        std::string words = "set-state " + set_state_words(command.payload);
        if (command.length != command.payload.size()) {
            words += " length=" + std::to_string(command.length);
        }
        return words;
    }
    case CommandKind::GetState: {
        std::string words = "get-state";
        if (command.input) {
            words += " input=" + hex(*command.input);
            if (command.input_length != command.input->size()) {
                words += " input-length=" + std::to_string(command.input_length);
            }
        }
        if (command.output_length != kOnePayload) {
            words += " output-length=" + std::to_string(command.output_length);
        }
        if (command.same_buffer) {
            words += " same-buffer";
        }
        return words;
    }
    case CommandKind::Check: {
        std::string words = "check";
        if (command.enable) {
            words += " enable=" + std::to_string(*command.enable);
        }
        if (command.drive) {
            words += " drive=" + std::to_string(*command.drive);
        }
        if (command.state) {
            words += " state=" + std::to_string(*command.state);
        }
        return words;
    }
    }
    return "wait";
}

std::string expectation_words(const Command &command)
{
    std::string words;
    if (command.expect_status) {
        words += " expect=" + format_status(*command.expect_status);
    }
    if (command.expect_bytes) {
        words += " expect-bytes=" + std::to_string(*command.expect_bytes);
    }
    if (command.expect_output) {
        words += " expect-output=" + hex(*command.expect_output);
    }
    return words;
}

std::string format_command(const Command &command)
{
    return "at " + format_time(command.time) + (command.concurrent ? " & " : " ") + command_words(command) +
           expectation_words(command);
}

std::string format_scenario(const Scenario &scenario)
{
    std::string text;
    for (const Command &command : scenario.commands) {
        text += format_command(command) + "\n";
    }
    return text;
}

}  // namespace vibra_tool
