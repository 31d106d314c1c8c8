// SPDX-License-Identifier: MIT
// vibra-sim's machine-readable results and runs of several scenarios: the
// JSON document and the JUnit XML are read back by Python's own parsers, as a
// CI job would read them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "outputs/results.h"
#include "support/tool_run.h"

namespace {

namespace fs = std::filesystem;
using vibra_tool::CallRecord;
using vibra_tool::Recording;
using vibra_tool::ScenarioResult;

using vibra_test::read_file;

using vibra_test::quoted;

const std::string kPass = "at 0ms start expect=STATUS_SUCCESS\n"
                          "at 10ms set-state on expect=STATUS_SUCCESS expect-bytes=48\n"
                          "at 20ms check enable=1\n"
                          "at 30ms set-state off\n"
                          "at 40ms stop expect=STATUS_SUCCESS\n";
const std::string kFail = "at 0ms start\n"
                          "at 10ms set-state on expect=STATUS_DATA_ERROR\n"
                          "at 20ms check enable=0 state=1\n"
                          "at 30ms set-state off\n";
const std::string kNone = "at 0ms start\nat 10ms stop\n";
const std::string kBad = "at 0ms start\nat 10ms sett-state on\n";

// Prints what a JSON document holds, one fact a line.
const char *const kReadJson = R"(import json, sys
d = json.load(open(sys.argv[1], encoding='utf-8'))
print(d['schema'], d['exit_status'])
for s in d['scenarios']:
    print('scenario', s['name'], s['exit_status'], len(s['calls']), s['end_us'])
    for e in s['expectations']:
        print(' ', e['line'], e['expected'], '|', e['got'], '|', e['held'])
    l = s['lines']
    print('  enable', l['enable']['edges'], l['enable']['high_us'], 'drive', l['drive']['edges'],
          round(l['drive_while_enabled']['frequency_hz']), round(l['drive_while_enabled']['duty_percent']))
    c = s['calls'][-1]
    print('  last', c['line'], c['time_us'], c['text'], c['status'], c['status_name'], c['bytes'])
    for v in s['verifier']:
        print('  verifier', v)
)";

// Prints what a JUnit file holds: the counts, and each test case's outcome.
const char *const kReadJunit = R"(import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
print(root.tag, root.get('tests'), root.get('failures'), root.get('errors'))
for suite in root.findall('testsuite'):
    print(suite.tag, suite.get('name'), suite.get('tests'), suite.get('failures'), suite.get('errors'),
          suite.find('system-out') is not None)
    for case in suite.findall('testcase'):
        failure, error = case.find('failure'), case.find('error')
        print(' ', case.get('classname'), case.get('name'), '|',
              failure.get('message') if failure is not None else '-', '|',
              error.get('message') if error is not None else '-')
)";

class Results : public vibra_test::SimDirTest {
protected:
    void SetUp() override
    {
        if (std::system("python3 -c 'import json, xml.etree.ElementTree' 2>/dev/null") != 0) {
            GTEST_SKIP() << "python3 is needed to read the results back";
        }
        SimDirTest::SetUp();
        for (const auto &[name, text] : {std::pair{"pass", kPass}, {"fail", kFail}, {"none", kNone}, {"bad", kBad}}) {
            std::ofstream(dir_ / (std::string(name) + ".vsim"), std::ios::binary) << text;
        }
        std::ofstream(dir_ / "read_json.py") << kReadJson;
        std::ofstream(dir_ / "read_junit.py") << kReadJunit;
    }
    // Runs vibra-sim in the test's directory; `input` goes to its standard input.
    int run(const std::string &arguments, const std::string &input = "")
    {
        return SimDirTest::run(arguments, {.directory = dir_, .input = input});
    }
    // What the Python reader makes of a file; empty when it could not parse it.
    std::string read_back(const char *reader, const std::string &file)
    {
        const std::string command = "cd " + quoted(dir_.string()) + " && python3 " + reader + " " + quoted(file) +
                                    " >parsed 2>parse-errors";
        if (std::system(command.c_str()) != 0) {
            ADD_FAILURE() << file << " does not parse: " << read_file(dir_ / "parse-errors");
            return "";
        }
        return read_file(dir_ / "parsed");
    }
};

