// SPDX-License-Identifier: MIT
// vibra-sim's runs as a user leans on them: outputs opened (their directories
// made) before anything runs, a reproducible VCD with the calls marked in it,
// progress that writes no carriage return into a file, Ctrl-C ending a run
// with its report and files, and options that only mean something with
// others refused alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "outputs/progress.h"
#include "support/tool_run.h"

namespace {

namespace fs = std::filesystem;

using vibra_test::read_file;

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

const std::string kOn = "at 0ms setup\nat 1ms start\nat 2ms set-state on\nat 150ms set-state off\nat 200ms end\n";

class Robust : public vibra_test::SimDirTest {
protected:
    void SetUp() override
    {
        SimDirTest::SetUp();
        std::ofstream(dir_ / "on.vsim") << kOn;
    }
    // "@" in `arguments` stands for the test's directory.
    int run(const std::string &arguments, const std::string &environment = "")
    {
        return SimDirTest::run(in_dir(arguments), {.environment = environment});
    }
};

// Each output makes the directories it goes in; where they cannot be made,
// the run is refused with the system's reason before anything runs.
TEST_F(Robust, OutputsMakeTheirDirectoriesOrAreRefusedBeforeTheRun)
{
    for (const char *option : {"--vcd", "--svg", "--events", "--trace"}) {
        SCOPED_TRACE(option);
        const std::string file = std::string("new/") + (option + 2) + "/dir/out.txt";
        ASSERT_EQ(run(std::string("-s @/on.vsim ") + option + " @/" + file), 0) << err;
        EXPECT_TRUE(fs::is_regular_file(dir_ / file));

        EXPECT_EQ(run(std::string("-s @/on.vsim ") + option + " /sys/vibra-robust/dir/out.txt"), 2);
        EXPECT_NE(err.find("/sys/vibra-robust/dir/out.txt: cannot make its directory /sys/vibra-robust/dir ("),
                  std::string::npos)
            << err;
        EXPECT_EQ(out, "") << "nothing runs";
        EXPECT_EQ(run(std::string("-s @/on.vsim ") + option + " /proc/vibra-robust.txt"), 2);
        EXPECT_NE(err.find("/proc/vibra-robust.txt: cannot write this file (No such file or directory)"),
                  std::string::npos)
            << err;
        EXPECT_EQ(out, "");
    }
}

// Two runs give the same bytes; the date comes only from SOURCE_DATE_EPOCH.
TEST_F(Robust, TheVcdIsReproducible)
{
    ASSERT_EQ(run("--vcd @/a.vcd"), 0) << err;
    ASSERT_EQ(run("--vcd @/b.vcd"), 0) << err;
    const std::string first = read_file(dir_ / "a.vcd");
    EXPECT_EQ(first, read_file(dir_ / "b.vcd"));
    EXPECT_EQ(first.find("$date"), std::string::npos);
    ASSERT_EQ(run("--vcd @/c.vcd", "SOURCE_DATE_EPOCH=1700000000"), 0) << err;
    EXPECT_TRUE(read_file(dir_ / "c.vcd").starts_with("$date 2023-11-14 22:13:20 UTC $end\n$version"));
}

// The calls are listed in the header with their times and lines, and the
// wire `call` toggles at each instant with calls; sigrok still reads the
// drive (see the docs for the sigrok-cli command).
TEST_F(Robust, TheVcdMarksTheCalls)
{
    ASSERT_EQ(run("-s @/on.vsim --vcd @/w.vcd"), 0) << err;
    const std::string vcd = read_file(dir_ / "w.vcd");
    EXPECT_NE(vcd.find("$comment calls (the wire call toggles at each of their instants):\n"
                       "  0ms  line 1: load driver\n  0ms  line 1: add device\n  0ms  line 1: initialize device\n"
                       "  1ms  line 2: start\n  2ms  line 3: set-state on\n  150ms  line 4: set-state off\n"
                       "  200ms  line 5: end\n$end\n"),
              std::string::npos)
        << vcd;
    EXPECT_NE(vcd.find("$var wire 1 ' call $end\n"), std::string::npos);
    const size_t body = vcd.find("$enddefinitions");
    EXPECT_EQ(vcd.find("$comment", body), std::string::npos) << "no comment among the changes";
    for (const char *instant :
         {"$end\n1'\n#1000\n0'\n#2000\n1!\n1\"\n1&\n1'\n", "#150000\n0&\n0'\n", "#200000\n1'\n"}) {
        EXPECT_NE(vcd.find(instant, body), std::string::npos) << instant << "\n" << vcd;
    }
    EXPECT_EQ(count(vcd.substr(body), "'\n"), 6u) << "the initial value and one toggle per instant with calls";
}

// Each armed fault taking effect toggles the wire `fault`, and the header,
// written before the run, lists them once it is over.
TEST_F(Robust, TheVcdMarksTheFaultsTaken)
{
    std::ofstream(dir_ / "fault.vsim") << "at 0ms setup\nat 1ms start\n"
                                          "at 2ms refuse-send status=STATUS_DEVICE_NOT_CONNECTED\n"
                                          "at 3ms set-state on expect=STATUS_DEVICE_NOT_CONNECTED\nat 10ms end\n";
    ASSERT_EQ(run("-s @/fault.vsim --vcd @/w.vcd"), 0) << err;
    const std::string vcd = read_file(dir_ / "w.vcd");
    EXPECT_NE(vcd.find("  10ms  line 5: end\n$end\n"
                       "$comment faults taken (the wire fault toggles at each of their instants):\n"
                       "  3ms  WdfRequestSend call 3 failed with STATUS_DEVICE_NOT_CONNECTED (0xC000009D), armed by "
                       "line 3, during line 4: set-state on\n$end\n$timescale 1us $end\n"),
              std::string::npos)
        << vcd;
    EXPECT_NE(vcd.find("$var wire 1 ( fault $end\n"), std::string::npos);
    const size_t body = vcd.find("$enddefinitions");
    EXPECT_EQ(vcd.find("$comment", body), std::string::npos) << "no comment among the changes";
    for (const char *instant : {"0'\n0(\n$end\n1'\n#1000\n0'\n#2000\n1'\n#3000\n0'\n1(\n#10000\n1'\n"}) {
        EXPECT_NE(vcd.find(instant, body), std::string::npos) << instant << "\n" << vcd;
    }
    EXPECT_EQ(count(vcd.substr(body), "(\n"), 2u) << "the initial value and one toggle";
}

TEST(Progress, ShowsTotalAndPercentAndRedrawsOnlyOnATerminal)
{
    using vibra_tool::Progress;
    std::ostringstream terminal, file;
    Progress drawn(terminal, 200 * 10'000, true);
    drawn.show(50 * 10'000);
    drawn.show(250 * 10'000);
    drawn.finish();
    EXPECT_EQ(terminal.str(), "\r  virtual time 50ms of 200ms (25 %)   \r  virtual time 250ms of 200ms (100 %, "
                              "settling)   \n");
    Progress plain(file, 200 * 10'000, false, std::chrono::seconds(0));
    plain.show(100 * 10'000);
    plain.finish();
    EXPECT_EQ(file.str(), "vibra-sim: virtual time 100ms of 200ms (50 %)\n");
}

// On real threads, stderr a file: no carriage return; with the trace on
// stderr, no progress between its lines.
TEST_F(Robust, RealtimeProgressWritesNoCarriageReturnIntoAFile)
{
    ASSERT_EQ(run("-s @/on.vsim --realtime"), 0) << err;
    EXPECT_EQ(err.find('\r'), std::string::npos) << err;
    ASSERT_EQ(run("-s @/on.vsim --realtime --open-masks --trace -"), 0) << err;
    EXPECT_EQ(err.find('\r'), std::string::npos);
    EXPECT_EQ(err.find("virtual time"), std::string::npos);
}

struct OptionCase {
    const char *arguments;
    int status;
    const char *message;
};

TEST_F(Robust, OptionsThatNeedOthersAreRefusedAlone)
{
    const OptionCase cases[] = {
        {"--runs 5", 2, "--runs sets up the explorer; expected it with --explore"},
        {"--steps 3", 2, "--steps sets up the explorer"},
        {"--fault-rate 0.5", 2, "--fault-rate sets up the explorer"},
        {"--seed 5", 2, "--seed seeds the explorer or a random schedule"},
        {"--seed 5 --schedule sequential", 2, "--seed seeds the explorer or a random schedule"},
        {"--seed 5 --schedule random", 0, ""},
        {"--seed 5 --schedule pct:2", 0, ""},
        {"--explore --seed 5 --runs 2 --steps 5 --fault-rate 0.5", 0, ""},
    };
    for (const OptionCase &test : cases) {
        SCOPED_TRACE(test.arguments);
        EXPECT_EQ(run(std::string("-s @/on.vsim ") + test.arguments), test.status) << err;
        EXPECT_NE(err.find(test.message), std::string::npos) << err;
        if (test.status == 2) {
            EXPECT_EQ(out, "");
        }
    }
}

// SIGINT (and SIGTERM) in the middle of a long run on real threads: the run
// stops at its next slice, prints its report and closes its files whole.
TEST_F(Robust, AnInterruptedRunWritesItsReportAndFiles)
{
    std::ofstream(dir_ / "long.vsim") << "at 0ms setup\nat 1ms start\nat 2ms set-state on\nat 60s end\n";
    for (const auto &[signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        SCOPED_TRACE(signal);
        const std::string out_path = path("out.txt"), err_path = path("err.txt"), dir = path("out");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            const std::string scenario = path("long.vsim");
            execl(VIBRA_SIM_EXE, VIBRA_SIM_EXE, "--realtime", "-s", scenario.c_str(), "-o", dir.c_str(), nullptr);
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        kill(child, signal);
        int wait_status = 0;
        ASSERT_EQ(waitpid(child, &wait_status, 0), child);
        ASSERT_TRUE(WIFEXITED(wait_status)) << read_file(err_path);
        EXPECT_EQ(WEXITSTATUS(wait_status), status) << read_file(err_path);
        const std::string report = read_file(out_path);
        EXPECT_NE(report.find("set-state on"), std::string::npos) << report;
        EXPECT_TRUE(std::regex_search(report, std::regex("\ninterrupted at [0-9.]+(h|min|s|ms)( [0-9.]+(min|s))*: "))) << report;
        EXPECT_NE(report.find("Waveform files:"), std::string::npos) << report;
        EXPECT_NE(read_file(err_path).find("vibra-sim: interrupted at "), std::string::npos);

        const std::string vcd = read_file(dir_ / "out" / "waves.vcd");
        EXPECT_NE(vcd.find("$enddefinitions $end\n"), std::string::npos);
        EXPECT_GT(count(vcd, "1\"\n"), 10u) << "the drive ran for a while";
        EXPECT_TRUE(std::regex_search(vcd, std::regex("\n#[0-9]+\n$"))) << "ends with the run's end";
        const std::string svg = read_file(dir_ / "out" / "timing.svg");
        EXPECT_TRUE(svg.starts_with("<?xml"));
        EXPECT_TRUE(svg.ends_with("</svg>\n"));
        const std::string events = read_file(dir_ / "out" / "events.csv");
        EXPECT_TRUE(events.ends_with("\n"));
        EXPECT_GT(count(events, "\n"), 10u);
    }
}

}  // namespace
