// SPDX-License-Identifier: MIT
// Framework objects: handle checks, parents and children, typed contexts and
// the creation checks of timers and wait locks.
#include "mini.h"

namespace {

using mini::SimFixture;
using vsim::ObjectType;

struct MisuseCase {
    const char *name;
    std::function<void(WDFDEVICE device, WDFWAITLOCK lock)> misuse;
    const char *report;
};

class HandleMisuseTest : public SimFixture, public ::testing::WithParamInterface<MisuseCase> {};

TEST_P(HandleMisuseTest, IsReportedByTheVerifierInsteadOfFollowed)
{
    WDFWAITLOCK lock = make_lock();
    GetParam().misuse(device, lock);
    EXPECT_TRUE(take_failure(GetParam().report)) << "expected a report containing: " << GetParam().report;
}

INSTANTIATE_TEST_SUITE_P(
    Handles, HandleMisuseTest,
    ::testing::Values(
        MisuseCase{"NullTimer", [](WDFDEVICE, WDFWAITLOCK) { EXPECT_FALSE(WdfTimerStart(nullptr, -10)); },
                   "WdfTimerStart: NULL handle"},
        MisuseCase{"WrongType",
                   [](WDFDEVICE, WDFWAITLOCK lock) { EXPECT_FALSE(WdfTimerStop(reinterpret_cast<WDFTIMER>(lock), FALSE)); },
                   "is a WDFWAITLOCK, expected a WDFTIMER"},
        MisuseCase{"StaleLock",
                   [](WDFDEVICE, WDFWAITLOCK lock) {
                       WdfObjectDelete(lock);
                       EXPECT_NE(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
                   },
                   "WdfWaitLockAcquire: stale handle"},
        MisuseCase{"DoubleDelete",
                   [](WDFDEVICE, WDFWAITLOCK lock) {
                       WdfObjectDelete(lock);
                       WdfObjectDelete(lock);
                   },
                   "WdfObjectDelete: stale handle"},
        MisuseCase{"Garbage", [](WDFDEVICE, WDFWAITLOCK) { WdfObjectDelete(reinterpret_cast<WDFOBJECT>(0x1234)); },
                   "invalid handle 0x1234"},
        MisuseCase{"DeviceDeletedByDriver", [](WDFDEVICE device, WDFWAITLOCK) { WdfObjectDelete(device); },
                   "belongs to the framework"},
        MisuseCase{"NullContextOwner",
                   [](WDFDEVICE, WDFWAITLOCK) {
                       EXPECT_EQ(WdfObjectGetTypedContextWorker(nullptr, &mini::kTestContextType), nullptr);
                   },
                   "WdfObjectGetTypedContext: NULL handle"}),
    [](const auto &info) { return std::string(info.param.name); });

// Deleted slots are reused, so a run rarely holds many objects at once; when
// it does, every handle must still name its own object and no other.
TEST_F(SimFixture, ManyLiveObjectsKeepDistinctHandles)
{
    std::vector<WDFWAITLOCK> locks(300);
    for (WDFWAITLOCK &lock : locks) {
        lock = make_lock();
    }
    for (size_t i = 0; i < locks.size(); i += 2) {
        WdfObjectDelete(locks[i]);
    }
    for (size_t i = 1; i < locks.size(); i += 2) {
        ASSERT_EQ(WdfWaitLockAcquire(locks[i], nullptr), STATUS_SUCCESS) << "lock " << i;
        EXPECT_TRUE(sim.lock_held(locks[i]));
        WdfWaitLockRelease(locks[i]);
    }
    EXPECT_NE(WdfWaitLockAcquire(locks[298], nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(take_failure("stale handle"));
}

TEST_F(SimFixture, DeletingAParentDeletesItsDescendantsAndCancelsTheirTimers)
{
    WDFIOTARGET target = nullptr;
    ASSERT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
    WDFTIMER timer = make_timer([](WDFTIMER) { ADD_FAILURE() << "a deleted timer fired"; }, target);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = target;
    WDFWAITLOCK lock = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(&attributes, &lock), STATUS_SUCCESS);
    WdfTimerStart(timer, -vsim::ms(5));

    WdfObjectDelete(target);

    EXPECT_FALSE(sim.object_info(timer)) << "the timer goes with its parent";
    EXPECT_FALSE(sim.object_info(lock)) << "the lock goes with its parent";
    EXPECT_EQ(sim.pending_events(), 0u) << "deleting a timer cancels it";
    for (ObjectType type : {ObjectType::IoTarget, ObjectType::Timer, ObjectType::WaitLock}) {
        EXPECT_EQ(sim.created_objects(type), 1u) << vsim::object_type_name(type);
        EXPECT_EQ(sim.deleted_objects(type), 1u) << vsim::object_type_name(type);
        EXPECT_EQ(sim.live_objects(type), 0u) << vsim::object_type_name(type);
    }
    EXPECT_TRUE(sim.run_until_idle());
}

TEST_F(SimFixture, RemovingTheDeviceDeletesItsTreeAndForgetsItsId)
{
    WDFIOTARGET target = nullptr;
    ASSERT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
    make_timer([](WDFTIMER) {}, target);

    sim.remove_device(id);

    EXPECT_EQ(sim.live_objects(ObjectType::Device), 0u);
    EXPECT_EQ(sim.live_objects(ObjectType::IoTarget), 0u);
    EXPECT_EQ(sim.live_objects(ObjectType::Timer), 0u);
    EXPECT_EQ(sim.client_context(id), nullptr);
    EXPECT_EQ(sim.start_device(id), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(take_failure("start_device: unknown device id"));
}

TEST_F(SimFixture, TypedContextIsZeroedAndFoundOnlyByItsType)
{
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, mini::TimerTrampoline);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ContextTypeInfo = &mini::kTestContextType;
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.ParentObject = device;
    WDFTIMER timer = nullptr;
    ASSERT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);

    auto *context = static_cast<mini::TestContext *>(WdfObjectGetTypedContextWorker(timer, &mini::kTestContextType));
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->value, 0u);
    EXPECT_TRUE(std::all_of(std::begin(context->bytes), std::end(context->bytes), [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(WdfObjectGetTypedContextWorker(timer, &mini::kOtherContextType), nullptr)
        << "another type's context is not there";

    WDFWAITLOCK lock = make_lock();
    EXPECT_EQ(WdfObjectGetTypedContextWorker(lock, &mini::kTestContextType), nullptr) << "no context at all";
}

TEST_F(SimFixture, ObjectsWithoutAParentBelongToTheDriverOrTheDevice)
{
    WDFWAITLOCK bare = make_lock();
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WDFWAITLOCK lock = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(&attributes, &lock), STATUS_SUCCESS);
    WDFIOTARGET target = nullptr;
    ASSERT_EQ(WdfIoTargetCreate(device, &attributes, &target), STATUS_SUCCESS);
    WDFREQUEST request = nullptr;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);

    EXPECT_EQ(sim.object_info(bare)->parent, WDFOBJECT(sim.driver()));
    EXPECT_EQ(sim.object_info(lock)->parent, WDFOBJECT(sim.driver()));
    EXPECT_EQ(sim.object_info(target)->parent, WDFOBJECT(device));
    EXPECT_EQ(sim.object_info(request)->parent, WDFOBJECT(sim.driver()));
    EXPECT_EQ(sim.object_info(device)->parent, WDFOBJECT(sim.driver()));
    EXPECT_EQ(sim.object_info(device)->context_type, "HWN_CLX_DEVICE_CONTEXT");
    WdfObjectDelete(request);
}

struct TimerCreateCase {
    const char *name;
    std::function<void(WDF_TIMER_CONFIG &, WDF_OBJECT_ATTRIBUTES &, WDFDEVICE)> change;
    bool no_attributes;
    NTSTATUS status;
    const char *report;  // "" when the verifier stays silent
};

class TimerCreateTest : public SimFixture, public ::testing::WithParamInterface<TimerCreateCase> {};

TEST_P(TimerCreateTest, RefusesWithoutCreatingAnything)
{
    const TimerCreateCase &c = GetParam();
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, mini::TimerTrampoline);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.ParentObject = device;
    c.change(config, attributes, device);
    WDFTIMER timer = reinterpret_cast<WDFTIMER>(0x1);  // must come back NULL

    EXPECT_EQ(WdfTimerCreate(&config, c.no_attributes ? nullptr : &attributes, &timer), c.status);

    EXPECT_EQ(timer, nullptr);
    EXPECT_EQ(sim.created_objects(ObjectType::Timer), 0u);
    if (*c.report) {
        EXPECT_TRUE(take_failure(c.report)) << "expected a report containing: " << c.report;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Timers, TimerCreateTest,
    ::testing::Values(
        TimerCreateCase{"NoAttributes", [](auto &, auto &, WDFDEVICE) {}, true, STATUS_WDF_PARENT_NOT_SPECIFIED, ""},
        TimerCreateCase{"NoParent", [](auto &, auto &a, WDFDEVICE) { a.ParentObject = nullptr; }, false,
                        STATUS_WDF_PARENT_NOT_SPECIFIED, ""},
        TimerCreateCase{"PassivePeriodic", [](auto &c, auto &, WDFDEVICE) { c.Period = 10; }, false,
                        STATUS_INVALID_PARAMETER, "a passive-level timer must be one-shot"},
        TimerCreateCase{"ConfigSize", [](auto &c, auto &, WDFDEVICE) { c.Size = 4; }, false,
                        STATUS_INFO_LENGTH_MISMATCH, "WDF_TIMER_CONFIG.Size is 4"},
        TimerCreateCase{"AttributesSize", [](auto &, auto &a, WDFDEVICE) { a.Size = 8; }, false,
                        STATUS_INFO_LENGTH_MISMATCH, "WDF_OBJECT_ATTRIBUTES.Size is 8"},
        TimerCreateCase{"ParentWithoutDevice",
                        [](auto &, auto &a, WDFDEVICE) { a.ParentObject = mini::driver; }, false,
                        STATUS_INVALID_PARAMETER, "neither a device nor a descendant"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
