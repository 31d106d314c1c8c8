// SPDX-License-Identifier: MIT
#include <cstdio>

#include "hwn/request.h"
#include "player/session.h"
#include "scenario/status.h"

namespace vibra_tool::session {

void Player::info(const Command &command)
{
    HWN_DEVICE_INFORMATION information = {};
    const NTSTATUS status = sim_.query_device_information(device_, &information);
    CallRecord &call = add_call(&command, command.text);
    call.status = status;
    if (NT_SUCCESS(status)) {
        call.notes.push_back("Version=" + std::to_string(information.Version) +
                             " Size=" + std::to_string(information.Size) +
                             " HwNCount=" + std::to_string(information.HwNCount));
    }
    check_status(command, call);
}

void Player::set_state(const Command &command)
{
    ExactBuffer buffer(command.length, command.payload);
    const std::vector<uint8_t> before(buffer.bytes.get(), buffer.bytes.get() + buffer.size);
    ULONG written = kUntouched;
    const NTSTATUS status = sim_.set_state(device_, buffer.bytes.get(), buffer.size, &written);
    CallRecord &call = add_call(&command, command.text);
    call.status = status;
    call.bytes_label = "written";
    if (written != kUntouched) {
        call.bytes = written;
    }
    note_rewrites(call, before, buffer);
    check_status(command, call);
    check_bytes(command, call);
    sample_state();
}

// The driver may fold a blink pattern in the caller's record.
void Player::note_rewrites(CallRecord &call, const std::vector<uint8_t> &before, const ExactBuffer &after)
{
    for (size_t offset = 0; offset + 4 <= after.size; offset += 4) {
        const uint32_t old_value = read_u32(before.data(), offset);
        const uint32_t new_value = read_u32(after.bytes.get(), offset);
        if (old_value != new_value) {
            call.notes.push_back("the driver rewrote payload offset " + std::to_string(offset) + ": " +
                                 std::to_string(old_value) + " -> " + std::to_string(new_value));
        }
    }
}

void Player::get_state(const Command &command)
{
    const std::vector<uint8_t> input = command.input.value_or(std::vector<uint8_t>{});
    ExactBuffer output(command.same_buffer ? std::max(command.input_length, command.output_length)
                                           : command.output_length,
                       command.same_buffer ? input : std::vector<uint8_t>{});
    std::optional<ExactBuffer> separate;
    if (command.input && !command.same_buffer) {
        separate.emplace(command.input_length, input);
    }
    void *input_buffer = command.same_buffer ? output.bytes.get() : separate ? separate->bytes.get() : nullptr;
    ULONG read = kUntouched;
    const NTSTATUS status = sim_.get_state(device_, output.bytes.get(), command.output_length, input_buffer,
                                           command.input ? command.input_length : 0, &read);
    CallRecord &call = add_call(&command, command.text);
    call.status = status;
    call.bytes_label = "read";
    if (read != kUntouched) {
        call.bytes = read;
        call.output.assign(output.bytes.get(), output.bytes.get() + std::min<uint32_t>(read, output.size));
    }
    check_status(command, call);
    check_bytes(command, call);
    if (command.expect_output) {
        const std::vector<uint8_t> &expected = *command.expect_output;
        const size_t compared = std::min<size_t>(expected.size(), output.size);
        expectation(command, call,
                    compared == expected.size() && std::equal(expected.begin(), expected.end(), output.bytes.get()),
                    "output " + to_hex(expected),
                    to_hex(std::vector<uint8_t>(output.bytes.get(), output.bytes.get() + compared)));
    }
}

std::string Player::to_hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

void Player::check(const Command &command)
{
    CallRecord &call = add_call(&command, command.text);
    if (command.interval) {
        check_interval(command, call);
        return;
    }
    if (command.enable) {
        const int level = sim_.level(kEnableLine);
        expectation(command, call, level == *command.enable, "enable=" + std::to_string(*command.enable),
                    "enable=" + std::to_string(level));
    }
    if (command.drive) {
        const int level = sim_.level(kDriveLine);
        expectation(command, call, level == *command.drive, "drive=" + std::to_string(*command.drive),
                    "drive=" + std::to_string(level));
    }
    if (command.state) {
        PDEVICE_CONTEXT device = context();
        if (!device) {
            expectation_failed(command, call, "state=" + std::to_string(*command.state), "no initialised device");
        } else {
            const uint32_t state = driver_view::stored_state(*device);
            expectation(command, call, state == *command.state, "state=" + std::to_string(*command.state),
                        "state=" + std::to_string(state));
        }
    }
}

void Player::check_status(const Command &command, CallRecord &call)
{
    if (command.expect_status && call.status) {
        expectation(command, call, *call.status == *command.expect_status,
                    "status " + describe_status(*command.expect_status), describe_status(*call.status));
    }
}

void Player::check_bytes(const Command &command, CallRecord &call)
{
    if (!command.expect_bytes) {
        return;
    }
    expectation(command, call, call.bytes && *call.bytes == *command.expect_bytes,
                std::to_string(*command.expect_bytes) + " bytes " + call.bytes_label,
                call.bytes ? std::to_string(*call.bytes) + " bytes" : "the count not written");
}

void Player::expectation_failed(const Command &command, CallRecord &call, const std::string &expected,
                                const std::string &got, bool skipped)
{
    call.failed_expectation = true;
    call.expectations.push_back({expected, got, false, skipped});
    const std::string repetition =
        command.repetition ? " (repetition " + std::to_string(command.repetition) + ")" : std::string();
    const std::string message = scenario_.name + ":" + std::to_string(command.line) + ": " + command.text +
                                repetition + ": expected " + expected + ", got " + got;
    call.notes.push_back((skipped ? "EXPECTATION SKIPPED: expected " : "EXPECTATION FAILED: expected ") + expected +
                         ", got " + got);
    recording_.expectation_failures.push_back(message);
}

void Player::skip_expectations(const Command &command, CallRecord &call, const std::string &why)
{
    const std::string got = "not evaluated: " + why;
    if (command.expect_status) {
        expectation_failed(command, call, "status " + describe_status(*command.expect_status), got, true);
    }
    if (command.expect_bytes) {
        expectation_failed(command, call, std::to_string(*command.expect_bytes) + " bytes", got, true);
    }
    if (command.expect_output) {
        expectation_failed(command, call, "output " + to_hex(*command.expect_output), got, true);
    }
}

void Player::expectation(const Command &command, CallRecord &call, bool held, const std::string &expected,
                         const std::string &got)
{
    if (held) {
        call.expectations.push_back({expected, got, true});
    } else {
        expectation_failed(command, call, expected, got);
    }
}

}  // namespace vibra_tool::session
