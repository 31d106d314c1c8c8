// SPDX-License-Identifier: MIT
// The levels each platform operation may be called at, checked as a verifier
// does, absolute lock time-outs as system time, and the timer-resolution call
// blocked during power transitions.
#include "mini.h"

namespace {

using mini::SimFixture;
using vsim::ms;
using vsim::Ticks;

struct LevelCase {
    const char *name;
    WDF_EXECUTION_LEVEL callback_level;
    std::function<void(WDFDEVICE)> call;
    const char *finding;  // nullptr: allowed there
};

void PrintTo(const LevelCase &c, std::ostream *os) { *os << c.name; }

class LevelTest : public SimFixture, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LevelTest, IsReportedAboveTheHighestLevelItAllows)
{
    const LevelCase &c = GetParam();
    WdfTimerStart(make_timer([&](WDFTIMER) { c.call(device); }, nullptr, c.callback_level), -ms(1));
    sim.run_until_idle();
    if (c.finding == nullptr) {
        EXPECT_TRUE(sim.verifier_failures().empty());
    } else {
        EXPECT_TRUE(take_failure(c.finding)) << (sim.verifier_failures().empty() ? "no finding" : "another finding");
    }
    while (sim.outstanding_resolution_requests() > 0) {
        ExSetTimerResolution(0, FALSE);
    }
}

void set_resolution(WDFDEVICE) { ExSetTimerResolution(10000, TRUE); }

void open_target(WDFDEVICE device)
{
    WDFIOTARGET target = nullptr;
    ASSERT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
    WCHAR name[] = L"\\Device\\RESOURCE_HUB\\0000000000000001";
    WDF_IO_TARGET_OPEN_PARAMS params{};
    params.Size = sizeof params;
    params.Type = WdfIoTargetOpenByName;
    params.TargetDeviceName = {USHORT(sizeof name - sizeof(WCHAR)), USHORT(sizeof name), name};
    params.DesiredAccess = FILE_GENERIC_WRITE;
    WdfIoTargetOpen(target, &params);
    WdfObjectDelete(target);
}

void print_wide(WDFDEVICE)
{
    WCHAR buffer[16];
    EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, L"%d", 7), STATUS_SUCCESS);
}

void print_unicode(WDFDEVICE)
{
    WCHAR buffer[16];
    UNICODE_STRING text = {0, sizeof buffer, buffer};
    EXPECT_EQ(RtlUnicodeStringPrintf(&text, L"%d", 7), STATUS_SUCCESS);
}

void acquire_with(LONGLONG timeout)
{
    WDFWAITLOCK lock = mini::make_lock();
    if (NT_SUCCESS(WdfWaitLockAcquire(lock, &timeout))) {
        WdfWaitLockRelease(lock);
    }
    WdfObjectDelete(lock);
}

const auto kDispatch = WdfExecutionLevelDispatch;
const auto kPassive = WdfExecutionLevelPassive;
INSTANTIATE_TEST_SUITE_P(
    Levels, LevelTest,
    ::testing::Values(
        LevelCase{"ResolutionAtDispatch", kDispatch, set_resolution,
                  "ExSetTimerResolution: called at DISPATCH_LEVEL; it may be called at APC_LEVEL or below"},
        LevelCase{"ResolutionAtPassive", kPassive, set_resolution, nullptr},
        LevelCase{"TargetCreateAtDispatch", kDispatch,
                  [](WDFDEVICE device) {
                      WDFIOTARGET target = nullptr;
                      WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target);
                      WdfObjectDelete(target);
                  },
                  "WdfIoTargetCreate: called at DISPATCH_LEVEL; it may be called at PASSIVE_LEVEL only"},
        LevelCase{"TargetOpenAtDispatch", kDispatch, open_target, "WdfIoTargetOpen: called at DISPATCH_LEVEL"},
        LevelCase{"TargetOpenAtPassive", kPassive, open_target, nullptr},
        LevelCase{"WidePrintfAtDispatch", kDispatch, print_wide, "RtlStringCbPrintfW: called at DISPATCH_LEVEL"},
        LevelCase{"UnicodePrintfAtDispatch", kDispatch, print_unicode,
                  "RtlUnicodeStringPrintf: called at DISPATCH_LEVEL"},
        LevelCase{"PrintfAtPassive", kPassive, [](WDFDEVICE d) { print_wide(d), print_unicode(d); }, nullptr},
        LevelCase{"RegisterAtDispatch", kDispatch,
                  [](WDFDEVICE) { HwNRegisterClient(mini::driver, &mini::packet, nullptr); },
                  "HwNRegisterClient: called at DISPATCH_LEVEL"},
        // A wait lock may be tried without waiting at dispatch level; any wait needs passive level.
        LevelCase{"ZeroTimeoutAcquireAtDispatch", kDispatch, [](WDFDEVICE) { acquire_with(0); }, nullptr},
        LevelCase{"TimedAcquireAtDispatch", kDispatch, [](WDFDEVICE) { acquire_with(-1); }, "at raised IRQL"},
        LevelCase{"TimerAndRequestCallsAtDispatch", kDispatch,
                  [](WDFDEVICE device) {
                      WDFREQUEST request = nullptr;
                      EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &request), STATUS_SUCCESS);
                      WdfObjectDelete(request);
                      WdfTimerStart(mini::make_timer([](WDFTIMER) {}, device), -ms(1));
                  },
                  nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

