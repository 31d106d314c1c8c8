// SPDX-License-Identifier: MIT
#include "tool_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vibra_test {

SimRun run_sim(const std::string &arguments)
{
    static std::atomic<int> serial{0};
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    const std::string tag = "vibra-sim-run-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    const std::filesystem::path out = dir / (tag + ".out");
    const std::filesystem::path err = dir / (tag + ".err");
    const std::string command = std::string("'") + VIBRA_SIM_EXE + "' " + arguments + " >'" + out.string() + "' 2>'" +
                                err.string() + "' </dev/null";
    const int status = std::system(command.c_str());
    SimRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return run;
}

std::string read_file(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace vibra_test
