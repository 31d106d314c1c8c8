// SPDX-License-Identifier: MIT
#include "cli/interrupts.h"

#include <csignal>

namespace vibra_tool::cli {
namespace {

std::atomic<bool> g_interrupted{false};
volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_signal(int signal)
{
    g_signal = signal;
    g_interrupted.store(true, std::memory_order_relaxed);
}

void handle(int signal, void (*handler)(int), int flags)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
}

}  // namespace

const std::atomic<bool> &catch_interrupts()
{
    g_interrupted.store(false);
    g_signal = 0;
    for (int signal : {SIGINT, SIGTERM}) {
        handle(signal, on_signal, SA_RESETHAND);
    }
    return g_interrupted;
}

void release_interrupts()
{
    for (int signal : {SIGINT, SIGTERM}) {
        handle(signal, SIG_DFL, 0);
    }
}

int interrupt_signal() { return g_signal; }

}  // namespace vibra_tool::cli
