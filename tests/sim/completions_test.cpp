// SPDX-License-Identifier: MIT
// Where a completion runs: inside the send on the sender's thread (always, or
// as a seeded choice), and what that exposes; a completed request sent again
// only after it is reused.
#include "gpio_fixture.h"

namespace {

using namespace gpio_fixture;

vsim::Options completing(vsim::Completions completions, uint64_t seed = 0)
{
    vsim::Options options;
    options.completions = completions;
    options.schedule.seed = seed;
    return options;
}

class InsideSendTest : public GpioTest {
protected:
    InsideSendTest()
        : GpioTest(completing(vsim::Completions::InsideSend))
    {
    }
};

TEST_F(InsideSendTest, TheCompletionRunsBeforeTheSendReturnsAtTheSendersLevel)
{
    sim.set_gpio_latency(ms(2));  // not used: the controller finished at once
    WDFIOTARGET target = open_line();
    UCHAR high = 1;
    CompletionLog log;
    ASSERT_TRUE(write(target, &high, &log));
    EXPECT_EQ(log.times, std::vector<Ticks>{0}) << "already completed when the send returned";
    EXPECT_EQ(log.levels, std::vector<KIRQL>{PASSIVE_LEVEL}) << "at the sender's level";
    EXPECT_EQ(sim.level("motor"), 1);
    EXPECT_EQ(sim.pending_events(), 0u);

    // From a dispatch-level timer callback, at dispatch level.
    UCHAR low = 0;
    WdfTimerStart(
        make_timer([&](WDFTIMER) { EXPECT_TRUE(write(target, &low, &log)); }, nullptr, WdfExecutionLevelDispatch),
        -ms(1));
    sim.run_until_idle();
    EXPECT_EQ(log.levels, (std::vector<KIRQL>{PASSIVE_LEVEL, DISPATCH_LEVEL}));
    EXPECT_EQ(sim.level("motor"), 0);
    EXPECT_TRUE(sim.check_quiescent().empty());
}

// A sender that still uses the request after a send that succeeded: the
// completion routine may already have deleted it.
BOOLEAN send_then_read_status(WDFIOTARGET target, UCHAR *byte, NTSTATUS *status)
{
    const WDFREQUEST request = make_write(target, byte);
    WdfRequestSetCompletionRoutine(
        request,
        [](WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) { WdfObjectDelete(Request); },
        nullptr);
    const BOOLEAN sent = WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS);
    *status = WdfRequestGetStatus(request);  // the fault: read whether sent or not
    return sent;
}

TEST_F(InsideSendTest, UsingTheRequestAfterASuccessfulSendIsAStaleHandle)
{
    WDFIOTARGET target = open_line();
    UCHAR high = 1;
    NTSTATUS status = STATUS_SUCCESS;
    ASSERT_TRUE(send_then_read_status(target, &high, &status));
    EXPECT_TRUE(take_failure("WdfRequestGetStatus: stale handle"));
}

// Under Seeded, each send chooses; a handful of sends with one seed both
// complete inside and later, the same seed makes the same choices, and the
// fault above is found in virtual time.
std::vector<bool> choices_and_finding(uint64_t seed, bool *found)
{
    vsim::Simulator sim(completing(vsim::Completions::Seeded, seed));
    mini::timer_actions.clear();
    EXPECT_EQ(sim.load_driver(&mini::Entry), STATUS_SUCCESS);
    vsim::DeviceId id = 0;
    EXPECT_EQ(sim.add_device(&id), STATUS_SUCCESS);
    sim.add_line(kLineId, "motor");
    WDFIOTARGET target = nullptr;
    EXPECT_EQ(open_target(sim.device(id), &target, WideName(hub_path(kLineId))), STATUS_SUCCESS);

    std::vector<bool> inside;
    UCHAR byte = 1;
    for (int i = 0; i < 16; ++i) {
        NTSTATUS status = STATUS_SUCCESS;
        const size_t before = sim.verifier_failures().size();
        EXPECT_TRUE(send_then_read_status(target, &byte, &status));
        inside.push_back(sim.verifier_failures().size() != before);
        sim.run_until_idle();
    }
    *found = !sim.verifier_failures().empty();
    return inside;
}

TEST(SeededCompletionsTest, EachSendChoosesBySeedAndTheStaleReadIsFound)
{
    bool found = false;
    const std::vector<bool> first = choices_and_finding(7, &found);
    EXPECT_TRUE(found) << "the sender's read after a completion inside the send";
    EXPECT_NE(std::count(first.begin(), first.end(), true), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), false), 0);
    EXPECT_EQ(choices_and_finding(7, &found), first) << "same seed, same choices";
    EXPECT_NE(choices_and_finding(8, &found), first) << "another seed, other choices";
}

// A completed request goes out again only after WdfRequestReuse and a new
// format.
BOOLEAN send_again(WDFREQUEST request, WDFIOTARGET target, WDFMEMORY memory, bool reuse)
{
    if (reuse) {
        WDF_REQUEST_REUSE_PARAMS params;
        WDF_REQUEST_REUSE_PARAMS_INIT(&params, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        EXPECT_EQ(WdfRequestReuse(request, &params), STATUS_SUCCESS);
    }
    if (!NT_SUCCESS(WdfIoTargetFormatRequestForIoctl(target, request, IOCTL_GPIO_WRITE_PINS, memory, nullptr, memory,
                                                     nullptr))) {
        return FALSE;
    }
    return WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS);
}

TEST_F(GpioTest, ACompletedRequestIsSentAgainOnlyAfterReuse)
{
    WDFIOTARGET target = open_line();
    UCHAR byte = 1;
    CompletionLog log;
    log.delete_request = false;
    ASSERT_TRUE(write(target, &byte, &log));
    sim.run_until_idle();
    const WDFREQUEST request = last_request;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = request;
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(WdfMemoryCreatePreallocated(&attributes, &byte, 1, &memory), STATUS_SUCCESS);

    EXPECT_FALSE(send_again(request, target, memory, false));
    EXPECT_TRUE(take_failure("has completed and was not reused (WdfRequestReuse)"));
    byte = 0;
    ASSERT_TRUE(send_again(request, target, memory, true));
    sim.run_until_idle();
    EXPECT_EQ(log.statuses, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
    EXPECT_EQ(sim.level("motor"), 0);
    WdfObjectDelete(request);
}

}  // namespace
