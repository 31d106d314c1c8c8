// SPDX-License-Identifier: MIT
// Ctrl-C (SIGINT) and SIGTERM during a played run: they end it cleanly at its
// next slice of virtual time.
#pragma once

#include <atomic>

namespace vibra_tool::cli {

// The exit status of a run ended by a signal: 128 + its number, as shells
// report it (130 for Ctrl-C, 143 for SIGTERM).
inline constexpr int kExitSignalBase = 128;

// Installs handlers for SIGINT and SIGTERM that raise the returned flag. A
// handler fires once: a second Ctrl-C ends the process at once.
const std::atomic<bool> &catch_interrupts();
// Puts the default handlers back.
void release_interrupts();
// The signal that raised the flag, 0 if none did.
int interrupt_signal();

}  // namespace vibra_tool::cli
