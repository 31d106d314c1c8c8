// SPDX-License-Identifier: MIT
// Writing scenarios: every error of a file at once, did-you-mean suggestions,
// a byte-order mark, --list, timing checks over an interval and repeat blocks.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "player/player.h"
#include "scenario/scenario.h"
#include "scenario/suggest.h"
#include "support/tool_run.h"

namespace vibra_tool {
namespace {

std::vector<std::string> errors_of(const std::string &text)
{
    const ParseResult result = parse_scenario(text, "t.vsim");
    EXPECT_FALSE(result.scenario) << text;
    return result.errors;
}

TEST(AuthoringErrors, EachRefusedLineIsReportedOnceInLineOrderWithoutCascades)
{
    const struct {
        const char *name;
        std::string text;
        std::vector<std::string> errors;
    } cases[] = {
        {"three bad lines", "at 0ms strat\nat 10ms set-state on\nat 20ms set-state on lenght=4\nat 30ms wiat\n",
         {"t.vsim:1: unknown command 'strat'", "t.vsim:3: unknown argument 'lenght='", "t.vsim:4: unknown command"}},
        {"a bad command keeps its time for the next relative one",
         "at 0ms start\nat 10ms set-stat on\nat +5ms set-state on\nat 12ms stop\n",
         {"t.vsim:2: unknown command", "t.vsim:4: time 12ms goes backwards; expected 15ms or later"}},
        {"a bad time is not compared with the next line", "at 20ms start\nat 1O0ms wait\nat 5ms stop\nat 4ms info\n",
         {"t.vsim:2: bad time '1O0ms'", "t.vsim:4: time 4ms goes backwards; expected 5ms or later"}},
        {"a command with a bad argument still counts for the order", "at 0ms remove now\nat 1ms start\n",
         {"t.vsim:1: unexpected word 'now' for remove", "t.vsim:2: start after remove"}},
        {"an error found at end-repeat points at the body, in line order",
         "at 0ms start\nrepeat 2 every=1s\nat 0ms set-state on\nat 5ms remove\nend-repeat\nat 3s wiat\n",
         {"t.vsim:3: set-state after remove; expected only unload and non-device commands once the device is removed "
          "(in repetition 2 of the repeat at line 2)",
          "t.vsim:6: unknown command 'wiat'"}},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> errors = errors_of(c.text);
        ASSERT_EQ(errors.size(), c.errors.size()) << c.name << ": " << parse_scenario(c.text, "t.vsim").error;
        for (size_t i = 0; i < errors.size(); ++i) {
            EXPECT_TRUE(errors[i].starts_with(c.errors[i])) << c.name << ": " << errors[i];
        }
    }
}

TEST(AuthoringErrors, TheMessageListsThemThenCountsThemAndStopsAtAHundred)
{
    EXPECT_EQ(parse_scenario("at 0ms strat\n", "t.vsim").error,
              "t.vsim:1: unknown command 'strat'; did you mean 'start'? expected one of setup, start, stop, teardown, "
              "info, set-state, get-state, remove, unload, trace-mask, fault, lock-timeout, refuse-send, "
              "fail-completion, clear-faults, check, wait, end, repeat, end-repeat");
    EXPECT_EQ(parse_scenario("at 0ms wait x\nat 1ms end y\n", "t.vsim").error,
              "t.vsim:1: unexpected word 'x' for wait; expected no arguments\n"
              "t.vsim:2: unexpected word 'y' for end; expected no arguments\n"
              "t.vsim: 2 errors");
    std::string many;
    for (int i = 0; i < 150; ++i) {
        many += "at 0ms nothing\n";
    }
    const ParseResult result = parse_scenario(many, "t.vsim");
    EXPECT_EQ(result.error_count, 100u);
    EXPECT_EQ(result.errors.size(), 100u);
    std::istringstream lines(result.error);
    std::string line;
    std::vector<std::string> shown;
    while (std::getline(lines, line)) {
        shown.push_back(line);
    }
    ASSERT_EQ(shown.size(), 101u);
    EXPECT_EQ(shown.back(), "t.vsim: 100 errors (reading stopped at line 100)");
}

TEST(AuthoringSuggestions, NameTheClosestCommandKeyWordStatusOrOperationOnlyWhenOneIsClearlyClosest)
{
    const struct {
        const char *line;
        const char *hint;  // "" for none
    } cases[] = {
        {"at 0ms set-stat on", "did you mean 'set-state'? expected one of"},
        {"at 0ms strat", "did you mean 'start'?"},
        {"at 0ms set-state on lenght=4", "did you mean 'length='? expected"},
        {"at 0ms set-state blink perod=500 duty=40 cycles=3", "unknown argument 'perod=' for set-state; did you mean "
                                                              "'period='?"},
        {"at 0ms set-state blnk", "unknown state 'blnk' for set-state; did you mean 'blink'?"},
        {"at 0ms get-state same-bufer input=00", "did you mean 'same-buffer'?"},
        {"at 0ms check enabel=1", "did you mean 'enable='?"},
        {"at 0ms check drve period=1ms", "did you mean 'drive'?"},
        {"at 0ms trace-mask levl=1 mask=0", "did you mean 'level='?"},
        {"at 0ms start expect=STATUS_SUCESS", "did you mean 'STATUS_SUCCESS'?"},
        {"at 0ms start expect=status_success", "did you mean 'STATUS_SUCCESS'?"},
        {"at 0ms start expect=INVALID_PARAMETER", "did you mean 'STATUS_INVALID_PARAMETER'?"},
        {"at 0ms fault WdfRequestSnd", "did you mean 'WdfRequestSend'?"},
        {"at 0ms fault wdftimerstart", "did you mean 'WdfTimerStart'?"},
        {"at 0ms refuse-send evry", "did you mean 'every'?"},
        {"at 0ms set-state of", ""},    // as close to on as to off
        {"at 0ms xyzzy", ""},           // close to nothing
        {"at 0ms set-state on lengthlengthlength=4", ""},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> errors = errors_of(std::string(c.line) + "\n");
        ASSERT_EQ(errors.size(), 1u) << c.line;
        if (*c.hint) {
            EXPECT_NE(errors[0].find(c.hint), std::string::npos) << c.line << "\n got: " << errors[0];
        } else {
            EXPECT_EQ(errors[0].find("did you mean"), std::string::npos) << c.line << "\n got: " << errors[0];
        }
    }
    EXPECT_EQ(edit_distance("strat", "start"), 1u);  // a swap of neighbours is one edit
    EXPECT_EQ(edit_distance("Start", "start"), 0u);
}

TEST(AuthoringText, AByteOrderMarkAndCrLfLineEndsAreAccepted)
{
    const ParseResult result = parse_scenario("\xEF\xBB\xBF" "at 0ms start\r\nat 1ms set-state on  # on\r\n\r\n", "t.vsim");
    ASSERT_TRUE(result.scenario) << result.error;
    ASSERT_EQ(result.scenario->commands.size(), 2u);
    EXPECT_EQ(result.scenario->commands[0].kind, CommandKind::Start);
    EXPECT_EQ(result.scenario->commands[1].text, "set-state on");
    // Only at the very start: elsewhere it is not whitespace.
    EXPECT_FALSE(parse_scenario("at 0ms start\n\xEF\xBB\xBF" "at 1ms stop\n", "t.vsim").scenario);
}

// --- timing checks ----------------------------------------------------------

std::vector<std::string> play_failures(const std::string &text)
{
    const ParseResult parsed = parse_scenario(text, "t.vsim");
    EXPECT_TRUE(parsed.scenario) << parsed.error;
    if (!parsed.scenario) {
        return {"does not parse"};
    }
    PlayerOptions options;
    options.keep_records = false;
    return play(*parsed.scenario, options).expectation_failures;
}

const std::string kSteady = "at 0ms start\nat 10ms set-state on\n";

TEST(AuthoringTimingChecks, MeasureTheSteadyDriveAtSixPointSixMillisecondsAndFiftyPercent)
{
    const struct {
        std::string check;
        std::vector<std::string> failures;  // after "t.vsim:3: CHECK: "
    } cases[] = {
        {"at 2s check drive period=6.6ms duty=50% from=1s to=2s tolerance=2%", {}},
        {"at 2s check drive period=6.6ms duty=50% tolerance=0%", {}},  // from the set-state on
        {"at 2s check drive frequency=151.52Hz from=1s tolerance=0.01%", {}},
        {"at 2s check drive period=6.7ms duty=50% from=1s tolerance=100us", {}},
        {"at 2s check enable duty=100% from=1s", {}},
        {"at 3s check drive period=6.6ms duty=50% from=1s to=2s", {}},
        {"at 2s check drive period=7ms duty=40% from=1s",
         {"expected drive period 7ms ±1%, got 6.6ms", "expected drive duty 40% ±1%, got 50%"}},
        {"at 2s check drive period=6.6ms duty=49% from=1s tolerance=0.5%", {"expected drive duty 49% ±0.5%, got 50%"}},
        {"at 2s check drive period=6.7ms from=1s tolerance=50us", {"expected drive period 6.7ms ±0.05ms, got 6.6ms"}},
        {"at 2s check drive frequency=150Hz from=1s", {"expected drive frequency 150 Hz ±1%, got 151.52 Hz"}},
        {"at 2s check enable period=6.6ms from=1s",
         {"expected enable period 6.6ms ±1%, got no period (0 rising edges from 1000ms to 2000ms)"}},
        {"at 2s check enable duty=0% from=1s", {"expected enable duty 0% ±1%, got 100%"}},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> failures = play_failures(kSteady + c.check + "\n");
        ASSERT_EQ(failures.size(), c.failures.size()) << c.check << (failures.empty() ? "" : "\n" + failures[0]);
        const std::string prefix = "t.vsim:3: " + c.check.substr(c.check.find("check")) + ": ";
        for (size_t i = 0; i < failures.size(); ++i) {
            EXPECT_EQ(failures[i], prefix + c.failures[i]);
        }
    }
}

TEST(AuthoringTimingChecks, FollowTheBlinkPatternAndTheStop)
{
    // Blinking 500 ms periods; the motor is off once the pattern ends.
    const std::string blink = "at 0ms start\nat 10ms set-state blink period=500 duty=40 cycles=3\n";
    EXPECT_EQ(play_failures(blink + "at 1500ms check enable period=500ms frequency=2Hz duty=41.6% from=10ms\n"),
              std::vector<std::string>{});
    EXPECT_EQ(play_failures(blink + "at 3s check enable duty=0% from=2s\n"), std::vector<std::string>{});
}

TEST(AuthoringTimingChecks, RefuseIntervalsThatCannotBeMeasuredWhenTheyAreChecked)
{
    const struct {
        const char *line;
        const char *error;
    } cases[] = {
        {"at 2s check drive period=6.6ms from=1s to=3s", "to=3000ms is after the check's time 2000ms"},
        {"at 2s check drive period=6.6ms from=2s", "from=2000ms is not before to=2000ms"},
        {"at 2s check drive from=1s", "check drive needs what to measure"},
        {"at 2s check drive duty=101% from=1s", "is over 100%"},
        {"at 2s check drive duty=half from=1s", "bad number 'half' for duty="},
        {"at 2s check drive period=0ms from=1s", "period=0ms"},
        {"at 2s check drive frequency=nan from=1s", "bad number 'nan' for frequency="},
        {"at 2s check drive period=6.6ms from=1s tolerance=2", "bad time '2'"},
        {"at 2s check drive period=6.6ms drive=1", "unknown argument 'drive='"},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> errors = errors_of(std::string(c.line) + "\n");
        ASSERT_EQ(errors.size(), 1u) << c.line;
        EXPECT_NE(errors[0].find(c.error), std::string::npos) << c.line << "\n got: " << errors[0];
    }
    // Without from=: from the last command other than check and wait.
    const ParseResult result =
        parse_scenario("at 10ms start\nat 20ms wait\nat 30ms check drive=0\nat 40ms check drive duty=0%\n", "t.vsim");
    ASSERT_TRUE(result.scenario) << result.error;
    EXPECT_EQ(result.scenario->commands[3].interval->from, 10 * vsim::kTicksPerMs);
    EXPECT_EQ(result.scenario->commands[3].interval->to, 40 * vsim::kTicksPerMs);
}

// --- repeat blocks ----------------------------------------------------------

TEST(AuthoringRepeat, PlaysTheBodyEachRepetitionRelativeToItsStart)
{
    const ParseResult result = parse_scenario("at 0ms start\n"
                                              "at 10ms repeat 3 every=1s\n"
                                              "  at 0ms set-state on\n"
                                              "  at +500ms check drive period=6.6ms from=100ms\n"
                                              "  at 600ms set-state off\n"
                                              "end-repeat\n"
                                              "at +0ms check drive=0\n",
                                              "t.vsim");
    ASSERT_TRUE(result.scenario) << result.error;
    const std::vector<Command> &commands = result.scenario->commands;
    ASSERT_EQ(commands.size(), 11u);
    for (int repetition = 0; repetition < 3; ++repetition) {
        const Ticks start = (10 + 1000 * repetition) * vsim::kTicksPerMs;
        const Command &on = commands[1 + 3 * repetition];
        const Command &check = commands[2 + 3 * repetition];
        EXPECT_EQ(on.time, start);
        EXPECT_EQ(on.line, 3);
        EXPECT_EQ(on.repetition, repetition + 1);
        EXPECT_EQ(check.time, start + 500 * vsim::kTicksPerMs);
        EXPECT_EQ(check.interval->from, start + 100 * vsim::kTicksPerMs);
        EXPECT_EQ(check.interval->to, check.time);
        EXPECT_EQ(commands[3 + 3 * repetition].time, start + 600 * vsim::kTicksPerMs);
    }
    EXPECT_EQ(commands.back().time, 3010 * vsim::kTicksPerMs) << "after the block: relative to its end";
    EXPECT_EQ(play_failures("at 0ms start\nrepeat 3 every=1s\nat 0ms set-state on\n"
                            "at 500ms check drive period=6.6ms duty=50% from=100ms\nat 600ms set-state off\n"
                            "at 1s check drive frequency=1Hz from=700ms\nend-repeat\n")
                  .at(1),
              "t.vsim:6: check drive frequency=1Hz from=700ms (repetition 2): expected drive frequency 1 Hz ±1%, got "
              "no period (0 rising edges from 1700ms to 2000ms)");
}

TEST(AuthoringRepeat, RefusesBlocksThatCannotBePlayedAtTheirLines)
{
    const struct {
        std::string text;
        const char *error;
    } cases[] = {
        {"repeat 2 every=1s\nat 1500ms wait\nend-repeat\n", "t.vsim:2: time 1500ms in a repeat every=1000ms"},
        {"repeat 2 every=1s\nat 0ms wait\n", "t.vsim:1: repeat without end-repeat"},
        {"at 0ms wait\nend-repeat\n", "t.vsim:2: end-repeat without repeat"},
        {"repeat 2 every=1s\nrepeat 2 every=1s\nat 0ms wait\nend-repeat\nend-repeat\n",
         "t.vsim:2: repeat inside a repeat"},
        {"repeat 2 every=1s\nat 0ms wait\nat 1s end-repeat\n", "t.vsim:3: end-repeat with a time"},
        {"repeat 2 every=1s\nend-repeat\n", "t.vsim:1: repeat without commands"},
        {"repeat 0 every=1s\nat 0ms wait\nend-repeat\n", "t.vsim:1: repeat 0 every=1s; expected a count of 1 or more"},
        {"repeat 2 evry=1s\nat 0ms wait\nend-repeat\n", "did you mean 'every='?"},
        {"repeat 600000 every=1s\nat 0ms wait\nat 1ms wait\nend-repeat\n",
         "t.vsim:1: repeat 600000 of 2 commands makes more than 1000000 commands"},
        {"repeat 4294967295 every=9999999999s\nat 0ms wait\nend-repeat\n", "t.vsim:1: repeat ends past"},
        {"repeat 2 every=1s\nat 0ms end\nend-repeat\n", "t.vsim:2: command after end; expected end to be the last "
                                                        "command (in repetition 2 of the repeat at line 1)"},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> errors = errors_of(c.text);
        ASSERT_EQ(errors.size(), 1u) << c.text << parse_scenario(c.text, "t.vsim").error;
        EXPECT_NE(errors[0].find(c.error), std::string::npos) << c.text << "\n got: " << errors[0];
    }
}

// --- --list -----------------------------------------------------------------

using vibra_test::run_sim;
using vibra_test::SimRun;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(AuthoringList, PrintsWhatTheParserAcceptsOneALine)
{
    const struct {
        const char *what;
        const char *sample;
        std::string (*as_line)(const std::string &);  // each listed name used in a scenario line
    } cases[] = {
        {"commands", "set-state on|off|blink period=MS duty=PCT cycles=N|raw=HEX",
         [](const std::string &name) { return name.find("repeat") != std::string::npos ? "" : "at 0ms " + name; }},
        {"faults", "WdfRequestSend", [](const std::string &name) { return "at 0ms fault " + name; }},
        {"statuses", "STATUS_INVALID_PARAMETER", [](const std::string &name) { return "at 0ms start expect=" + name; }},
    };
    for (const auto &c : cases) {
        const SimRun run = run_sim(std::string("--list ") + c.what);
        EXPECT_EQ(run.status, 0) << c.what << ": " << run.err;
        const std::vector<std::string> lines = lines_of(run.out);
        EXPECT_GT(lines.size(), 3u) << c.what;
        bool sample_seen = false;
        for (const std::string &line : lines) {
            sample_seen = sample_seen || line.starts_with(c.sample);
            const std::string name = line.substr(0, line.find(' '));
            const std::string text = c.as_line(name);
            if (text.empty()) {
                continue;
            }
            // Known to the parser: any refusal is about the arguments, not the name.
            const ParseResult parsed = parse_scenario(text + "\n", "t.vsim");
            EXPECT_EQ(parsed.error.find("unknown"), std::string::npos) << text << ": " << parsed.error;
            EXPECT_EQ(parsed.error.find("bad status"), std::string::npos) << text << ": " << parsed.error;
            if (std::string_view(c.what) != "commands") {
                EXPECT_TRUE(parsed.scenario) << text << ": " << parsed.error;  // accepted as it stands
            }
        }
        EXPECT_TRUE(sample_seen) << c.what << ":\n" << run.out;
    }
    const SimRun bad = run_sim("--list fault");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("unknown list 'fault'; did you mean 'faults'? expected commands, faults or statuses"),
              std::string::npos)
        << bad.err;
}

// A mistyped option or mode gets the one meant, with the tool's prefix.
TEST(AuthoringOptions, AMistypedOptionNamesTheOneMeant)
{
    const struct {
        const char *arguments;
        const char *message;
    } cases[] = {
        {"--lsit faults", "vibra-sim: The following argument was not expected: --lsit; did you mean '--list'?"},
        {"--scenaro x.vsim", "did you mean '--scenario'?"},
        {"--schedule sequental", "vibra-sim: --schedule sequental: "},
        {"--schedule sequental", "did you mean 'sequential'?"},
        {"explore", "explore: cannot read the scenario file"},
        {"explore", "did you mean the option --explore?"},
    };
    for (const auto &c : cases) {
        const SimRun run = run_sim(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << ":\n" << run.err;
    }
}

}  // namespace
}  // namespace vibra_tool
