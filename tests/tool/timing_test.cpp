// SPDX-License-Identifier: MIT
// The timing report's arithmetic on made-up series, and the report from the
// command line. The figures of a real run depend on the host and are never
// checked here; only that the run happens, ends with the motor off and says
// what it measured.
#include <gtest/gtest.h>

#include "player/timing.h"
#include "support/tool_run.h"

namespace vibra_tool {
namespace {

TEST(TimingSummary, TakesNearestRankPercentilesOfUnsortedSeries)
{
    struct Case {
        const char *name;
        std::vector<int64_t> values;
        int64_t min, median, p99, max;
    };
    std::vector<int64_t> hundred;  // 100 down to 1
    for (int64_t i = 100; i >= 1; --i) {
        hundred.push_back(i);
    }
    std::vector<int64_t> two_hundred = hundred;  // 1..100 twice, and one outlier
    two_hundred.insert(two_hundred.end(), hundred.begin(), hundred.end());
    two_hundred.push_back(1'000'000);
    const Case cases[] = {
        {"empty", {}, 0, 0, 0, 0},
        {"one", {7}, 7, 7, 7, 7},
        {"even count takes the lower middle", {4, 1, 3, 2}, 1, 2, 4, 4},
        {"hundred", hundred, 1, 50, 99, 100},
        {"an outlier past p99", two_hundred, 1, 51, 100, 1'000'000},
    };
    for (const Case &c : cases) {
        std::vector<int64_t> lateness;
        for (int64_t value : c.values) {
            lateness.push_back(value - 50);
        }
        const IntervalSummary summary = summarise(c.values, lateness);
        EXPECT_EQ(summary.count, c.values.size()) << c.name;
        EXPECT_EQ(summary.min, c.min) << c.name;
        EXPECT_EQ(summary.median, c.median) << c.name;
        EXPECT_EQ(summary.p99, c.p99) << c.name;
        EXPECT_EQ(summary.max, c.max) << c.name;
        EXPECT_EQ(summary.late_median, c.values.empty() ? 0 : c.median - 50) << c.name;
        EXPECT_EQ(summary.late_p99, c.values.empty() ? 0 : c.p99 - 50) << c.name;
        EXPECT_EQ(summary.late_max, c.values.empty() ? 0 : c.max - 50) << c.name;
    }
}

TEST(TimingWaveform, FrequencyAndDutyOfTheDriveLine)
{
    struct Case {
        const char *name;
        std::vector<std::pair<int64_t, int>> changes;
        double frequency_hz;
        double duty;
    };
    std::vector<std::pair<int64_t, int>> square;  // 6.6 ms period, half high
    for (int i = 0; i <= 20; ++i) {
        square.emplace_back(i * kStepNs, i % 2 == 0 ? 1 : 0);
    }
    // The stop sequence writes low twice, then high: the repeated low is no
    // edge, and the time low counts once.
    const std::vector<std::pair<int64_t, int>> stop = {
        {0, 1}, {1000, 0}, {2000, 0}, {3000, 1}, {4000, 0}, {5000, 1}};
    const Case cases[] = {
        {"nothing", {}, 0, 0},
        {"one rise", {{0, 1}, {1000, 0}}, 0, 1.0},
        {"square wave", square, 1e9 / (2.0 * kStepNs), 10.0 / 20.0},
        {"stop sequence", stop, 2.0 * 1e9 / 5000, 2000.0 / 5000},
    };
    for (const Case &c : cases) {
        const Waveform wave = waveform_of(c.changes);
        EXPECT_NEAR(wave.frequency_hz, c.frequency_hz, 1e-6) << c.name;
        EXPECT_NEAR(wave.duty, c.duty, 1e-9) << c.name;
    }
}

// vibra-sim with `arguments`; its exit status, and what it printed on
// either stream.
int run_tool(const std::string &arguments, std::string *out)
{
    const vibra_test::SimRun run = vibra_test::run_sim(arguments);
    *out = run.out + run.err;
    return run.status;
}

TEST(TimingReport, RunsTheDriveAndTheBareLoopAndEndsWithTheMotorOff)
{
    std::string out;
    ASSERT_EQ(run_tool("--realtime --timing --duration 0.2", &out), 0) << out;
    for (const char *line : {"interval median", "lateness p99", "CPU of a core", "drive line: ", "Targets:",
                             "median interval within 0.5 % of 3.3 ms", "p99 lateness at most 1.25 x the bare loop's",
                             "CPU at most 1.5 x the bare loop's", "motor off at the end: yes"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    EXPECT_EQ(out.find("error:"), std::string::npos) << out;
}

TEST(TimingReport, RefusesWhatItCannotMeasure)
{
    std::string out;
    for (const char *arguments : {"--timing --scenario x.vsim", "--timing --explore", "--duration 5",
                                  "--timing --duration 0", "--timer-slack 1", "--timing --schedule random"}) {
        EXPECT_EQ(run_tool(arguments, &out), 2) << arguments << "\n" << out;
    }
}

}  // namespace
}  // namespace vibra_tool