TEST_F(Results, JsonHoldsEveryScenarioWithItsCallsExpectationsAndLines)
{
    EXPECT_EQ(run("--json results.json pass.vsim -s fail.vsim"), 1) << err;
    EXPECT_EQ(read_back("read_json.py", "results.json"),
              "vibra-sim/1 1\n"
              "scenario pass.vsim 0 8 40000\n"
              "  1 status STATUS_SUCCESS (0x00000000) | STATUS_SUCCESS (0x00000000) | True\n"
              "  2 status STATUS_SUCCESS (0x00000000) | STATUS_SUCCESS (0x00000000) | True\n"
              "  2 48 bytes written | 48 bytes | True\n"
              "  3 enable=1 | enable=1 | True\n"
              "  5 status STATUS_SUCCESS (0x00000000) | STATUS_SUCCESS (0x00000000) | True\n"
              "  enable 2 29700 drive 9 152 44\n"
              "  last 5 40000 stop 0x00000000 STATUS_SUCCESS None\n"
              "scenario fail.vsim 1 7 39700\n"
              "  2 status STATUS_DATA_ERROR (0xC000003E) | STATUS_SUCCESS (0x00000000) | False\n"
              "  3 enable=0 | enable=1 | False\n"
              "  3 state=1 | state=1 | True\n"
              "  enable 2 29700 drive 9 152 44\n"
              "  last 4 30000 set-state off 0x00000000 STATUS_SUCCESS 48\n");
}

// Run by hand: a verifier finding, and names that need escaping in JSON and XML.
TEST_F(Results, WritersEscapeTextAndReportVerifierFindings)
{
    Recording recording;
    recording.scenario = "caf\xC3\xA9 \"q\" <&> \\ \x01\t\xFF.vsim";
    CallRecord call;
    call.line = 4;
    call.text = "check enable=1";
    call.expectations.push_back({"enable=1", "enable=0", false});
    recording.calls.push_back(call);
    recording.verifier_failures.push_back("a spin lock <held> & \"leaked\"");
    const std::vector<ScenarioResult> results = {{recording, 3}};
    std::ofstream json(dir_ / "by-hand.json");
    vibra_tool::write_json(json, results, "1.2.3");
    json.close();
    std::ofstream junit(dir_ / "by-hand.xml");
    vibra_tool::write_junit(junit, results);
    junit.close();
    EXPECT_EQ(read_back("read_json.py", "by-hand.json"),
              "vibra-sim/1 3\n"
              "scenario caf\xC3\xA9 \"q\" <&> \\ \x01\t\xEF\xBF\xBD.vsim 3 1 0\n"
              "  4 enable=1 | enable=0 | False\n"
              "  enable 0 0 drive 0 0 0\n"
              "  last 4 0 check enable=1 None None None\n"
              "  verifier a spin lock <held> & \"leaked\"\n");
    const std::string name = "caf\xC3\xA9 \"q\" <&> \\ \xEF\xBF\xBD\t\xEF\xBF\xBD.vsim";
    const std::string class_name = "vibra-sim." + name.substr(0, name.size() - 5);
    EXPECT_EQ(read_back("read_junit.py", "by-hand.xml"),
              "testsuites 2 1 1\n"
              "testsuite " +
                  name +
                  " 2 1 1 True\n"
                  "  " +
                  class_name +
                  " line 4: check enable=1 | expected enable=1, got enable=0 | -\n"
                  "  " +
                  class_name + " verifier: a spin lock <held> & \"leaked\" | - | " +
                  "a spin lock <held> & \"leaked\"\n");
}

