// SPDX-License-Identifier: MIT
// The GPIO controller behind the Resource Hub: opening lines by path, and line
// writes as asynchronous requests that complete as separate events.
#include "gpio_fixture.h"

namespace {

using namespace gpio_fixture;
using vsim::ms;
using vsim::Ticks;

TEST_F(GpioTest, ACompletionRunsAsItsOwnEventAfterTheLatencyAtDispatchLevel)
{
    sim.set_gpio_latency(ms(2));
    WDFIOTARGET target = open_line();
    UCHAR high = 1;
    CompletionLog log;

    ASSERT_TRUE(write(target, &high, &log));
    EXPECT_TRUE(log.times.empty()) << "by default never inside the send";
    EXPECT_EQ(WdfRequestGetStatus(last_request), STATUS_PENDING);
    EXPECT_EQ(sim.writes().at(0).completed, -1);
    sim.run_until(ms(2) - 1);
    EXPECT_EQ(sim.level("motor"), 0) << "not yet completed";
    sim.run_until_idle();

    EXPECT_EQ(log.times, std::vector<Ticks>{ms(2)});
    EXPECT_EQ(log.statuses, std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_EQ(log.levels, std::vector<KIRQL>{DISPATCH_LEVEL});
    EXPECT_EQ(sim.level("motor"), 1);
    const vsim::GpioWrite &record = sim.writes().at(0);
    EXPECT_EQ(record.sent, 0);
    EXPECT_EQ(record.completed, ms(2));
    EXPECT_EQ(record.line, "motor");
    EXPECT_EQ(record.value, 1);
    EXPECT_EQ(record.status, STATUS_SUCCESS);
    EXPECT_TRUE(sim.check_quiescent().empty());
}

TEST_F(GpioTest, WritesSentTogetherCompleteInSendOrderAndEachIsRecorded)
{
    WDFIOTARGET target = open_line();
    UCHAR bytes[3] = {1, 1, 0};
    CompletionLog log;
    for (UCHAR &byte : bytes) {
        ASSERT_TRUE(write(target, &byte, &log));
    }
    sim.run_until_idle();
    ASSERT_EQ(sim.line_changes().size(), 3u) << "an unchanged level is recorded too";
    EXPECT_EQ(sim.line_changes()[0].value, 1);
    EXPECT_EQ(sim.line_changes()[1].value, 1);
    EXPECT_EQ(sim.line_changes()[2].value, 0);
    EXPECT_EQ(sim.level("motor"), 0);
    EXPECT_EQ(log.times, (std::vector<Ticks>{0, 0, 0}));
}

TEST_F(GpioTest, ThePreallocatedByteIsReadAtCompletionAndAChangeAfterFormattingIsReported)
{
    WDFIOTARGET target = open_line();
    auto byte = std::make_unique<UCHAR>(1);
    CompletionLog log;
    ASSERT_TRUE(write(target, byte.get(), &log));
    *byte = 0;  // the buffer is the request's until it completes
    sim.run_until_idle();
    EXPECT_TRUE(take_failure("the value byte changed from 1 to 0 after the request was formatted"));
    EXPECT_EQ(sim.level("motor"), 0) << "the controller reads the caller's buffer";
    EXPECT_EQ(sim.writes().at(0).value, 0);
}

TEST_F(GpioTest, PageableCodeInACompletionRoutineIsReported)
{
    WDFIOTARGET target = open_line();
    UCHAR high = 1;
    ASSERT_TRUE(write(target, &high, nullptr, PagedCompletion));
    sim.run_until_idle();
    EXPECT_TRUE(take_failure("pageable code at raised IRQL: PagedCompletion"));
    EXPECT_EQ(sim.irql(), PASSIVE_LEVEL) << "back at passive level after the completion";
}

struct RefusalCase {
    const char *name;
    bool open;
    bool format;
    std::optional<NTSTATUS> injected;
    NTSTATUS status;
};

class RefusedSendTest : public GpioTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedSendTest, ReturnsFalseWithTheReasonAndNeverCompletes)
{
    const RefusalCase &c = GetParam();
    WDFIOTARGET target = nullptr;
    if (c.open) {
        target = open_line();
    } else {
        ASSERT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
    }
    if (c.injected) {
        sim.inject(vsim::Op::WdfRequestSend, *c.injected);
    }
    UCHAR high = 1;
    CompletionLog log;
    EXPECT_FALSE(write(target, &high, &log, LoggingCompletion, IOCTL_GPIO_WRITE_PINS, c.format));
    EXPECT_EQ(refused_status, c.status);
    sim.run_until_idle();
    EXPECT_TRUE(log.times.empty());
    EXPECT_TRUE(sim.writes().empty());
    EXPECT_EQ(sim.live_objects(vsim::ObjectType::Request), 0u);
}

INSTANTIATE_TEST_SUITE_P(Requests, RefusedSendTest,
                         ::testing::Values(RefusalCase{"NotFormatted", true, false, {}, STATUS_INVALID_DEVICE_REQUEST},
                                           RefusalCase{"TargetNotOpen", false, true, {}, STATUS_INVALID_DEVICE_STATE},
                                           RefusalCase{"Injected", true, true, STATUS_DEVICE_NOT_CONNECTED,
                                                       STATUS_DEVICE_NOT_CONNECTED}),
                         [](const auto &info) { return std::string(info.param.name); });

struct FailedCompletionCase {
    const char *name;
    ULONG ioctl;
    ACCESS_MASK access;
    std::optional<NTSTATUS> injected;
    NTSTATUS status;
    bool with_output = true;
};

class FailedCompletionTest : public GpioTest, public ::testing::WithParamInterface<FailedCompletionCase> {};

TEST_P(FailedCompletionTest, CarriesItsStatusAndLeavesTheLineAlone)
{
    const FailedCompletionCase &c = GetParam();
    WDFIOTARGET target = nullptr;
    ASSERT_EQ(open(&target, hub_path(kLineId), c.access), STATUS_SUCCESS);
    if (c.injected) {
        sim.inject(vsim::Op::RequestCompletion, *c.injected);
    }
    UCHAR high = 1;
    CompletionLog log;
    ASSERT_TRUE(write(target, &high, &log, LoggingCompletion, c.ioctl, true, c.with_output));
    sim.run_until_idle();
    EXPECT_EQ(log.statuses, std::vector<NTSTATUS>{c.status});
    EXPECT_EQ(sim.writes().at(0).status, c.status);
    EXPECT_TRUE(sim.line_changes().empty());
    EXPECT_EQ(sim.level("motor"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, FailedCompletionTest,
    ::testing::Values(FailedCompletionCase{"Injected", IOCTL_GPIO_WRITE_PINS, FILE_GENERIC_WRITE, STATUS_IO_TIMEOUT,
                                           STATUS_IO_TIMEOUT},
                      FailedCompletionCase{"OtherControlCode", IOCTL_GPIO_WRITE_PINS + 4, FILE_GENERIC_WRITE, {},
                                           STATUS_INVALID_DEVICE_REQUEST},
                      FailedCompletionCase{"OpenedWithoutWriteAccess", IOCTL_GPIO_WRITE_PINS, 0x00120089, {},
                                           NTSTATUS(0xC0000022)},
                      FailedCompletionCase{"NoOutputBuffer", IOCTL_GPIO_WRITE_PINS, FILE_GENERIC_WRITE, {},
                                           STATUS_INVALID_DEVICE_REQUEST, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(GpioTest, RequestsLeftAliveOrDeletedInFlightAreReported)
{
    WDFIOTARGET target = open_line();
    UCHAR high = 1;
    CompletionLog keep{.delete_request = false};
    ASSERT_TRUE(write(target, &high, &keep));
    sim.run_until_idle();
    sim.check_quiescent();
    EXPECT_TRUE(take_failure("never deleted"));
    WdfObjectDelete(last_request);

    sim.set_gpio_latency(ms(1));
    CompletionLog log;
    ASSERT_TRUE(write(target, &high, &log));
    WdfObjectDelete(last_request);
    EXPECT_TRUE(take_failure("deleted while in flight"));
    sim.run_until_idle();
    EXPECT_TRUE(log.times.empty()) << "a deleted request does not complete";
    EXPECT_EQ(sim.writes().back().status, STATUS_CANCELLED);
}

TEST_F(GpioTest, ALineOpenedWithoutSharingRefusesASecondOpenUntilTheFirstTargetGoes)
{
    WDFIOTARGET first = open_line();
    WDFIOTARGET second = nullptr;
    EXPECT_EQ(open(&second, hub_path(kLineId)), STATUS_SHARING_VIOLATION);
    EXPECT_FALSE(sim.io_target_info(second)->open);
    WdfObjectDelete(first);
    WDFIOTARGET third = nullptr;
    EXPECT_EQ(open(&third, hub_path(kLineId)), STATUS_SUCCESS);
}

struct PathCase {
    const char *name;
    std::string path;
    NTSTATUS status;
};

class HubPathTest : public GpioTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(HubPathTest, OpensOnlyAWellFormedPathOfAKnownConnection)
{
    WDFIOTARGET target = nullptr;
    EXPECT_EQ(open(&target, GetParam().path), GetParam().status);
    const auto info = sim.io_target_info(target);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->device_name, GetParam().path);
    EXPECT_EQ(info->open, GetParam().status == STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, HubPathTest,
    ::testing::Values(PathCase{"Known", hub_path(kLineId), STATUS_SUCCESS},
                      PathCase{"UnknownId", hub_path(0x42), STATUS_OBJECT_NAME_NOT_FOUND},
                      PathCase{"UpperCaseDigits", "\\Device\\RESOURCE_HUB\\00000001000000AB", STATUS_OBJECT_NAME_INVALID},
                      PathCase{"FifteenDigits", "\\Device\\RESOURCE_HUB\\0000001000000ab", STATUS_OBJECT_NAME_INVALID},
                      PathCase{"SeventeenDigits", "\\Device\\RESOURCE_HUB\\000000001000000ab",
                               STATUS_OBJECT_NAME_INVALID},
                      PathCase{"NotAbsolute", "Device\\RESOURCE_HUB\\00000001000000ab", STATUS_OBJECT_NAME_INVALID},
                      PathCase{"OtherDevice", "\\Device\\Gpio0", STATUS_OBJECT_NAME_NOT_FOUND},
                      PathCase{"Empty", "", STATUS_OBJECT_NAME_INVALID}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(GpioTest, ANameIsReadByItsLengthNotUpToATerminator)
{
    const std::string path = hub_path(kLineId);
    WideName name(path + "zz");
    name.name.Length = USHORT(path.size() * sizeof(WCHAR));  // the trailing characters are not part of it
    WDFIOTARGET target = nullptr;
    EXPECT_EQ(open(&target, name), STATUS_SUCCESS);
}

}  // namespace
