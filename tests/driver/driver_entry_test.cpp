// SPDX-License-Identifier: MIT
// Driver entry, unload and device add: the registration packet, the trace
// lines and statuses of every failure, and what reaches the class extension.

#include <cstring>

#include "driver/driver_fixture.h"

namespace vtest::driver {
namespace {

using vsim::Op;

constexpr NTSTATUS kFailure = STATUS_INSUFFICIENT_RESOURCES;
constexpr NTSTATUS kInformational = static_cast<NTSTATUS>(0x40000001);

class DriverEntryTest : public SimTest {
protected:
    // The packet is static storage; tests that check it is left alone start
    // from a known pattern and restore "zero at load" afterwards.
    void TearDown() override
    {
        std::memset(&QM38_205_RegistrationPacket, 0, sizeof QM38_205_RegistrationPacket);
        SimTest::TearDown();
    }
};

TEST_F(DriverEntryTest, SuccessfulLoadRegistersThePacketMemberByMember)
{
    std::memset(&QM38_205_RegistrationPacket, 0, sizeof QM38_205_RegistrationPacket);
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);

    const HWN_CLIENT_REGISTRATION_PACKET *packet = sim.registration();
    ASSERT_EQ(packet, &QM38_205_RegistrationPacket) << "the class extension receives the static packet itself";
    EXPECT_EQ(packet->Version, 1);
    EXPECT_EQ(packet->Size, sizeof(HWN_CLIENT_REGISTRATION_PACKET));
    EXPECT_EQ(packet->ClientContextSize, 132u);
    EXPECT_EQ(packet->Reserved, 0u) << "Reserved is never written";
    EXPECT_EQ(packet->InitializeDevice, &QM38_205_InitializeDevice);
    EXPECT_EQ(packet->UnInitializeDevice, &QM38_205_UnInitializeDevice);
    EXPECT_EQ(packet->QueryDeviceInformation, &QM38_205_QueryDeviceInformation);
    EXPECT_EQ(packet->StartDevice, &QM38_205_StartDevice);
    EXPECT_EQ(packet->StopDevice, &QM38_205_StopDevice);
    EXPECT_EQ(packet->SetState, &QM38_205_SetState);
    EXPECT_EQ(packet->GetState, &QM38_205_GetState);
    EXPECT_EQ(trace_texts(), Lines{"+DriverEntry\n"}) << "DriverEntry traces no exit line";
}

TEST_F(DriverEntryTest, LoadAndUnloadPrintNothingWithTheShippedMasks)
{
    set_trace_masks(kInitialMasks);
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);
    sim.unload_driver();
    EXPECT_TRUE(sim.trace().empty());
}

TEST_F(DriverEntryTest, DriverCreateFailureLeavesThePacketUntouchedAndNeverRegisters)
{
    std::memset(&QM38_205_RegistrationPacket, 0x5A, sizeof QM38_205_RegistrationPacket);
    HWN_CLIENT_REGISTRATION_PACKET before;
    std::memcpy(&before, &QM38_205_RegistrationPacket, sizeof before);

    sim.inject(Op::WdfDriverCreate, kFailure);
    EXPECT_EQ(sim.load_driver(), kFailure);

    EXPECT_EQ(std::memcmp(&before, &QM38_205_RegistrationPacket, sizeof before), 0) << "packet must not be written";
    EXPECT_EQ(sim.calls(Op::HwNRegisterClient), 0u);
    EXPECT_FALSE(sim.driver_loaded());
    EXPECT_EQ(trace_texts(), (Lines{"+DriverEntry\n", "DriverEntry Error: WdfDriverCreate failed c000009a\n"}));
}

struct LoadCase {
    const char *name;
    NTSTATUS registration_status;
    NTSTATUS expected;
    Lines lines;
};

class LoadStatus : public DriverEntryTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadStatus, ReturnsTheRegistrationFailureOrZero)
{
    const LoadCase &c = GetParam();
    sim.inject(Op::HwNRegisterClient, c.registration_status);
    EXPECT_EQ(sim.load_driver(), c.expected) << c.name;
    EXPECT_EQ(trace_texts(), c.lines) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Registration, LoadStatus,
    ::testing::Values(
        LoadCase{"registration fails", kFailure, kFailure,
                 {"+DriverEntry\n", "DriverEntry Error: HwNRegisterClient failed c000009a\n"}},
        LoadCase{"registration revision mismatch", STATUS_REVISION_MISMATCH, STATUS_REVISION_MISMATCH,
                 {"+DriverEntry\n", "DriverEntry Error: HwNRegisterClient failed c0000059\n"}},
        LoadCase{"informational registration status is not passed on", kInformational, STATUS_SUCCESS,
                 {"+DriverEntry\n"}}));

class Unload : public DriverEntryTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(Unload, CompletesWhateverUnregistrationReturns)
{
    const LoadCase &c = GetParam();
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);
    sim.clear_trace();
    sim.inject(Op::HwNUnregisterClient, c.registration_status);
    sim.unload_driver();
    EXPECT_EQ(trace_texts(), c.lines) << c.name;
    EXPECT_EQ(sim.calls(Op::HwNUnregisterClient), 1u);
    EXPECT_FALSE(sim.driver_loaded());
}

