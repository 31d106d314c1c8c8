// SPDX-License-Identifier: MIT
// Device initialisation: resource lists of every shape, each failure step, the
// Resource Hub paths and open parameters, and the objects it creates.

#include <cstring>

#include "driver/driver_fixture.h"

namespace vtest::driver {
namespace {

using vsim::Op;
using vsim::ResourceList;

const std::string kInit = "QM38_205_InitializeDevice";

class InitTest : public SimTest {
protected:
    // Loads the driver and adds a device whose context is not initialised yet.
    vsim::DeviceId add()
    {
        sim.add_line(kEnableId, "enable");
        sim.add_line(kDriveId, "drive");
        EXPECT_EQ(sim.load_driver(), STATUS_SUCCESS);
        vsim::DeviceId id = -1;
        EXPECT_EQ(sim.add_device(&id), STATUS_SUCCESS);
        sim.clear_trace();
        return id;
    }

    NTSTATUS init(vsim::DeviceId id, const ResourceList &list) { return sim.initialize_device(id, list, list); }

    // Which handles of the context are set, in field order: both targets, blink
    // timer, blink lock, intensity timer, intensity lock.
    static std::array<bool, 6> handles(PDEVICE_CONTEXT c)
    {
        return {c->VibraIoTarget[0] != nullptr, c->VibraIoTarget[1] != nullptr, c->BlinkTimer != nullptr,
                c->BlinkLock != nullptr,        c->IntensityTimer != nullptr,   c->IntensityLock != nullptr};
    }

    bool opened(WDFIOTARGET target) const
    {
        auto info = sim.io_target_info(target);
        return info.has_value() && info->open;
    }
};

// --- resource lists ---------------------------------------------------------------

struct ShapeCase {
    const char *name;
    ResourceList list;
    NTSTATUS status;
    Lines lines;
    std::array<bool, 6> handles;
};

const std::string kNoParent = "QM38_205_InitializeDevice Error: WdfTimerCreate failed c0200212\n";
const std::string kInvalidType = "QM38_205_InitializeDevice Error: Invalid Connection Type\n";

class ResourceShape : public InitTest, public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(ResourceShape, AcceptsAtMostTwoGpioConnectionsAndTestsAllBeforeCreating)
{
    const ShapeCase &c = GetParam();
    vsim::DeviceId id = add();
    EXPECT_EQ(init(id, c.list), c.status) << c.name;

