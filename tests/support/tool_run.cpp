// SPDX-License-Identifier: MIT
#include "tool_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vibra_test {

namespace fs = std::filesystem;

namespace {

// A name no other run of this or another test process takes.
std::string unique_name(const char *prefix)
{
    static std::atomic<int> serial{0};
    return std::string(prefix) + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

}  // namespace

SimRun run_sim(const std::string &arguments, const SimOptions &options)
{
    const fs::path base = fs::temp_directory_path() / unique_name("vibra-sim-run-");
    const fs::path out = base.string() + ".out", err = base.string() + ".err", in = base.string() + ".in";
    if (!options.input.empty()) {
        std::ofstream(in, std::ios::binary) << options.input;
    }
    std::string command;
    if (!options.directory.empty()) {
        command = "cd " + quoted(options.directory.string()) + " && ";
    }
    command += options.environment + " " + quoted(VIBRA_SIM_EXE) + " >" + quoted(out.string()) + " 2>" +
               quoted(err.string()) + " <" + (options.input.empty() ? "/dev/null" : quoted(in.string())) + " " +
               arguments;
    const int status = std::system(command.c_str());
    SimRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
    for (const fs::path &file : {out, err, in}) {
        std::error_code ignored;
        fs::remove(file, ignored);
    }
    return run;
}

std::string read_file(const fs::path &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string quoted(const std::string &text) { return "'" + text + "'"; }

void SimDirTest::SetUp()
{
    dir_ = fs::temp_directory_path() / unique_name("vibra-sim-test-");
    fs::remove_all(dir_);
    fs::create_directories(dir_);
}

void SimDirTest::TearDown()
{
    if (!dir_.empty() && !HasFailure()) {
        fs::remove_all(dir_);
    }
}

std::string SimDirTest::in_dir(std::string text) const
{
    const std::string dir = dir_.string();
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size())) {
        text.replace(at, 1, dir);
    }
    return text;
}

int SimDirTest::run(const std::string &arguments, const SimOptions &options)
{
    SimRun run = run_sim(arguments, options);
    out = std::move(run.out);
    err = std::move(run.err);
    return run.status;
}

}  // namespace vibra_test
