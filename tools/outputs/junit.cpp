// SPDX-License-Identifier: MIT
// JUnit XML of a run, as CI systems read it: a test suite a scenario, a test
// case for each call that carries expectations (expect=, expect-bytes=,
// expect-output=, or a check; a repetition of a repeat block is its own case,
// "#k") or, for a scenario with none, one for the scenario; a failed set-up
// and expectations that were never evaluated as failures; the verifier's
// findings and a scenario that could not be read as errors. A case's time is
// the simulated time since the case before it; a suite's, its run's
// simulated length.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "outputs/report.h"
#include "outputs/results.h"
#include "scenario/scenario.h"

namespace vibra_tool {
namespace {

struct Case {
    Case(std::string case_name, int case_line, std::vector<std::string> case_failures = {},
         std::string case_error = {}, std::string case_out = {}, Ticks case_time = 0)
        : name(std::move(case_name)), line(case_line), failures(std::move(case_failures)),
          error(std::move(case_error)), out(std::move(case_out)), time(case_time)
    {
    }
    std::string name;
    int line = 0;
    std::vector<std::string> failures;  // "expected ..., got ..."
    std::string error;                  // a verifier finding, or outputs not written
    std::string out;                    // the call as the report shows it
    Ticks time = 0;                     // when it ran
    std::string error_type = "verifier";
    std::string skipped;  // why it did not run
};

// Seconds to the millisecond, as JUnit times are written.
std::string seconds(Ticks ticks)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ticks) / static_cast<double>(vsim::kTicksPerSecond));
    return text;
}

std::string attribute(const char *name, const std::string &value)
{
    return std::string(" ") + name + "=\"" + xml_text(value, true) + "\"";
}

std::string call_name(const CallRecord &call)
{
    return (call.line ? "line " + std::to_string(call.line) : std::string("set-up")) + ": " + call.text +
           (call.repetition ? " #" + std::to_string(call.repetition) : std::string());
}

std::vector<Case> cases_of(const ScenarioResult &result)
{
    const Recording &recording = result.recording;
    std::vector<Case> cases;
    if (!result.parse_error.empty()) {
        const std::string first = result.parse_error.substr(0, result.parse_error.find('\n'));
        Case parse("read the scenario", 0, {}, first, result.parse_error + "\n");
        parse.error_type = "parse";
        cases.push_back(std::move(parse));
        return cases;
    }
    if (!result.played) {
        Case unplayed(recording.scenario, 0);
        unplayed.skipped = "not played: another scenario of the run was refused";
        cases.push_back(std::move(unplayed));
        return cases;
    }
    if (!recording.setup_failure.empty()) {
        Case setup("set-up", 0, {"the set-up failed: " + recording.setup_failure});
        cases.push_back(std::move(setup));
    }
    for (const CallRecord &call : recording.calls) {
        if (call.expectations.empty()) {
            continue;
        }
        Case test(call_name(call), call.line, {}, {}, {}, call.time);
        test.out = "at " + format_time(call.time) + ": " + call.text + "\n";
        for (const ExpectationRecord &expectation : call.expectations) {
            test.out += (expectation.held ? "  held: expected " : "  FAILED: expected ") + expectation.expected +
                        ", got " + expectation.got + "\n";
            if (!expectation.held) {
                test.failures.push_back("expected " + expectation.expected + ", got " + expectation.got);
            }
        }
        cases.push_back(std::move(test));
    }
    if (cases.empty()) {
        Case whole(recording.scenario, 0, {}, {}, {}, recording.end);
        if (result.exit_status == 2) {
            whole.error = "the run's outputs were not all written";
            whole.error_type = "output";
        }
        cases.push_back(std::move(whole));
    }
    for (const std::string &finding : recording.verifier_failures) {
        cases.emplace_back("verifier: " + finding, 0, std::vector<std::string>{}, finding, std::string{}, recording.end);
    }
    return cases;
}

