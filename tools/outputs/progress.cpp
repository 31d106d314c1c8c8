// SPDX-License-Identifier: MIT
#include "outputs/progress.h"

#include <string>
#include <unistd.h>

namespace vibra_tool {

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

Progress::Progress(std::ostream &out, Ticks total, bool terminal, std::chrono::steady_clock::duration every)
    : out_(out),
      total_(total),
      terminal_(terminal),
      every_(every),
      next_(std::chrono::steady_clock::now() + every)
{
}

void Progress::show(Ticks now)
{
    if (!terminal_) {
        const auto wall = std::chrono::steady_clock::now();
        if (wall < next_) {
            return;
        }
        next_ = wall + every_;
    }
    const long long percent = total_ <= 0 || now >= total_ ? 100 : now * 100 / total_;
    const std::string text = "virtual time " + format_time(now) + " of " + format_time(total_) + " (" +
                             std::to_string(percent) + " %" + (now > total_ ? ", settling" : "") + ")";
    if (terminal_) {
        out_ << "\r  " << text << "   " << std::flush;
        drawn_ = true;
    } else {
        out_ << "vibra-sim: " << text << "\n" << std::flush;
    }
}

void Progress::finish()
{
    if (drawn_) {
        out_ << "\n" << std::flush;
        drawn_ = false;
    }
}

}  // namespace vibra_tool
