// SPDX-License-Identifier: MIT
// How the real-threads mode's threads sleep and wake, at the least cost the
// host allows: a context switch costs tens of microseconds of a core here, a
// system call about one, so a thread sleeps only when it has nothing to do and
// is woken only when there is something for it.
#pragma once

#include <atomic>
#include <cstdint>

namespace vsim::detail {

// The platform mutex. The platform's work under it is short, so a thread that
// finds it held spins a little before it sleeps: sleeping for it would cost
// the holder's wake-up of the sleeper and two context switches.
class PlatformMutex {
public:
    void lock();
    bool try_lock();
    void unlock();

private:
    std::atomic<uint32_t> state_{0};  // 0 free, 1 held, 2 held and a thread may sleep for it
};

// A thread's alarm: a timer on the monotonic clock that any thread may set, so
// that one thread can arrange another's wake-up at a due time without waking
// it now. Only the owning thread sleeps on it. A timerfd, which the kernel
// fires at its exact time (no timer slack); where none can be made, a futex
// that a setting wakes, the sleeper then sleeping again to the new time.
class Alarm {
public:
    Alarm();
    ~Alarm();
    Alarm(const Alarm &) = delete;
    Alarm &operator=(const Alarm &) = delete;

    // Rings at `ns` on the monotonic clock, at once if that has passed; a
    // later setting replaces an earlier one that has not rung.
    void ring_at(int64_t ns);
    // Rings now, waking the sleeper directly rather than through a timer
    // interrupt; a setting for later stays.
    void ring_now();
    // Returns once the alarm has rung since the last return (or a signal
    // interrupted the sleep: callers look again at what woke them).
    void sleep();

private:
    int fd_ = -1;
    std::atomic<uint32_t> sequence_{0};  // without a timerfd: bumped by every setting
    std::atomic<int64_t> at_{INT64_MAX};
};

}  // namespace vsim::detail
