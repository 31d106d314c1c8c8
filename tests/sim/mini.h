// SPDX-License-Identifier: MIT
// A minimal client driver of its own, so that the simulator's semantics can be
// tested without the real driver: it creates its driver object, registers
// seven do-nothing callbacks and adds devices with the class extension's help.
// Timer callbacks and completion routines dispatch to per-handle lambdas.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim.h"

namespace mini {

inline constexpr ULONG kContextSize = 64;
inline constexpr GUID kClassGuid = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};

// What the client's device initialisation does; by default nothing.
inline std::function<NTSTATUS(WDFDEVICE, PVOID, WDFCMRESLIST, WDFCMRESLIST)> on_initialize;
inline NTSTATUS Initialize(WDFDEVICE Device, PVOID Context, WDFCMRESLIST Raw, WDFCMRESLIST Translated)
{
    return on_initialize ? on_initialize(Device, Context, Raw, Translated) : STATUS_SUCCESS;
}
inline NTSTATUS Uninitialize(WDFDEVICE, PVOID) { return STATUS_SUCCESS; }
inline NTSTATUS Query(PVOID, PHWN_DEVICE_INFORMATION) { return STATUS_SUCCESS; }
inline NTSTATUS Start(PVOID) { return STATUS_SUCCESS; }
// What the client's device stop does; by default nothing.
inline std::function<NTSTATUS()> on_stop;
inline NTSTATUS Stop(PVOID) { return on_stop ? on_stop() : STATUS_SUCCESS; }
// What the client's set-state does; by default nothing.
inline std::function<NTSTATUS()> on_set_state;
inline NTSTATUS SetState(PVOID, PHWN_HEADER, ULONG, PULONG) { return on_set_state ? on_set_state() : STATUS_SUCCESS; }
inline NTSTATUS GetState(PVOID, PHWN_HEADER, ULONG, PHWN_HEADER, ULONG, PULONG) { return STATUS_SUCCESS; }

inline HWN_CLIENT_REGISTRATION_PACKET packet;
inline WDFDRIVER driver;
inline bool skip_pre_create = false;  // a driver that forgets the class extension's pre-create
inline int unloads = 0;
inline bool class_extension_bound_at_unload = false;

inline void Unload(WDFDRIVER Driver)
{
    ++unloads;
    class_extension_bound_at_unload = vsim::Simulator::current()->class_extension_bound();
    HwNUnregisterClient(Driver);
}

inline NTSTATUS DeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    NTSTATUS status =
        skip_pre_create ? STATUS_SUCCESS : HwNProcessAddDevicePreDeviceCreate(Driver, DeviceInit, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDFDEVICE device = nullptr;
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return HwNProcessAddDevicePostDeviceCreate(Driver, device, &kClassGuid);
}

inline NTSTATUS Entry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    config.EvtDriverUnload = Unload;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, nullptr, &config, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    packet = {HWN_CLIENT_VERSION, sizeof packet, kContextSize, 0, Initialize, Uninitialize, Query, Start, Stop,
              SetState, GetState};
    return HwNRegisterClient(driver, &packet, RegistryPath);
}

// What each timer's callback does, by timer.
inline std::map<WDFTIMER, std::function<void(WDFTIMER)>> timer_actions;
inline void TimerTrampoline(WDFTIMER Timer) { timer_actions.at(Timer)(Timer); }

struct TestContext {
    ULONG value;
    UCHAR bytes[12];
};
inline const WDF_OBJECT_CONTEXT_TYPE_INFO kTestContextType = {sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), "TEST_CONTEXT",
                                                              sizeof(TestContext), &kTestContextType, nullptr};
inline const WDF_OBJECT_CONTEXT_TYPE_INFO kOtherContextType = {sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), "OTHER_CONTEXT",
                                                               8, &kOtherContextType, nullptr};

inline WDFTIMER make_timer(std::function<void(WDFTIMER)> action, WDFOBJECT parent,
                           WDF_EXECUTION_LEVEL level = WdfExecutionLevelPassive)
{
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, TimerTrampoline);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = level;
    attributes.ParentObject = parent;
    WDFTIMER timer = nullptr;
    EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
    timer_actions[timer] = std::move(action);
    return timer;
}

inline WDFWAITLOCK make_lock()
{
    WDFWAITLOCK lock = nullptr;
    EXPECT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    return lock;
}

// A loaded mini driver with one device; on tear-down the verifier must have
// found nothing that the test did not take with take_failure().
class SimFixture : public ::testing::Test {
protected:
    SimFixture() = default;
    explicit SimFixture(vsim::Options options) : sim(options) {}

    void SetUp() override
    {
        timer_actions.clear();
        on_initialize = nullptr;
        on_set_state = nullptr;
        on_stop = nullptr;
        skip_pre_create = false;
        unloads = 0;
        ASSERT_EQ(sim.load_driver(&Entry), STATUS_SUCCESS);
        ASSERT_EQ(sim.add_device(&id), STATUS_SUCCESS);
        device = sim.device(id);
    }

    void TearDown() override
    {
        for (const std::string &failure : sim.verifier_failures()) {
            ADD_FAILURE() << "unexpected verifier failure: " << failure;
        }
        timer_actions.clear();
    }

    // True when the verifier reported a failure containing `text`; removes
    // every report so far.
    bool take_failure(std::string_view text)
    {
        const auto &failures = sim.verifier_failures();
        const bool found = std::any_of(failures.begin(), failures.end(), [&](const std::string &failure) {
            return failure.find(text) != std::string::npos;
        });
        sim.clear_verifier_failures();
        return found;
    }

    WDFTIMER make_timer(std::function<void(WDFTIMER)> action, WDFOBJECT parent = nullptr,
                        WDF_EXECUTION_LEVEL level = WdfExecutionLevelPassive)
    {
        return mini::make_timer(std::move(action), parent ? parent : WDFOBJECT(device), level);
    }

    WDFWAITLOCK make_lock() { return mini::make_lock(); }

    vsim::Simulator sim;
    vsim::DeviceId id = 0;
    WDFDEVICE device = nullptr;
};

}  // namespace mini
