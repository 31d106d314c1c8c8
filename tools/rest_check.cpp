#include "rest_check.h"

#include <optional>

#include "device/device.h"
#include "hwn/request.h"
#include "recording.h"

namespace vibra_tool {
namespace {

const DEVICE_CONTEXT &device_context(vsim::Simulator &sim, vsim::DeviceId device)
{
    return *static_cast<const DEVICE_CONTEXT *>(sim.client_context(device));
}

bool timer_pending(vsim::Simulator &sim, WDFTIMER timer)
{
    const std::optional<vsim::TimerInfo> info = timer == nullptr ? std::nullopt : sim.timer_info(timer);
    return info && info->pending;
}

}  // namespace

RestObservation observe_rest(vsim::Simulator &sim, vsim::DeviceId device, int32_t *stop_status)
{
    RestObservation rest;
    rest.observed = true;
    rest.timer_guarantee_broken = sim.faults_fired(vsim::Op::WdfTimerStart) != 0 ||
                                  sim.faults_fired(vsim::Op::WdfObjectGetTypedContext) != 0;
    sim.clear_faults();
    const DEVICE_CONTEXT &context = device_context(sim, device);
    rest.off = context.ClientInformation.HwNSettingsInfo[0].HwNSettings[HWN_SETTING_STATE] == 0 &&
               !timer_pending(sim, context.BlinkTimer);
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

}  // namespace vibra_tool
