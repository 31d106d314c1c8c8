// SPDX-License-Identifier: MIT
// Helpers for the tests that run vibra-sim as a user does: the program with
// arguments, its exit status and what it printed; a file's bytes.
#pragma once

#include <filesystem>
#include <string>

namespace vibra_test {

struct SimRun {
    int status;       // the exit status, or -1 when it did not exit
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs vibra-sim with `arguments` (a shell command line's words) with no
// standard input.
SimRun run_sim(const std::string &arguments);

// The whole file, or "" when it cannot be read.
std::string read_file(const std::filesystem::path &path);

}  // namespace vibra_test