    Lines expected = {entry(kInit)};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.push_back(exit_line(kInit, c.status));
    EXPECT_EQ(trace_texts(), expected) << c.name;
    EXPECT_EQ(handles(context(id)), c.handles) << c.name;
    if (c.status == STATUS_UNSUCCESSFUL) {
        EXPECT_EQ(sim.calls(Op::WdfIoTargetCreate), 0u) << c.name << ": a refused list creates no I/O target";
    }
}

const auto vmem = vsim::memory_resource(0xFE000000, 0x1000);
const auto virq = vsim::interrupt_resource(42);

INSTANTIATE_TEST_SUITE_P(
    Lists, ResourceShape,
    ::testing::Values(
        ShapeCase{"empty list passes the walk, timers lack a parent",
                  {},
                  STATUS_WDF_PARENT_NOT_SPECIFIED,
                  {"Resources Found 0\n", kNoParent},
                  {false, false, false, false, false, false}},
        ShapeCase{"one GPIO connection opens the enable line only",
                  {vsim::gpio_io(kEnableId)},
                  STATUS_WDF_PARENT_NOT_SPECIFIED,
                  {"Resources Found 1\n", "Found Resource number 0\n", "Successfully opened resource 0\n", kNoParent},
                  {true, false, false, false, false, false}},
        ShapeCase{"two GPIO connections open both lines in list order",
                  {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId)},
                  STATUS_SUCCESS,
                  {"Resources Found 2\n", "Found Resource number 0\n", "Found Resource number 1\n",
                   "Successfully opened resource 0\n", "Successfully opened resource 1\n"},
                  {true, true, true, true, true, true}},
        ShapeCase{"a third GPIO connection is refused",
                  {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId), vsim::gpio_io(0x77)},
                  STATUS_UNSUCCESSFUL,
                  {"Resources Found 3\n", "Found Resource number 0\n", "Found Resource number 1\n", kInvalidType},
                  {}},
        ShapeCase{"a third descriptor that is memory is non-expected",
                  {vsim::gpio_io(kEnableId), vsim::gpio_io(kDriveId), vmem},
                  STATUS_UNSUCCESSFUL,
                  {"Resources Found 3\n", "Found Resource number 0\n", "Found Resource number 1\n",
                   "Found Non-expected resource 2\n"},
                  {}},
        ShapeCase{"memory first",
                  {vmem, vsim::gpio_io(kEnableId)},
                  STATUS_UNSUCCESSFUL,
                  {"Resources Found 2\n", "Found Non-expected resource 0\n"},
                  {}},
        ShapeCase{"interrupt second",
                  {vsim::gpio_io(kEnableId), virq},
                  STATUS_UNSUCCESSFUL,
                  {"Resources Found 2\n", "Found Resource number 0\n", "Found Non-expected resource 1\n"},
                  {}},
        ShapeCase{"I2C connection",
                  {vsim::connection(CM_RESOURCE_CONNECTION_CLASS_SERIAL, CM_RESOURCE_CONNECTION_TYPE_SERIAL_I2C, 5)},
                  STATUS_UNSUCCESSFUL,
                  {"Resources Found 1\n", kInvalidType},
                  {}},
        ShapeCase{"GPIO class with a type other than I/O",
                  {vsim::gpio_io(kEnableId), vsim::connection(CM_RESOURCE_CONNECTION_CLASS_GPIO, 1, kDriveId)},
                  STATUS_UNSUCCESSFUL,
                  {"Resources Found 2\n", "Found Resource number 0\n", kInvalidType},
                  {}},
        ShapeCase{"serial class with the GPIO I/O type",
                  {vsim::connection(CM_RESOURCE_CONNECTION_CLASS_SERIAL, CM_RESOURCE_CONNECTION_TYPE_GPIO_IO, 5)},
                  STATUS_UNSUCCESSFUL,
                  {"Resources Found 1\n", kInvalidType},
                  {}}),
    [](const ::testing::TestParamInfo<ShapeCase> &info) { return "list" + std::to_string(info.index); });

TEST_F(InitTest, MissingDescriptorIsRefusedAsNonExpected)
{
    vsim::DeviceId id = add();
    sim.inject(Op::WdfCmResourceListGetDescriptor, STATUS_UNSUCCESSFUL, 2);
    EXPECT_EQ(init(id, standard_resources()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(trace_texts(), (Lines{entry(kInit), "Resources Found 2\n", "Found Resource number 0\n",
                                    "Found Non-expected resource 1\n", exit_line(kInit, STATUS_UNSUCCESSFUL)}));
    EXPECT_EQ(sim.calls(Op::WdfIoTargetCreate), 0u);
}

// --- failing steps ----------------------------------------------------------------

struct StepFailure {
    const char *name;
    Op op;
    uint32_t nth;
    NTSTATUS status;
    std::string error_line;
    std::array<bool, 6> handles;   // set afterwards
    std::array<bool, 2> opened;    // targets opened afterwards
};

class InitStepFailure : public InitTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(InitStepFailure, ReturnsTheStatusAndKeepsWhatWasSetUp)
{
    const StepFailure &c = GetParam();
    vsim::DeviceId id = add();
    sim.inject(c.op, c.status, c.nth);
    EXPECT_EQ(init(id, standard_resources()), c.status) << c.name;

    const Lines lines = trace_texts();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), entry(kInit));
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{c.error_line, exit_line(kInit, c.status)})) << c.name;

    PDEVICE_CONTEXT ctx = context(id);
    EXPECT_EQ(handles(ctx), c.handles) << c.name;
    EXPECT_EQ(opened(ctx->VibraIoTarget[0]), c.opened[0]) << c.name;
    EXPECT_EQ(opened(ctx->VibraIoTarget[1]), c.opened[1]) << c.name;
    EXPECT_EQ(sim.calls(Op::WdfObjectDelete), 0u) << c.name << ": nothing is deleted on failure";
    EXPECT_EQ(ctx->HwNCount, 1) << "the fixed fields are set before the walk";
    EXPECT_EQ(stored_record(ctx).HwNSettings[0], 0x5555u);
}

