// SPDX-License-Identifier: MIT
// Device start, stop, teardown and information, alone, after a failed
// initialisation, and end to end through the class extension.

#include "driver/driver_fixture.h"

namespace vtest::driver {
namespace {

using vsim::Op;

const std::string kStart = "QM38_205_StartDevice";
const std::string kStop = "QM38_205_StopDevice";
const std::string kTeardown = "QM38_205_UnInitializeDevice";
const std::string kQuery = "QM38_205_QueryDeviceInformation";

class LifecycleTest : public SimTest {
protected:
    // A device whose initialisation failed as `inject` makes it fail (or with
    // the given resource list).
    vsim::DeviceId half_initialised(const vsim::ResourceList &list, std::optional<std::pair<Op, uint32_t>> inject = {})
    {
        sim.add_line(kEnableId, "enable");
        sim.add_line(kDriveId, "drive");
        EXPECT_EQ(sim.load_driver(), STATUS_SUCCESS);
        vsim::DeviceId id = -1;
        EXPECT_EQ(sim.add_device(&id), STATUS_SUCCESS);
        if (inject) {
            sim.inject(inject->first, STATUS_INSUFFICIENT_RESOURCES, inject->second);
        }
        EXPECT_LT(sim.initialize_device(id, list, list), 0) << "initialisation should fail";
        sim.clear_trace();
        return id;
    }
};

TEST_F(LifecycleTest, StartWritesTheDriveLineLowBeforeTheEnableLine)
{
    vsim::DeviceId id = bring_up();
    EXPECT_EQ(sim.start_device(id), STATUS_SUCCESS);
    ASSERT_EQ(sim.writes().size(), 2u);
    EXPECT_EQ(sim.writes()[0].line, "drive");
    EXPECT_EQ(sim.writes()[0].value, 0);
    EXPECT_EQ(sim.writes()[1].line, "enable");
    EXPECT_EQ(sim.writes()[1].value, 0);
    EXPECT_EQ(lines_starting(trace_texts(), {"+QM38_205_StartDevice", "-QM38_205_StartDevice"}),
              (Lines{entry(kStart), exit_line(kStart, STATUS_SUCCESS)}));
    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_EQ(sim.level("drive"), 0);
    EXPECT_EQ(sim.level("enable"), 0);
    EXPECT_EQ(stored_state(context(id)), HWN_STATE_OFF) << "start leaves the stored state alone";
}

TEST_F(LifecycleTest, StartWithoutADriveLineFailsAndLeavesTheEnableLineUnwritten)
{
    vsim::DeviceId id = half_initialised({vsim::gpio_io(kEnableId)});
    EXPECT_EQ(sim.start_device(id), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sim.writes().empty());
    EXPECT_EQ(lines_starting(trace_texts(), {"+QM38_205_StartDevice", "-QM38_205_StartDevice", "QM38_205_StartDevice"}),
              (Lines{entry(kStart), "QM38_205_StartDevice Error: QM38_205_PerformHardwareWrite failed c000000d\n",
                     exit_line(kStart, STATUS_INVALID_PARAMETER)}));
}

TEST_F(LifecycleTest, StartReturnsTheFailureOfTheEnableLineWrite)
{
    vsim::DeviceId id = bring_up();
    sim.inject(Op::WdfRequestCreate, STATUS_INSUFFICIENT_RESOURCES, 2);
    EXPECT_EQ(sim.start_device(id), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(sim.writes().size(), 1u) << "the drive line's request was already sent";
    EXPECT_EQ(sim.writes()[0].line, "drive");
    EXPECT_TRUE(traced("QM38_205_StartDevice Error: QM38_205_PerformHardwareWrite failed c000009a\n"));
}

TEST_F(LifecycleTest, StopOnAnIdleDeviceStopsTheBlinkTimerAndAsksForTheStopSequence)
{
    vsim::DeviceId id = bring_up();
    EXPECT_EQ(sim.stop_device(id), STATUS_SUCCESS);
    EXPECT_EQ(sim.calls(Op::WdfTimerStop), 1u);
    EXPECT_EQ(lines_starting(trace_texts(), {"+QM38_205_StopDevice", "-QM38_205_StopDevice", "+QM38_205_StopVibration"}),
              (Lines{entry(kStop), "+QM38_205_StopVibration\n", exit_line(kStop, STATUS_SUCCESS)}));
    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_TRUE(sim.writes().empty()) << "an idle motor is not driven";
}

// During an on-phase (100 ms) and during an off-phase (250 ms) of a
// 500 ms / 40 % / 3-cycle pattern.
class StopDuringBlink : public LifecycleTest, public ::testing::WithParamInterface<Ticks> {};

TEST_P(StopDuringBlink, EndsThePatternAndStopsTheMotor)
{
    vsim::DeviceId id = bring_up();
    ASSERT_EQ(set_state(id, Record::blink(500, 40, 3)), STATUS_SUCCESS);
    sim.run_for(GetParam());
    ASSERT_EQ(sim.stop_device(id), STATUS_SUCCESS);
    EXPECT_FALSE(driver_view::timer_pending(sim, context(id)->BlinkTimer)) << "the pending phase is cancelled";

    sim.clear_trace();
    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_FALSE(traced("+EvtTimerBlinkCallback\n")) << "no blink phase runs after the stop";
    EXPECT_FALSE(traced("+QM38_205_StartVibration\n"));
    EXPECT_EQ(sim.level("enable"), 0);
    EXPECT_EQ(stored_state(context(id)), HWN_STATE_BLINK) << "stop keeps the stored state";
}

INSTANTIATE_TEST_SUITE_P(Phases, StopDuringBlink, ::testing::Values(ms(100), ms(250)));

struct FailedInit {
    const char *name;
    vsim::ResourceList list;
    std::optional<std::pair<Op, uint32_t>> inject;
    NTSTATUS stop_status;
};

class AfterFailedInit : public LifecycleTest, public ::testing::WithParamInterface<FailedInit> {};

TEST_P(AfterFailedInit, StopAndTeardownHandNoNullHandleToTheFramework)
{
    const FailedInit &c = GetParam();
    vsim::DeviceId id = half_initialised(c.list, c.inject);

    EXPECT_EQ(sim.stop_device(id), c.stop_status) << c.name;
    if (!NT_SUCCESS(c.stop_status)) {
        EXPECT_EQ(lines_starting(trace_texts(), {"QM38_205_Stop", "-QM38_205_StopDevice"}),
                  (Lines{"QM38_205_StopVibration Error: TimerContext == NULL c000000d\n",
                         "QM38_205_StopDevice Error: QM38_205_StopVibration failed c000000d\n",
                         exit_line(kStop, c.stop_status)}))
            << c.name;
    }
    EXPECT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS) << c.name << ": teardown always succeeds";
    EXPECT_TRUE(sim.verifier_failures().empty()) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, AfterFailedInit,
    ::testing::Values(
        FailedInit{"empty list", {}, std::nullopt, STATUS_INVALID_PARAMETER},
        FailedInit{"one connection", {vsim::gpio_io(kEnableId)}, std::nullopt, STATUS_INVALID_PARAMETER},
        FailedInit{"refused list", {vsim::memory_resource(0, 4)}, std::nullopt, STATUS_INVALID_PARAMETER},
        FailedInit{"no blink lock", {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)},
                   std::make_pair(Op::WdfWaitLockCreate, 1u), STATUS_INVALID_PARAMETER},
        FailedInit{"no intensity timer", {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)},
                   std::make_pair(Op::WdfTimerCreate, 2u), STATUS_INVALID_PARAMETER},
        FailedInit{"no intensity lock", {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)},
                   std::make_pair(Op::WdfWaitLockCreate, 2u), STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<FailedInit> &info) { return "init" + std::to_string(info.index); });

