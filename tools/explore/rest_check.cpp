// SPDX-License-Identifier: MIT
#include "explore/rest_check.h"

#include <optional>

#include "device/device.h"
#include "driver_view.h"
#include "hwn/request.h"
#include "scenario/payload.h"
#include "player/recording.h"

namespace vibra_tool {
namespace {

using driver_view::stored_state;
using driver_view::timer_pending;

// A stop sequence is at most three steps; under an interleaved schedule each
// may be kept waiting, so the monitor allows well over kLongestStopSequence.
constexpr Ticks kMonitorBound = 50 * vsim::kTicksPerMs;

}  // namespace

RestObservation observe_rest(vsim::Simulator &sim, vsim::DeviceId device, int32_t *stop_status)
{
    RestObservation rest;
    rest.observed = true;
    rest.timer_guarantee_broken = sim.faults_fired(vsim::Op::WdfTimerStart) != 0 ||
                                  sim.faults_fired(vsim::Op::WdfObjectGetTypedContext) != 0;
    sim.clear_faults();
    const DEVICE_CONTEXT &context = *driver_view::context(sim, device);
    rest.off = stored_state(context) == 0 && !timer_pending(sim, context.BlinkTimer);
    sim.run_for(kLongestStopSequence);
    rest.step_pending_while_off = rest.off && timer_pending(sim, context.IntensityTimer);

    const NTSTATUS status = sim.stop_device(device);
    if (stop_status != nullptr) {
        *stop_status = status;
    }
    sim.run_for(kLongestStopSequence);
    rest.enable_after_stop = sim.level(kEnableLine);
    rest.step_pending_after_stop = timer_pending(sim, context.IntensityTimer);
    rest.resolution_after_stop = sim.outstanding_resolution_requests();
    return rest;
}

std::vector<std::string> check_rest(const RestObservation &rest)
{
    std::vector<std::string> findings;
    if (!rest.observed) {
        return findings;
    }
    const std::string after = format_time(kLongestStopSequence);
    if (rest.step_pending_while_off) {
        findings.push_back("the motor ran on with the stored state 0: an intensity step still pending " + after +
                           " after the faults were cleared");
    }
    if (rest.enable_after_stop != 0 && !rest.timer_guarantee_broken) {
        findings.push_back("the enable line still high " + after +
                           " after a device stop with the faults cleared; a stopped motor's enable line is low");
    }
    if (rest.step_pending_after_stop) {
        findings.push_back("an intensity step still pending " + after + " after a device stop with the faults cleared");
    }
    if (rest.resolution_after_stop != 0 && !rest.timer_guarantee_broken) {
        findings.push_back(std::to_string(rest.resolution_after_stop) + " timer-resolution requests outstanding " +
                           after + " after a device stop with the faults cleared; expected 0");
    }
    return findings;
}

OffMonitor::OffMonitor(const Scenario &scenario)
{
    for (const Command &command : scenario.commands) {
        by_line_[command.line] = &command;
    }
}

bool OffMonitor::applies_a_record(int line) const
{
    const auto found = by_line_.find(line);
    if (found == by_line_.end()) {
        return false;
    }
    std::vector<uint8_t> buffer = found->second->payload;
    buffer.resize(found->second->length, 0);  // what the driver was given
    return buffer.size() >= kOnePayload && u32_at(buffer, 8) >= 1;  // HwNRequests
}

std::optional<Ticks> OffMonitor::off_since(vsim::Simulator &sim, vsim::DeviceId device) const
{
    if (stored_state(sim, device) == 0) {
        return last_set_state_;
    }
    if (last_stop_ && (!last_set_state_ || *last_stop_ > *last_set_state_)) {
        return last_stop_;
    }
    return std::nullopt;
}

void OffMonitor::observe(vsim::Simulator &sim, vsim::DeviceId device, const Recording &recording)
{
    for (; seen_ < recording.calls.size(); ++seen_) {
        const CallRecord &call = recording.calls[seen_];
        const std::string_view text = std::string_view(call.text).substr(call.text.starts_with("& ") ? 2 : 0);
        const bool ok = call.status && *call.status >= 0;
        if (text.starts_with("set-state") && ok) {
            if (applies_a_record(call.line)) {
                last_set_state_ = call.returned;
            }
        } else if (text.starts_with("set-state") && call.status == STATUS_DATA_ERROR) {
            last_set_state_.reset();
            last_stop_.reset();
        } else if (text == "stop" && ok) {
            last_stop_ = call.returned;
        }
    }
    const DEVICE_CONTEXT &context = *driver_view::context(sim, device);
    const Ticks now = sim.now();
    const std::optional<Ticks> off_since = this->off_since(sim, device);
    if (!finding_.empty() || !off_since || *off_since <= sim.last_fault_time() || sim.armed_faults() != 0 ||
        sim.live_threads() != 0 || now - *off_since <= kMonitorBound) {
        return;
    }
    std::string wrong;
    if (sim.level(kEnableLine) != 0) {
        wrong += " the enable line is high;";
    }
    if (timer_pending(sim, context.IntensityTimer)) {
        wrong += " a drive step is pending;";
    }
    if (timer_pending(sim, context.BlinkTimer)) {
        wrong += " a blink phase is pending;";
    }
    if (sim.outstanding_resolution_requests() != 0) {
        wrong += " the timer resolution is still requested;";
    }
    if (!wrong.empty()) {
        wrong.pop_back();
        finding_ = "the motor is not off at " + format_time(now) + ", " + format_time(now - *off_since) +
                   " after the device was told off (" +
                   (stored_state(context) == 0 ? "stored state 0" : "device stop") + "):" + wrong;
    }
}

}  // namespace vibra_tool