std::string join(const std::vector<std::string> &parts, const char *separator)
{
    std::string text;
    for (const std::string &part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

void write_suite(std::ostream &out, const ScenarioResult &result, const std::vector<Case> &cases,
                 const std::string &class_name)
{
    size_t failures = 0;
    size_t errors = 0;
    size_t skipped = 0;
    for (const Case &test : cases) {
        failures += test.failures.empty() ? 0 : 1;
        errors += test.error.empty() ? 0 : 1;
        skipped += test.skipped.empty() ? 0 : 1;
    }
    const std::string &name = result.recording.scenario;
    out << "  <testsuite" << attribute("name", name) << attribute("tests", std::to_string(cases.size()))
        << attribute("failures", std::to_string(failures)) << attribute("errors", std::to_string(errors))
        << attribute("skipped", std::to_string(skipped)) << attribute("time", seconds(result.recording.end)) << ">\n"
        << "    <properties>\n"
        << "      <property name=\"exit_status\"" << attribute("value", std::to_string(result.exit_status)) << "/>\n"
        << "      <property name=\"simulated_time_us\""
        << attribute("value", results_detail::microseconds(result.recording.end)) << "/>\n"
        << "    </properties>\n";
    Ticks previous = 0;
    for (const Case &test : cases) {
        out << "    <testcase" << attribute("name", test.name) << attribute("classname", class_name);
        if (test.line) {
            out << attribute("file", name) << attribute("line", std::to_string(test.line));
        }
        out << attribute("time", seconds(std::max<Ticks>(0, test.time - previous)));
        previous = std::max(previous, test.time);
        if (test.failures.empty() && test.error.empty() && test.out.empty() && test.skipped.empty()) {
            out << "/>\n";
            continue;
        }
        out << ">\n";
        if (!test.skipped.empty()) {
            out << "      <skipped" << attribute("message", test.skipped) << "/>\n";
        }
        if (!test.failures.empty()) {
            out << "      <failure" << attribute("message", join(test.failures, "; ")) << " type=\"expectation\">"
                << xml_text(join(test.failures, "\n")) << "</failure>\n";
        }
        if (!test.error.empty()) {
            out << "      <error" << attribute("message", test.error) << attribute("type", test.error_type) << ">"
                << xml_text(test.out.empty() || test.error_type != "parse" ? test.error : test.out) << "</error>\n";
        }
        if (!test.out.empty()) {
            out << "      <system-out>" << xml_text(test.out) << "</system-out>\n";
        }
        out << "    </testcase>\n";
    }
    std::ostringstream report;
    if (result.parse_error.empty() && result.played) {
        write_report(report, result.recording);
    }
    out << "    <system-out>" << xml_text(report.str()) << "</system-out>\n"
        << "  </testsuite>\n";
}

std::string class_word(std::string text)
{
    std::replace(text.begin(), text.end(), '.', '_');
    return text;
}

}  // namespace

// "vibra-sim.pass" for scenarios/pass.vsim: CI systems split the class name at
// its last dot into a package and a class. Where stems clash, the folders
// tell them apart: "vibra-sim.a_b.pass" for a/b/pass.vsim.
std::vector<std::string> junit_class_names(const std::vector<ScenarioResult> &results)
{
    std::vector<std::string> stems;
    for (const ScenarioResult &result : results) {
        const std::string stem = std::filesystem::path(result.recording.scenario).stem().string();
        stems.push_back(stem.empty() ? std::string("scenario") : class_word(stem));
    }
    std::vector<std::string> names;
    for (size_t index = 0; index < results.size(); ++index) {
        std::string name = "vibra-sim." + stems[index];
        if (std::count(stems.begin(), stems.end(), stems[index]) > 1) {
            std::string folder = std::filesystem::path(results[index].recording.scenario)
                                     .parent_path()
                                     .lexically_normal()
                                     .generic_string();
            std::replace(folder.begin(), folder.end(), '/', '_');
            name = "vibra-sim." + class_word(folder.empty() || folder == "." ? std::string("_") : folder) + "." +
                   stems[index];
        }
        names.push_back(std::move(name));
    }
    return names;
}

std::string xml_text(std::string_view text, bool attribute)
{
    std::string escaped;
    results_detail::for_each_code_point(text, [&](int32_t code, std::string_view bytes) {
        switch (code) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&apos;";
            break;
        case '\n':
            escaped += attribute ? "&#10;" : "\n";
            break;
        case '\t':
            escaped += attribute ? "&#9;" : "\t";
            break;
        case '\r':
            escaped += "&#13;";
            break;
        default:
            // XML 1.0 has no other control characters, nor U+FFFE and U+FFFF.
            if (code < 0x20 || code == 0xFFFE || code == 0xFFFF) {
                escaped += "\xEF\xBF\xBD";
            } else {
                escaped += bytes;
            }
        }
    });
    return escaped;
}

void write_junit(std::ostream &out, const std::vector<ScenarioResult> &results)
{
    std::vector<std::vector<Case>> suites;
    size_t tests = 0, failures = 0, errors = 0;
    Ticks total = 0;
    for (const ScenarioResult &result : results) {
        total += result.recording.end;
        suites.push_back(cases_of(result));
        for (const Case &test : suites.back()) {
            ++tests;
            failures += test.failures.empty() ? 0 : 1;
            errors += test.error.empty() ? 0 : 1;
        }
    }
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<testsuites name=\"vibra-sim\"" << attribute("tests", std::to_string(tests))
        << attribute("failures", std::to_string(failures)) << attribute("errors", std::to_string(errors))
        << attribute("time", seconds(total)) << ">\n";
    const std::vector<std::string> classes = junit_class_names(results);
    for (size_t index = 0; index < results.size(); ++index) {
        write_suite(out, results[index], suites[index], classes[index]);
    }
    out << "</testsuites>\n";
}

}  // namespace vibra_tool
