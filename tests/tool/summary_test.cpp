// SPDX-License-Identifier: MIT
// The report's line summaries, payload decoding and trace classification, on
// recordings made up for the purpose.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "outputs/report.h"
#include "measure/summary.h"
#include "player/trace_log.h"
#include "outputs/waveforms.h"

namespace vibra_tool {
namespace {

constexpr Ticks kStep = 33'000;  // 3.3 ms

// The enable line high from 10 ms for `steps` drive steps; the drive line
// high at the start and toggling every step, as the motor drive does.
Recording square_wave(int steps)
{
    Recording recording;
    const Ticks start = vsim::ms(10);
    recording.changes.push_back({start, kEnableLine, 1});
    for (int i = 0; i <= steps; ++i) {
        recording.changes.push_back({start + i * kStep, kDriveLine, i % 2 == 0 ? 1 : 0});
    }
    recording.changes.push_back({start + steps * kStep, kEnableLine, 0});
    recording.end = start + steps * kStep + vsim::ms(10);
    return recording;
}

TEST(LineSummary, CountsEdgesAndTimeHighIgnoringRepeatedLevels)
{
    Recording recording = square_wave(10);
    recording.changes.insert(recording.changes.begin() + 2, {vsim::ms(10), kDriveLine, 1});  // no change
    const LineSummary enable = summarise(recording.changes, recording.end).enable;
    EXPECT_EQ(enable.rising, 1);
    EXPECT_EQ(enable.falling, 1);
    EXPECT_EQ(enable.high, 10 * kStep);
    EXPECT_EQ(enable.final_level, 0);
    const LineSummary drive = summarise(recording.changes, recording.end).drive;
    EXPECT_EQ(drive.rising, 6);
    EXPECT_EQ(drive.falling, 5);
    EXPECT_EQ(drive.final_level, 1) << "the tenth step leaves the drive line high";
    EXPECT_EQ(drive.high, 5 * kStep + vsim::ms(10));
}

TEST(LineSummary, DriveFrequencyAndDutyAreMeasuredOnlyWhileTheMotorRan)
{
    Recording recording = square_wave(100);
    // Drive activity with the enable line low does not count.
    recording.changes.push_back({recording.end - vsim::ms(5), kDriveLine, 0});
    const DriveSummary drive = summarise(recording.changes, recording.end).motor;
    EXPECT_EQ(drive.running, 100 * kStep);
    EXPECT_NEAR(drive.frequency_hz, 151.515, 0.01) << "6.6 ms period";
    EXPECT_NEAR(drive.duty_percent, 50.0, 0.01);
}

TEST(LineSummary, AMotorThatNeverRanHasNoDriveFigures)
{
    Recording recording;
    recording.changes.push_back({vsim::ms(1), kDriveLine, 1});
    recording.end = vsim::ms(5);
    const DriveSummary drive = summarise(recording.changes, recording.end).motor;
    EXPECT_EQ(drive.running, 0);
    EXPECT_EQ(drive.frequency_hz, 0.0);
}

TEST(PayloadDecoding, NamesEveryFieldAsFarAsTheBytesGo)
{
    std::vector<uint8_t> bytes(48, 0);
    const uint32_t fields[] = {48, 1, 1, 0, 2, 0x5555, 500, 40, 3, 0x5555, 0xFFFFFFFF, 2};
    std::memcpy(bytes.data(), fields, sizeof fields);
    const std::vector<std::string> lines = decode_payload(bytes);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "HwNPayloadSize=48 HwNPayloadVersion=1 HwNRequests=1");
    EXPECT_EQ(lines[1], "record 0: HwNId=0 HwNType=2 HwNSettings[0]=0x00005555 HwNSettings[1]=500 (period ms) "
                        "HwNSettings[2]=40 (duty %) HwNSettings[3]=3 (cycles) HwNSettings[4]=0x00005555 "
                        "HwNSettings[5]=0xFFFFFFFF HwNSettings[6]=2 (state blink)");

    bytes.resize(22);
    const std::vector<std::string> cut = decode_payload(bytes);
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[1], "record 0: HwNId=0 HwNType=2");
    EXPECT_EQ(cut[2], "(2 trailing bytes)");
}

TEST(TraceShapes, FollowTheDriversChoiceOfLevelAndFlags)
{
    const struct {
        const char *format;
        uint32_t level;
        uint32_t flags;
    } cases[] = {
        {"+QM38_205_SetState\n", 5, 0x4},
        {"-QM38_205_SetState:%s:%08X\n", 5, 0x4},
        {"Resources Found %i\n", 5, 0x4000},
        {"HwN ID %i Already Turned Off\n", 5, 0x4000},
        {"EvtRequestWriteCompletionRoutine Failed\r\n", 3, 0x4004},
        {"QM38_205_SetState Error: HwNType Mismatch\n", 2, 0x4000},
        {"QM38_205_GetStateInputBufferLength cannot be greater than OutputBufferLength", 2, 0x4000},
    };
    for (const auto &c : cases) {
        const TraceShape shape = trace_shape(c.format);
        EXPECT_EQ(shape.level, c.level) << c.format;
        EXPECT_EQ(shape.flags, c.flags) << c.format;
    }
}

TEST(TraceShapes, AreWrittenWithTimeLevelFlagsAndVisibleCarriageReturns)
{
    std::ostringstream out;
    write_trace_line(out, {33'000, 3, 0x4004, "EvtRequestWriteCompletionRoutine Failed\r\n"});
    EXPECT_EQ(out.str(), "      3.3000 ms  L3 F00004004  EvtRequestWriteCompletionRoutine Failed\\r\n");
}

TEST(EventsCsv, WritesFractionalMicrosecondsOnlyWhenNeeded)
{
    Recording recording;
    recording.writes.push_back({0, 12, kDriveLine, 1, 0});
    recording.writes.push_back({0, 33'005, kEnableLine, 0, static_cast<int32_t>(0xC00000B5)});
    std::ostringstream out;
    write_events_csv(out, recording);
    EXPECT_EQ(out.str(), "time_us,line,value,status\n1.2,drive,1,0x00000000\n3300.5,enable,0,0xC00000B5\n");
}

}  // namespace
}  // namespace vibra_tool
