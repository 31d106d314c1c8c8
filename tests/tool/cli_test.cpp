// SPDX-License-Identifier: MIT
// vibra-sim end to end: the executable is run as a user runs it, and what it
// writes is read back and checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>
#include "support/tool_run.h"

namespace {

namespace fs = std::filesystem;

const std::string kScenarios = std::string(VIBRA_TEST_DIR) + "/scenarios/";

using vibra_test::quoted;
using vibra_test::read_file;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

using VibraSim = vibra_test::SimDirTest;

struct CsvRow {
    std::string time;
    std::string line;
    int value;
    std::string status;
};

std::vector<CsvRow> parse_csv(const std::string &text)
{
    std::vector<CsvRow> rows;
    const std::vector<std::string> lines = lines_of(text);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> fields;
        std::stringstream stream(lines[i]);
        std::string field;
        while (std::getline(stream, field, ',')) {
            fields.push_back(field);
        }
        EXPECT_EQ(fields.size(), 4u) << "row " << i << ": " << lines[i];
        if (fields.size() == 4) {
            rows.push_back({fields[0], fields[1], std::stoi(fields[2]), fields[3]});
        }
    }
    return rows;
}

// (time, variable name, value) for every value change after the initial dump.
struct Change {
    long long time;
    std::string name;
    std::string value;
    bool operator==(const Change &) const = default;
    bool operator<(const Change &other) const
    {
        return std::tie(time, name, value) < std::tie(other.time, other.name, other.value);
    }
};

void PrintTo(const Change &change, std::ostream *out) { *out << change.time << ":" << change.name << "=" << change.value; }

struct Vcd {
    std::string timescale;
    std::map<std::string, std::string> names;  // id code -> name
    std::vector<Change> changes;
};

Vcd parse_vcd(const std::string &text)
{
    Vcd vcd;
    std::istringstream stream(text);
    std::string token;
    long long time = 0;
    bool dumping_initial = false;
    bool definitions = true;
    while (stream >> token) {
        if (definitions) {
            if (token == "$timescale") {
                stream >> vcd.timescale;
            } else if (token == "$var") {
                std::string type, size, id, name;
                stream >> type >> size >> id >> name;
                vcd.names[id] = name;
            } else if (token == "$enddefinitions") {
                definitions = false;
            }
            continue;
        }
        if (token == "$comment") {
            while (stream >> token && token != "$end") {
            }
        } else if (token == "$dumpvars") {
            dumping_initial = true;
        } else if (token == "$end") {
            dumping_initial = false;
        } else if (dumping_initial) {
            continue;
        } else if (token[0] == '#') {
            time = std::stoll(token.substr(1));
        } else {
            std::string value, id;
            if (token[0] == 'b') {
                value = token.substr(1);
                stream >> id;
            } else {
                value = token.substr(0, 1);
                id = token.substr(1);
            }
            EXPECT_TRUE(vcd.names.count(id)) << "value change for an undeclared id " << id;
            vcd.changes.push_back({time, vcd.names[id], value});
        }
    }
    return vcd;
}

TEST_F(VibraSim, PlaysTheDefaultScenarioAndTellsWhereTheWaveformsAre)
{
    ASSERT_EQ(run("--out " + quoted(path("out"))), 0) << err;
    for (const char *text : {"set-state on  -> STATUS_SUCCESS (0x00000000), 48 bytes written",
                             "set-state blink period=500 duty=40 cycles=3  -> STATUS_SUCCESS (0x00000000)",
                             "get-state  -> STATUS_SUCCESS (0x00000000), 48 bytes read",
                             "HwNPayloadSize=48 HwNPayloadVersion=1 HwNRequests=1",
                             "HwNSettings[1]=500 (period ms) HwNSettings[2]=40 (duty %) HwNSettings[3]=3 (cycles)",
                             "HwNSettings[6]=2 (state blink)", "Version=1 Size=6 HwNCount=1",
                             "drive while the motor ran", "151.", "Expectations: all held", "Verifier: no findings",
                             "Waveform files:"}) {
        EXPECT_NE(out.find(text), std::string::npos) << "report lacks: " << text << "\n" << out;
    }
    for (const char *file : {"events.csv", "waves.vcd", "timing.svg", "trace.txt"}) {
        EXPECT_TRUE(fs::exists(path("out/") + file)) << file;
        EXPECT_NE(out.find(path("out/") + file), std::string::npos) << "the report names " << file;
    }
    // Four on-phases (steady, then three blinks) each raise the enable line once.
    EXPECT_NE(out.find("enable  8 edges (4 rising, 4 falling)"), std::string::npos) << out;
}

