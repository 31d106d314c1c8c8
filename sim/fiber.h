// SPDX-License-Identifier: MIT
// Fibers: stacks of their own, switched in user space on one OS thread. The
// virtual-time scheduler runs every simulated thread on one; a switch saves
// the callee-saved registers and the stack pointer and loads another's, with
// no system call (boost.context's fcontext: about 15 ns, where swapcontext,
// which saves and restores the signal mask, takes some 700).
//
// The sanitizers are told of every switch: AddressSanitizer of the stack that
// becomes current (it would otherwise take the fiber's frames for a wild
// stack), ThreadSanitizer of the fiber that runs next, with the switch as an
// ordering from the one that leaves to the one that runs (as the baton of OS
// threads was).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vsim::detail {

class Fiber {
public:
    // The OS thread's own stack, with whatever runs on it now.
    Fiber();
    // A stack of its own, that runs `body` from the first switch to it.
    // `body` must never return: it ends with exit_to.
    explicit Fiber(std::function<void()> body);
    ~Fiber();
    Fiber(const Fiber &) = delete;
    Fiber &operator=(const Fiber &) = delete;

    // Leaves `from`, the running fiber, for `to`; returns when some fiber
    // switches back to `from`.
    static void switch_to(Fiber &from, Fiber &to);
    // Leaves `from` for good: its stack may be freed once `to` runs.
    [[noreturn]] static void exit_to(Fiber &from, Fiber &to);
    // A fiber that will never run again, suspended with frames on its stack:
    // under the leak checker the stack is kept, so that what the frames
    // point to is not reported as leaked; elsewhere it goes with the fiber.
    void abandon();

private:
    friend struct FiberSwitch;

    void *context_ = nullptr;  // where it resumes, while it does not run
    char *mapping_ = nullptr;  // the stack and its guard page; none for the OS thread's
    size_t mapped_ = 0;
    std::function<void()> body_;
    // AddressSanitizer: the stack's bounds (learnt on the first switch away
    // for the OS thread's) and its fake stack while it does not run.
    const void *bottom_ = nullptr;
    size_t size_ = 0;
    void *fake_stack_ = nullptr;
    void *tsan_ = nullptr;  // ThreadSanitizer's fiber
};

}  // namespace vsim::detail