TEST_F(Results, JunitHasATestCaseAnExpectationOrOneForAScenarioWithout)
{
    EXPECT_EQ(run("--junit out/results.xml pass.vsim fail.vsim none.vsim"), 1) << err;
    EXPECT_EQ(
        read_back("read_junit.py", "out/results.xml"),
        "testsuites 7 2 0\n"
        "testsuite pass.vsim 4 0 0 True\n"
        "  vibra-sim.pass line 1: start | - | -\n"
        "  vibra-sim.pass line 2: set-state on | - | -\n"
        "  vibra-sim.pass line 3: check enable=1 | - | -\n"
        "  vibra-sim.pass line 5: stop | - | -\n"
        "testsuite fail.vsim 2 2 0 True\n"
        "  vibra-sim.fail line 2: set-state on | expected status STATUS_DATA_ERROR (0xC000003E), got STATUS_SUCCESS "
        "(0x00000000) | -\n"
        "  vibra-sim.fail line 3: check enable=0 state=1 | expected enable=0, got enable=1 | -\n"
        "testsuite none.vsim 1 0 0 True\n"
        "  vibra-sim.none none.vsim | - | -\n");
}

struct SeveralCase {
    const char *name;
    std::string arguments;
    std::string input;  // standard input
    int status;
    std::string expected;  // in standard error (refusals) or standard output
    bool played;           // any report on standard output
};

const SeveralCase kSeveral[] = {
    {"all pass", "pass.vsim none.vsim", "", 0, "2 scenarios: pass.vsim 0; none.vsim 0; exit status 0", true},
    {"the worst is a failed expectation", "pass.vsim -s fail.vsim none.vsim", "", 1,
     "3 scenarios: pass.vsim 0; fail.vsim 1; none.vsim 0; exit status 1", true},
    {"an output not written is worse", "fail.vsim pass.vsim --json /dev/full", "", 2, "", true},
    {"standard input among files", "pass.vsim - none.vsim", kFail, 1,
     "3 scenarios: pass.vsim 0; <stdin> 1; none.vsim 0; exit status 1", true},
    {"standard input alone", "-s -", kPass, 0, "Scenario <stdin>", true},
    {"a bad one stops all before any runs", "pass.vsim bad.vsim fail.vsim", "", 2,
     "bad.vsim:2: unknown command 'sett-state'", false},
    {"a missing one stops all before any runs", "pass.vsim missing.vsim", "", 2, "missing.vsim: cannot read", false},
    {"standard input twice", "- -", kPass, 2, "'-' is given twice", false},
    {"a bad scenario on standard input", "pass.vsim -", kBad, 2, "<stdin>:2: unknown command", false},
    {"one file for several scenarios", "pass.vsim none.vsim --vcd waves.vcd", "", 2,
     "--vcd names one file, but 2 scenarios are played; expected -o DIR", false},
    {"JSON into the report", "pass.vsim --json -", "", 2, "--json - would mix with the report", false},
    {"both to standard output", "pass.vsim --json - --junit - --quiet", "", 2, "would both write to standard output",
     false},
    {"a results file that cannot be written", "pass.vsim --junit pass.vsim/x.xml", "", 2,
     "pass.vsim/x.xml: cannot make its directory pass.vsim", false},
};

class Several : public Results, public ::testing::WithParamInterface<SeveralCase> {};

TEST_P(Several, ExitStatusIsTheWorstAndBadInputStopsAll)
{
    const SeveralCase &test = GetParam();
    EXPECT_EQ(run(test.arguments, test.input), test.status) << err;
    EXPECT_NE((test.played ? out : err).find(test.expected), std::string::npos) << out << err;
    EXPECT_EQ(out.find("Scenario ") != std::string::npos, test.played) << out;
}

