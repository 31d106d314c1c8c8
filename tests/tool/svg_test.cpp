// SPDX-License-Identifier: MIT
// The SVG timing diagram: its structure as a browser reads it, its window and
// axis, the envelope of steps too dense to draw, the calls as markers of
// their result, and a bounded size however long the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "outputs/waveforms.h"
#include "support/tool_run.h"

namespace {

using namespace vibra_tool;
namespace fs = std::filesystem;

constexpr Ticks ms(Ticks n) { return n * vsim::kTicksPerMs; }

size_t count(const std::string &text, const std::string &part)
{
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

// Tags open and close in order; returns the element names seen.
std::vector<std::string> check_xml_nesting(const std::string &text)
{
    std::vector<std::string> stack, seen;
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        const size_t end = text.find('>', at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated tag at " << at;
            break;
        }
        const std::string tag = text.substr(at + 1, end - at - 1);
        if (tag.starts_with('?') || tag.starts_with('!')) {
            continue;
        }
        if (tag.starts_with('/')) {
            EXPECT_FALSE(stack.empty()) << "close tag " << tag << " without an open one";
            if (!stack.empty()) {
                EXPECT_EQ("/" + stack.back(), tag);
                stack.pop_back();
            }
            continue;
        }
        const std::string name = tag.substr(0, tag.find_first_of(" \n/"));
        seen.push_back(name);
        if (!tag.ends_with('/')) {
            stack.push_back(name);
        }
    }
    EXPECT_TRUE(stack.empty()) << "unclosed element " << (stack.empty() ? "" : stack.back());
    return seen;
}

// Each call marker's class and tooltip, in order.
std::vector<std::pair<std::string, std::string>> markers(const std::string &svg)
{
    std::vector<std::pair<std::string, std::string>> found;
    const std::regex marker("<g class=\"call (\\w+)\"><title>([^<]*)</title>");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), marker); it != std::sregex_iterator(); ++it) {
        found.emplace_back((*it)[1], (*it)[2]);
    }
    return found;
}

