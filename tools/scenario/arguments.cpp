// SPDX-License-Identifier: MIT
// Each command's arguments: what it takes, with what defaults, and what it refuses.
#include "scenario/parse.h"

#include <cstring>

#include "scenario/catalogue.h"
#include "scenario/fault_check.h"
#include "scenario/payload.h"
#include "scenario/status.h"
#include "scenario/suggest.h"

namespace vibra_tool {
namespace {

void take_expectations(Arguments &args, Command &command)
{
    if (auto value = args.take("expect")) {
        command.expect_status = parse_status_arg("expect", *value);
    }
    if (auto value = args.take("expect-bytes")) {
        command.expect_bytes = parse_u32("expect-bytes", *value);
    }
}

std::optional<uint32_t> take_u32(Arguments &args, const std::string &key)
{
    if (auto value = args.take(key)) {
        return parse_u32(key, *value);
    }
    return std::nullopt;
}

// A buffer length the driver is handed; the player allocates it.
std::optional<uint32_t> take_length(Arguments &args, const std::string &key)
{
    const std::optional<uint32_t> length = take_u32(args, key);
    if (length && *length > kMaxBufferLength) {
        fail("buffer length " + std::to_string(*length) + " for " + key + "= is too large; expected at most " +
             std::to_string(kMaxBufferLength) + " bytes");
    }
    return length;
}

// set-state on | off | blink period= duty= cycles= | raw=HEX, with optional
// header and record overrides and a buffer length.
void parse_set_state(Arguments &args, Command &command)
{
    const std::string forms = "on, off, blink period=MS duty=PCT cycles=N, or raw=HEX";
    if (auto raw = args.take("raw")) {
        command.payload = parse_hex("raw", *raw);
    } else {
        const std::optional<std::string> form = args.take_first_word();
        if (!form) {
            fail("set-state needs a state; expected " + forms);
        }
        uint32_t state = 0;
        command.payload.assign(kOnePayload, 0);
        if (*form == "on") {
            state = 1;
        } else if (*form == "off") {
            state = 0;
        } else if (*form == "blink") {
            state = 2;
            const char *keys[] = {"period", "duty", "cycles"};
            for (int i = 0; i < 3; ++i) {
                const std::optional<std::string> value = args.take_needed(keys[i], "period=MS duty=PCT cycles=N");
                if (!value) {
                    fail(std::string("set-state blink needs ") + keys[i] + "=; expected period=MS duty=PCT cycles=N");
                }
                put_u32(command.payload, 12 + 8 + 4 * (1 + i), parse_u32(keys[i], *value));
            }
        } else {
            fail("unknown state " + quote(*form) + " for set-state" + did_you_mean(*form, {"on", "off", "blink"}) +
                 "expected " + forms);
        }
        // Header 48, 1, 1; record HwNId 0, HwNType 2 (the device's type).
        const std::pair<const char *, std::pair<size_t, uint32_t>> fields[] = {
            {"size", {0, kOnePayload}}, {"version", {4, 1}}, {"requests", {8, 1}},
            {"id", {12, 0}},            {"type", {16, 2}},   {"state", {44, state}},
        };
        for (const auto &[key, field] : fields) {
            put_u32(command.payload, field.first, take_u32(args, key).value_or(field.second));
        }
    }
    command.length = take_length(args, "length").value_or(static_cast<uint32_t>(command.payload.size()));
    take_expectations(args, command);
    args.finish(forms + ", size=, version=, requests=, id=, type=, state=, length=, expect=, expect-bytes=");
}

void parse_get_state(Arguments &args, Command &command)
{
    if (auto input = args.take("input")) {
        command.input = parse_hex("input", *input);
        command.input_length = static_cast<uint32_t>(command.input->size());
    }
    if (auto length = take_length(args, "input-length")) {
        if (!command.input) {
            fail("input-length= without input=; expected input=HEX with it");
        }
        command.input_length = *length;
    }
    command.output_length = take_length(args, "output-length").value_or(kOnePayload);
    command.same_buffer = args.take_word("same-buffer");
    if (command.same_buffer && !command.input) {
        fail("same-buffer without input=; expected input=HEX to share the buffer with the output");
    }
    take_expectations(args, command);
    if (auto output = args.take("expect-output")) {
        command.expect_output = parse_hex("expect-output", *output);
    }
    args.finish("input=HEX, input-length=N, output-length=N, same-buffer, expect=, expect-bytes=, expect-output=HEX");
}

void parse_trace_mask(Arguments &args, Command &command)
{
    if (args.take_word("open")) {
        for (int level = 1; level <= 5; ++level) {
            command.masks.emplace_back(level, 0xFFFFFFFFu);
        }
    } else if (args.take_word("initial")) {
        command.masks = {{1, 0xFFFFFFFFu}, {2, 0xFFFFFFFEu}, {3, 0xFFFFFFFEu}, {4, 0u}, {5, 0u}};
    } else {
        const std::string accepted = "level=1..5 mask=HEX, open or initial";
        const std::optional<std::string> level_text = args.take_needed("level", accepted);
        const std::optional<std::string> mask_text = args.take_needed("mask", accepted);
        const std::optional<uint32_t> level =
            level_text ? std::optional<uint32_t>(parse_u32("level", *level_text)) : std::nullopt;
        const std::optional<uint32_t> mask =
            mask_text ? std::optional<uint32_t>(parse_u32("mask", *mask_text)) : std::nullopt;
        if (!level || !mask) {
            args.finish(accepted);
            fail("trace-mask needs level= and mask=; expected level=1..5 mask=HEX, open or initial");
        }
        if (*level < 1 || *level > 5) {
            fail("bad level " + std::to_string(*level) + " for trace-mask; expected a level from 1 to 5");
        }
        command.masks.emplace_back(static_cast<int>(*level), *mask);
    }
    args.finish("level=1..5 mask=HEX, open or initial");
}

// fault OP status= nth=|every, and the three shorthands for common faults.
void parse_fault(Arguments &args, Command &command, std::string_view name)
{
    std::string accepted = "status=STATUS, nth=N or every";
    command.status = static_cast<int32_t>(0xC0000001);  // STATUS_UNSUCCESSFUL
    if (name == "fault") {
        const std::optional<std::string> op = args.take_first_word();
        if (!op) {
            fail("fault needs a platform operation; expected e.g. fault WdfRequestSend status=STATUS_UNSUCCESSFUL");
        }
        const std::optional<vsim::Op> found = vsim::op_from_name(*op);
        if (!found) {
            fail("unknown platform operation " + quote(*op) + did_you_mean(*op, fault_operations()) +
                 "expected a name such as WdfRequestCreate, WdfTimerStart, WdfWaitLockAcquire, RequestCompletion "
                 "(vibra-sim --list faults shows them all)");
        }
        command.op = *found;
        accepted = "an operation, " + accepted;
    } else if (name == "lock-timeout") {
        command.op = vsim::Op::WdfWaitLockAcquire;
        command.status = 0x00000102;  // STATUS_TIMEOUT
        accepted = "nth=N or every";
    } else if (name == "refuse-send") {
        command.op = vsim::Op::WdfRequestSend;
    } else {
        command.op = vsim::Op::RequestCompletion;
    }
    if (name != "lock-timeout") {
        command.status = default_fault_status(command.op);
        if (auto status = args.take("status")) {
            command.status = parse_status_arg("status", *status);
        }
    }
    const bool every = args.take_word("every");
    const std::optional<uint32_t> nth = take_u32(args, "nth");
    if (every && nth) {
        fail("both nth= and every; expected one of them");
    }
    if (nth && *nth == 0) {
        fail("nth=0; expected 1 for the next call, 2 for the one after, ... or every");
    }
    command.nth = every ? 0 : nth.value_or(1);
    if (const std::string impossible = impossible_fault(command.op, command.status); !impossible.empty()) {
        fail(impossible);
    }
    args.finish(accepted);
}

// check enable|drive period= frequency= duty= from= to= tolerance=: what the
// line's edges within [from, to] show, evaluated by the player.
void parse_interval_check(Arguments &args, Command &command, const std::string &line, Ticks last_action)
{
    const std::string accepted = "period=TIME, frequency=HZ, duty=PCT, from=TIME, to=TIME, tolerance=PCT|TIME";
    IntervalCheck check;
    check.line = line;
    if (auto value = args.take("period")) {
        check.period = parse_time(*value);
        if (*check.period == 0) {
            fail("period=0ms; expected a period longer than 0, e.g. period=6.6ms");
        }
    }
    if (auto value = args.take("frequency")) {
        check.frequency_hz = parse_decimal("frequency", *value, "Hz", "a frequency in Hz, e.g. 151.5Hz");
        if (*check.frequency_hz <= 0) {
            fail("frequency=0; expected a frequency above 0 Hz, e.g. frequency=151.5Hz");
        }
    }
    if (auto value = args.take("duty")) {
        check.duty_percent = parse_decimal("duty", *value, "%", "a duty cycle from 0 to 100%, e.g. duty=50%");
        if (*check.duty_percent > 100) {
            fail("duty=" + std::string(*value) + " is over 100%; expected a duty cycle from 0 to 100%");
        }
    }
    if (auto value = args.take("tolerance")) {
        if (value->ends_with('%')) {
            check.tolerance_percent =
                parse_decimal("tolerance", *value, "%", "a percentage such as 2% or a time such as 100us");
        } else {
            check.tolerance_time = parse_time(*value);
        }
    }
    const std::optional<std::string> to = args.take("to");
    const std::optional<std::string> from = args.take("from");
    check.to = to ? parse_time(*to) : command.time;
    check.from = from ? parse_time(*from) : last_action;
    args.finish(accepted);
    if (!check.period && !check.frequency_hz && !check.duty_percent) {
        fail("check " + line + " needs what to measure; expected period=TIME, frequency=HZ and/or duty=PCT");
    }
    if (check.to > command.time) {
        fail("to=" + format_time(check.to) + " is after the check's time " + format_time(command.time) +
             "; expected to= at or before the time of the check");
    }
    if (check.from >= check.to) {
        fail("from=" + format_time(check.from) + " is not before to=" + format_time(check.to) +
             (from ? "" : " (without from=: the time of the last command other than check and wait)") +
             "; expected an interval that ends after it starts");
    }
    command.interval = std::move(check);
}

void parse_check(Arguments &args, Command &command, Ticks last_action)
{
    for (const char *line : {"enable", "drive"}) {
        if (args.take_word(line)) {
            parse_interval_check(args, command, line, last_action);
            return;
        }
    }
    const std::string accepted = "enable=0|1, drive=0|1, state=N, or enable|drive with period=, frequency=, duty=";
    if (auto value = args.take("enable")) {
        command.enable = parse_level_value("enable", *value);
    }
    if (auto value = args.take("drive")) {
        command.drive = parse_level_value("drive", *value);
    }
    command.state = take_u32(args, "state");
    args.finish(accepted);
    if (!command.enable && !command.drive && !command.state) {
        fail("check needs something to check; expected " + accepted);
    }
}

}  // namespace

void parse_arguments(Arguments &args, Command &command, std::string_view name, Ticks last_action)
{
    switch (command.kind) {
    case CommandKind::SetState:
        parse_set_state(args, command);
        break;
    case CommandKind::GetState:
        parse_get_state(args, command);
        break;
    case CommandKind::TraceMask:
        parse_trace_mask(args, command);
        break;
    case CommandKind::Fault:
        parse_fault(args, command, name);
        break;
    case CommandKind::Check:
        parse_check(args, command, last_action);
        break;
    case CommandKind::Setup:
    case CommandKind::Start:
    case CommandKind::Stop:
    case CommandKind::Teardown:
    case CommandKind::Info:
        take_expectations(args, command);
        if (command.expect_bytes) {
            fail("expect-bytes= for " + std::string(name) + ", which passes no buffer; expected expect= only");
        }
        args.finish("expect=STATUS");
        break;
    default:
        if (args.take("expect") || args.take("expect-bytes")) {
            fail("expect= for " + std::string(name) + ", which returns no status; expected no arguments");
        }
        args.finish("");
        break;
    }
}

}  // namespace vibra_tool