constexpr NTSTATUS kNoMemory = STATUS_INSUFFICIENT_RESOURCES;

INSTANTIATE_TEST_SUITE_P(
    Steps, InitStepFailure,
    ::testing::Values(
        StepFailure{"first target create", Op::WdfIoTargetCreate, 1, kNoMemory,
                    "QM38_205_InitializeDevice Error: WdfIoTargetCreate number 0 failed c000009a\n",
                    {false, false, false, false, false, false}, {false, false}},
        StepFailure{"second target create", Op::WdfIoTargetCreate, 2, kNoMemory,
                    "QM38_205_InitializeDevice Error: WdfIoTargetCreate number 1 failed c000009a\n",
                    {true, false, false, false, false, false}, {true, false}},
        StepFailure{"first identifier format", Op::RtlStringCbPrintfW, 1, STATUS_BUFFER_OVERFLOW,
                    "QM38_205_InitializeDevice Error: RESOURCE_HUB_CREATE_PATH_FROM_ID number 0 failed 80000005\n",
                    {true, false, false, false, false, false}, {false, false}},
        StepFailure{"second path format", Op::RtlUnicodeStringPrintf, 2, STATUS_BUFFER_OVERFLOW,
                    "QM38_205_InitializeDevice Error: RESOURCE_HUB_CREATE_PATH_FROM_ID number 1 failed 80000005\n",
                    {true, true, false, false, false, false}, {true, false}},
        StepFailure{"first open", Op::WdfIoTargetOpen, 1, STATUS_OBJECT_NAME_NOT_FOUND,
                    "QM38_205_InitializeDevice Error: WdfIoTargetOpen number 0 failed c0000034\n",
                    {true, false, false, false, false, false}, {false, false}},
        StepFailure{"second open", Op::WdfIoTargetOpen, 2, STATUS_SHARING_VIOLATION,
                    "QM38_205_InitializeDevice Error: WdfIoTargetOpen number 1 failed c0000043\n",
                    {true, true, false, false, false, false}, {true, false}},
        StepFailure{"blink timer", Op::WdfTimerCreate, 1, kNoMemory,
                    "QM38_205_InitializeDevice Error: WdfTimerCreate failed c000009a\n",
                    {true, true, false, false, false, false}, {true, true}},
        StepFailure{"blink lock", Op::WdfWaitLockCreate, 1, kNoMemory,
                    "QM38_205_InitializeDevice Error:  WdfWaitLockCreate failed for Blink lock c000009a\n",
                    {true, true, true, false, false, false}, {true, true}},
        StepFailure{"intensity timer", Op::WdfTimerCreate, 2, kNoMemory,
                    "QM38_205_InitializeDevice Error: WdfTimerCreate failed c000009a\n",
                    {true, true, true, true, false, false}, {true, true}},
        StepFailure{"intensity lock", Op::WdfWaitLockCreate, 2, kNoMemory,
                    "QM38_205_InitializeDevice Error:  WdfWaitLockCreate failed for Intensity lock c000009a\n",
                    {true, true, true, true, true, false}, {true, true}}),
    [](const ::testing::TestParamInfo<StepFailure> &info) { return "step" + std::to_string(info.index); });

// --- what a successful initialisation builds ------------------------------------