// A 600 s soak written straight into the picture: the drive steps every
// 3.3 ms while the motor runs, and a few calls.
std::string soak_svg(Recording &recording)
{
    recording.scenario = "soak";
    recording.end = ms(600'000);
    SvgPicture picture;
    picture.change({ms(1000), kEnableLine, 1});
    int level = 0;
    for (Ticks t = ms(1000); t < ms(599'000); t += 33'000) {
        level ^= 1;
        picture.change({t, kDriveLine, level});
    }
    picture.change({ms(599'000), kDriveLine, 0});
    picture.change({ms(599'000), kEnableLine, 0});
    for (int i = 0; i < 3; ++i) {
        CallRecord call;
        call.time = ms(1000 + 100'000 * i);
        call.line = i + 1;
        call.text = "set-state on";
        call.status = 0;
        recording.calls.push_back(call);
    }
    recording.calls[1].status = static_cast<int32_t>(0xC000000D);  // a failure nothing expected
    recording.calls[2].failed_expectation = true;
    std::ostringstream out;
    write_svg(out, recording, picture);
    return out.str();
}

TEST(Svg, ALongRunStaysSmallAndShowsItsStepsAsAMeasuredEnvelope)
{
    Recording recording;
    const std::string svg = soak_svg(recording);
    EXPECT_LT(svg.size(), 100'000u);
    const std::vector<std::string> elements = check_xml_nesting(svg);
    EXPECT_LT(elements.size(), 3000u);
    EXPECT_NE(svg.find("viewBox=\"0 0 "), std::string::npos);
    EXPECT_EQ(count(svg, "class=\"envelope\""), 1u) << "one band for the whole stretch";
    EXPECT_NE(svg.find(">period 6.6 ms \xc2\xb7 duty 50.0 % \xc2\xb7 151.5 Hz"), std::string::npos);
    // 598 s of 6.6 ms periods: the band counts periods, each two 3.3 ms steps.
    std::smatch periods;
    ASSERT_TRUE(std::regex_search(svg, periods, std::regex("151.5 Hz \xc2\xb7 ([0-9]+) periods, all 6.6 ms</text>")))
        << svg;
    EXPECT_NEAR(std::stod(periods[1]), 598'000.0 / 6.6, 2.0);
    EXPECT_EQ(svg.find("class=\"outlier\""), std::string::npos) << "no period far from the others";
    for (const char *tick : {">0 s</text>", ">100 s</text>", ">600 s</text>"}) {
        EXPECT_NE(svg.find(tick), std::string::npos) << tick;
    }
    const size_t inset = svg.find("<g class=\"inset\">");
    ASSERT_NE(inset, std::string::npos) << "the first steps, zoomed";
    const size_t axis = svg.find("<g class=\"axis\"");
    ASSERT_LT(axis, inset);
    EXPECT_EQ(svg.substr(axis, svg.find("</g>", axis) - axis).find(" ms</text>"), std::string::npos)
        << "the main axis is in seconds";
    EXPECT_NE(svg.find(">+5 ms</text>", inset), std::string::npos) << "the zoom's axis counts from its first edge";
    const auto calls = markers(svg);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].first, "pass");
    EXPECT_EQ(calls[1].first, "unexpected") << "a failure without expect=";
    EXPECT_EQ(calls[2].first, "unexpected");
    EXPECT_NE(calls[1].second.find("STATUS_INVALID_PARAMETER"), std::string::npos) << calls[1].second;
}

TEST(Svg, ManyCallsShareMarkersThatKeepTheWorstResult)
{
    Recording recording;
    recording.end = ms(600'000);
    for (int i = 0; i < 20'000; ++i) {
        CallRecord call;
        call.time = ms(30) * i;
        call.line = i + 1;
        call.text = "get-state";
        call.status = 0;
        call.failed_expectation = i == 12'345;
        recording.calls.push_back(call);
    }
    std::ostringstream out;
    write_svg(out, recording);
    const std::string svg = out.str();
    EXPECT_LT(svg.size(), 300'000u);
    const auto calls = markers(svg);
    EXPECT_LE(calls.size(), 600u) << "one marker for each 2 px at most";
    EXPECT_GT(calls.size(), 500u);
    ASSERT_EQ(calls.back().first, "unexpected") << "drawn last, on top";
    EXPECT_NE(calls.back().second.find("line 12346, 370.35 s: get-state"), std::string::npos) << calls.back().second;
    EXPECT_NE(calls.back().second.find("1 unexpected failure"), std::string::npos) << calls.back().second;
}

// The period and duty measured over buckets merged in any grouping are
// those of the edges themselves.
TEST(Svg, BucketsMergeToThePeriodAndDutyOfTheirEdges)
{
    struct Case {
        const char *name;
        size_t capacity;
        Ticks high, low;
    };
    for (const Case &c : {Case{"exact", 100'000, 20, 30}, Case{"decimated", 8, 20, 30}, Case{"odd", 5, 7, 93},
                          Case{"coarse", 1, 33'000, 33'000}}) {
        SvgPicture picture(c.capacity);
        Ticks t = 1000;
        for (int i = 0; i < 1000; ++i) {
            picture.change({t, kDriveLine, 1});
            picture.change({t + c.high, kDriveLine, 0});
            t += c.high + c.low;
        }
        const auto &buckets = picture.buckets(kDriveLine);
        ASSERT_LE(buckets.size(), c.capacity) << c.name;
        SvgPicture::Bucket all = buckets.front();
        for (size_t i = 1; i < buckets.size(); ++i) {
            all = SvgPicture::merge(all, buckets[i]);
        }
        EXPECT_EQ(all.edges, 2000u) << c.name;
        EXPECT_EQ(all.rises.count, 1000u) << c.name;
        EXPECT_EQ(all.rises.last - all.rises.first, 999 * (c.high + c.low)) << c.name;
        EXPECT_EQ(all.rises.middle, 999 * c.high) << c.name << ": high time from the first rise to the last";
        EXPECT_EQ(all.rises.head, 0) << c.name;
        EXPECT_EQ(all.rises.tail, c.high) << c.name;
        EXPECT_EQ(all.falls.count, 1000u) << c.name;
        EXPECT_EQ(all.falls.middle, 999 * c.low) << c.name << ": low time from the first fall to the last";
        EXPECT_EQ(all.falls.head, 0) << c.name << ": the line was high, not low, before the first fall";
    }
}

// A 0.1 ms low pulse among 3.3 ms steps makes one period of 3.4 ms: the band
// says so beside the average and draws it as a tick, however its edges were
// bucketed and whichever edges the stretch is measured from.
TEST(Svg, ABandShowsItsShortestAndLongestPeriodAndTicksTheOutliers)
{
    struct Case {
        const char *name;
        size_t capacity;
        bool ends_high;  // measured from fall to fall
    };
    for (const Case &c : {Case{"exact", 2048, false}, Case{"decimated", 64, false}, Case{"ends high", 2048, true},
                          Case{"decimated, ends high", 16, true}}) {
        SvgPicture picture(c.capacity);
        picture.change({ms(1000), kEnableLine, 1});
        Ticks t = ms(1000);
        for (int i = 0; i < 1000; ++i) {
            picture.change({t, kDriveLine, 1});
            picture.change({t + 33'000, kDriveLine, 0});
            t += i == 400 ? 34'000 : 66'000;  // the glitch: low for 0.1 ms only
        }
        if (c.ends_high) {
            picture.change({t, kDriveLine, 1});
        }
        Recording recording;
        recording.end = t + ms(10);
        std::ostringstream out;
        write_svg(out, recording, picture);
        const std::string svg = out.str();
        std::smatch label;
        ASSERT_TRUE(std::regex_search(svg, label, std::regex("<g class=\"envelope\">.*?<text[^>]*>([^<]*)</text>")))
            << c.name;
        EXPECT_NE(label[1].str().find("periods, 3.4 to 6.6 ms"), std::string::npos) << c.name << ": " << label[1];
        const std::regex tick("<line class=\"outlier\"[^>]*><title>([^<]*)</title>");
        std::vector<std::string> ticks;
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), tick); it != std::sregex_iterator(); ++it) {
            ticks.push_back((*it)[1]);
        }
        ASSERT_EQ(ticks.size(), 1u) << c.name;
        EXPECT_TRUE(ticks[0].starts_with("period 3.4 ms from ")) << c.name << ": " << ticks[0];
        EXPECT_NE(ticks[0].find("most are 6.6 ms"), std::string::npos) << c.name << ": " << ticks[0];
    }
}

class SvgRun : public vibra_test::SimDirTest {
protected:
    // Runs vibra-sim writing the SVG; returns its exit status.
    int run(const std::string &arguments)
    {
        const int status = SimDirTest::run("--svg " + vibra_test::quoted(svg_path()) + " " + arguments);
        svg = vibra_test::read_file(svg_path());
        return status;
    }
    std::string svg_path() const { return path("t.svg"); }

    std::string svg;
};

TEST_F(SvgRun, DrawsEveryCallWithItsResultAndAFailedCheckInRed)
{
    ASSERT_EQ(run("-s '" + std::string(VIBRA_TEST_DIR) + "/scenarios/diagram_mixed.vsim'"), 1) << err;
    const std::vector<std::string> elements = check_xml_nesting(svg);
    ASSERT_FALSE(elements.empty());
    EXPECT_EQ(elements.front(), "svg");
    for (const char *part : {"viewBox=\"0 0 ", "id=\"enable\"", "id=\"drive\"", "class=\"state\"", "class=\"axis\"",
                             "class=\"legend\"", ">0 ms</text>", ">140 ms</text>", "class=\"result failed\""}) {
        EXPECT_NE(svg.find(part), std::string::npos) << part;
    }
    // Set-up (3), start, fault armed, fault taken, two set-state on, check,
    // set-state off, check, get-state, stop.
    const auto calls = markers(svg);
    ASSERT_EQ(calls.size(), 13u);
    std::map<std::string, std::vector<std::string>> by_result;
    for (const auto &[result, title] : calls) {
        by_result[result].push_back(title);
    }
    ASSERT_EQ(by_result["unexpected"].size(), 1u);
    EXPECT_TRUE(by_result["unexpected"][0].starts_with("line 9, 70 ms: check enable=1")) << by_result["unexpected"][0];
    EXPECT_NE(by_result["unexpected"][0].find("expected enable=1, got enable=0"), std::string::npos);
    ASSERT_EQ(by_result["expected"].size(), 2u);
    EXPECT_NE(by_result["expected"][0].find("STATUS_DEVICE_NOT_CONNECTED"), std::string::npos);
    EXPECT_NE(by_result["expected"][1].find("STATUS_INVALID_PARAMETER"), std::string::npos);
    EXPECT_EQ(by_result["pass"].size(), 8u);
    // The fault line arms a fault, neither a pass nor a failure; where it
    // takes effect has a marker of its own, naming the operation, its call
    // number and the line that armed it.
    ASSERT_EQ(by_result["armed"].size(), 1u);
    EXPECT_TRUE(by_result["armed"][0].starts_with("line 4, 5 ms: refuse-send")) << by_result["armed"][0];
    ASSERT_EQ(by_result["fault"].size(), 1u);
    EXPECT_EQ(by_result["fault"][0],
              "fault taken, 5 ms: WdfRequestSend call 3 \xe2\x86\x92 STATUS_DEVICE_NOT_CONNECTED\narmed by line 4: "
              "refuse-send status=STATUS_DEVICE_NOT_CONNECTED\nduring line 5: set-state on");
    const size_t legend = svg.find("<g class=\"legend\"");
    ASSERT_NE(legend, std::string::npos);
    for (const char *entry : {">fault armed</text>", ">fault taken</text>"}) {
        EXPECT_NE(svg.find(entry, legend), std::string::npos) << entry;
    }
    // The colours of the five results differ.
    const std::regex fill("<g class=\"call (\\w+)\"><title>[^<]*</title>(?:<line[^>]*>)?<\\w+ [^>]*fill=\"(#\\w+)\"");
    std::map<std::string, std::string> colours;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), fill); it != std::sregex_iterator(); ++it) {
        colours[(*it)[1]] = (*it)[2];
    }
    ASSERT_EQ(colours.size(), 5u);
    std::set<std::string> distinct;
    for (const auto &[result, colour] : colours) {
        distinct.insert(colour);
    }
    EXPECT_EQ(distinct.size(), 5u);
}

TEST_F(SvgRun, AWindowChoosesWhatIsShownAndTheAxisUnit)
{
    struct Case {
        const char *window;
        size_t calls;  // markers inside the window
        const char *tick;
        const char *absent;
    };
    for (const Case &c : {
             Case{"", 13, ">1400 ms</text>", " s</text>"},
             Case{"--from 5ms --to 65ms", 2, ">60 ms</text>", ">1400 ms</text>"},
             Case{"--from 10ms --to 11ms", 1, ">10500 \xc2\xb5s</text>", " ms</text>"},
             Case{"--to 3s", 13, ">3.0 s</text>", ">500 ms</text>"},
         }) {
        ASSERT_EQ(run(c.window), 0) << c.window << ": " << err;
        EXPECT_EQ(markers(svg).size(), c.calls) << c.window;
        EXPECT_NE(svg.find(c.tick), std::string::npos) << c.window << ": " << c.tick;
        const size_t inset = svg.find("<g class=\"inset\"");
        EXPECT_EQ(svg.substr(0, inset).find(c.absent), std::string::npos) << c.window << ": " << c.absent;
        // Each stretch of steps is measured without the edge that ends it
        // (the stop leaves the drive high a while later).
        const std::regex band("<g class=\"envelope\">.*?<text[^>]*>([^<]*)</text>");
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), band); it != std::sregex_iterator(); ++it) {
            EXPECT_NE((*it)[1].str().find("6.6 ms"), std::string::npos) << c.window << ": " << (*it)[1];
        }
    }
}

TEST_F(SvgRun, ABadWindowIsRefusedBeforeTheRun)
{
    for (const auto &[arguments, message] : std::vector<std::pair<std::string, std::string>>{
             {"--from 60ms --to 20ms", "--to '20ms' is not after --from '60ms'"},
             {"--from soon", "bad time 'soon'"},
             {"--to 5", "bad time '5'"},
         }) {
        EXPECT_EQ(run(arguments), 2) << arguments;
        EXPECT_NE(err.find(message), std::string::npos) << arguments << ": " << err;
        EXPECT_FALSE(fs::exists(svg_path())) << arguments;
    }
    EXPECT_EQ(vibra_test::run_sim("--from 10ms").status, 2) << "--from without an SVG to write";
}

}  // namespace
