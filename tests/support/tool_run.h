// SPDX-License-Identifier: MIT
// Helpers for the tests that run vibra-sim as a user does: the program with
// arguments, its exit status and what it printed; a file's bytes; a test
// with a directory of its own to run it in.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace vibra_test {

struct SimRun {
    int status;       // the exit status, or -1 when it did not exit
    std::string out;  // standard output
    std::string err;  // standard error
};

struct SimOptions {
    std::string environment;          // "NAME=value ..." for the program
    std::filesystem::path directory;  // where it runs; empty: here
    std::string input;                // its standard input; empty: none
};

// Runs vibra-sim with `arguments` (a shell command line's words). They come
// after the run's own redirections, so that one among them wins.
SimRun run_sim(const std::string &arguments, const SimOptions &options = {});

// The whole file, or "" when it cannot be read.
std::string read_file(const std::filesystem::path &path);

// `text` in single quotes, for a shell command line.
std::string quoted(const std::string &text);

// A test with an empty directory of its own, removed afterwards unless the
// test failed (to look at what it left).
class SimDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    // `text` with each "@" replaced by the test's directory.
    std::string in_dir(std::string text) const;
    // Runs vibra-sim; what it printed goes to `out` and `err`. Returns its
    // exit status.
    int run(const std::string &arguments, const SimOptions &options = {});

    std::filesystem::path dir_;
    std::string out;
    std::string err;
};

}  // namespace vibra_test