TEST_F(InitTest, ClearsTheWholeContextAndSetsTheInitialClientInformation)
{
    vsim::DeviceId id = add();
    ASSERT_EQ(init(id, standard_resources()), STATUS_SUCCESS);
    PDEVICE_CONTEXT ctx = context(id);

    DEVICE_CONTEXT expected;
    std::memset(&expected, 0, sizeof expected);  // padding included: the class extension's garbage is gone
    expected.Device = sim.device(id);
    expected.HwNCount = 1;
    std::memcpy(expected.VibraIoTarget, ctx->VibraIoTarget, sizeof expected.VibraIoTarget);
    expected.BlinkTimer = ctx->BlinkTimer;
    expected.BlinkLock = ctx->BlinkLock;
    expected.IntensityTimer = ctx->IntensityTimer;
    expected.IntensityLock = ctx->IntensityLock;
    expected.StateLock = ctx->StateLock;
    expected.ClientInformation.HwNPayloadSize = 48;
    expected.ClientInformation.HwNPayloadVersion = 1;
    expected.ClientInformation.HwNRequests = 1;
    expected.ClientInformation.HwNSettingsInfo[0] = {0, 2, {0x5555, 0, 0, 0, 0x5555, 0xFFFFFFFF, 0}};
    EXPECT_EQ(std::memcmp(ctx, &expected, sizeof expected), 0) << "context differs from its initial state";
}

TEST_F(InitTest, OpensBothLinesByName_ForExclusiveWriting)
{
    vsim::DeviceId id = add();
    ASSERT_EQ(init(id, standard_resources()), STATUS_SUCCESS);
    for (WDFIOTARGET target : context(id)->VibraIoTarget) {
        auto info = sim.io_target_info(target);
        ASSERT_TRUE(info.has_value());
        EXPECT_TRUE(info->open);
        EXPECT_EQ(info->type, WdfIoTargetOpenByName);
        EXPECT_EQ(info->desired_access, 0x120116u);
        EXPECT_EQ(info->share_access, 0u) << "exclusive";
        EXPECT_EQ(info->file_attributes, 0u);
        EXPECT_EQ(info->create_disposition, 1u) << "FILE_OPEN";
        EXPECT_EQ(info->create_options, 0x40u) << "FILE_NON_DIRECTORY_FILE";
    }
    EXPECT_EQ(sim.io_target_info(context(id)->VibraIoTarget[0])->device_name, "\\Device\\RESOURCE_HUB\\00000001000000ab");
    EXPECT_EQ(sim.io_target_info(context(id)->VibraIoTarget[1])->device_name, "\\Device\\RESOURCE_HUB\\00000001000000ac");
}

TEST_F(InitTest, ParentsTimersAndLocksToTheDriveLineWithTypedContexts)
{
    vsim::DeviceId id = add();
    ASSERT_EQ(init(id, standard_resources()), STATUS_SUCCESS);
    PDEVICE_CONTEXT ctx = context(id);
    const WDFOBJECT device = sim.device(id);
    const WDFOBJECT drive = ctx->VibraIoTarget[1];

    for (WDFIOTARGET target : ctx->VibraIoTarget) {
        auto info = sim.object_info(target);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->parent, device) << "I/O targets are children of the device";
        EXPECT_EQ(info->context_type, "") << "I/O targets carry no context";
    }
    struct Expected {
        WDFOBJECT handle;
        vsim::ObjectType type;
        std::string context_type;
        size_t context_size;
    };
    for (const Expected &e : {Expected{ctx->BlinkTimer, vsim::ObjectType::Timer, "BLINK_TIMER_CONTEXT",
                                       sizeof(BLINK_TIMER_CONTEXT)},
                              Expected{ctx->IntensityTimer, vsim::ObjectType::Timer, "INTENSITY_TIMER_CONTEXT",
                                       sizeof(INTENSITY_TIMER_CONTEXT)},
                              Expected{ctx->BlinkLock, vsim::ObjectType::WaitLock, "", 0},
                              Expected{ctx->IntensityLock, vsim::ObjectType::WaitLock, "", 0}}) {
        auto info = sim.object_info(e.handle);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->type, e.type);
        EXPECT_EQ(info->parent, drive) << e.context_type << ": parent must be VibraIoTarget[1]";
        EXPECT_EQ(info->context_type, e.context_type);
        if (!e.context_type.empty()) {
            EXPECT_EQ(info->context_size, e.context_size);
        }
    }
    for (WDFTIMER timer : {ctx->BlinkTimer, ctx->IntensityTimer}) {
        auto info = sim.timer_info(timer);
        ASSERT_TRUE(info.has_value());
        EXPECT_FALSE(info->pending) << "initialisation starts nothing";
        EXPECT_EQ(info->period, 0u) << "one-shot";
        EXPECT_FALSE(info->automatic_serialization);
        EXPECT_EQ(info->tolerable_delay, 0u);
        EXPECT_EQ(info->execution_level, WdfExecutionLevelPassive);
    }
    EXPECT_FALSE(sim.lock_held(ctx->BlinkLock));
    EXPECT_FALSE(sim.lock_held(ctx->IntensityLock));
    EXPECT_TRUE(sim.writes().empty()) << "initialisation writes no GPIO line";
}

