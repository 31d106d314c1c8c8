// SPDX-License-Identifier: MIT
// The outputs made as a run goes: what the player streams against what it
// keeps, the line summaries fed one change at a time, the SVG's bounded
// picture and the VCD's rewrite in 100 ns steps.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "player/player.h"
#include "measure/summary.h"
#include "outputs/waveforms.h"

namespace vibra_tool {
namespace {

using vsim::ms;

std::string row(const WriteRecord &w)
{
    std::ostringstream out;
    write_event_row(out, w);
    return std::to_string(w.sent) + " " + out.str();
}
std::string row(const LevelChange &c) { return std::to_string(c.time) + " " + c.line + "=" + std::to_string(c.value); }
std::string row(const StateSample &s) { return std::to_string(s.time) + " state=" + std::to_string(s.state); }
std::string row(const TraceRecord &t) { return std::to_string(t.time) + " " + t.text; }

template <typename T>
std::vector<std::string> rows(const std::vector<T> &records)
{
    std::vector<std::string> result;
    for (const T &record : records) {
        result.push_back(row(record));
    }
    return result;
}

struct Streamed {
    Recording recording;
    std::vector<std::string> writes, changes, states, trace;
    bool simulator_kept_something = false;
};

Streamed play_streaming(bool keep)
{
    const ParseResult parsed = parse_scenario("at 0ms start\n"
                                              "at 10ms set-state on\n"
                                              "at 60ms set-state off\n"
                                              "at 100ms set-state blink period=100 duty=30 cycles=3\n"
                                              "at 450ms fail-completion\n"
                                              "at 460ms set-state on\n"
                                              "at 500ms set-state off\n"
                                              "at 510ms get-state\n",
                                              "stream");
    EXPECT_TRUE(parsed.scenario) << parsed.error;
    Streamed result;
    PlayerOptions options;
    options.keep_records = keep;
    options.masks.fill(0xFFFFFFFFu);
    options.on_write = [&](const WriteRecord &w) { result.writes.push_back(row(w)); };
    options.on_change = [&](const LevelChange &c) { result.changes.push_back(row(c)); };
    options.on_state = [&](const StateSample &s) { result.states.push_back(row(s)); };
    options.on_trace = [&](const TraceRecord &t) { result.trace.push_back(row(t)); };
    options.before_command = [&](vsim::Simulator &sim, vsim::DeviceId, const Recording &) {
        result.simulator_kept_something |= !sim.writes().empty() || !sim.line_changes().empty() ||
                                           !sim.trace().empty() || !sim.call_log().empty() ||
                                           !sim.resolution_calls().empty();
    };
    result.recording = play(*parsed.scenario, options);
    return result;
}

TEST(Streaming, TheCallbacksSeeWhatAKeptRecordHoldsAndNothingElseIsKept)
{
    const Streamed kept = play_streaming(true);
    const Streamed streamed = play_streaming(false);
    EXPECT_FALSE(streamed.simulator_kept_something) << "the player streams; the simulator keeps no record";
    ASSERT_GT(kept.recording.writes.size(), 30u);
    EXPECT_EQ(streamed.writes, rows(kept.recording.writes));
    EXPECT_EQ(streamed.changes, rows(kept.recording.changes));
    EXPECT_EQ(streamed.states, rows(kept.recording.states));
    EXPECT_EQ(streamed.trace, rows(kept.recording.trace));
    EXPECT_TRUE(streamed.recording.writes.empty());
    EXPECT_TRUE(streamed.recording.changes.empty());
    EXPECT_TRUE(streamed.recording.trace.empty());
    EXPECT_EQ(streamed.recording.trace_lines, kept.recording.trace.size());

    // The summaries made on the way equal those of the whole record.
    ASSERT_TRUE(streamed.recording.summaries);
    const LineSummaries &made = *streamed.recording.summaries;
    const LineSummaries whole = summarise(kept.recording.changes, kept.recording.end);
    for (const auto &[line, summary, all] :
         {std::tuple{kEnableLine, made.enable, whole.enable}, std::tuple{kDriveLine, made.drive, whole.drive}}) {
        EXPECT_EQ(summary.rising, all.rising) << line;
        EXPECT_EQ(summary.falling, all.falling) << line;
        EXPECT_EQ(summary.high, all.high) << line;
        EXPECT_EQ(summary.final_level, all.final_level) << line;
    }
    EXPECT_GT(whole.motor.running, 0);
    EXPECT_EQ(made.motor.running, whole.motor.running);
    EXPECT_DOUBLE_EQ(made.motor.frequency_hz, whole.motor.frequency_hz);
    EXPECT_DOUBLE_EQ(made.motor.duty_percent, whole.motor.duty_percent);
}

// Enable high from 10 to 40 (ticks); drive up at 10, down at 20, up at 30,
// down at 40; the run ends at 50. The window is [10, 40): high for 20 of 30,
// one period of 20. Edges of one instant may come in either order.
TEST(DriveSummary, EdgesOfOneInstantCountTheSameInAnyOrder)
{
    const LevelChange enable_up{10, kEnableLine, 1}, drive_up{10, kDriveLine, 1};
    const LevelChange enable_down{40, kEnableLine, 0}, drive_down{40, kDriveLine, 0};
    const std::vector<LevelChange> middle = {{20, kDriveLine, 0}, {30, kDriveLine, 1}};
    const struct {
        const char *name;
        std::vector<LevelChange> start, stop;
    } cases[] = {
        {"enable first", {enable_up, drive_up}, {enable_down, drive_down}},
        {"drive first", {drive_up, enable_up}, {drive_down, enable_down}},
        {"mixed", {drive_up, enable_up}, {enable_down, drive_down}},
    };
    for (const auto &c : cases) {
        Summariser summariser;
        for (const auto *part : {&c.start, &middle, &c.stop}) {
            for (const LevelChange &change : *part) {
                summariser.change(change);
            }
        }
        summariser.change({50, kDriveLine, 1});  // at the end of the run: does not count
        const DriveSummary motor = summariser.finish(50).motor;
        EXPECT_EQ(motor.running, 30) << c.name;
        EXPECT_NEAR(motor.duty_percent, 100.0 * 20 / 30, 1e-9) << c.name;
        EXPECT_NEAR(motor.frequency_hz, 1e7 / 20, 1e-6) << c.name;
    }
}

TEST(SvgPicture, StaysWithinItsCapacityAndCountsEveryEdge)
{
    SvgPicture exact(64);
    SvgPicture decimated(64);
    constexpr int kEdges = 100'000;
    for (int i = 0; i < kEdges; ++i) {
        const LevelChange change{ms(1) + Ticks{i} * 33'000, kDriveLine, (i + 1) % 2};
        decimated.change(change);
        if (i < 10) {
            exact.change(change);
        }
    }
    ASSERT_EQ(exact.buckets(kDriveLine).size(), 10u) << "while there is room every edge is drawn where it was";
    EXPECT_EQ(exact.buckets(kDriveLine)[3].first, ms(1) + 3 * 33'000);
    const auto &buckets = decimated.buckets(kDriveLine);
    ASSERT_LE(buckets.size(), 64u);
    uint64_t edges = 0;
    for (size_t i = 0; i < buckets.size(); ++i) {
        edges += buckets[i].edges;
        EXPECT_LE(buckets[i].first, buckets[i].last);
        if (i > 0) {
            EXPECT_LT(buckets[i - 1].last, buckets[i].first);
        }
    }
    EXPECT_EQ(edges, uint64_t(kEdges));
    EXPECT_EQ(buckets.front().first, ms(1));
    EXPECT_EQ(buckets.back().last, ms(1) + (kEdges - 1) * Ticks{33'000});
    EXPECT_EQ(buckets.back().after, 0);
    EXPECT_TRUE(decimated.buckets(kEnableLine).empty());
}

TEST(Vcd, AWholeMicrosecondFileMeetingAFinerTimeIsRewrittenIn100nsSteps)
{
    const std::string path = (std::filesystem::temp_directory_path() / ("vibra-rescale-" + std::to_string(getpid()) + ".vcd")).string();
    auto file = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    VcdWriter writer(*file, true);
    writer.on_rescale([&]() -> std::ostream & {
        file->close();
        EXPECT_TRUE(rescale_vcd_file(path));
        file->open(path, std::ios::binary | std::ios::app);
        return *file;
    });
    writer.header("rescale", "test");
    writer.change({20, kEnableLine, 1});   // 2 us
    writer.state({20, 1});
    writer.change({35, kDriveLine, 1});    // 3.5 us
    writer.finish(50);
    file->close();
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    EXPECT_NE(text.find("$timescale 100ns $end"), std::string::npos);
    EXPECT_NE(text.find("$end\n#20\n1!\n1&\n#35\n1\"\n#50\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace vibra_tool