TEST_F(VibraSim, WritesTheLineWritesAsCsvInCompletionOrder)
{
    ASSERT_EQ(run("--events " + quoted(path("e.csv"))), 0) << err;
    const std::string text = read_file(path("e.csv"));
    ASSERT_TRUE(text.starts_with("time_us,line,value,status\n"));
    const std::vector<CsvRow> rows = parse_csv(text);
    ASSERT_GE(rows.size(), 4u);
    // Device start writes the drive line low, then the enable line.
    EXPECT_EQ(rows[0].time, "0");
    EXPECT_EQ(rows[0].line, "drive");
    EXPECT_EQ(rows[1].line, "enable");
    // The steady run at 10 ms raises the enable line, then the drive line.
    EXPECT_EQ(rows[2].time, "10000");
    EXPECT_EQ(rows[2].line, "enable");
    EXPECT_EQ(rows[2].value, 1);
    EXPECT_EQ(rows[3].line, "drive");
    EXPECT_EQ(rows[4].time, "13300") << "first drive step 3.3 ms later";
    double previous = 0;
    for (const CsvRow &row : rows) {
        EXPECT_TRUE(row.line == "enable" || row.line == "drive") << row.line;
        EXPECT_TRUE(row.value == 0 || row.value == 1);
        EXPECT_EQ(row.status, "0x00000000");
        EXPECT_GE(std::stod(row.time), previous);
        previous = std::stod(row.time);
    }
}

TEST_F(VibraSim, AGpioLatencyDelaysEveryCompletion)
{
    ASSERT_EQ(run("--gpio-latency 100 --scenario " + quoted(kScenarios + "steady_on.vsim") + " --events " +
                  quoted(path("e.csv"))),
              0)
        << err;
    const std::vector<CsvRow> rows = parse_csv(read_file(path("e.csv")));
    ASSERT_GE(rows.size(), 5u);
    EXPECT_EQ(rows[0].time, "100") << "start's writes complete 100 us after they were sent";
    EXPECT_EQ(rows[2].time, "10100");
    EXPECT_EQ(rows[4].time, "13400") << "the first drive step is sent 3.3 ms after the start";
}

TEST_F(VibraSim, VcdEdgesMatchTheRecordedWritesAndTheStoredState)
{
    ASSERT_EQ(run("--events " + quoted(path("e.csv")) + " --vcd " + quoted(path("w.vcd"))), 0) << err;
    const Vcd vcd = parse_vcd(read_file(path("w.vcd")));
    EXPECT_EQ(vcd.timescale, "1us");
    std::vector<Change> expected;
    std::map<std::string, int> level = {{"enable", 0}, {"drive", 0}};
    for (const CsvRow &row : parse_csv(read_file(path("e.csv")))) {
        if (row.status == "0x00000000" && row.value != level[row.line]) {
            level[row.line] = row.value;
            expected.push_back({std::stoll(row.time), row.line, std::to_string(row.value)});
        }
    }
    std::vector<Change> lines, states;
    for (const Change &change : vcd.changes) {
        if (change.name.starts_with("call")) {
            continue;  // the call markers
        }
        (change.name.starts_with("state") ? states : lines).push_back(change);
    }
    EXPECT_GT(expected.size(), 100u);
    // Changes at one instant may be listed in any order.
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
    // on at 10 ms, off at 60 ms, blink at 100 ms.
    EXPECT_EQ(states, (std::vector<Change>{
                          {10000, "state[0]", "1"}, {60000, "state[0]", "0"}, {100000, "state[1]", "1"}}));
}

