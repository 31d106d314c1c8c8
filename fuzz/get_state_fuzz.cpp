// SPDX-License-Identifier: MIT
// Feeds get-state arbitrary input payloads and buffer lengths, with separate
// input and output buffers or one buffer passed as both, each allocated at
// exactly the length stated to the driver (a shared one at the larger of the
// two, as buffered I/O gives it), so that ASan sees a read or write past a
// stated length.
//
// Input: [flags] [input length adjustment, int8] [output length] [input payload...]
//   bit 0: pass an input buffer (else none: the whole stored payload is asked for)
//   bit 1: pass the input buffer as the output buffer too
//   bits 2-3: stored state set first: 0 none, 1 on, 2 a blink pattern, 3 on then off
//
// Checked: a defined status; BytesRead within the output length; nothing of
// the output past BytesRead written and nothing of a separate input written;
// a success reports the stored payload or the stored record each input record
// selects; get-state changes neither the stored client information nor the
// lines. After the input: the motor-off, stop and teardown checks.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "invariants.h"
#include "scenario/payload.h"

namespace {

using vibra_fuzz::check;

constexpr ULONG kUntouched = 0xDEADBEEF;
constexpr uint8_t kFill = 0xA5;

void set_stored_state(vsim::Simulator &sim, vsim::DeviceId device, unsigned how)
{
    if (how == 0) {
        return;
    }
    std::vector<uint8_t> payload = vibra_tool::one_record(how == 2 ? HWN_STATE_BLINK : HWN_STATE_ON);
    if (how == 2) {
        vibra_tool::put_u32(payload, 24, 100);  // period, ms
        vibra_tool::put_u32(payload, 28, 50);   // duty, percent
        vibra_tool::put_u32(payload, 32, 3);    // cycles
    }
    ULONG written = 0;
    check(sim.set_state(device, payload.data(), ULONG(payload.size()), &written) == STATUS_SUCCESS,
          "the set-state before get-state failed");
    sim.run_for(vsim::ms(20));
    if (how == 3) {
        check(vibra_tool::set_state_to(sim, device, HWN_STATE_OFF) == STATUS_SUCCESS,
              "the set-state off before get-state failed");
    }
}

std::vector<uint8_t> stored_bytes(vsim::Simulator &sim, vsim::DeviceId device)
{
    const HWN_HEADER &stored = driver_view::stored(*driver_view::context(sim, device));
    const auto *bytes = reinterpret_cast<const uint8_t *>(&stored);
    return std::vector<uint8_t>(bytes, bytes + sizeof stored);
}

// What a success must have written: the stored payload whole, or the output
// header and, for each input record, the stored record (the only HwNId is 0).
void check_report(const uint8_t *output, ULONG read, bool selected, const std::vector<uint8_t> &stored)
{
    if (!selected) {
        check(read == 48 && std::memcmp(output, stored.data(), 48) == 0,
              "get-state without input did not report the 48 stored bytes");
        return;
    }
    check(read >= 12 && (read - 12) % 36 == 0, "get-state reported a count that is not a header and records");
    check(std::memcmp(output, stored.data(), 8) == 0, "get-state wrote another payload size or version");
    for (ULONG offset = 12; offset < read; offset += 36) {
        check(std::memcmp(output + offset, stored.data() + 12, 36) == 0,
              "get-state reported a record other than the stored one");
    }
}

}  // namespace

// For the replay driver: most generated inputs get a well-formed header that
// selects records (a count of 0 to 2, HwNId 0 or not, a payload size that
// matches or not) and lengths near the ones it needs, so that they pass the
// length checks and reach the copy.
extern "C" size_t VibraFuzzShapeInput(uint8_t *data, size_t size, size_t max_size, uint64_t seed)
{
    if (seed % 4 == 0 || max_size < 3 + 84) {
        return size;
    }
    vsim::SplitMix64 random(seed);
    const uint32_t records = static_cast<uint32_t>(random.next() % 3);
    const uint32_t needed = 12 + 36 * records;
    data[0] = static_cast<uint8_t>(random.next() % 16) | 1;
    data[1] = random.next() % 4 == 0 ? static_cast<uint8_t>(random.next() % 9) - 4 : 0;
    data[2] = static_cast<uint8_t>(needed + (random.next() % 4 == 0 ? random.next() % 9 - 4 : 0));
    std::memset(data + 3, 0, needed);
    const uint32_t header[3] = {random.next() % 4 == 0 ? 40 : needed, 1, records};
    std::memcpy(data + 3, header, sizeof header);
    for (uint32_t i = 0; i < records; ++i) {
        const uint32_t id = random.next() % 8 == 0 ? 1 : 0;
        std::memcpy(data + 3 + 12 + 36 * i, &id, sizeof id);
    }
    return 3 + needed;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    const uint8_t flags = data[0];
    const bool with_input = flags & 1;
    const bool same_buffer = with_input && (flags & 2);
    const long adjusted = static_cast<long>(size - 3) + static_cast<int8_t>(data[1]);
    const ULONG input_length = with_input ? ULONG(adjusted < 0 ? 0 : adjusted) : 0;
    const ULONG output_length = data[2];

    vsim::Simulator sim;
    const vsim::DeviceId device = vibra_fuzz::bring_up(sim);
    set_stored_state(sim, device, (flags >> 2) & 3);

    const size_t output_size = same_buffer && input_length > output_length ? input_length : output_length;
    vibra_fuzz::ExactBuffer output(output_size, same_buffer ? data + 3 : nullptr, same_buffer ? size - 3 : 0,
                                   same_buffer ? 0 : kFill);
    vibra_fuzz::ExactBuffer input(with_input && !same_buffer ? input_length : 0, data + 3, size - 3);
    void *input_buffer = !with_input ? nullptr : same_buffer ? output.bytes.get() : input.bytes.get();
    const std::vector<uint8_t> input_before(input.bytes.get(), input.bytes.get() + input.size);
    const std::vector<uint8_t> output_before(output.bytes.get(), output.bytes.get() + output.size);
    const std::vector<uint8_t> stored_before = stored_bytes(sim, device);
    const size_t writes_before = sim.writes().size();
    const int resolution_before = sim.outstanding_resolution_requests();

    ULONG read = kUntouched;
    const NTSTATUS status =
        sim.get_state(device, output.bytes.get(), output_length, input_buffer, input_length, &read);

    if (status != STATUS_SUCCESS && status != STATUS_INVALID_PARAMETER && status != STATUS_DATA_ERROR) {
        vibra_fuzz::fail("get-state returned an undefined status " + std::to_string(uint32_t(status)));
    }
    check(read != kUntouched, "get-state did not store its byte count");
    check(read <= output_length, "get-state reported more bytes than the output buffer holds");
    check(NT_SUCCESS(status) || read == 0 || status == STATUS_DATA_ERROR,
          "get-state reported bytes read after refusing the call");
    if (!same_buffer) {
        check(std::equal(output_before.begin() + read, output_before.end(), output.bytes.get() + read),
              "get-state wrote into the output past the bytes it reported");
        check(input_before == std::vector<uint8_t>(input.bytes.get(), input.bytes.get() + input.size),
              "get-state wrote into its input buffer");
    }
    if (NT_SUCCESS(status)) {
        check_report(output.bytes.get(), read, with_input, stored_before);
    }
    check(stored_bytes(sim, device) == stored_before, "get-state changed the stored client information");
    check(sim.writes().size() == writes_before && sim.outstanding_resolution_requests() == resolution_before,
          "get-state touched the motor");

    vibra_fuzz::check_end(sim, device);
    return 0;
}