TEST_F(LifecycleTest, TeardownSucceedsWhenStopFails)
{
    vsim::DeviceId id = bring_up();
    sim.inject(Op::WdfObjectGetTypedContext, STATUS_UNSUCCESSFUL, 2);  // the intensity timer's context
    EXPECT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    EXPECT_EQ(lines_starting(trace_texts(), {"+QM38_205_UnInitializeDevice", "-QM38_205_UnInitializeDevice",
                                             "+QM38_205_StopDevice", "-QM38_205_StopDevice"}),
              (Lines{entry(kTeardown), entry(kStop), exit_line(kStop, STATUS_INVALID_PARAMETER),
                     exit_line(kTeardown, STATUS_SUCCESS)}));
}

TEST_F(LifecycleTest, QueryReportsOneElement)
{
    vsim::DeviceId id = bring_up();
    HWN_DEVICE_INFORMATION information = {0xEEEE, 0xEEEE, 0xEEEE};
    EXPECT_EQ(sim.query_device_information(id, &information), STATUS_SUCCESS);
    EXPECT_EQ(information.Version, 1);
    EXPECT_EQ(information.Size, 6);
    EXPECT_EQ(information.HwNCount, 1);
    EXPECT_EQ(trace_texts(), (Lines{entry(kQuery), exit_line(kQuery, STATUS_SUCCESS)}));
}

