// SPDX-License-Identifier: MIT
// GPIO line write: the byte each request carries, every failure before and
// after the send, and that exactly one party deletes each request.

#include "vibration/fixture.h"

namespace vtest {
namespace {

using vsim::ObjectType;
using vsim::Op;

class LineWriteTest : public VibrationTest {
protected:
    WDFIOTARGET enable_target() const { return dev()->VibraIoTarget[VIBRA_ENABLE_LINE]; }
};

TEST_F(LineWriteTest, ValueByteIsOneOnlyForExactlyTrue)
{
    struct Case {
        BOOLEAN value;
        int byte;
    };
    for (const Case c : {Case{TRUE, 1}, Case{FALSE, 0}, Case{2, 0}, Case{0xFF, 0}}) {
        SCOPED_TRACE(testing::Message() << "Value " << int(c.value));
        ASSERT_EQ(QM38_205_PerformHardwareWrite(enable_target(), c.value), STATUS_SUCCESS);
        sim.run_until_idle();
        const vsim::GpioWrite &write = sim.writes().back();
        EXPECT_EQ(write.line, "enable");
        EXPECT_EQ(write.ioctl, 0x480004u) << "IOCTL_GPIO_WRITE_PINS";
        EXPECT_EQ(write.value, c.byte) << "the byte read when the controller completes the request";
        EXPECT_EQ(sim.level("enable"), c.byte);
    }
    expect_settled();
}

TEST_F(LineWriteTest, SuccessfulWriteTracesAndIsDeletedByItsCompletion)
{
    ASSERT_EQ(QM38_205_PerformHardwareWrite(enable_target(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(sim.live_objects(ObjectType::Request), 1u) << "in flight until completion";
    sim.run_until_idle();
    EXPECT_EQ(trace_texts(), (std::vector<std::string>{
                                 "+QM38_205_PerformHardwareWrite\n",
                                 "-QM38_205_PerformHardwareWrite:Success:00000000\n",
                                 "+EvtRequestWriteCompletionRoutine\n",
                                 "-EvtRequestWriteCompletionRoutine:Success:00000000\n",
                             }));
    expect_settled();
}

TEST_F(LineWriteTest, NullTargetCreatesNothing)
{
    EXPECT_EQ(QM38_205_PerformHardwareWrite(NULL, TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(trace_texts(), (std::vector<std::string>{
                                 "+QM38_205_PerformHardwareWrite\n",
                                 "QM38_205_PerformHardwareWrite Error: IoTarget == NULL \n",
                                 "-QM38_205_PerformHardwareWrite:Fail:C000000D\n",
                             }));
    EXPECT_EQ(sim.created_objects(ObjectType::Request), 0u);
    expect_settled();
}

TEST_F(LineWriteTest, FailureBeforeTheSendReturnsItsStatusAndDeletesTheRequest)
{
    struct Case {
        Op op;
        NTSTATUS status;
        const char *line;
        const char *exit;
    };
    const Case cases[] = {
        {Op::WdfRequestCreate, STATUS_INSUFFICIENT_RESOURCES,
         "QM38_205_PerformHardwareWrite Error: WdfRequestCreate failed c000009a\n",
         "-QM38_205_PerformHardwareWrite:Fail:C000009A\n"},
        {Op::WdfMemoryCreatePreallocated, STATUS_NO_MEMORY,
         "QM38_205_PerformHardwareWrite Error: WdfMemoryCreatePreallocated failed c0000017\n",
         "-QM38_205_PerformHardwareWrite:Fail:C0000017\n"},
        {Op::WdfIoTargetFormatRequestForIoctl, STATUS_INVALID_DEVICE_STATE,
         "QM38_205_PerformHardwareWrite Error: WdfIoTargetFormatRequestForIoctl failed c0000184\n",
         "-QM38_205_PerformHardwareWrite:Fail:C0000184\n"},
        {Op::WdfRequestSend, STATUS_DEVICE_NOT_CONNECTED,
         "QM38_205_PerformHardwareWrite Error: WdfRequestSend failed c000009d\n",
         "-QM38_205_PerformHardwareWrite:Fail:C000009D\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(vsim::op_name(c.op));
        sim.clear_trace();
        const size_t writes_before = sim.writes().size();
        sim.inject(c.op, c.status);
        EXPECT_EQ(QM38_205_PerformHardwareWrite(enable_target(), TRUE), c.status);
        EXPECT_EQ(sim.live_objects(ObjectType::Request), 0u) << "the writer deletes a request it could not send";
        EXPECT_EQ(sim.live_objects(ObjectType::Memory), 0u);
        sim.run_until_idle();
        EXPECT_EQ(trace_texts(), (std::vector<std::string>{"+QM38_205_PerformHardwareWrite\n", c.line, c.exit}))
            << "no completion routine runs for a request that was never sent";
        EXPECT_EQ(sim.writes().size(), writes_before);
    }
    EXPECT_EQ(sim.level("enable"), 0);
    expect_settled();
}

TEST_F(LineWriteTest, RefusedSendNeverReportsSuccess)
{
    // A target that refuses a request whose status still reads success: the
    // write did not happen, so the caller must not be told it did.
    sim.inject(Op::WdfRequestSend, STATUS_SUCCESS);
    EXPECT_EQ(QM38_205_PerformHardwareWrite(enable_target(), TRUE), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(traced("QM38_205_PerformHardwareWrite Error: WdfRequestSend failed c0000001\n"));
    EXPECT_EQ(sim.live_objects(ObjectType::Request), 0u);
    sim.run_until_idle();
    EXPECT_EQ(sim.level("enable"), 0);
    expect_settled();
}

TEST_F(LineWriteTest, RequestWithoutItsValueContextIsNotSent)
{
    sim.inject(Op::WdfObjectGetTypedContext, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(QM38_205_PerformHardwareWrite(enable_target(), TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(trace_texts(), (std::vector<std::string>{
                                 "+QM38_205_PerformHardwareWrite\n",
                                 "QM38_205_PerformHardwareWrite Error: RequestContext == NULL c000000d\n",
                                 "-QM38_205_PerformHardwareWrite:Fail:C000000D\n",
                             }));
    EXPECT_EQ(sim.calls(Op::WdfRequestSend), 0u);
    expect_settled();
}

TEST_F(LineWriteTest, FailedCompletionIsOnlyAWarning)
{
    sim.inject(Op::RequestCompletion, STATUS_IO_TIMEOUT);
    EXPECT_EQ(QM38_205_PerformHardwareWrite(enable_target(), TRUE), STATUS_SUCCESS)
        << "the caller has its answer before the controller completes";
    sim.run_until_idle();
    EXPECT_EQ(trace_texts(), (std::vector<std::string>{
                                 "+QM38_205_PerformHardwareWrite\n",
                                 "-QM38_205_PerformHardwareWrite:Success:00000000\n",
                                 "+EvtRequestWriteCompletionRoutine\n",
                                 "EvtRequestWriteCompletionRoutine Failed\r\n",
                                 "-EvtRequestWriteCompletionRoutine:Success:00000000\n",
                             }));
    EXPECT_EQ(sim.level("enable"), 0) << "the failed write left the line alone";
    expect_settled();
}

TEST_F(LineWriteTest, CompletionWarningIsLevelThreeWithBothFlags)
{
    // Level 3 only, one flag at a time: the warning carries both flags, so it
    // passes either mask; with level 3 closed it is not printed at all.
    struct Case {
        std::array<ULONG, TRACE_LEVEL_MASK_COUNT> masks;
        bool printed;
    };
    const Case cases[] = {
        {{0, 0, TRACE_FLAG_ENTRY_EXIT, 0, 0}, true},
        {{0, 0, TRACE_FLAG_MESSAGE, 0, 0}, true},
        {{0xFFFFFFFF, 0xFFFFFFFF, 0, 0xFFFFFFFF, 0xFFFFFFFF}, false},
        {kInitialMasks, true},
    };
    for (const Case &c : cases) {
        set_trace_masks(c.masks);
        sim.clear_trace();
        sim.inject(Op::RequestCompletion, STATUS_IO_TIMEOUT);
        ASSERT_EQ(QM38_205_PerformHardwareWrite(enable_target(), TRUE), STATUS_SUCCESS);
        sim.run_until_idle();
        EXPECT_EQ(traced("EvtRequestWriteCompletionRoutine Failed\r\n"), c.printed);
    }
    expect_settled();
}

}  // namespace
}  // namespace vtest
