// SPDX-License-Identifier: MIT
// The options of systematic fault injection and of the explorer's shards,
// and the systematic run itself.
#include <CLI/CLI.hpp>

#include <charconv>
#include <fstream>
#include <iostream>
#include <sstream>

#include "complain.h"
#include "scenario/default_scenario.h"
#include "explore/explore.h"
#include "cli/settings.h"
#include "explore/systematic.h"

namespace vibra_tool::cli {

void add_systematic_options(CLI::App &app, Settings &settings)
{
    CLI::Option *systematic = app.add_flag(
        "--systematic", settings.systematic,
        "Play the scenario (default: the built-in one) once per platform call it makes that the real platform "
        "could fail, with that call failing, and check each run (each scenario given, in turn)");
    app.add_option("--inject-at", settings.inject_at,
                   "With --systematic: play only run K, which fails the K-th injectable call (0: the scenario as "
                   "written, no fault added)")
        ->type_name("K")
        ->needs(systematic);
    app.add_option("--shard", settings.shard,
                   "With --explore: play only the runs i with i mod N = K - 1, so that N machines share a seed's "
                   "--runs without overlap")
        ->type_name("K/N");
    for (const char *other : {"--explore", "--check", "--realtime", "--out", "--trace", "--events", "--vcd", "--svg"}) {
        if (CLI::Option *option = app.get_option_no_throw(other)) {
            systematic->excludes(option);
        }
    }
}

bool shard_option(const Settings &settings, uint32_t &shard, uint32_t &shards)
{
    shard = 0;
    shards = 1;
    if (settings.shard.empty()) {
        return true;
    }
    const std::string &text = settings.shard;
    const size_t slash = text.find('/');
    uint32_t k = 0, n = 0;
    const auto number = [](std::string_view part, uint32_t &value) {
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        return !part.empty() && error == std::errc() && end == part.data() + part.size();
    };
    if (slash == std::string::npos || !number(std::string_view(text).substr(0, slash), k) ||
        !number(std::string_view(text).substr(slash + 1), n) || n == 0 || k == 0 || k > n) {
        complain() << "--shard " << text << ": expected K/N with 1 <= K <= N, e.g. 1/2\n";
        return false;
    }
    shard = k - 1;
    shards = n;
    return true;
}

int run_systematic(const Settings &settings)
{
    std::vector<SystematicInput> inputs;
    if (settings.scenarios.empty()) {
        inputs.push_back({std::string(kDefaultScenarioName), std::string(default_scenario()), ""});
    }
    for (const std::string &file : settings.scenarios) {
        if (file == "-") {
            complain() << "--systematic replays each scenario many times; expected files, not '-'\n";
            return kExitUsage;
        }
        const ParseResult parsed = load_scenario(file);  // a bounded, regular file that parses
        if (!parsed.scenario) {
            complain(parsed.error);
            return kExitUsage;
        }
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        inputs.push_back({file, text.str(), "--scenario " + file});
    }
    if (settings.inject_at && inputs.size() != 1) {
        complain() << "--inject-at replays a run of one scenario; expected one scenario file\n";
        return kExitUsage;
    }
    return systematic(inputs, settings.inject_at, std::cout);
}

}  // namespace vibra_tool::cli