// Every callback that is handed a null context (or a null record, payload or
// out-pointer) refuses with its own error line and touches nothing.
TEST_F(LifecycleTest, NullArgumentsAreRefusedWithTheirLines)
{
    vsim::DeviceId id = bring_up();
    PDEVICE_CONTEXT ctx = context(id);
    HWN_DEVICE_INFORMATION information = {0xEEEE, 0xEEEE, 0xEEEE};
    Buffer buffer = payload(Record::state(HWN_STATE_ON));
    ULONG written = 0xDEADBEEF;
    const std::string query = "QM38_205_QueryDeviceInformation Error: (Context == NULL) || (DeviceInformation == NULL)\n";
    const std::string set = "QM38_205_SetState Error: Context == NULL || BytesWritten == NULL\n";
    const std::string validate = "QM38_205_DataValidateInvalid HWN_HEADER information received\n";
    struct Call {
        std::function<NTSTATUS()> call;
        std::string name;
        std::string error_line;
    };
    const std::vector<Call> calls = {
        {[] { return QM38_205_InitializeDevice(nullptr, nullptr, nullptr, nullptr); }, "QM38_205_InitializeDevice",
         "QM38_205_InitializeDevice Error: Context NULL\n"},
        {[] { return QM38_205_StartDevice(nullptr); }, kStart, "QM38_205_StartDevice Error: Context NULL\n"},
        {[] { return QM38_205_StopDevice(nullptr); }, kStop, "QM38_205_StopDevice Error: Context NULL\n"},
        {[] { return QM38_205_UnInitializeDevice(nullptr, nullptr); }, kTeardown,
         "QM38_205_UnInitializeDevice Error: Context NULL\n"},
        {[&] { return QM38_205_QueryDeviceInformation(nullptr, &information); }, kQuery, query},
        {[&] { return QM38_205_QueryDeviceInformation(ctx, nullptr); }, kQuery, query},
        {[&] { return QM38_205_ProcessRequest(nullptr, ctx); }, "QM38_205_ProcessRequest",
         "QM38_205_ProcessRequest Error: HwNSettingsInfo NULL\n"},
        {[&] { return QM38_205_DataValidate(nullptr, ctx); }, "QM38_205_DataValidate", validate},
        {[&] { return QM38_205_DataValidate(buffer.header(), nullptr); }, "QM38_205_DataValidate", validate},
        {[&] { return QM38_205_SetState(nullptr, buffer.header(), buffer.length(), &written); }, "QM38_205_SetState",
         set},
        {[&] { return QM38_205_SetState(ctx, buffer.header(), buffer.length(), nullptr); }, "QM38_205_SetState", set},
    };
    const uint64_t list_reads = sim.calls(Op::WdfCmResourceListGetCount);
    for (const Call &c : calls) {
        sim.clear_trace();
        EXPECT_EQ(c.call(), STATUS_INVALID_PARAMETER) << c.name;
        EXPECT_EQ(trace_texts(), (Lines{entry(c.name), c.error_line, exit_line(c.name, STATUS_INVALID_PARAMETER)}))
            << c.name;
    }
    EXPECT_EQ(information.Version, 0xEEEE) << "nothing is written without a context";
    EXPECT_EQ(written, 0xDEADBEEFu);
    EXPECT_EQ(stored_state(ctx), HWN_STATE_OFF);
    EXPECT_TRUE(sim.writes().empty());
    EXPECT_EQ(sim.calls(Op::WdfTimerStop), 0u);
    EXPECT_EQ(sim.calls(Op::WdfCmResourceListGetCount), list_reads) << "initialisation reads no resource list";
}

