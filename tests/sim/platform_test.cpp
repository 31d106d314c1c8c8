// SPDX-License-Identifier: MIT
// The load-time layer, the class extension's device add, fault injection and
// the kernel services.
#include "mini.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/tool_run.h"

namespace {

using mini::SimFixture;
using vsim::Op;

NTSTATUS EntryThatFailsAfterCreatingItsDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, mini::DeviceAdd);
    WDFDRIVER driver = nullptr;
    const NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, nullptr, &config, &driver);
    return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
}

struct LoadFailureCase {
    const char *name;
    std::optional<Op> failing;
    DRIVER_INITIALIZE *entry;
    NTSTATUS status;
};

class LoadFailureTest : public ::testing::TestWithParam<LoadFailureCase> {
protected:
    vsim::Simulator sim;
};

TEST_P(LoadFailureTest, UnbindsTheClassExtensionThenTheLibraryAndDeletesTheDriverObject)
{
    const LoadFailureCase &c = GetParam();
    if (c.failing) {
        sim.inject(*c.failing, STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(sim.load_driver(c.entry), c.status);

    ASSERT_EQ(sim.binding_log().size(), 4u);
    EXPECT_EQ(sim.binding_log()[0], "bind KmdfLibrary 1.11.0");
    EXPECT_EQ(sim.binding_log()[1],
              "bind HwNClx 1.0.0: HwNRegisterClient, HwNUnregisterClient, HwNProcessAddDevicePreDeviceCreate, "
              "HwNProcessAddDevicePostDeviceCreate");
    EXPECT_EQ(sim.binding_log()[2], "unbind HwNClx");
    EXPECT_EQ(sim.binding_log()[3], "unbind KmdfLibrary");
    EXPECT_FALSE(sim.driver_loaded());
    EXPECT_EQ(sim.live_objects(vsim::ObjectType::Driver), 0u);
    EXPECT_EQ(sim.registration(), nullptr);
    EXPECT_TRUE(sim.verifier_failures().empty());

    WDFWAITLOCK lock = nullptr;
    EXPECT_NE(WdfWaitLockCreate(nullptr, &lock), STATUS_SUCCESS);
    EXPECT_EQ(sim.verifier_failures().size(), 1u) << "a framework call while unbound is reported";
}

INSTANTIATE_TEST_SUITE_P(
    Loader, LoadFailureTest,
    ::testing::Values(LoadFailureCase{"DriverCreateFails", Op::WdfDriverCreate, mini::Entry,
                                      STATUS_INSUFFICIENT_RESOURCES},
                      LoadFailureCase{"RegistrationFails", Op::HwNRegisterClient, mini::Entry,
                                      STATUS_INSUFFICIENT_RESOURCES},
                      LoadFailureCase{"EntryFailsItself", {}, EntryThatFailsAfterCreatingItsDriver,
                                      STATUS_INSUFFICIENT_RESOURCES}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SimFixture, UnloadRunsTheDriversCallbackWhileTheClassExtensionIsStillBound)
{
    sim.unload_driver();
    EXPECT_EQ(mini::unloads, 1);
    EXPECT_TRUE(mini::class_extension_bound_at_unload);
    EXPECT_EQ(sim.registration(), nullptr);
    EXPECT_EQ(sim.binding_log().back(), "unbind KmdfLibrary");
    EXPECT_EQ(sim.live_objects(vsim::ObjectType::Device), 0u) << "the driver's tree is gone";
    EXPECT_EQ(sim.live_objects(vsim::ObjectType::Driver), 0u);
}

TEST_F(SimFixture, AFreshClientContextHoldsGarbage)
{
    const auto *context = static_cast<const uint8_t *>(sim.client_context(id));
    EXPECT_TRUE(std::all_of(context, context + mini::kContextSize, [](uint8_t b) { return b == 0xA5; }))
        << "a fresh client context is not cleared for the client";
}

// A client that skips the pre-create step is refused by the simulator itself.
TEST_F(SimFixture, AddingADeviceWithoutThePreCreateIsRefusedAndLeavesNoDevice)
{
    mini::skip_pre_create = true;
    vsim::DeviceId second = -1;
    EXPECT_EQ(sim.add_device(&second), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(second, -1);
    EXPECT_EQ(sim.live_objects(vsim::ObjectType::Device), 1u) << "only the fixture's device";
    EXPECT_TRUE(take_failure("the class extension has not prepared the device-init record"));
}

TEST_F(SimFixture, RegistrationPacketsAreChecked)
{
    ASSERT_EQ(HwNUnregisterClient(mini::driver), STATUS_SUCCESS);
    UNICODE_STRING path{};
    auto with = [&](auto change) {
        HWN_CLIENT_REGISTRATION_PACKET packet = mini::packet;
        change(packet);
        return HwNRegisterClient(mini::driver, &packet, &path);
    };
    EXPECT_EQ(with([](auto &p) { p.Version = 2; }), STATUS_REVISION_MISMATCH);
    EXPECT_EQ(with([](auto &p) { p.Size = 40 - 1; }), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(with([](auto &p) { p.ClientContextSize = 0; }), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(with([](auto &p) { p.GetState = nullptr; }), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim.registration(), nullptr);
    EXPECT_EQ(HwNRegisterClient(mini::driver, &mini::packet, &path), STATUS_SUCCESS);
    EXPECT_EQ(sim.registration(), &mini::packet) << "the class extension keeps the client's own packet";
}

TEST_F(SimFixture, ResourceListsAreValidOnlyDuringInitialisation)
{
    WDFCMRESLIST kept = nullptr;
    mini::on_initialize = [&](WDFDEVICE, PVOID, WDFCMRESLIST raw, WDFCMRESLIST translated) {
        EXPECT_EQ(WdfCmResourceListGetCount(raw), 1u);
        EXPECT_EQ(WdfCmResourceListGetCount(translated), 2u);
        const PCM_PARTIAL_RESOURCE_DESCRIPTOR second = WdfCmResourceListGetDescriptor(translated, 1);
        EXPECT_EQ(second->Type, CmResourceTypeConnection);
        EXPECT_EQ(second->u.Connection.IdHighPart, 1u);
        EXPECT_EQ(second->u.Connection.IdLowPart, 0xACu);
        EXPECT_EQ(WdfCmResourceListGetDescriptor(translated, 2), nullptr);
        kept = translated;
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(sim.initialize_device(id, {vsim::memory_resource(0x1000, 16)},
                                    {vsim::interrupt_resource(5), vsim::gpio_io(0x1000000acULL)}),
              STATUS_SUCCESS);
    EXPECT_TRUE(take_failure("index 2 is out of range (count 2)"));
    EXPECT_EQ(WdfCmResourceListGetCount(kept), 0u);
    EXPECT_TRUE(take_failure("stale handle"));
    EXPECT_EQ(sim.initialize_device(id + 1, {}, {}), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(take_failure("initialize_device: unknown device id"));
}

struct FaultCase {
    const char *name;
    std::vector<std::pair<NTSTATUS, uint32_t>> faults;  // status, nth
    std::vector<NTSTATUS> results;                      // of four timed acquires
};

class FaultInjectionTest : public SimFixture, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultInjectionTest, FailsTheNthCallOrEveryCall)
{
    WDFWAITLOCK lock = make_lock();
    for (auto [status, nth] : GetParam().faults) {
        sim.inject(Op::WdfWaitLockAcquire, status, nth);
    }
    std::vector<NTSTATUS> results;
    for (int i = 0; i < 4; ++i) {
        LONGLONG timeout = -1;
        results.push_back(WdfWaitLockAcquire(lock, &timeout));
        if (results.back() == STATUS_SUCCESS) {
            WdfWaitLockRelease(lock);
        }
    }
    EXPECT_EQ(results, GetParam().results);
    EXPECT_EQ(sim.faults_fired(Op::WdfWaitLockAcquire),
              static_cast<uint64_t>(std::count_if(results.begin(), results.end(),
                                                  [](NTSTATUS status) { return status != STATUS_SUCCESS; })));
}

constexpr NTSTATUS S = STATUS_SUCCESS, T = STATUS_TIMEOUT, U = STATUS_UNSUCCESSFUL;
INSTANTIATE_TEST_SUITE_P(Faults, FaultInjectionTest,
                         ::testing::Values(FaultCase{"Next", {{T, 1}}, {T, S, S, S}},
                                           FaultCase{"Third", {{T, 3}}, {S, S, T, S}},
                                           FaultCase{"Every", {{T, 0}}, {T, T, T, T}},
                                           FaultCase{"TwoArmed", {{T, 1}, {U, 3}}, {T, S, U, S}}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SimFixture, CallsAreCountedAndLoggedInOrder)
{
    sim.clear_call_log();
    WDFWAITLOCK lock = make_lock();
    WdfWaitLockAcquire(lock, nullptr);
    WdfWaitLockRelease(lock);
    EXPECT_EQ(sim.call_log(), (std::vector<Op>{Op::WdfWaitLockCreate, Op::WdfWaitLockAcquire, Op::WdfWaitLockRelease}));
    EXPECT_EQ(sim.calls(Op::WdfWaitLockCreate), 1u);
    EXPECT_EQ(vsim::op_from_name("WdfRequestSend"), Op::WdfRequestSend);
    EXPECT_STREQ(vsim::op_name(Op::RequestCompletion), "RequestCompletion");
    EXPECT_FALSE(vsim::op_from_name("NoSuchOperation"));
}

ULONG print(ULONG component, ULONG level, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const ULONG result = vDbgPrintEx(component, level, format, arguments);
    va_end(arguments);
    return result;
}

TEST_F(SimFixture, DebugPrintRecordsTheFormattedLineAndItsOrigin)
{
    sim.run_for(vsim::ms(3));
    std::vector<std::string> sunk;
    sim.set_trace_sink([&](const vsim::TraceLine &line) { sunk.push_back(line.text); });
    EXPECT_EQ(print(101, 0, "value %x of %s:%08X\n", 0xC000000Du, "Fail", 0x102u), ULONG(STATUS_SUCCESS));
    ASSERT_EQ(sim.trace().size(), 1u);
    const vsim::TraceLine &line = sim.trace()[0];
    EXPECT_EQ(line.time, vsim::ms(3));
    EXPECT_EQ(line.text, "value c000000d of Fail:00000102\n");
    EXPECT_EQ(sunk, std::vector<std::string>{line.text});

    const std::string long_text(1000, 'x');  // longer than any usual line
    print(101, 0, "[%s]%d", long_text.c_str(), 7);
    ASSERT_EQ(sim.trace().size(), 2u);
    EXPECT_EQ(sim.trace()[1].text, "[" + long_text + "]7");
}

// A sink that only counts is told of every line, without its text; the
// kept record is formatted all the same.
TEST_F(SimFixture, ATextlessTraceSinkIsToldOfEachLineWithoutItsText)
{
    std::vector<vsim::TraceLine> sunk;
    sim.set_trace_sink([&](const vsim::TraceLine &line) { sunk.push_back(line); }, false);
    sim.run_for(vsim::ms(2));
    print(101, 3, "kept %d\n", 1);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(sunk[0].time, vsim::ms(2));
    EXPECT_EQ(sunk[0].component, 101u);
    EXPECT_EQ(sunk[0].level, 3u);
    EXPECT_TRUE(sunk[0].text.empty() && sunk[0].format.empty());
    ASSERT_EQ(sim.trace().size(), 1u);
    EXPECT_EQ(sim.trace()[0].text, "kept 1\n");
}

TEST(TraceFormats, EachDistinctFormatIsAppendedOnceAsCWouldSpellIt)
{
    const std::string path = ::testing::TempDir() + "vibra-trace-formats-" + std::to_string(::getpid()) + ".txt";
    std::remove(path.c_str());
    const char *previous = std::getenv("VIBRA_TRACE_FORMATS");
    const std::string saved = previous ? previous : "";
    ::setenv("VIBRA_TRACE_FORMATS", path.c_str(), 1);
    {
        vsim::Simulator sim;
        print(101, 0, "coverage\ttab \"quoted\" back\\slash %d\r\n", 1);
        print(101, 0, "coverage\ttab \"quoted\" back\\slash %d\r\n", 2);
        print(101, 0, "coverage second");
    }
    previous ? ::setenv("VIBRA_TRACE_FORMATS", saved.c_str(), 1) : ::unsetenv("VIBRA_TRACE_FORMATS");

    EXPECT_EQ(vibra_test::read_file(path), "coverage\\ttab \\\"quoted\\\" back\\\\slash %d\\r\\n\ncoverage second\n");
    std::remove(path.c_str());
}

TEST_F(SimFixture, TimerResolutionRequestsAreRecordedAndBalanced)
{
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    ExSetTimerResolution(0, FALSE);
    EXPECT_EQ(sim.outstanding_resolution_requests(), 1);
    ASSERT_EQ(sim.resolution_calls().size(), 3u);
    EXPECT_EQ(sim.resolution_calls()[2].desired_time, 0u);
    EXPECT_FALSE(sim.resolution_calls()[2].set);
    EXPECT_EQ(sim.irql(), PASSIVE_LEVEL);
}

}  // namespace
