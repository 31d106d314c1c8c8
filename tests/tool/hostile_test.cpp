// SPDX-License-Identifier: MIT
// vibra-sim against hostile input: each input gets a clear message and exit
// status 2, never a crash, a hang, a huge allocation or a silent success.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include "support/tool_run.h"

namespace {

namespace fs = std::filesystem;

struct HostileCase {
    const char *name;
    std::string scenario;   // written to scenario.vsim when not empty
    std::string arguments;  // "@" stands for the test's directory
    std::string message;    // expected in standard error
    bool runs = false;      // the scenario is played (the failure is in writing)
};

const std::string kOn = "at 0ms setup\nat 1ms start\nat 2ms set-state on\nat 10ms end\n";

const HostileCase kCases[] = {
    {"time past 64 bits", "at 999999999999s start\n", "-s @/scenario.vsim", "is out of range"},
    {"relative times adding past 64 bits", "at 900000000000s wait\nat +900000000000s wait\n", "-s @/scenario.vsim",
     "is out of range; expected at most"},
    {"time past --max-time", "at 0ms start\nat 999999999999ms wait\n", "-s @/scenario.vsim", "past --max-time 24h"},
    {"time past a lower --max-time", "at 0ms setup\nat 2s end\n", "-s @/scenario.vsim --max-time 1",
     "runs to 2s, past --max-time 1s"},
    {"NaN settle", "", "--settle nan", "finite"},
    {"infinite settle", "", "--settle inf", "--settle"},
    {"NaN GPIO latency", "", "--gpio-latency nan", "finite"},
    {"NaN max time", "", "--max-time nan", "finite"},
    {"directory as scenario", "", "-s @", "not a regular file (a directory)"},
    {"device as scenario", "", "-s /dev/zero", "not a regular file (a device or pipe)"},
    {"missing scenario", "", "-s @/missing.vsim", "(No such file or directory)"},
    {"set-state length past 32 bits' worth", "at 0ms setup\nat 1ms set-state on length=4294967295\n",
     "-s @/scenario.vsim", "buffer length 4294967295 for length= is too large; expected at most 65536 bytes"},
    {"set-state length just past the limit", "at 0ms setup\nat 1ms set-state on length=65537\n", "-s @/scenario.vsim",
     "is too large"},
    {"get-state output length past the limit", "at 0ms setup\nat 1ms get-state output-length=100000\n",
     "-s @/scenario.vsim", "for output-length= is too large"},
    {"raw payload past the limit", "at 0ms setup\nat 1ms set-state raw=" + std::string(2 * 65537, '0') + "\n",
     "-s @/scenario.vsim", "65537 bytes of hex for raw= is too many"},
    {"long word cut", "at 0ms " + std::string(1 << 20, 'x') + "\n", "-s @/scenario.vsim",
     "unknown command 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...' (1048576 characters)"},
    {"events to a full disk", kOn, "-s @/scenario.vsim --events /dev/full", "(No space left on device)", true},
    {"VCD to a full disk", kOn, "-s @/scenario.vsim --vcd /dev/full", "(No space left on device)", true},
    {"SVG to a full disk", kOn, "-s @/scenario.vsim --svg /dev/full", "(No space left on device)", true},
    {"trace to a full disk", kOn, "-s @/scenario.vsim --open-masks --trace /dev/full", "(No space left on device)",
     true},
    {"report to a full disk", kOn, "-s @/scenario.vsim >/dev/full", "standard output: No space left on device", true},
    {"output in a directory that cannot be made", kOn, "-s @/scenario.vsim --trace /sys/vibra-missing/trace.txt",
     "cannot make its directory /sys/vibra-missing ("},
};

class Hostile : public vibra_test::SimDirTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(Hostile, RefusedWithAClearMessageAndExitTwo)
{
    const HostileCase &test = GetParam();
    if (!test.scenario.empty()) {
        std::ofstream(dir_ / "scenario.vsim", std::ios::binary) << test.scenario;
    }
    // Output redirections in the arguments come after the run's own and win.
    EXPECT_EQ(run(in_dir(test.arguments)), 2) << err;
    EXPECT_NE(err.find(in_dir(test.message)), std::string::npos) << err;
    EXPECT_LT(err.size(), 2000u) << "messages stay short";
    if (!test.runs) {
        EXPECT_TRUE(out.empty()) << "refused before running:\n" << out;
    }
}

// A file over 16 MiB is refused before it is read.
TEST_F(Hostile, ScenarioSizeIsBounded)
{
    const fs::path big = dir_ / "big.vsim";
    std::ofstream(big, std::ios::binary) << kOn;
    fs::resize_file(big, 16 * 1024 * 1024 + 1);
    EXPECT_EQ(run("--check -s " + vibra_test::quoted(big.string())), 2);
    EXPECT_NE(err.find("too large; expected at most 16777216 bytes"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Inputs, Hostile, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase> &info) {
                             std::string name;
                             for (const char *c = info.param.name; *c; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

}  // namespace
