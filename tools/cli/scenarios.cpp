// SPDX-License-Identifier: MIT
// The scenarios of a run: files, standard input, or the built-in one.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>

#include "complain.h"
#include "scenario/default_scenario.h"
#include "scenario/errno_text.h"
#include "cli/settings.h"
#include "scenario/suggest.h"

namespace vibra_tool::cli {
namespace {

constexpr const char *kStdinName = "<stdin>";

ParseResult refused(const std::string &why) { return ParseResult{std::nullopt, {why}, 1, why}; }

// Standard input, bounded as a scenario file is.
ParseResult read_standard_input()
{
    // The text grows as it is read: a short scenario takes little memory.
    std::string text;
    size_t used = 0;
    constexpr size_t kChunk = size_t{64} * 1024;
    while (used <= kMaxScenarioBytes) {
        text.resize(std::min(used + kChunk, kMaxScenarioBytes + 1));
        const ssize_t got = ::read(STDIN_FILENO, text.data() + used, text.size() - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return refused(std::string(kStdinName) + ": cannot read standard input (" + errno_text(errno) +
                           "); expected a scenario");
        }
        if (got == 0) {
            break;
        }
        used += static_cast<size_t>(got);
    }
    if (used > kMaxScenarioBytes) {
        return refused(std::string(kStdinName) + ": scenario is too large; expected at most " +
                       std::to_string(kMaxScenarioBytes) + " bytes (16 MiB)");
    }
    text.resize(used);
    return parse_scenario(text, kStdinName);
}

}  // namespace

std::vector<ParseResult> read_scenarios(const Settings &settings)
{
    std::vector<ParseResult> results;
    if (settings.scenarios.empty()) {
        results.push_back(parse_scenario(default_scenario(), std::string(kDefaultScenarioName)));
        return results;
    }
    bool read_stdin = false;
    for (const std::string &source : settings.scenarios) {
        if (source == "-" && read_stdin) {
            results.push_back(refused("vibra-sim: '-' is given twice; standard input holds one scenario"));
            continue;
        }
        read_stdin = read_stdin || source == "-";
        ParseResult parsed = source == "-" ? read_standard_input() : load_scenario(source);
        std::error_code ignored;
        if (!parsed.scenario && source != "-" && !std::filesystem::exists(source, ignored)) {
            // "vibra-sim explore": a mode written without its dashes.
            static const std::vector<std::string> kModes = {"explore", "systematic", "check", "list", "timing",
                                                            "print-default", "help", "version"};
            if (const std::optional<std::string> mode = closest(source, kModes)) {
                parsed = refused(parsed.error + "; did you mean the option --" + *mode + "?");
            }
        }
        if (parsed.scenario && !plays_something(*parsed.scenario)) {
            // As a test runner that found no test: a run that checks nothing
            // must not pass.
            parsed = refused(parsed.scenario->name +
                             ": nothing to play: no call and no check; expected at least one command such as setup, "
                             "start, set-state, get-state or check");
        }
        results.push_back(std::move(parsed));
    }
    return results;
}

std::vector<Scenario> load_scenarios(const Settings &settings)
{
    std::vector<Scenario> scenarios;
    bool refused = false;
    for (ParseResult &parsed : read_scenarios(settings)) {
        if (!parsed.scenario) {
            complain(parsed.error);
            refused = true;
            continue;
        }
        scenarios.push_back(std::move(*parsed.scenario));
    }
    if (refused) {
        if (settings.scenarios.size() > 1) {
            complain() << "no scenario was played; expected every scenario to be well formed\n";
        }
        scenarios.clear();
    }
    return scenarios;
}

std::vector<std::string> scenario_stems(const std::vector<std::string> &sources)
{
    std::vector<std::string> stems;
    std::set<std::string> taken;
    for (const std::string &source : sources) {
        std::string stem = source == "-" ? "stdin" : std::filesystem::path(source).stem().string();
        if (stem.empty() || stem == "." || stem == "..") {
            stem = "scenario";
        }
        std::string unique = stem;
        for (int n = 2; !taken.insert(unique).second; ++n) {
            unique = stem + "-" + std::to_string(n);
        }
        stems.push_back(unique);
    }
    return stems;
}

}  // namespace vibra_tool::cli
