// SPDX-License-Identifier: MIT
// Request processing: the state table (stored state x requested state), the
// failure rows, and requests that select no stored record.

#include <cstring>

#include "driver/driver_fixture.h"

namespace vtest::driver {
namespace {

using vsim::Op;

const std::string kProcess = "QM38_205_ProcessRequest";
const std::string kStartVibration = "+QM38_205_StartVibration\n";
const std::string kStopVibration = "+QM38_205_StopVibration\n";
const std::string kStartBlink = "+QM38_205_StartBlink\n";
const std::string kAlreadyOff = "HwN ID 0 Already Turned Off\n";
const std::string kAlreadyOn = "HwN ID 0 Already Turned On\n";

// The motor operations called and the information lines, in order.
Lines calls_and_facts(const Lines &all)
{
    return lines_starting(all, {"+QM38_205_StartVibration", "+QM38_205_StopVibration", "+QM38_205_StartBlink",
                                "HwN ID "});
}

// A request for `state` whose indices 0 to 3 are recognisable; a blink request
// is runnable and needs no normalising.
Record request(ULONG state)
{
    Record record = state == HWN_STATE_BLINK ? Record::blink(1000, 50, 3) : Record::state(state);
    if (state != HWN_STATE_BLINK) {
        record.settings[1] = 11;
        record.settings[2] = 22;
        record.settings[3] = 33;
    }
    record.settings[0] = 0x100 + state;
    record.settings[4] = 0x4444;  // never stored
    record.settings[5] = 0x5050;
    return record;
}

class ProcessTest : public SimTest {
protected:
    // Brings the element to a stored state through set-state.
    vsim::DeviceId bring_to(ULONG stored)
    {
        vsim::DeviceId id = bring_up();
        if (stored != HWN_STATE_OFF) {
            EXPECT_EQ(set_state(id, request(stored)), STATUS_SUCCESS);
        }
        EXPECT_EQ(stored_state(context(id)), stored);
        sim.clear_trace();
        return id;
    }
};

struct Row {
    ULONG stored;
    ULONG requested;
    Lines calls;  // motor operations and information lines, in order
    NTSTATUS status;
    ULONG stored_after;
};

class StateTable : public ProcessTest, public ::testing::WithParamInterface<Row> {};

TEST_P(StateTable, CallsTheOperationsOfItsRowAndStoresTheResult)
{
    const Row &row = GetParam();
    vsim::DeviceId id = bring_to(row.stored);
    PDEVICE_CONTEXT ctx = context(id);
    const HWN_SETTINGS before = stored_record(ctx);
    const uint64_t timer_stops = sim.calls(Op::WdfTimerStop);

    HWN_SETTINGS record = settings_record(request(row.requested));
    EXPECT_EQ(QM38_205_ProcessRequest(&record, ctx), row.status);

    const Lines lines = trace_texts();
    EXPECT_EQ(calls_and_facts(lines), row.calls);
    EXPECT_EQ(sim.calls(Op::WdfTimerStop) - timer_stops, row.stored == HWN_STATE_BLINK ? 1u : 0u)
        << "the blink timer is stopped exactly when a blink was stored";
    EXPECT_EQ(lines.front(), entry(kProcess));
    EXPECT_EQ(lines.back(), exit_line(kProcess, row.status));
    EXPECT_TRUE(lines_starting(lines, {"QM38_205_ProcessRequest Error"}).empty()) << "no error line in the table";

    const HWN_SETTINGS &stored = stored_record(ctx);
    EXPECT_EQ(stored.HwNSettings[HWN_SETTING_STATE], row.stored_after);
    const HWN_SETTINGS &source = NT_SUCCESS(row.status) ? record : before;
    for (int i = 0; i <= HWN_SETTING_BLINK_CYCLES; ++i) {
        EXPECT_EQ(stored.HwNSettings[i], source.HwNSettings[i]) << "setting " << i;
    }
    EXPECT_EQ(stored.HwNSettings[4], 0x5555u) << "index 4 is never stored";
    EXPECT_EQ(stored.HwNSettings[5], 0xFFFFFFFFu) << "index 5 is never stored";
    EXPECT_EQ(stored.HwNId, 0u);
    EXPECT_EQ(stored.HwNType, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    StoredByRequested, StateTable,
    ::testing::Values(Row{0, 0, {kAlreadyOff, kStopVibration}, STATUS_SUCCESS, 0},
                      Row{0, 1, {kStartVibration}, STATUS_SUCCESS, 1},
                      Row{0, 2, {kStartBlink, kStartVibration}, STATUS_SUCCESS, 2},
                      Row{1, 0, {kStopVibration}, STATUS_SUCCESS, 0},
                      Row{1, 1, {kAlreadyOn}, STATUS_SUCCESS, 1},
                      Row{1, 2, {kStartBlink, kStartVibration}, STATUS_SUCCESS, 2},
                      Row{2, 0, {kStopVibration, kAlreadyOff}, STATUS_SUCCESS, 0},
                      Row{2, 1, {kStopVibration, kStartVibration}, STATUS_SUCCESS, 1},
                      Row{2, 2, {kStopVibration, kStartBlink, kStartVibration}, STATUS_SUCCESS, 2},
                      Row{0, 3, {}, STATUS_INVALID_PARAMETER, 0},
                      Row{1, 3, {}, STATUS_INVALID_PARAMETER, 1},
                      Row{2, 3, {kStopVibration}, STATUS_INVALID_PARAMETER, 0},
                      Row{1, 0xFFFFFFFF, {}, STATUS_INVALID_PARAMETER, 1}),
    [](const ::testing::TestParamInfo<Row> &info) {
        return "stored" + std::to_string(info.param.stored) + "_requested" + std::to_string(info.param.requested);
    });

TEST_F(ProcessTest, BlinkThatDoesNotRunSeesTheOldStateAndStillStoresBlink)
{
    vsim::DeviceId id = bring_to(HWN_STATE_ON);
    HWN_SETTINGS record = settings_record(Record::blink(1000, 50, 0));
    EXPECT_EQ(QM38_205_ProcessRequest(&record, context(id)), STATUS_SUCCESS);
    EXPECT_EQ(calls_and_facts(trace_texts()), (Lines{kStartBlink, kStopVibration}))
        << "the stored state still reads 1 while the blink pattern decides";
    EXPECT_EQ(stored_state(context(id)), HWN_STATE_BLINK);
}

TEST_F(ProcessTest, RequestsThatSelectNoStoredRecordTouchNothing)
{
    vsim::DeviceId id = bring_to(HWN_STATE_BLINK);
    const HWN_SETTINGS before = stored_record(context(id));
    const uint64_t timer_stops = sim.calls(Op::WdfTimerStop);

    for (ULONG element : {1u, 2u, 0xFFFFFFFFu}) {
        sim.clear_trace();
        HWN_SETTINGS record = settings_record(request(HWN_STATE_ON));
        record.HwNId = element;
        EXPECT_EQ(QM38_205_ProcessRequest(&record, context(id)), STATUS_INVALID_PARAMETER) << element;
        EXPECT_EQ(trace_texts(), (Lines{entry(kProcess), exit_line(kProcess, STATUS_INVALID_PARAMETER)})) << element;
    }
    EXPECT_EQ(sim.calls(Op::WdfTimerStop), timer_stops) << "the blink is not ended";
    EXPECT_EQ(std::memcmp(&stored_record(context(id)), &before, sizeof before), 0);
}

struct FailureRow {
    const char *name;
    ULONG stored;
    Record requested;
    Op op;
    NTSTATUS injected;
    NTSTATUS status;
    std::string error_line;
    ULONG stored_after;
};

class ProcessFailure : public ProcessTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(ProcessFailure, ReturnsTheOperationsStatusAndKeepsTheOldSettings)
{
    const FailureRow &c = GetParam();
    vsim::DeviceId id = bring_to(c.stored);
    const HWN_SETTINGS before = stored_record(context(id));
    HWN_SETTINGS record = settings_record(c.requested);

    sim.inject(c.op, c.injected);
    EXPECT_EQ(QM38_205_ProcessRequest(&record, context(id)), c.status) << c.name;

    const Lines lines = trace_texts();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{c.error_line, exit_line(kProcess, c.status)})) << c.name;
    const HWN_SETTINGS &stored = stored_record(context(id));
    EXPECT_EQ(stored.HwNSettings[HWN_SETTING_STATE], c.stored_after) << c.name;
    for (int i = 0; i <= HWN_SETTING_BLINK_CYCLES; ++i) {
        EXPECT_EQ(stored.HwNSettings[i], before.HwNSettings[i]) << c.name << ": setting " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProcessFailure,
    ::testing::Values(
        FailureRow{"start after an ended blink", HWN_STATE_BLINK, request(HWN_STATE_ON), Op::WdfRequestCreate,
                   STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
                   "QM38_205_ProcessRequest Error: QM38_205_StartVibration failed c000009a\n", HWN_STATE_OFF},
        FailureRow{"start from off", HWN_STATE_OFF, request(HWN_STATE_ON), Op::WdfRequestCreate,
                   STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
                   "QM38_205_ProcessRequest Error: QM38_205_StartVibration failed c000009a\n", HWN_STATE_OFF},
        FailureRow{"stop from on", HWN_STATE_ON, request(HWN_STATE_OFF), Op::WdfObjectGetTypedContext,
                   STATUS_UNSUCCESSFUL, STATUS_INVALID_PARAMETER, "QM38_205_ProcessRequest Error: QM38_205_StopVibration failed c000000d\n",
                   HWN_STATE_ON},
        FailureRow{"blink without its timer context", HWN_STATE_OFF, request(HWN_STATE_BLINK),
                   Op::WdfObjectGetTypedContext, STATUS_UNSUCCESSFUL, STATUS_INVALID_PARAMETER,
                   "QM38_205_ProcessRequest Error: QM38_205_StartBlink failed c000000d\n", HWN_STATE_OFF}),
    [](const ::testing::TestParamInfo<FailureRow> &info) { return "row" + std::to_string(info.index); });

// On means on: with state 1 stored but the drive at rest (a device stop came
// since, or the start failed), an on starts the drive again; where the drive
// runs it is already on.
TEST_F(ProcessTest, OnStartsADriveAtRestWhateverIsStored)
{
    const vsim::DeviceId id = bring_to(HWN_STATE_ON);
    EXPECT_EQ(set_state(id, request(HWN_STATE_ON)), STATUS_SUCCESS);
    EXPECT_EQ(calls_and_facts(trace_texts()), Lines{kAlreadyOn});

    ASSERT_EQ(sim.stop_device(id), STATUS_SUCCESS);
    ASSERT_EQ(sim.start_device(id), STATUS_SUCCESS);
    sim.run_for(ms(20));
    ASSERT_EQ(sim.level("enable"), 0);
    sim.clear_trace();
    EXPECT_EQ(set_state(id, request(HWN_STATE_ON)), STATUS_SUCCESS);
    EXPECT_EQ(calls_and_facts(trace_texts()), Lines{kStartVibration});
    sim.run_for(ms(20));
    EXPECT_EQ(sim.level("enable"), 1);

    // A start that fails leaves the drive at rest: the next on tries again.
    sim.inject(Op::WdfRequestSend, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(sim.stop_device(id), STATUS_SUCCESS);
    EXPECT_NE(set_state(id, request(HWN_STATE_ON)), STATUS_SUCCESS);
    sim.run_for(ms(20));
    sim.clear_trace();
    EXPECT_EQ(set_state(id, request(HWN_STATE_ON)), STATUS_SUCCESS);
    EXPECT_EQ(calls_and_facts(trace_texts()), Lines{kStartVibration});
}

TEST_F(ProcessTest, FailedStopWhileEndingABlinkKeepsTheBlinkStored)
{
    vsim::DeviceId id = bring_to(HWN_STATE_BLINK);
    HWN_SETTINGS record = settings_record(request(HWN_STATE_ON));
    // The blink timer's context is read first (to end the pattern), the
    // intensity timer's second (to stop the motor).
    sim.inject(Op::WdfObjectGetTypedContext, STATUS_UNSUCCESSFUL, 2);
    EXPECT_EQ(QM38_205_ProcessRequest(&record, context(id)), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced("QM38_205_ProcessRequest Error: QM38_205_StopVibration failed c000000d\n"));
    EXPECT_FALSE(traced(kStartVibration)) << "nothing is started after the failed stop";
    EXPECT_EQ(stored_state(context(id)), HWN_STATE_BLINK);
    EXPECT_FALSE(driver_view::timer_pending(sim, context(id)->BlinkTimer)) << "the blink timer is already stopped";
}

}  // namespace
}  // namespace vtest::driver
