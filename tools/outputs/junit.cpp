// SPDX-License-Identifier: MIT
// JUnit XML of a run, as CI systems read it: a test suite a scenario, a test
// case for each call that carries expectations (expect=, expect-bytes=,
// expect-output=, or a check) or, for a scenario with none, one for the
// scenario; the verifier's findings as errors.
#include <algorithm>
#include <filesystem>
#include <sstream>

#include "report.h"
#include "results.h"
#include "scenario.h"

namespace vibra_tool {
namespace {

struct Case {
    std::string name;
    int line = 0;
    std::vector<std::string> failures;  // "expected ..., got ..."
    std::string error;                  // a verifier finding, or outputs not written
    std::string out;                    // the call as the report shows it
};

std::string attribute(const char *name, const std::string &value)
{
    return std::string(" ") + name + "=\"" + xml_text(value, true) + "\"";
}

// "vibra-sim.pass" for scenarios/pass.vsim: CI systems split the class name at
// its last dot into a package and a class.
std::string class_name(const std::string &scenario)
{
    std::string stem = std::filesystem::path(scenario).stem().string();
    std::replace(stem.begin(), stem.end(), '.', '_');
    return "vibra-sim." + (stem.empty() ? std::string("scenario") : stem);
}

std::string call_name(const CallRecord &call)
{
    return (call.line ? "line " + std::to_string(call.line) : std::string("set-up")) + ": " + call.text;
}

std::vector<Case> cases_of(const ScenarioResult &result)
{
    const Recording &recording = result.recording;
    std::vector<Case> cases;
    for (const CallRecord &call : recording.calls) {
        if (call.expectations.empty()) {
            continue;
        }
        Case test{call_name(call), call.line, {}, {}, {}};
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
        Case whole{recording.scenario, 0, {}, {}, {}};
        if (result.exit_status == 2) {
            whole.error = "the run's outputs were not all written";
        }
        cases.push_back(std::move(whole));
    }
    for (const std::string &finding : recording.verifier_failures) {
        cases.push_back({"verifier: " + finding, 0, {}, finding, {}});
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

void write_suite(std::ostream &out, const ScenarioResult &result, const std::vector<Case> &cases)
{
    size_t failures = 0;
    size_t errors = 0;
    for (const Case &test : cases) {
        failures += test.failures.empty() ? 0 : 1;
        errors += test.error.empty() ? 0 : 1;
    }
    const std::string &name = result.recording.scenario;
    out << "  <testsuite" << attribute("name", name) << attribute("tests", std::to_string(cases.size()))
        << attribute("failures", std::to_string(failures)) << attribute("errors", std::to_string(errors))
        << " skipped=\"0\" time=\"0\">\n"
        << "    <properties>\n"
        << "      <property name=\"exit_status\"" << attribute("value", std::to_string(result.exit_status)) << "/>\n"
        << "      <property name=\"simulated_time_us\""
        << attribute("value", results_detail::microseconds(result.recording.end)) << "/>\n"
        << "    </properties>\n";
    for (const Case &test : cases) {
        out << "    <testcase" << attribute("name", test.name) << attribute("classname", class_name(name));
        if (test.line) {
            out << attribute("file", name) << attribute("line", std::to_string(test.line));
        }
        out << " time=\"0\"";
        if (test.failures.empty() && test.error.empty() && test.out.empty()) {
            out << "/>\n";
            continue;
        }
        out << ">\n";
        if (!test.failures.empty()) {
            out << "      <failure" << attribute("message", join(test.failures, "; ")) << " type=\"expectation\">"
                << xml_text(join(test.failures, "\n")) << "</failure>\n";
        }
        if (!test.error.empty()) {
            out << "      <error" << attribute("message", test.error) << " type=\"verifier\">" << xml_text(test.error)
                << "</error>\n";
        }
        if (!test.out.empty()) {
            out << "      <system-out>" << xml_text(test.out) << "</system-out>\n";
        }
        out << "    </testcase>\n";
    }
    std::ostringstream report;
    write_report(report, result.recording);
    out << "    <system-out>" << xml_text(report.str()) << "</system-out>\n"
        << "  </testsuite>\n";
}

}  // namespace

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
    for (const ScenarioResult &result : results) {
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
        << " time=\"0\">\n";
    for (size_t index = 0; index < results.size(); ++index) {
        write_suite(out, results[index], suites[index]);
    }
    out << "</testsuites>\n";
}

}  // namespace vibra_tool
