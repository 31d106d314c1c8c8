// SPDX-License-Identifier: MIT
// Each line's level and flags, seen through the masks: a scenario runs once
// with every line let through, then with only error lines, only entry and
// exit lines, or only information lines let through; each run must print
// exactly the lines of its class from the full run, in order. Entry and exit
// lines start with '+' or '-', information lines are the resource walk's and
// the already-on/off facts, every other line is an error or warning.

#include <functional>
#include <tuple>

#include "driver/driver_fixture.h"

namespace vtest::driver {
namespace {

using vsim::Op;
using vsim::Simulator;

vsim::ResourceList two_lines() { return {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)}; }

enum LineClass { kErrors, kEntryExit, kInfo };

LineClass class_of(std::string_view line)
{
    if (line.starts_with('+') || line.starts_with('-')) {
        return kEntryExit;
    }
    for (std::string_view info : {"Resources Found ", "Found ", "Successfully opened ", "HwN ID "}) {
        if (line.starts_with(info)) {
            return kInfo;
        }
    }
    return kErrors;
}

struct Scenario {
    const char *name;
    std::function<vsim::DeviceId(Simulator &)> setup;  // runs with every line let through
    std::function<void(Simulator &, vsim::DeviceId)> action;
};

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

void set(Simulator &sim, vsim::DeviceId id, PayloadShape layout)
{
    Buffer buffer = payload(layout);
    ULONG written = 0;
    sim.set_state(id, buffer.data(), buffer.length(), &written);
}

class LineClasses : public ::testing::TestWithParam<std::tuple<Scenario, LineClass>> {
protected:
    ~LineClasses() override { set_trace_masks(kInitialMasks); }

    // The lines the scenario's action prints under `masks`, on a fresh platform
    // that the verifier must find clean.
    static Lines run(const Scenario &scenario, const std::array<ULONG, TRACE_LEVEL_MASK_COUNT> &masks)
    {
        Simulator sim;
        open_trace_masks();
        const vsim::DeviceId id = scenario.setup(sim);
        sim.clear_trace();
        set_trace_masks(masks);
        scenario.action(sim, id);
        open_trace_masks();
        for (const std::string &failure : sim.verifier_failures()) {
            ADD_FAILURE() << scenario.name << ": unexpected verifier failure: " << failure;
        }
        Lines lines;
        for (const vsim::TraceLine &line : sim.trace()) {
            lines.push_back(line.text);
        }
        return lines;
    }
};

TEST_P(LineClasses, OnlyTheLinesOfTheClassPass)
{
    const auto &[scenario, line_class] = GetParam();
    Lines expected;
    for (const std::string &line : run(scenario, {~0u, ~0u, ~0u, ~0u, ~0u})) {
        if (class_of(line) == line_class) {
            expected.push_back(line);
        }
    }
    EXPECT_FALSE(line_class == kEntryExit && expected.empty()) << scenario.name << ": the scenario ran nothing";
    EXPECT_EQ(run(scenario, line_class == kErrors      ? kErrorLinesOnly
                            : line_class == kEntryExit ? kEntryExitLinesOnly
                                                       : kInfoLinesOnly),
              expected)
        << scenario.name;
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
auto inject_then = [](Op op, NTSTATUS status, uint32_t nth, std::function<void(Simulator &, vsim::DeviceId)> then) {
    return [=](Simulator &sim, vsim::DeviceId id) {
        sim.inject(op, status, nth);
        then(sim, id);
    };
};

const std::vector<Scenario> kScenarios = {
    {"driver create fails", nothing,
     inject_then(Op::WdfDriverCreate, kNoMemory, 1, [](Simulator &sim, vsim::DeviceId) { sim.load_driver(); })},
    {"unregistration fails", loaded,
     inject_then(Op::HwNUnregisterClient, kNoMemory, 1, [](Simulator &sim, vsim::DeviceId) { sim.unload_driver(); })},
    {"post-create fails", loaded,
     inject_then(Op::HwNProcessAddDevicePostDeviceCreate, STATUS_UNSUCCESSFUL, 1,
                 [](Simulator &sim, vsim::DeviceId) {
                     vsim::DeviceId id;
                     sim.add_device(&id);
                 })},
    {"initialisation succeeds", added, init_with(two_lines())},
    {"non-expected resource", added, init_with({vsim::gpio_io(kEnableId), vsim::interrupt_resource(3)})},
    {"three connections", added, init_with({vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId), vsim::gpio_io(1)})},
    {"open fails", added, inject_then(Op::WdfIoTargetOpen, STATUS_SHARING_VIOLATION, 2, init_with(two_lines()))},
    {"already on",
     [](Simulator &sim) {
         vsim::DeviceId id = device(sim);
         set(sim, id, {.records = {Record::state(1)}});
         return id;
     },
     [](Simulator &sim, vsim::DeviceId id) { set(sim, id, {.records = {Record::state(1)}}); }},
    {"already off", ready, [](Simulator &sim, vsim::DeviceId id) { set(sim, id, {.records = {Record::state(0)}}); }},
    {"set-state buffer too short", ready,
     [](Simulator &sim, vsim::DeviceId id) { set(sim, id, {.records = {Record::state(1)}, .length = 20}); }},
    {"get-state with an invalid input", ready,
     [](Simulator &sim, vsim::DeviceId id) {
         Buffer input = payload(PayloadShape{.records = {Record::state(0)}, .version = 0});
         Buffer output(48);
         ULONG read = 0;
         sim.get_state(id, output.data(), output.length(), input.data(), input.length(), &read);
     }},
    {"stop after a failed initialisation", [](Simulator &sim) { return device(sim, vsim::ResourceList{}); },
     [](Simulator &sim, vsim::DeviceId id) { sim.stop_device(id); }},
    {"query without a record", ready,
     [](Simulator &, vsim::DeviceId) { QM38_205_QueryDeviceInformation(nullptr, nullptr); }},
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