TEST_F(VibraSim, TracesWhatPassesTheMasksWithLevelAndFlags)
{
    ASSERT_EQ(run("--scenario " + quoted(kScenarios + "regression.vsim") + " --trace " + quoted(path("t.txt"))), 0)
        << err << out;
    const std::string trace = read_file(path("t.txt"));
    // The scenario opens level 5 for information lines only.
    EXPECT_NE(trace.find("L5 F00004000  HwN ID 0 Already Turned On"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("L5 F00000004"), std::string::npos) << "entry and exit lines stay filtered";
    EXPECT_NE(trace.find("L3 F00004004  EvtRequestWriteCompletionRoutine Failed\\r"), std::string::npos);
    EXPECT_NE(trace.find("L2 F00004000  QM38_205_SetState Error: BufferLength != Bytes Written"), std::string::npos);

    ASSERT_EQ(run("--open-masks --trace -"), 0);
    EXPECT_NE(err.find("L5 F00000004  +QM38_205_StartDevice"), std::string::npos) << "open masks, trace on stderr";
    ASSERT_EQ(run("--trace-mask 5=0x4 --trace -"), 0);
    EXPECT_NE(err.find("-QM38_205_SetState:Success:00000000"), std::string::npos);
}

TEST_F(VibraSim, RefusesABadScenarioBeforeRunningWithFileAndLine)
{
    const struct {
        std::string arguments;
        std::string error;
    } cases[] = {
        {"bad_command.vsim", "bad_command.vsim:3: unknown command 'spin-up'; expected one of setup, start,"},
        {"bad_number.vsim",
         "bad_number.vsim:4: bad number '5OO' for period=; expected a decimal or 0x-prefixed hex number"},
        {"bad_hex.vsim", "bad_hex.vsim:2: bad hex '30000000zz' for raw=: 'z' is not a hex digit; expected pairs"},
        {"time_backwards.vsim", "time_backwards.vsim:3: time 10ms goes backwards; expected 20ms or later"},
        {"no_such_file.vsim", "no_such_file.vsim: cannot read the scenario file (No such file or directory)"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(run("--scenario " + quoted(kScenarios + c.arguments)), 2) << c.arguments;
        EXPECT_TRUE(err.starts_with("vibra-sim: " + kScenarios + c.error)) << "got: " << err;
        EXPECT_EQ(out, "") << "nothing ran for " << c.arguments;
    }
    EXPECT_EQ(run("--no-such-flag"), 2);
    EXPECT_NE(err.find("--no-such-flag"), std::string::npos) << err;
    EXPECT_EQ(run("--trace-mask 7=1"), 2);
    EXPECT_NE(err.find("expected LEVEL=MASK with a level from 1 to 5"), std::string::npos) << err;
    EXPECT_EQ(run("--schedule fifo"), 2);
    EXPECT_NE(err.find("--schedule fifo: expected sequential, random, pct"), std::string::npos) << err;
}

TEST_F(VibraSim, ExpectationsThatHoldExitZero)
{
    EXPECT_EQ(run("--scenario " + quoted(kScenarios + "regression.vsim")), 0) << err << out;
    EXPECT_NE(out.find("Expectations: all held"), std::string::npos);
    EXPECT_NE(out.find("the driver rewrote payload offset 24: 250 -> 1000"), std::string::npos)
        << "a folded blink comes back in the caller's buffer";
}

TEST_F(VibraSim, AnExpectationThatFailsExitsOneNamingLineExpectedAndGot)
{
    EXPECT_EQ(run("--scenario " + quoted(kScenarios + "expectation_fails.vsim")), 1);
    EXPECT_EQ(err, "vibra-sim: " + kScenarios +
                       "expectation_fails.vsim:3: set-state on length=52: expected status STATUS_SUCCESS (0x00000000), "
                       "got STATUS_DATA_ERROR (0xC000003E)\n");
    EXPECT_NE(out.find("EXPECTATION FAILED"), std::string::npos);
    EXPECT_NE(out.find("Expectations: 1 failed"), std::string::npos);
}

// Whatever went wrong, each line vibra-sim writes on standard error begins
// with its name.
TEST_F(VibraSim, EveryErrorAndWarningLineBeginsWithTheProgramsName)
{
    const struct {
        const char *name;
        std::string scenario;  // written to t.vsim when not empty
        std::string arguments;
        int status;
    } cases[] = {
        {"an unknown option, with its hint", "", "--schedul random", 2},
        {"a scenario with several bad lines, and their count", "at 0ms spin-up\nat 1ms set-state sideways\n",
         "-s @/t.vsim", 2},
        {"an expectation that failed", "", "-s " + kScenarios + "expectation_fails.vsim", 1},
        {"a set-up that failed", "at 0ms fault WdfDeviceCreate\nat 0ms start expect=STATUS_SUCCESS\n", "-s @/t.vsim",
         1},
        {"a fault that never took effect", "at 0ms start\nat 10ms fault HwNRegisterClient\nat 20ms set-state on\n",
         "-s @/t.vsim", 0},
        {"an output that cannot be written", "", "--trace /sys/vibra-missing/trace.txt", 2},
        {"an option that needs another", "", "--from 10ms", 2},
        {"an exhaustive search of no scenario", "", "--explore --exhaustive", 2},
        {"an exhaustive search told a schedule", "",
         "--explore --exhaustive --schedule pct -s " + kScenarios + "steady_on.vsim", 2},
    };
    for (const auto &c : cases) {
        if (!c.scenario.empty()) {
            std::ofstream(path("t.vsim")) << c.scenario;
        }
        EXPECT_EQ(run(in_dir(c.arguments)), c.status) << c.name << "\n" << err;
        EXPECT_FALSE(err.empty()) << c.name;
        for (const std::string &line : lines_of(err)) {
            EXPECT_TRUE(line.starts_with("vibra-sim: ")) << c.name << ": " << line;
        }
    }
}

TEST_F(VibraSim, EndStopsTheRunWhereTheScenarioSays)
{
    EXPECT_EQ(run("--scenario " + quoted(kScenarios + "steady_on.vsim")), 0) << err;
    EXPECT_NE(out.find("Lines, from 0ms to 100ms:"), std::string::npos) << out;
    EXPECT_NE(out.find("Run: still busy at 100ms"), std::string::npos);
}

TEST_F(VibraSim, DocumentsEveryOptionAndItsVersion)
{
    ASSERT_EQ(run("--help"), 0);
    for (const char *option : {"--scenario",    "--out",        "--trace",         "--events",        "--vcd",
                               "--svg",         "--open-masks", "--trace-mask",    "--gpio-latency",  "--settle",
                               "--realtime",    "--check",      "--print-default", "--timing",        "--duration",
                               "--timer-slack", "--exhaustive", "--preemptions",   "--max-schedules", "--version"}) {
        EXPECT_NE(out.find(option), std::string::npos) << option;
    }
    ASSERT_EQ(run("--version"), 0);
    EXPECT_TRUE(out.starts_with("vibra-sim ")) << out;
}

TEST_F(VibraSim, SearchesEveryScheduleUpToTheBoundAndSaysWhetherItCoveredThem)
{
    const std::string scenario = quoted(kScenarios + "exhaustive/teardown_in_step.vsim");
    ASSERT_EQ(run("--explore --exhaustive --preemptions 1 --scenario " + scenario), 0) << out << err;
    EXPECT_NE(out.find("0 preemptions: 1 schedule\n"), std::string::npos) << out;
    EXPECT_NE(out.find("; covered: every schedule with at most 1 preemption was run"), std::string::npos) << out;
    ASSERT_EQ(run("--explore --exhaustive --preemptions 1 --max-schedules 2 --scenario " + scenario), 0) << err;
    EXPECT_NE(out.find("2 schedules held; not covered"), std::string::npos) << out;
    // A choices line replays one schedule; one that does not fit the scenario is refused.
    EXPECT_EQ(run("--explore --schedule choices:0.1 --scenario " + scenario), 0) << out << err;
    EXPECT_EQ(run("--explore --schedule choices:0.7 --scenario " + scenario), 2) << out;
    EXPECT_NE(out.find("the choices do not fit this scenario"), std::string::npos) << out;
}

TEST_F(VibraSim, PrintsTheDefaultScenarioWhichChecksAsWellFormed)
{
    ASSERT_EQ(run("--print-default"), 0);
    std::ofstream(path("default.vsim")) << out;
    EXPECT_EQ(run("--check --scenario " + quoted(path("default.vsim"))), 0) << err;
    EXPECT_NE(out.find("well formed"), std::string::npos);
}

// The scenario examples a user copies from the documentation must hold as
// written.
TEST_F(VibraSim, DocumentedScenarioExamplesHold)
{
    for (const std::string doc : {"/../README.md", "/../docs/vibra-sim.md"}) {
        int examples = 0;
        bool inside = false;
        std::string block;
        for (const std::string &line : lines_of(read_file(std::string(VIBRA_TEST_DIR) + doc))) {
            if (line.rfind("```", 0) != 0) {
                block += inside ? line + "\n" : "";
                continue;
            }
            inside = !inside;
            // Scenario examples start with a command or a comment; the
            // syntax line "at TIME COMMAND ..." is not one.
            const bool example =
                (block.rfind("at ", 0) == 0 || block.rfind("# ", 0) == 0) && block.rfind("at TIME", 0) != 0;
            if (inside || !example) {
                block.clear();
                continue;
            }
            const std::string file = path("example" + std::to_string(examples++) + ".vsim");
            std::ofstream(file) << block;
            EXPECT_EQ(run("--scenario " + quoted(file)), 0) << doc << " example:\n" << block << err;
            block.clear();
        }
        EXPECT_GE(examples, 2) << doc << " shows scenario examples";
    }
}

}  // namespace