TEST_F(InitTest, InitialisingAgainBuildsANewSetAndResetsTheStoredRecord)
{
    vsim::DeviceId id = add();
    ASSERT_EQ(init(id, standard_resources()), STATUS_SUCCESS);
    PDEVICE_CONTEXT ctx = context(id);
    const DEVICE_CONTEXT first = *ctx;
    stored_record(ctx).HwNSettings[0] = 0x99;

    // The first set stays open (the driver never closes it), so the second
    // initialisation names two other lines.
    sim.add_line(0x2a, "enable2");
    sim.add_line(0x2b, "drive2");
    ASSERT_EQ(init(id, {vsim::gpio_io(0x2a), vsim::gpio_io(0x2b)}), STATUS_SUCCESS);

    EXPECT_NE(ctx->VibraIoTarget[0], first.VibraIoTarget[0]);
    EXPECT_NE(ctx->VibraIoTarget[1], first.VibraIoTarget[1]);
    EXPECT_NE(ctx->BlinkTimer, first.BlinkTimer);
    EXPECT_NE(ctx->IntensityLock, first.IntensityLock);
    EXPECT_TRUE(opened(first.VibraIoTarget[0])) << "earlier objects are neither closed nor deleted";
    EXPECT_EQ(sim.live_objects(vsim::ObjectType::Timer), 4u);
    EXPECT_EQ(sim.calls(Op::WdfObjectDelete), 0u);
    EXPECT_EQ(stored_record(ctx).HwNSettings[0], 0x5555u);
}

// --- Resource Hub paths -------------------------------------------------------------

struct PathCase {
    uint64_t id;
    const char *digits;
};

class ResourceHubPath : public InitTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(ResourceHubPath, IsSixteenLowercaseZeroPaddedDigits)
{
    const PathCase &c = GetParam();
    vsim::DeviceId id = add();
    sim.add_line(c.id, "sample");
    ASSERT_EQ(init(id, {vsim::gpio_io(c.id), vsim::gpio_io(kDriveId)}), STATUS_SUCCESS);
    EXPECT_EQ(sim.io_target_info(context(id)->VibraIoTarget[0])->device_name,
              std::string("\\Device\\RESOURCE_HUB\\") + c.digits);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, ResourceHubPath,
                         ::testing::Values(PathCase{0, "0000000000000000"},
                                           PathCase{0xFFFFFFFFFFFFFFFFULL, "ffffffffffffffff"},
                                           PathCase{0x0123456789ABCDEFULL, "0123456789abcdef"},
                                           PathCase{0xCAFEF00D00000000ULL, "cafef00d00000000"}));

}  // namespace
}  // namespace vtest::driver