INSTANTIATE_TEST_SUITE_P(
    Unregistration, Unload,
    ::testing::Values(LoadCase{"unregistration succeeds", STATUS_SUCCESS, STATUS_SUCCESS, {"+QM38_205_EvtDriverUnload\n"}},
                      LoadCase{"unregistration fails", STATUS_INVALID_DEVICE_STATE, STATUS_SUCCESS,
                               {"+QM38_205_EvtDriverUnload\n",
                                "QM38_205_EvtDriverUnload Error: HwNUnregisterClient failed c0000184\n"}}));

// --- device add ------------------------------------------------------------------

TEST_F(DriverEntryTest, DeviceAddPassesTheClassExtensionsAttributesUnchangedAndTheClassGuid)
{
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);
    sim.clear_trace();
    vsim::DeviceId id = -1;
    ASSERT_EQ(sim.add_device(&id), STATUS_SUCCESS);

    EXPECT_EQ(trace_texts(), (Lines{"+QM38_205_EvtDeviceAdd\n", "-QM38_205_EvtDeviceAdd:Success:00000000\n"}));
    const WDF_OBJECT_ATTRIBUTES *prepared = sim.pre_create_attributes(id);
    const WDF_OBJECT_ATTRIBUTES *received = sim.device_create_attributes(id);
    ASSERT_TRUE(prepared && received);
    EXPECT_EQ(std::memcmp(prepared, received, sizeof(WDF_OBJECT_ATTRIBUTES)), 0)
        << "the attributes reach WdfDeviceCreate byte for byte as the pre-create step left them";
    const GUID *guid = sim.device_class_guid(id);
    ASSERT_NE(guid, nullptr);
    const GUID expected = {0x825E8FD3, 0x6467, 0x4A5B, {0xAB, 0xFB, 0xBB, 0x01, 0x07, 0x34, 0xFF, 0x4D}};
    EXPECT_EQ(std::memcmp(guid, &expected, sizeof expected), 0) << "{825E8FD3-6467-4A5B-ABFB-BB010734FF4D}";
}

TEST_F(DriverEntryTest, DeviceAddReturnsZeroForAnInformationalPostCreateStatus)
{
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);
    sim.clear_trace();
    sim.inject(Op::HwNProcessAddDevicePostDeviceCreate, kInformational);
    vsim::DeviceId id = -1;
    EXPECT_EQ(sim.add_device(&id), STATUS_SUCCESS);
    EXPECT_EQ(trace_texts().back(), "-QM38_205_EvtDeviceAdd:Success:00000000\n");
    // The injected status stands in for the class extension's own work, so
    // the simulated class extension reports the device as unfinished.
    sim.clear_verifier_failures();
}

struct AddFailure {
    const char *name;
    Op op;
    NTSTATUS status;
    std::string error_line;
    uint64_t device_creates;  // WdfDeviceCreate calls expected
    uint64_t post_creates;
};

class DeviceAddFailure : public DriverEntryTest, public ::testing::WithParamInterface<AddFailure> {};

TEST_P(DeviceAddFailure, StopsAtTheFailingStepAndReturnsItsStatus)
{
    const AddFailure &c = GetParam();
    ASSERT_EQ(sim.load_driver(), STATUS_SUCCESS);
    sim.clear_trace();
    sim.inject(c.op, c.status);
    vsim::DeviceId id = -1;
    EXPECT_EQ(sim.add_device(&id), c.status) << c.name;
    EXPECT_EQ(trace_texts(), (Lines{"+QM38_205_EvtDeviceAdd\n", c.error_line, exit_line("QM38_205_EvtDeviceAdd", c.status)}))
        << c.name;
    EXPECT_EQ(sim.calls(Op::WdfDeviceCreate), c.device_creates) << c.name;
    EXPECT_EQ(sim.calls(Op::HwNProcessAddDevicePostDeviceCreate), c.post_creates) << c.name;
    EXPECT_EQ(sim.live_objects(vsim::ObjectType::Device), 0u) << c.name << ": no device is left behind";
    EXPECT_EQ(id, -1) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DeviceAddFailure,
    ::testing::Values(
        AddFailure{"pre-create", Op::HwNProcessAddDevicePreDeviceCreate, kFailure,
                   "QM38_205_EvtDeviceAdd Error: HwNProcessAddDevicePreDeviceCreate failed c000009a\n", 0, 0},
        AddFailure{"create", Op::WdfDeviceCreate, STATUS_INVALID_DEVICE_STATE,
                   "QM38_205_EvtDeviceAdd Error: WdfDeviceCreate failed c0000184\n", 1, 0},
        AddFailure{"post-create", Op::HwNProcessAddDevicePostDeviceCreate, STATUS_UNSUCCESSFUL,
                   "QM38_205_EvtDeviceAdd Error: HwNProcessAddDevicePostDeviceCreate failed c0000001\n", 1, 1}));

}  // namespace
}  // namespace vtest::driver