TEST_F(LifecycleTest, EndToEndThroughTheClassExtension)
{
    sim.add_line(kEnableId, "enable", 1);
    sim.add_line(kDriveId, "drive", 1);
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);
    vsim::DeviceId id = -1;
    ASSERT_EQ(sim.add_device(&id), STATUS_SUCCESS);
    ASSERT_EQ(sim.initialize_device(id, standard_resources(), standard_resources()), STATUS_SUCCESS);
    HWN_DEVICE_INFORMATION information = {};
    ASSERT_EQ(sim.query_device_information(id, &information), STATUS_SUCCESS);
    ASSERT_EQ(sim.start_device(id), STATUS_SUCCESS);

    ASSERT_EQ(set_state(id, Record::state(HWN_STATE_ON)), STATUS_SUCCESS);
    sim.run_for(ms(50));
    EXPECT_EQ(sim.level("enable"), 1) << "the motor runs";

    ASSERT_EQ(sim.stop_device(id), STATUS_SUCCESS);
    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_EQ(sim.level("enable"), 0) << "the stop sequence ends with the enable line low";
    EXPECT_EQ(sim.outstanding_resolution_requests(), 0);

    Buffer report(48);
    ULONG read = 0;
    ASSERT_EQ(sim.get_state(id, report.data(), report.length(), nullptr, 0, &read), STATUS_SUCCESS);
    EXPECT_EQ(read, 48u);
    EXPECT_EQ(report.u32(HWN_HEADER_SIZE + FIELD_OFFSET(HWN_SETTINGS, HwNSettings) + 4 * HWN_SETTING_STATE),
              HWN_STATE_ON)
        << "get-state after a stop reports the state last applied";

    ASSERT_EQ(sim.uninitialize_device(id), STATUS_SUCCESS);
    sim.remove_device(id);
    sim.unload_driver();

    const Lines story = lines_starting(
        trace_texts(), {"+DriverEntry", "+QM38_205_EvtDeviceAdd", "-QM38_205_EvtDeviceAdd", "+QM38_205_InitializeDevice",
                        "-QM38_205_InitializeDevice", "+QM38_205_QueryDeviceInformation",
                        "-QM38_205_QueryDeviceInformation", "+QM38_205_StartDevice", "-QM38_205_StartDevice",
                        "+QM38_205_SetState", "-QM38_205_SetState", "+QM38_205_GetState", "+QM38_205_StopDevice",
                        "-QM38_205_StopDevice", "+QM38_205_UnInitializeDevice", "-QM38_205_UnInitializeDevice",
                        "+QM38_205_EvtDriverUnload"});
    const NTSTATUS ok = STATUS_SUCCESS;
    EXPECT_EQ(story, (Lines{"+DriverEntry\n", entry("QM38_205_EvtDeviceAdd"), exit_line("QM38_205_EvtDeviceAdd", ok),
                            entry("QM38_205_InitializeDevice"), exit_line("QM38_205_InitializeDevice", ok),
                            entry(kQuery), exit_line(kQuery, ok), entry(kStart), exit_line(kStart, ok),
                            entry("QM38_205_SetState"), exit_line("QM38_205_SetState", ok), entry(kStop),
                            exit_line(kStop, ok), "+QM38_205_GetState\n", "+QM38_205_GetState\n", entry(kTeardown),
                            entry(kStop), exit_line(kStop, ok), exit_line(kTeardown, ok),
                            "+QM38_205_EvtDriverUnload\n"}));
    EXPECT_TRUE(sim.check_quiescent().empty()) << "no request alive and no lock held";
    for (int type = 0; type < static_cast<int>(vsim::ObjectType::Count); ++type) {
        EXPECT_EQ(sim.live_objects(static_cast<vsim::ObjectType>(type)), 0u)
            << vsim::object_type_name(static_cast<vsim::ObjectType>(type));
    }
}

// Every piece of state lives in a device's own context: two devices on one
// driver run their own motors, keep their own stored state and stop alone.
TEST_F(LifecycleTest, TwoDevicesRunTheirOwnMotors)
{
    const uint64_t second_enable = kEnableId + 0x100;
    const uint64_t second_drive = kDriveId + 0x100;
    sim.add_line(kEnableId, "enable");
    sim.add_line(kDriveId, "drive");
    sim.add_line(second_enable, "enable2");
    sim.add_line(second_drive, "drive2");
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);
    vsim::DeviceId first = -1;
    vsim::DeviceId second = -1;
    ASSERT_EQ(sim.add_device(&first), STATUS_SUCCESS);
    ASSERT_EQ(sim.add_device(&second), STATUS_SUCCESS);
    const vsim::ResourceList second_lines = {vsim::gpio_io(second_enable), vsim::gpio_io(second_drive)};
    ASSERT_EQ(sim.initialize_device(first, standard_resources(), standard_resources()), STATUS_SUCCESS);
    ASSERT_EQ(sim.initialize_device(second, second_lines, second_lines), STATUS_SUCCESS);

    ASSERT_EQ(set_state(first, Record::state(HWN_STATE_ON)), STATUS_SUCCESS);
    ASSERT_EQ(set_state(second, Record::blink(500, 40, 3)), STATUS_SUCCESS);
    sim.run_for(ms(250));
    EXPECT_EQ(sim.level("enable"), 1) << "the first motor runs steadily";
    EXPECT_EQ(sim.level("enable2"), 0) << "the second is in the off-phase of its pattern";

    ASSERT_EQ(sim.stop_device(first), STATUS_SUCCESS);
    sim.run_for(ms(300));
    EXPECT_EQ(sim.level("enable"), 0) << "the first motor stopped";
    EXPECT_EQ(sim.level("enable2"), 1) << "the second pattern went on into its next on-phase";
    EXPECT_EQ(stored_state(context(first)), HWN_STATE_ON);
    EXPECT_EQ(stored_state(context(second)), HWN_STATE_BLINK);

    EXPECT_TRUE(sim.run_until_idle());
    EXPECT_EQ(sim.level("enable2"), 0) << "the pattern ended by itself";
    EXPECT_EQ(sim.outstanding_resolution_requests(), 0) << "each drive released what it requested";
}

}  // namespace
}  // namespace vtest::driver
