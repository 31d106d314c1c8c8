// SPDX-License-Identifier: MIT
// The scenario parser: what each command builds, and the refusals with their
// line numbers.
#include <gtest/gtest.h>

#include <cstring>

#include "scenario/scenario.h"

namespace vibra_tool {
namespace {

Command only_command(const std::string &text)
{
    const ParseResult result = parse_scenario(text, "t.vsim");
    EXPECT_TRUE(result.scenario) << result.error;
    if (!result.scenario || result.scenario->commands.size() != 1) {
        ADD_FAILURE() << "expected one command from: " << text;
        return {};
    }
    return result.scenario->commands[0];
}

uint32_t u32_at(const std::vector<uint8_t> &bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

TEST(ScenarioTimes, AreReadInMillisecondsMicrosecondsOrSecondsAsWholeTicks)
{
    const struct {
        const char *time;
        Ticks ticks;
    } cases[] = {
        {"0ms", 0}, {"10ms", 100'000}, {"3.3ms", 33'000}, {"250us", 2'500}, {"0.5us", 5}, {"2s", 20'000'000},
        {"1.25s", 12'500'000},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(only_command(std::string("at ") + c.time + " wait").time, c.ticks) << c.time;
    }
}

TEST(ScenarioTimes, WithAPlusAreRelativeToThePreviousCommand)
{
    const ParseResult result = parse_scenario("at 10ms start\nat +2.5ms stop\nat +0ms info\n", "t.vsim");
    ASSERT_TRUE(result.scenario) << result.error;
    EXPECT_EQ(result.scenario->commands[1].time, 125'000);
    EXPECT_EQ(result.scenario->commands[2].time, 125'000);
}

TEST(ScenarioSetState, OnOffAndBlinkBuildAOneRecordPayloadOfTheDevicesType)
{
    const Command on = only_command("at 0ms set-state on");
    ASSERT_EQ(on.payload.size(), 48u);
    EXPECT_EQ(on.length, 48u);
    const uint32_t header_and_record[] = {48, 1, 1, 0, 2};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(u32_at(on.payload, 4 * i), header_and_record[i]) << "field at offset " << 4 * i;
    }
    EXPECT_EQ(u32_at(on.payload, 44), 1u) << "state";
    EXPECT_EQ(u32_at(only_command("at 0ms set-state off").payload, 44), 0u);

    const Command blink = only_command("at 0ms set-state blink period=500 duty=40 cycles=3");
    EXPECT_EQ(u32_at(blink.payload, 24), 500u);
    EXPECT_EQ(u32_at(blink.payload, 28), 40u);
    EXPECT_EQ(u32_at(blink.payload, 32), 3u);
    EXPECT_EQ(u32_at(blink.payload, 44), 2u);
}

TEST(ScenarioSetState, OverridesHeaderAndRecordFieldsAndTheBufferLength)
{
    const Command command =
        only_command("at 0ms set-state on size=0 version=2 requests=0x2 id=1 type=1 state=3 length=52 expect=0xC000000D");
    EXPECT_EQ(u32_at(command.payload, 0), 0u);
    EXPECT_EQ(u32_at(command.payload, 4), 2u);
    EXPECT_EQ(u32_at(command.payload, 8), 2u);
    EXPECT_EQ(u32_at(command.payload, 12), 1u);
    EXPECT_EQ(u32_at(command.payload, 16), 1u);
    EXPECT_EQ(u32_at(command.payload, 44), 3u);
    EXPECT_EQ(command.length, 52u);
    EXPECT_EQ(command.expect_status, static_cast<int32_t>(0xC000000D));
}

TEST(ScenarioSetState, RawTakesHexPairsWithOptionalGroupingAndItsOwnLength)
{
    const Command command = only_command("at 0ms set-state raw=0C000000_01000000_00000000 length=8");
    EXPECT_EQ(command.payload, (std::vector<uint8_t>{12, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(command.length, 8u) << "a length shorter than the payload cuts it";
    EXPECT_EQ(only_command("at 0ms set-state raw=aBcD").payload, (std::vector<uint8_t>{0xAB, 0xCD}));
}

TEST(ScenarioGetState, DefaultsToA48ByteOutputAndNoInput)
{
    const Command plain = only_command("at 0ms get-state");
    EXPECT_FALSE(plain.input);
    EXPECT_EQ(plain.output_length, 48u);
    EXPECT_FALSE(plain.same_buffer);

    const Command shared = only_command("at 0ms get-state input=0c000000 input-length=12 output-length=60 same-buffer "
                                        "expect=STATUS_DATA_ERROR expect-bytes=12 expect-output=30");
    ASSERT_TRUE(shared.input);
    EXPECT_EQ(shared.input->size(), 4u);
    EXPECT_EQ(shared.input_length, 12u);
    EXPECT_EQ(shared.output_length, 60u);
    EXPECT_TRUE(shared.same_buffer);
    EXPECT_EQ(shared.expect_status, static_cast<int32_t>(0xC000003E));
    EXPECT_EQ(shared.expect_bytes, 12u);
    EXPECT_EQ(shared.expect_output, (std::vector<uint8_t>{0x30}));
}

TEST(ScenarioFaults, NameTheOperationTheStatusAndWhichCall)
{
    const Command fault = only_command("at 0ms fault WdfIoTargetOpen status=STATUS_OBJECT_NAME_NOT_FOUND every");
    EXPECT_EQ(fault.op, vsim::Op::WdfIoTargetOpen);
    EXPECT_EQ(fault.status, static_cast<int32_t>(0xC0000034));
    EXPECT_EQ(fault.nth, 0u) << "every call";
    EXPECT_EQ(only_command("at 0ms fault WdfRequestCreate").status, static_cast<int32_t>(0xC000009A))
        << "the operation's most common failure by default";

    const Command timeout = only_command("at 0ms lock-timeout nth=2");
    EXPECT_EQ(timeout.op, vsim::Op::WdfWaitLockAcquire);
    EXPECT_EQ(timeout.status, 0x102);
    EXPECT_EQ(timeout.nth, 2u);

    EXPECT_EQ(only_command("at 0ms refuse-send").op, vsim::Op::WdfRequestSend);
    const Command completion = only_command("at 0ms fail-completion status=0xC00000B5");
    EXPECT_EQ(completion.op, vsim::Op::RequestCompletion);
    EXPECT_EQ(completion.status, static_cast<int32_t>(0xC00000B5));
    EXPECT_EQ(completion.nth, 1u) << "the next call by default";
}

TEST(ScenarioTraceMask, SetsOneLevelOrOpensOrRestoresAll)
{
    EXPECT_EQ(only_command("at 0ms trace-mask level=5 mask=0x4").masks,
              (std::vector<std::pair<int, uint32_t>>{{5, 4u}}));
    EXPECT_EQ(only_command("at 0ms trace-mask open").masks.size(), 5u);
    EXPECT_EQ(only_command("at 0ms trace-mask initial").masks[1], (std::pair<int, uint32_t>{2, 0xFFFFFFFEu}));
}

TEST(ScenarioText, SkipsCommentsAndBlankLinesAndKeepsLineNumbers)
{
    const ParseResult result =
        parse_scenario("# header\n\n   \nat 0ms start   # trailing comment\r\n\tat 1ms stop\n \v\f\n", "t.vsim");
    ASSERT_TRUE(result.scenario) << result.error;
    ASSERT_EQ(result.scenario->commands.size(), 2u);
    EXPECT_EQ(result.scenario->commands[0].line, 4);
    EXPECT_EQ(result.scenario->commands[0].text, "start");
    EXPECT_EQ(result.scenario->commands[1].line, 5);
}

TEST(ScenarioText, AnAmpersandRunsAClassExtensionCallOnAThreadOfItsOwn)
{
    const ParseResult result = parse_scenario("at 1ms & set-state on expect=0\nat 1ms get-state\n", "t.vsim");
    ASSERT_TRUE(result.scenario) << result.error;
    const Command &first = result.scenario->commands[0];
    EXPECT_TRUE(first.concurrent);
    EXPECT_EQ(first.kind, CommandKind::SetState);
    EXPECT_EQ(first.text, "set-state on");
    EXPECT_EQ(first.expect_status, 0);
    EXPECT_FALSE(result.scenario->commands[1].concurrent);
}

TEST(ScenarioErrors, NameTheFileAndLineAndWhatWasExpected)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"at 0ms start\nat 1ms spin\n", "t.vsim:2: unknown command 'spin'; expected one of setup, start, stop,"},
        {"start\n", "t.vsim:1: expected 'at TIME COMMAND [ARGUMENTS]'"},
        {"at 10 start\n", "t.vsim:1: bad time '10'; expected a number with a unit ms, us, s, min or h"},
        {"at 0.05us start\n", "t.vsim:1: time '0.05us' is finer than 0.1 us"},
        {"at 0ms set-state blink period=5OO duty=1 cycles=1\n",
         "t.vsim:1: bad number '5OO' for period=; expected a decimal or 0x-prefixed hex number"},
        {"at 0ms set-state on length=4294967296\n", "t.vsim:1: bad number '4294967296' for length="},
        {"at 0ms set-state raw=123\n", "t.vsim:1: bad hex '123' for raw=: 3 digits; expected pairs of hex digits"},
        {"at 0ms get-state input=12zz\n", "t.vsim:1: bad hex '12zz' for input=: 'z' is not a hex digit"},
        {"at 5ms start\nat 4.9ms stop\n", "t.vsim:2: time 4.9ms goes backwards; expected 5ms or later"},
        {"at 0ms set-state blink period=500 duty=40\n", "t.vsim:1: set-state blink needs cycles="},
        {"at 0ms set-state dim\n", "t.vsim:1: unknown state 'dim' for set-state"},
        {"at 0ms set-state on speed=3\n", "t.vsim:1: unknown argument 'speed=' for set-state"},
        {"at 0ms set-state on length=1 length=2\n", "t.vsim:1: 'length=' given twice"},
        {"at 0ms start expect=STATUS_BOGUS\n", "t.vsim:1: bad status 'STATUS_BOGUS' for expect="},
        {"at 0ms remove expect=0\n", "t.vsim:1: expect= for remove, which returns no status"},
        {"at 0ms get-state same-buffer\n", "t.vsim:1: same-buffer without input="},
        {"at 0ms fault WdfFrobnicate\n", "t.vsim:1: unknown platform operation 'WdfFrobnicate'"},
        {"at 0ms refuse-send nth=0\n", "t.vsim:1: nth=0; expected 1 for the next call"},
        // Only failures the real platform can return.
        {"at 0ms fault WdfTimerStart\n", "t.vsim:1: WdfTimerStart cannot fail on the real platform (it returns a "
                                         "value or nothing)"},
        {"at 0ms fault ExSetTimerResolution status=STATUS_UNSUCCESSFUL\n",
         "t.vsim:1: ExSetTimerResolution cannot fail on the real platform"},
        {"at 0ms fault WdfObjectGetTypedContext\n", "t.vsim:1: WdfObjectGetTypedContext cannot fail"},
        {"at 0ms fault WdfWaitLockAcquire status=STATUS_UNSUCCESSFUL\n",
         "t.vsim:1: WdfWaitLockAcquire cannot fail with STATUS_UNSUCCESSFUL (0xC0000001) on the real platform; "
         "expected status=STATUS_TIMEOUT"},
        {"at 0ms refuse-send status=STATUS_TIMEOUT\n",
         "t.vsim:1: WdfRequestSend cannot fail with STATUS_TIMEOUT (0x00000102) on the real platform; expected "
         "status=STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_NOT_CONNECTED or STATUS_INSUFFICIENT_RESOURCES"},
        {"at 0ms refuse-send nth=1 every\n", "t.vsim:1: both nth= and every"},
        {"at 0ms trace-mask level=6 mask=1\n", "t.vsim:1: bad level 6 for trace-mask; expected a level from 1 to 5"},
        {"at 0ms check\n", "t.vsim:1: check needs something to check"},
        {"at 0ms check enable=2\n", "t.vsim:1: bad line level '2' for enable=; expected 0 or 1"},
        {"at 0ms start\nat 0ms setup\n", "t.vsim:2: setup after other commands"},
        {"at 1ms setup\n", "t.vsim:1: setup at 1ms; expected setup at 0ms"},
        {"at 0ms remove\nat 1ms start\n", "t.vsim:2: start after remove"},
        {"at 0ms unload\nat 1ms unload\n", "t.vsim:2: unload after unload"},
        {"at 0ms end\nat 1ms wait\n", "t.vsim:2: command after end"},
        {"at 0ms & teardown\n", "t.vsim:1: 'teardown' cannot run on a thread of its own; '&' takes start, stop"},
        {"at 0ms &\n", "t.vsim:1: expected a command after '&', e.g. 'at 10ms & set-state off'"},
    };
    for (const auto &c : cases) {
        const ParseResult result = parse_scenario(c.text, "t.vsim");
        EXPECT_FALSE(result.scenario) << c.text;
        EXPECT_TRUE(result.error.starts_with(c.error)) << "for: " << c.text << "got: " << result.error;
    }
}

TEST(ScenarioErrors, AMissingFileIsRefusedWithItsName)
{
    const ParseResult result = load_scenario("/nonexistent/dir/x.vsim");
    EXPECT_FALSE(result.scenario);
    EXPECT_EQ(result.error,
              "/nonexistent/dir/x.vsim: cannot read the scenario file (No such file or directory); expected a readable "
              "text file");
}

// Lengths of time in the largest units that read well, and h and min read.
TEST(ScenarioTimes, DurationsReadInTheirLargestUnits)
{
    const struct {
        Ticks ticks;
        const char *text;
    } cases[] = {
        {33000, "3.3ms"},
        {vsim::kTicksPerSecond, "1s"},
        {25 * vsim::kTicksPerSecond / 10, "2.5s"},
        {8804310 * vsim::kTicksPerMs, "2h 26min 44.31s"},
        {86400 * vsim::kTicksPerSecond, "24h"},
        {90 * vsim::kTicksPerSecond, "1min 30s"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(format_duration(c.ticks), c.text);
    }
    EXPECT_EQ(only_command("at 20h wait").time, 20 * 3600 * vsim::kTicksPerSecond);
    EXPECT_EQ(only_command("at 1.5min wait").time, 90 * vsim::kTicksPerSecond);
}

}  // namespace
}  // namespace vibra_tool
