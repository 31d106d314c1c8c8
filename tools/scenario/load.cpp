// SPDX-License-Identifier: MIT
// Reading a scenario file: a regular, readable file of bounded size.
#include "scenario/scenario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "scenario/errno_text.h"

namespace vibra_tool {

ParseResult load_scenario(const std::string &path)
{
    const auto refuse = [&](const std::string &why) {
        return ParseResult{std::nullopt, {path + ": " + why}, 1, path + ": " + why};
    };
    // Opened first, then checked on the open descriptor, so that what is
    // checked is what is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return refuse(std::string("cannot read the scenario file (") + errno_text(errno) +
                      "); expected a readable text file");
    }
    struct stat info {};
    std::string text;
    std::string why;
    if (::fstat(fd, &info) != 0) {
        why = std::string("cannot read the scenario file (") + errno_text(errno) + ")";
    } else if (!S_ISREG(info.st_mode)) {
        why = std::string("not a regular file (") + (S_ISDIR(info.st_mode) ? "a directory" : "a device or pipe") +
              "); expected a readable text file";
    } else if (static_cast<uint64_t>(info.st_size) > kMaxScenarioBytes) {
        why = "scenario file of " + std::to_string(info.st_size) + " bytes is too large; expected at most " +
              std::to_string(kMaxScenarioBytes) + " bytes (16 MiB)";
    } else {
        // Read at most one byte past the limit: a file that grows while it is
        // read is refused too. The text grows as it is read, so that a small
        // file takes little memory.
        text.reserve(static_cast<size_t>(info.st_size) + 1);
        size_t used = 0;
        constexpr size_t kChunk = size_t{64} * 1024;
        while (used <= kMaxScenarioBytes) {
            text.resize(std::min(used + kChunk, kMaxScenarioBytes + 1));
            const ssize_t got = ::read(fd, text.data() + used, text.size() - used);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                why = std::string("cannot read the scenario file (") + errno_text(errno) + ")";
                break;
            }
            if (got == 0) {
                break;
            }
            used += static_cast<size_t>(got);
        }
        text.resize(used);
        if (why.empty() && used > kMaxScenarioBytes) {
            why = "scenario file is too large; expected at most " + std::to_string(kMaxScenarioBytes) +
                  " bytes (16 MiB)";
        }
    }
    ::close(fd);
    if (!why.empty()) {
        return refuse(why);
    }
    return parse_scenario(text, path);
}

}  // namespace vibra_tool
