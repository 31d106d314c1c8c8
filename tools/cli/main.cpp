// SPDX-License-Identifier: MIT
// vibra-sim: loads the driver on the simulated platform, plays a scenario of
// class-extension calls in virtual time and shows what the driver did to the
// motor lines, what it reported and what it traced.
//
// Exit status: 0 all went as expected; 1 an expectation of the scenario did
// not hold; 2 bad usage or a bad scenario (nothing ran); 3 the platform's
// verifier found misuse by the driver; several scenarios give the worst of
// theirs (2 over 3 over 1 over 0). With --explore: 0 every run held; 4 a
// run gave a wrong result; 5 a run did not come to rest. A played run ended by
// Ctrl-C (SIGINT) or SIGTERM writes its report and files up to where it
// stopped and exits 130 (143 for SIGTERM).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <new>

#include "complain.h"
#include "scenario/default_scenario.h"
#include "cli/settings.h"
#include "scenario/suggest.h"

namespace {

using namespace vibra_tool::cli;

// Every option's long name, "--list", ...
std::vector<std::string> long_options(const CLI::App &app)
{
    std::vector<std::string> names;
    for (const CLI::Option *option : app.get_options()) {
        for (const std::string &name : option->get_lnames()) {
            names.push_back("--" + name);
        }
    }
    return names;
}

// CLI11's refusal, with the tool's prefix and, for a mistyped option, the
// option meant.
void report_parse_error(const CLI::App &app, const CLI::ParseError &failure, int argc, char **argv)
{
    std::string hint;
    const std::vector<std::string> names = long_options(app);
    for (int index = 1; index < argc && hint.empty(); ++index) {
        std::string word(argv[index]);
        word = word.substr(0, word.find('='));
        if (word.starts_with("--") && std::find(names.begin(), names.end(), word) == names.end()) {
            if (const std::optional<std::string> meant = vibra_tool::closest(word, names)) {
                hint = "; did you mean '" + *meant + "'?";
            }
        }
    }
    vibra_tool::complain(failure.what() + hint + "\nRun with --help for more information.");
}

int run_main(int argc, char **argv)
{
    CLI::App app{"vibra-sim: plays a scenario of class-extension calls against the vibration-motor driver on a "
                 "simulated platform, in virtual time, and shows the motor lines, the results and the trace.\n"
                 "Exit status: 0 ok, 1 an expectation failed, 2 bad usage or scenario, 3 verifier findings; "
                 "with several scenarios the worst of theirs (2 over 3 over 1 over 0); "
                 "with --explore: 4 a wrong result, 5 a stuck run; 130 interrupted by Ctrl-C (the report and files "
                 "cover the run up to there)."};
    Settings settings;
    add_options(app, settings);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &success) {
        return app.exit(success);
    } catch (const CLI::ParseError &failure) {
        report_parse_error(app, failure, argc, argv);
        return kExitUsage;
    }
    if (!settings.list.empty()) {
        return print_list(settings);
    }
    if (!options_fit_the_run(app, settings)) {
        return kExitUsage;
    }
    if (settings.print_default) {
        std::cout << vibra_tool::default_scenario();
        return 0;
    }
    if (settings.timing) {
        return run_timing(settings);
    }
    if (settings.systematic) {
        return run_systematic(settings);
    }
    return settings.explore ? run_explorer(settings) : run(settings);
}

}  // namespace

int main(int argc, char **argv)
{
    // Nothing the tool meets, however large or odd, ends it by an exception.
    try {
        return run_main(argc, argv);
    } catch (const std::bad_alloc &) {
        vibra_tool::complain() << "out of memory; expected a smaller scenario or smaller outputs\n";
    } catch (const std::exception &failure) {
        vibra_tool::complain() << "internal error: " << failure.what() << "\n";
    } catch (...) {
        vibra_tool::complain() << "internal error\n";
    }
    return kExitUsage;
}
