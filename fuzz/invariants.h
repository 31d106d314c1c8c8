// SPDX-License-Identifier: MIT
// What every fuzz target checks after each input, besides the sanitizers:
// the verifier saw no misuse, the motor is off where the device says it is off
// (after a final set-state off, and after a device stop: enable line low, no
// drive step pending, timer resolution released), and once the device is gone
// and the driver unloaded no framework object is left alive. A broken
// invariant prints what broke and aborts, which libFuzzer and the replay
// driver both report as a crash with the input that caused it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "player/recording.h"
#include "explore/rest_check.h"
#include "sim.h"
#include "driver_view.h"

#include "device/device.h"
#include "hwn/request.h"

namespace vibra_fuzz {

[[noreturn]] inline void fail(const std::string &what)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
    std::abort();
}

inline void check(bool holds, const char *what)
{
    if (!holds) {
        fail(what);
    }
}

// A heap buffer of exactly `size` bytes, so that ASan reports any access past
// it: the first bytes from `data`, the rest `fill`.
struct ExactBuffer {
    ExactBuffer(size_t length, const uint8_t *data, size_t data_size, uint8_t fill = 0)
        : bytes(new uint8_t[length]), size(length)
    {
        std::memset(bytes.get(), fill, size);
        if (data_size > 0) {
            std::memcpy(bytes.get(), data, data_size < size ? data_size : size);
        }
    }
    std::unique_ptr<uint8_t[]> bytes;
    size_t size;
};

using driver_view::stored_state;
using driver_view::timer_pending;

// The tool's set-up, by hand: both lines, the driver loaded, one device added,
// initialised with both GPIO connections (enable first) and started.
inline vsim::DeviceId bring_up(vsim::Simulator &sim)
{
    sim.add_line(vibra_tool::kEnableConnectionId, vibra_tool::kEnableLine);
    sim.add_line(vibra_tool::kDriveConnectionId, vibra_tool::kDriveLine);
    check(sim.load_driver() == STATUS_SUCCESS, "the driver did not load");
    vsim::DeviceId device = -1;
    check(sim.add_device(&device) == STATUS_SUCCESS, "device add failed");
    const vsim::ResourceList lines = {vsim::gpio_io(vibra_tool::kEnableConnectionId),
                                      vsim::gpio_io(vibra_tool::kDriveConnectionId)};
    check(sim.initialize_device(device, lines, lines) == STATUS_SUCCESS, "device initialisation failed");
    check(sim.start_device(device) == STATUS_SUCCESS, "device start failed");
    return device;
}

// The stored client information keeps its fixed fields whatever is sent:
// header 48/1/1, record 0 of type 2, settings 4 and 5 as initialised, and a
// state the driver knows.
inline void check_stored(vsim::Simulator &sim, vsim::DeviceId device)
{
    const HWN_HEADER &stored = driver_view::stored(*driver_view::context(sim, device));
    check(stored.HwNPayloadSize == 48 && stored.HwNPayloadVersion == 1 && stored.HwNRequests == 1,
          "the stored header changed");
    const HWN_SETTINGS &record = stored.HwNSettingsInfo[0];
    check(record.HwNId == 0 && record.HwNType == 2, "the stored record's identity changed");
    check(record.HwNSettings[4] == 0x5555 && record.HwNSettings[5] == 0xFFFFFFFF,
          "the stored record's uninterpreted settings changed");
    check(record.HwNSettings[HWN_SETTING_STATE] <= HWN_STATE_BLINK, "the stored state is out of range");
}

// After a final set-state off (stored state 0, no blink phase pending), once
// the longest stop sequence has passed: enable line low, no drive step
// pending, timer resolution released.
inline void check_off_if_stored_off(vsim::Simulator &sim, vsim::DeviceId device)
{
    const DEVICE_CONTEXT &context = *driver_view::context(sim, device);
    if (stored_state(sim, device) != HWN_STATE_OFF || timer_pending(sim, context.BlinkTimer)) {
        return;
    }
    sim.run_for(vibra_tool::kLongestStopSequence);
    check(sim.level(vibra_tool::kEnableLine) == 0, "the enable line is high after a final set-state off");
    check(!timer_pending(sim, context.IntensityTimer), "a drive step is pending after a final set-state off");
    check(sim.outstanding_resolution_requests() == 0,
          "the timer resolution is still requested after a final set-state off");
}

// A device stop with the faults cleared turns the motor off (the rest check
// that the explorer makes too) and ends any blink pattern.
inline void check_stop(vsim::Simulator &sim, vsim::DeviceId device)
{
    for (const std::string &finding : vibra_tool::check_rest(vibra_tool::observe_rest(sim, device))) {
        fail("after the final stop: " + finding);
    }
    check(!timer_pending(sim, driver_view::context(sim, device)->BlinkTimer),
          "a blink phase is pending after the final stop");
}

// No request alive, no lock held, no misuse seen; then the device is removed
// and the driver unloaded, which must leave no framework object alive.
inline void check_teardown(vsim::Simulator &sim, vsim::DeviceId device, bool uninitialize)
{
    const auto &quiescent = sim.check_quiescent();
    if (!quiescent.empty()) {
        fail("verifier: " + quiescent.front());
    }
    if (uninitialize) {
        check(sim.uninitialize_device(device) == STATUS_SUCCESS, "device uninitialisation failed");
    }
    if (sim.device(device) != nullptr) {
        sim.remove_device(device);
    }
    if (sim.driver_loaded()) {
        sim.unload_driver();
    }
    check(sim.run_until_idle(vsim::kTicksPerSecond), "something still pending after the driver unloaded");
    for (int type = 0; type < int(vsim::ObjectType::Count); ++type) {
        const size_t alive = sim.live_objects(vsim::ObjectType(type));
        if (alive != 0) {
            fail(std::to_string(alive) + " " + vsim::object_type_name(vsim::ObjectType(type)) +
                 " object(s) left alive after the device was removed and the driver unloaded");
        }
    }
    if (!sim.verifier_failures().empty()) {
        fail("verifier: " + sim.verifier_failures().front());
    }
}

// The whole end of a run on a started device: the final-off check, a stop,
// then the teardown.
inline void check_end(vsim::Simulator &sim, vsim::DeviceId device)
{
    check_stored(sim, device);
    check_off_if_stored_off(sim, device);
    check_stop(sim, device);
    check_teardown(sim, device, true);
}

}  // namespace vibra_fuzz
