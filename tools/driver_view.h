// SPDX-License-Identifier: MIT
// What the driver keeps for a device on the simulated board, as the tool, the
// fuzzers, the benchmarks and the tests read it: the device's context, the
// client information stored in it (the 48 bytes get-state reports) with the
// state it holds, and how the device's timers stand.
#pragma once

#include <cstdint>
#include <optional>

#include "device/device.h"
#include "hwn/request.h"
#include "sim.h"

namespace driver_view {

// The device's context; null before the device was added.
inline PDEVICE_CONTEXT context(const vsim::Simulator &sim, vsim::DeviceId device)
{
    return static_cast<PDEVICE_CONTEXT>(sim.client_context(device));
}

// The stored client information: the header and its one record.
inline HWN_HEADER &stored(DEVICE_CONTEXT &context) { return context.ClientInformation; }
inline const HWN_HEADER &stored(const DEVICE_CONTEXT &context) { return context.ClientInformation; }
inline HWN_SETTINGS &stored_record(DEVICE_CONTEXT &context) { return context.ClientInformation.HwNSettingsInfo[0]; }

// The stored state: HWN_STATE_OFF, _ON or _BLINK as last accepted.
inline ULONG stored_state(const DEVICE_CONTEXT &context)
{
    return context.ClientInformation.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_STATE];
}
inline ULONG stored_state(const vsim::Simulator &sim, vsim::DeviceId device)
{
    return stored_state(*context(sim, device));
}

// Whether the timer is armed; false for a timer not created.
inline bool timer_pending(const vsim::Simulator &sim, WDFTIMER timer)
{
    const std::optional<vsim::TimerInfo> info = timer == nullptr ? std::nullopt : sim.timer_info(timer);
    return info && info->pending;
}

// How often the timer's callback has run (the drive's steps, the blink's
// phases); 0 for a timer not created.
inline uint64_t timer_runs(const vsim::Simulator &sim, WDFTIMER timer)
{
    const std::optional<vsim::TimerInfo> info = timer == nullptr ? std::nullopt : sim.timer_info(timer);
    return info ? info->fired : 0;
}

}  // namespace driver_view
