// SPDX-License-Identifier: MIT
// Feeds a started device a sequence of set-state calls with arbitrary
// buffers and lengths, letting virtual time run between them so that drive
// steps, stop sequences and blink phases interleave with the calls.
//
// Input: calls, each [wait ms] [length adjustment, int8] [n] [n payload bytes];
// the buffer handed over is the payload cut or zero-padded to n + adjustment
// bytes, allocated at exactly that length.
//
// Checked after each call: a defined status, BytesWritten set to the length
// on success and untouched on failure, the buffer unchanged except the blink
// settings an applied record may carry back, the stored client information's
// fixed fields. After the input: the motor-off, stop and teardown checks of
// invariants.h.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "invariants.h"

namespace {

using vibra_fuzz::check;

constexpr size_t kMaxCalls = 16;
constexpr ULONG kUntouched = 0xDEADBEEF;
// The bytes of an applied record's HwNSettings[1] to [3], which a blink
// pattern may rewrite in place.
constexpr size_t kBlinkSettingsBegin = 12 + 8 + 4;
constexpr size_t kBlinkSettingsEnd = kBlinkSettingsBegin + 12;

bool defined_status(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER ||
           status == STATUS_INVALID_DEVICE_REQUEST || status == STATUS_DATA_ERROR;
}

void set_state(vsim::Simulator &sim, vsim::DeviceId device, const uint8_t *payload, size_t size, int adjustment)
{
    const long length = static_cast<long>(size) + adjustment;
    vibra_fuzz::ExactBuffer buffer(length < 0 ? 0 : static_cast<size_t>(length), payload, size);
    const std::vector<uint8_t> before(buffer.bytes.get(), buffer.bytes.get() + buffer.size);
    ULONG written = kUntouched;
    const NTSTATUS status = sim.set_state(device, buffer.bytes.get(), static_cast<ULONG>(buffer.size), &written);
    if (!defined_status(status)) {
        vibra_fuzz::fail("set-state returned an undefined status " + std::to_string(uint32_t(status)));
    }
    check(!NT_SUCCESS(status) || written == buffer.size, "BytesWritten is not the buffer length after a success");
    check(NT_SUCCESS(status) || written == kUntouched, "BytesWritten written after a failure");
    for (size_t i = 0; i < buffer.size; ++i) {
        if (buffer.bytes[i] != before[i] && (i < kBlinkSettingsBegin || i >= kBlinkSettingsEnd)) {
            vibra_fuzz::fail("set-state changed byte " + std::to_string(i) + " of the caller's buffer");
        }
    }
    vibra_fuzz::check_stored(sim, device);
}

void put_u32(uint8_t *bytes, size_t offset, uint32_t value) { std::memcpy(bytes + offset, &value, sizeof value); }

}  // namespace

// For the replay driver: most generated inputs become sequences of
// well-formed one-record calls (off, on, or a blink pattern, now and then
// with a length one record too long or short), so that they reach the motor.
extern "C" size_t VibraFuzzShapeInput(uint8_t *data, size_t size, size_t max_size, uint64_t seed)
{
    if (seed % 4 == 0 || max_size < 3 + 48) {
        return size;
    }
    vsim::SplitMix64 random(seed);
    const uint64_t calls = 1 + random.next() % 5;
    size_t used = 0;
    for (uint64_t i = 0; i < calls && used + 3 + 48 <= max_size; ++i) {
        uint8_t *call = data + used;
        call[0] = static_cast<uint8_t>(random.next() % 120);
        call[1] = random.next() % 6 == 0 ? static_cast<uint8_t>(random.next() % 9) - 4 : 0;
        call[2] = 48;
        uint8_t *payload = call + 3;
        std::memset(payload, 0, 48);
        put_u32(payload, 0, 48);
        put_u32(payload, 4, 1);
        put_u32(payload, 8, 1);
        put_u32(payload, 16, 2);
        put_u32(payload, 24, static_cast<uint32_t>(random.next() % 400));  // period
        put_u32(payload, 28, static_cast<uint32_t>(random.next() % 160));  // duty
        put_u32(payload, 32, static_cast<uint32_t>(random.next() % 5));    // cycles
        put_u32(payload, 44, static_cast<uint32_t>(random.next() % 3));    // state
        used += 3 + 48;
    }
    return used;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vsim::Simulator sim;
    const vsim::DeviceId device = vibra_fuzz::bring_up(sim);
    size_t at = 0;
    for (size_t calls = 0; calls < kMaxCalls && at + 3 <= size; ++calls) {
        const uint8_t wait_ms = data[at];
        const auto adjustment = static_cast<int8_t>(data[at + 1]);
        size_t payload_size = data[at + 2];
        at += 3;
        payload_size = payload_size < size - at ? payload_size : size - at;
        set_state(sim, device, data + at, payload_size, adjustment);
        at += payload_size;
        sim.run_for(vsim::ms(wait_ms));
    }
    vibra_fuzz::check_end(sim, device);
    return 0;
}
