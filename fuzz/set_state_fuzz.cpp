// Feeds arbitrary set-state and get-state buffers to a started device and
// checks what must hold whatever the caller sends: nothing is read or written
// past a buffer (the sanitizers), the stored client information keeps its fixed
// fields, the verifier sees no misuse, and once the device is stopped every
// request is deleted, the timer resolution is released and the enable line is
// low.
//
// Input: [flags] [length adjustment] [get-state output length] [payload...]
//   flags bit 0: follow with a get-state whose input is the payload
//   flags bit 1: pass the get-state input as its own output buffer
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "sim.h"

#include "device/device.h"
#include "hwn/request.h"

namespace {

constexpr uint64_t kEnableId = 0x00000001000000abULL;
constexpr uint64_t kDriveId = 0x00000001000000acULL;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "payload_fuzz: %s\n", what);
    std::abort();
}

void check(bool holds, const char *what)
{
    if (!holds) {
        fail(what);
    }
}

// A heap copy of exactly `length` bytes: the first bytes from `data`, the rest zero.
std::unique_ptr<uint8_t[]> exact_buffer(const uint8_t *data, size_t size, size_t length)
{
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length ? length : 1]());
    const size_t copied = size < length ? size : length;
    if (copied > 0) {
        std::memcpy(buffer.get(), data, copied);
    }
    return buffer;
}

}  // namespace

extern "C" size_t VibraFuzzShapeInput(uint8_t *data, size_t size, size_t max_size, uint64_t seed)
{
    // Half of the generated inputs carry a well-formed one-record header so that
    // they reach the motor; the rest stay raw.
    if ((seed & 1) == 0 || max_size < 3 + 48) {
        return size;
    }
    const uint32_t words[12] = {48, 1, 1, 0, 2, 0, static_cast<uint32_t>(1 + (seed >> 8) % 400),
                                static_cast<uint32_t>((seed >> 20) % 160), static_cast<uint32_t>((seed >> 28) % 5),
                                0, 0, static_cast<uint32_t>((seed >> 36) % 4)};
    data[1] = static_cast<uint8_t>((seed >> 40) % 5 == 0 ? (seed >> 44) : 0);
    std::memcpy(data + 3, words, sizeof words);
    return size < 3 + sizeof words ? 3 + sizeof words : size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    const uint8_t flags = data[0];
    const auto adjustment = static_cast<int8_t>(data[1]);
    const ULONG output_length = data[2];
    const uint8_t *payload = data + 3;
    const size_t payload_size = size - 3;

    vsim::Simulator sim;
    sim.add_line(kEnableId, "enable");
    sim.add_line(kDriveId, "drive");
    check(sim.load_driver() == STATUS_SUCCESS, "driver did not load");
    vsim::DeviceId id = -1;
    check(sim.add_device(&id) == STATUS_SUCCESS, "device add failed");
    const vsim::ResourceList lines = {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)};
    check(sim.initialize_device(id, lines, lines) == STATUS_SUCCESS, "initialisation failed");
    check(sim.start_device(id) == STATUS_SUCCESS, "start failed");

    const long length = static_cast<long>(payload_size) + adjustment;
    const size_t set_length = length < 0 ? 0 : static_cast<size_t>(length);
    auto set_buffer = exact_buffer(payload, payload_size, set_length);
    ULONG written = 0xDEADBEEF;
    const NTSTATUS set_status = sim.set_state(id, set_buffer.get(), static_cast<ULONG>(set_length), &written);
    check(!NT_SUCCESS(set_status) || written == set_length, "BytesWritten is not the buffer length on success");
    check(NT_SUCCESS(set_status) || written == 0xDEADBEEF, "BytesWritten written on failure");
    sim.run_for(vsim::ms(50));

    if (flags & 1) {
        auto input = exact_buffer(payload, payload_size, payload_size);
        ULONG read = 0xDEADBEEF;
        if (flags & 2) {
            sim.get_state(id, input.get(), static_cast<ULONG>(payload_size), input.get(),
                          static_cast<ULONG>(payload_size), &read);
            check(read <= payload_size, "get-state reported more bytes than its buffer holds");
        } else {
            auto output = exact_buffer(nullptr, 0, output_length);
            sim.get_state(id, output.get(), output_length, input.get(), static_cast<ULONG>(payload_size), &read);
            check(read <= output_length, "get-state reported more bytes than its buffer holds");
        }
    }

    const auto *context = static_cast<const DEVICE_CONTEXT *>(sim.client_context(id));
    const HWN_HEADER &stored = context->ClientInformation;
    check(stored.HwNPayloadSize == 48 && stored.HwNPayloadVersion == 1 && stored.HwNRequests == 1,
          "stored header changed");
    const HWN_SETTINGS &record = stored.HwNSettingsInfo[0];
    check(record.HwNId == 0 && record.HwNType == 2, "stored record identity changed");
    check(record.HwNSettings[4] == 0x5555 && record.HwNSettings[5] == 0xFFFFFFFF, "uninterpreted settings changed");
    check(record.HwNSettings[HWN_SETTING_STATE] <= HWN_STATE_BLINK, "stored state out of range");

    check(sim.stop_device(id) == STATUS_SUCCESS, "stop failed");
    check(sim.run_until_idle(vsim::kTicksPerSecond * 10), "the device did not settle after stop");
    check(sim.level("enable") == 0, "enable line high after stop");
    check(sim.outstanding_resolution_requests() == 0, "timer resolution still requested after stop");
    check(sim.check_quiescent().empty(), "verifier failure or object left alive");
    sim.uninitialize_device(id);
    sim.remove_device(id);
    sim.unload_driver();
    return 0;
}