INSTANTIATE_TEST_SUITE_P(Runs, Several, ::testing::ValuesIn(kSeveral),
                         [](const ::testing::TestParamInfo<SeveralCase> &info) {
                             std::string name;
                             for (const char *c = info.param.name; *c; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

TEST_F(Results, SeveralScenariosKeepTheirFilesApartUnderOut)
{
    EXPECT_EQ(run("-o out pass.vsim sub/pass.vsim none.vsim --json out/all.json", ""), 2)
        << "sub/pass.vsim does not exist yet";
    fs::create_directories(dir_ / "sub");
    fs::copy_file(dir_ / "pass.vsim", dir_ / "sub" / "pass.vsim");
    EXPECT_EQ(run("-o out pass.vsim sub/pass.vsim none.vsim --json out/all.json"), 0) << err;
    for (const char *stem : {"pass", "pass-2", "none"}) {
        for (const char *file : {"waves.vcd", "timing.svg", "events.csv", "trace.txt"}) {
            EXPECT_TRUE(fs::exists(dir_ / "out" / stem / file)) << stem << "/" << file;
        }
    }
    EXPECT_NE(read_back("read_json.py", "out/all.json").find("scenario none.vsim 0"), std::string::npos);
}

TEST_F(Results, QuietSendsOnlyTheDocumentToStandardOutput)
{
    EXPECT_EQ(run("--quiet --json - pass.vsim none.vsim"), 0) << err;
    std::ofstream(dir_ / "from-stdout.json") << out;
    EXPECT_EQ(read_back("read_json.py", "from-stdout.json").substr(0, 14), "vibra-sim/1 0\n");
    EXPECT_EQ(run("-q --junit - fail.vsim"), 1) << err;
    std::ofstream(dir_ / "from-stdout.xml") << out;
    EXPECT_EQ(read_back("read_junit.py", "from-stdout.xml").substr(0, 17), "testsuites 2 2 0\n");
}

TEST(WorstExitStatus, RanksUsageOverVerifierOverExpectation)
{
    const int cases[][3] = {{0, 0, 0}, {0, 1, 1}, {1, 3, 3}, {3, 1, 3}, {3, 2, 2}, {2, 3, 2}, {2, 0, 2}, {1, 0, 1}};
    for (const auto &[a, b, worst] : cases) {
        EXPECT_EQ(vibra_tool::worst_exit_status(a, b), worst) << a << " " << b;
    }
}

TEST(JsonString, EscapesWhatJsonCannotHoldAndPassesUtf8Through)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"say \"hi\" \\ now", "\"say \\\"hi\\\" \\\\ now\""},
        {"a\nb\tc\rd\x01\x1F\x7F", "\"a\\nb\\tc\\rd\\u0001\\u001f\\u007f\""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x99\x82", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x99\x82\""},
        {"bad \xFF \xC3 \xC0\xAF \xED\xA0\x80", "\"bad \\ufffd \\ufffd \\ufffd\\ufffd \\ufffd\\ufffd\\ufffd\""},
        {std::string("nul\0end", 7), "\"nul\\u0000end\""},
    };
    for (const auto &[text, json] : cases) {
        EXPECT_EQ(vibra_tool::json_string(text), json);
    }
}

TEST(XmlText, EscapesMarkupAndReplacesWhatXmlCannotHold)
{
    const std::pair<std::string, std::string> cases[] = {
        {"a<b>&\"c\"'d'", "a&lt;b&gt;&amp;&quot;c&quot;&apos;d&apos;"},
        {"line\nnext\ttab\r", "line\nnext\ttab&#13;"},
        {"bell\x07 bad\xFF caf\xC3\xA9", "bell\xEF\xBF\xBD bad\xEF\xBF\xBD caf\xC3\xA9"},
    };
    for (const auto &[text, xml] : cases) {
        EXPECT_EQ(vibra_tool::xml_text(text), xml);
    }
    EXPECT_EQ(vibra_tool::xml_text("line\nnext\ttab", true), "line&#10;next&#9;tab");
}

}  // namespace
