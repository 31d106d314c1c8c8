// Each line's level and flags, seen through the masks: a scenario runs with
// only error lines, only entry and exit lines, or only information lines let
// through, and exactly the lines of that class appear.

#include <functional>
#include <tuple>

#include "driver/driver_fixture.h"

namespace vtest::driver {
namespace {

using vsim::Op;
using vsim::Simulator;

vsim::ResourceList two_lines() { return {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)}; }

// A device, optionally initialised with the given list.
vsim::DeviceId device(Simulator &sim, std::optional<vsim::ResourceList> list = two_lines())
{
    sim.add_line(kEnableId, "enable");
    sim.add_line(kDriveId, "drive");
    EXPECT_EQ(sim.load_driver(), STATUS_SUCCESS);
    vsim::DeviceId id = -1;
    EXPECT_EQ(sim.add_device(&id), STATUS_SUCCESS);
    if (list) {
        sim.initialize_device(id, *list, *list);
    }
    return id;
}

void set(Simulator &sim, vsim::DeviceId id, PayloadSpec layout)
{
    Buffer buffer = payload(layout);
    ULONG written = 0;
    sim.set_state(id, buffer.data(), buffer.length(), &written);
}

struct Scenario {
    const char *name;
    std::function<vsim::DeviceId(Simulator &)> setup;  // runs with every line let through
    std::function<void(Simulator &, vsim::DeviceId)> action;
    Lines errors;
    Lines entry_exit;
    Lines info;
};

enum LineClass { kErrors, kEntryExit, kInfo };

class LineClasses : public SimTest, public ::testing::WithParamInterface<std::tuple<Scenario, LineClass>> {};

TEST_P(LineClasses, OnlyTheLinesOfTheClassPass)
{
    const auto &[scenario, line_class] = GetParam();
    const vsim::DeviceId id = scenario.setup(sim);
    sim.clear_trace();
    set_trace_masks(line_class == kErrors ? kErrorLinesOnly : line_class == kEntryExit ? kEntryExitLinesOnly
                                                                                         : kInfoLinesOnly);
    scenario.action(sim, id);
    open_trace_masks();

    const Lines &expected = line_class == kErrors      ? scenario.errors
                            : line_class == kEntryExit ? scenario.entry_exit
                                                       : scenario.info;
    EXPECT_EQ(trace_texts(), expected) << scenario.name;
}

const NTSTATUS kNoMemory = STATUS_INSUFFICIENT_RESOURCES;
auto nothing = [](Simulator &) { return vsim::DeviceId{-1}; };
auto loaded = [](Simulator &sim) {
    EXPECT_EQ(sim.load_driver(), STATUS_SUCCESS);
    return vsim::DeviceId{-1};
};
auto added = [](Simulator &sim) { return device(sim, std::nullopt); };
auto ready = [](Simulator &sim) { return device(sim); };
auto init_with = [](vsim::ResourceList list) {
    return [list](Simulator &sim, vsim::DeviceId id) { sim.initialize_device(id, list, list); };
};

const std::vector<Scenario> kScenarios = {
    {"driver create fails", nothing,
     [](Simulator &sim, vsim::DeviceId) {
         sim.inject(Op::WdfDriverCreate, kNoMemory);
         sim.load_driver();
     },
     {"DriverEntry Error: WdfDriverCreate failed c000009a\n"}, {"+DriverEntry\n"}, {}},
    {"unregistration fails", loaded,
     [](Simulator &sim, vsim::DeviceId) {
         sim.inject(Op::HwNUnregisterClient, kNoMemory);
         sim.unload_driver();
     },
     {"QM38_205_EvtDriverUnload Error: HwNUnregisterClient failed c000009a\n"}, {"+QM38_205_EvtDriverUnload\n"}, {}},
    {"post-create fails", loaded,
     [](Simulator &sim, vsim::DeviceId) {
         sim.inject(Op::HwNProcessAddDevicePostDeviceCreate, STATUS_UNSUCCESSFUL);
         vsim::DeviceId id;
         sim.add_device(&id);
     },
     {"QM38_205_EvtDeviceAdd Error: HwNProcessAddDevicePostDeviceCreate failed c0000001\n"},
     {"+QM38_205_EvtDeviceAdd\n", "-QM38_205_EvtDeviceAdd:Fail:C0000001\n"}, {}},
    {"initialisation succeeds", added, init_with(two_lines()), {},
     {"+QM38_205_InitializeDevice\n", "-QM38_205_InitializeDevice:Success:00000000\n"},
     {"Resources Found 2\n", "Found Resource number 0\n", "Found Resource number 1\n",
      "Successfully opened resource 0\n", "Successfully opened resource 1\n"}},
    {"non-expected resource", added, init_with({vsim::gpio_io(kEnableId), vsim::interrupt_resource(3)}), {},
     {"+QM38_205_InitializeDevice\n", "-QM38_205_InitializeDevice:Fail:C0000001\n"},
     {"Resources Found 2\n", "Found Resource number 0\n", "Found Non-expected resource 1\n"}},
    {"three connections", added,
     init_with({vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId), vsim::gpio_io(1)}),
     {"QM38_205_InitializeDevice Error: Invalid Connection Type\n"},
     {"+QM38_205_InitializeDevice\n", "-QM38_205_InitializeDevice:Fail:C0000001\n"},
     {"Resources Found 3\n", "Found Resource number 0\n", "Found Resource number 1\n"}},
    {"open fails", added,
     [](Simulator &sim, vsim::DeviceId id) {
         sim.inject(Op::WdfIoTargetOpen, STATUS_SHARING_VIOLATION, 2);
         sim.initialize_device(id, two_lines(), two_lines());
     },
     {"QM38_205_InitializeDevice Error: WdfIoTargetOpen number 1 failed c0000043\n"},
     {"+QM38_205_InitializeDevice\n", "-QM38_205_InitializeDevice:Fail:C0000043\n"},
     {"Resources Found 2\n", "Found Resource number 0\n", "Found Resource number 1\n",
      "Successfully opened resource 0\n"}},
    {"already on",
     [](Simulator &sim) {
         vsim::DeviceId id = device(sim);
         set(sim, id, {.records = {Record::state(1)}});
         return id;
     },
     [](Simulator &sim, vsim::DeviceId id) { set(sim, id, {.records = {Record::state(1)}}); }, {},
     {"+QM38_205_SetState\n", "+QM38_205_DataValidate\n", "-QM38_205_DataValidate:Success:00000000\n",
      "+QM38_205_ProcessRequest\n", "-QM38_205_ProcessRequest:Success:00000000\n",
      "-QM38_205_SetState:Success:00000000\n"},
     {"HwN ID 0 Already Turned On\n"}},
    {"already off", ready, [](Simulator &sim, vsim::DeviceId id) { set(sim, id, {.records = {Record::state(0)}}); },
     {},
     {"+QM38_205_SetState\n", "+QM38_205_DataValidate\n", "-QM38_205_DataValidate:Success:00000000\n",
      "+QM38_205_ProcessRequest\n", "-QM38_205_ProcessRequest:Success:00000000\n",
      "-QM38_205_SetState:Success:00000000\n"},
     {"HwN ID 0 Already Turned Off\n"}},
    {"set-state buffer too short", ready,
     [](Simulator &sim, vsim::DeviceId id) { set(sim, id, {.records = {Record::state(1)}, .length = 20}); },
     {"QM38_205_SetState Error: BufferLength != Bytes Written\n"},
     {"+QM38_205_SetState\n", "-QM38_205_SetState:Fail:C000003E\n"}, {}},
    {"get-state with an invalid input", ready,
     [](Simulator &sim, vsim::DeviceId id) {
         Buffer input = payload(PayloadSpec{.records = {Record::state(0)}, .version = 0});
         Buffer output(48);
         ULONG read = 0;
         sim.get_state(id, output.data(), output.length(), input.data(), input.length(), &read);
     },
     {"QM38_205_DataValidateInvalid HWN_HEADER information received\n",
      "QM38_205_GetStateQM38_205_DataValidate returned error C000000D\n"},
     {"+QM38_205_GetState\n", "+QM38_205_DataValidate\n", "-QM38_205_DataValidate:Fail:C000000D\n",
      "+QM38_205_GetState\n"},
     {}},
    {"stop after a failed initialisation", [](Simulator &sim) { return device(sim, vsim::ResourceList{}); },
     [](Simulator &sim, vsim::DeviceId id) { sim.stop_device(id); },
     {"QM38_205_StopVibration Error: TimerContext == NULL c000000d\n",
      "QM38_205_StopDevice Error: QM38_205_StopVibration failed c000000d\n"},
     {"+QM38_205_StopDevice\n", "+QM38_205_StopVibration\n", "-QM38_205_StopVibration:Fail:C000000D\n",
      "-QM38_205_StopDevice:Fail:C000000D\n"},
     {}},
    {"query without a record", ready,
     [](Simulator &, vsim::DeviceId) { QM38_205_QueryDeviceInformation(nullptr, nullptr); },
     {"QM38_205_QueryDeviceInformation Error: (Context == NULL) || (DeviceInformation == NULL)\n"},
     {"+QM38_205_QueryDeviceInformation\n", "-QM38_205_QueryDeviceInformation:Fail:C000000D\n"}, {}},
};

std::string case_name(const ::testing::TestParamInfo<std::tuple<Scenario, LineClass>> &info)
{
    static const char *const kClass[] = {"errors", "entry_exit", "info"};
    return "scenario" + std::to_string(info.index / 3) + "_" + kClass[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Scenarios, LineClasses,
                         ::testing::Combine(::testing::ValuesIn(kScenarios),
                                            ::testing::Values(kErrors, kEntryExit, kInfo)),
                         case_name);

}  // namespace
}  // namespace vtest::driver