// A positive time-out is a system time: one of a few milliseconds lies
// centuries in the past and does not wait at all.
Ticks waited_for_held_lock(LONGLONG timeout, NTSTATUS *status)
{
    vsim::Options options;
    options.schedule.policy = vsim::SchedulePolicy::Random;
    vsim::Simulator sim(options);
    mini::timer_actions.clear();
    EXPECT_EQ(sim.load_driver(&mini::Entry), STATUS_SUCCESS);
    WDFWAITLOCK lock = mini::make_lock();
    EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    Ticks returned = -1;
    sim.spawn_thread("waiter", [&] {
        *status = WdfWaitLockAcquire(lock, &timeout);
        returned = sim.now();
    });
    sim.run_for(ms(20));
    WdfWaitLockRelease(lock);
    sim.run_threads();
    EXPECT_TRUE(sim.verifier_failures().empty());
    return returned;
}

TEST(AbsoluteTimeoutTest, CountsAsSystemTime)
{
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(waited_for_held_lock(LONGLONG(vsim::kSystemTimeAtStart + ms(5)), &status), ms(5));
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(waited_for_held_lock(LONGLONG(ms(5)), &status), 0) << "long past";
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(waited_for_held_lock(-LONGLONG(ms(5)), &status), ms(5)) << "relative";
}

// With power transitions, a device stop is one: ExSetTimerResolution blocks
// until it ends. A stop that makes the call, or waits for a callback blocked
// in it, deadlocks and is reported; a callback that the stop does not wait
// for makes its call once the stop has returned.
struct PowerCase {
    const char *name;
    bool stop_calls;      // the stop makes the call itself
    bool stop_waits;      // the stop waits for the callback that makes it
    const char *finding;  // nullptr: none
};

void PrintTo(const PowerCase &c, std::ostream *os) { *os << c.name; }

vsim::Options with_power_transitions()
{
    vsim::Options options;
    options.power_transitions = true;
    return options;
}

class PowerTransitionTest : public SimFixture, public ::testing::WithParamInterface<PowerCase> {
protected:
    PowerTransitionTest()
        : SimFixture(with_power_transitions())
    {
    }
};

TEST_P(PowerTransitionTest, BlocksTheTimerResolutionCall)
{
    const PowerCase &c = GetParam();
    ASSERT_EQ(sim.initialize_device(id, {}, {}), STATUS_SUCCESS);
    bool called = false;
    WDFTIMER timer = make_timer([&](WDFTIMER) {
        ExSetTimerResolution(10000, TRUE);
        called = true;
    });
    mini::on_stop = [&] {
        if (c.stop_calls) {
            ExSetTimerResolution(10000, TRUE);
        } else {
            sim.run_timer_callback(timer);
            EXPECT_FALSE(called) << "blocked while the stop is in progress";
            if (c.stop_waits) {
                WdfTimerStop(timer, TRUE);
            }
        }
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(sim.stop_device(id), STATUS_SUCCESS);
    sim.run_until_idle();
    EXPECT_EQ(called, !c.stop_calls) << "the call goes through once the stop has returned";
    if (c.finding == nullptr) {
        EXPECT_TRUE(sim.verifier_failures().empty());
    } else {
        EXPECT_TRUE(take_failure(c.finding));
    }
    while (sim.outstanding_resolution_requests() > 0) {
        ExSetTimerResolution(0, FALSE);
    }
}

INSTANTIATE_TEST_SUITE_P(Stops, PowerTransitionTest,
                         ::testing::Values(PowerCase{"CallsItItself", true, false, "called inside a power transition"},
                                           PowerCase{"WaitsForACallbackInsideIt", false, true, "deadlock"},
                                           PowerCase{"LeavesItToACallback", false, false, nullptr}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
