// SPDX-License-Identifier: MIT
#include "wake.h"

#include <linux/futex.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace vsim::detail {

namespace {
#ifndef TFD_IOC_SET_TICKS
#define TFD_IOC_SET_TICKS _IOW('T', 0, uint64_t)
#endif

// Whether a timerfd's rings can be set directly (kernels built for checkpoint
// and restore); else a ring now is a setting for a time that has passed.
std::atomic<bool> g_set_ticks{true};

// About a microsecond of spinning: longer than the platform holds its mutex
// for nearly every call, shorter than a context switch.
constexpr int kSpins = 200;

void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

// Waits while *word is `expected`, until the absolute monotonic time `ns`
// (INT64_MAX: no time-out).
void futex_wait(std::atomic<uint32_t> *word, uint32_t expected, int64_t ns)
{
    timespec until{};
    const timespec *timeout = nullptr;
    if (ns != INT64_MAX) {
        until = {time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
        timeout = &until;
    }
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_BITSET_PRIVATE, expected, timeout, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

void futex_wake(std::atomic<uint32_t> *word, int count)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}
}  // namespace

// --- the platform mutex ------------------------------------------------------------

bool PlatformMutex::try_lock()
{
    uint32_t free = 0;
    return state_.compare_exchange_strong(free, 1, std::memory_order_acquire, std::memory_order_relaxed);
}

void PlatformMutex::lock()
{
    for (int spin = 0; spin < kSpins; ++spin) {
        if (state_.load(std::memory_order_relaxed) == 0 && try_lock()) {
            return;
        }
        relax();
    }
    // Marked "may have sleepers" by whoever sleeps, so that the unlock wakes one.
    while (state_.exchange(2, std::memory_order_acquire) != 0) {
        futex_wait(&state_, 2, INT64_MAX);
    }
}

void PlatformMutex::unlock()
{
    if (state_.exchange(0, std::memory_order_release) == 2) {
        futex_wake(&state_, 1);
    }
}

// --- alarms -------------------------------------------------------------------------

Alarm::Alarm()
    : fd_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC))
{
}

Alarm::~Alarm()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

void Alarm::ring_at(int64_t ns)
{
    if (fd_ >= 0) {
        // Zero would disarm it: the earliest time there is rings at once as well.
        const int64_t at = ns < 1 ? 1 : ns;
        itimerspec setting{};
        setting.it_value = {time_t(at / 1'000'000'000), long(at % 1'000'000'000)};
        timerfd_settime(fd_, TFD_TIMER_ABSTIME, &setting, nullptr);
        return;
    }
    at_.store(ns, std::memory_order_relaxed);
    sequence_.fetch_add(1, std::memory_order_release);
    futex_wake(&sequence_, 1);
}

void Alarm::ring_now()
{
    if (fd_ >= 0 && g_set_ticks.load(std::memory_order_relaxed)) {
        const uint64_t rings = 1;
        if (ioctl(fd_, TFD_IOC_SET_TICKS, &rings) == 0) {
            return;
        }
        g_set_ticks.store(false, std::memory_order_relaxed);
    }
    ring_at(0);
}

void Alarm::sleep()
{
    if (fd_ >= 0) {
        uint64_t rings = 0;
        (void)!read(fd_, &rings, sizeof rings);  // EINTR: the caller looks again
        return;
    }
    for (;;) {
        const uint32_t sequence = sequence_.load(std::memory_order_acquire);
        int64_t at = at_.load(std::memory_order_relaxed);
        if (at <= monotonic_ns()) {
            if (at_.compare_exchange_strong(at, INT64_MAX, std::memory_order_relaxed)) {
                return;
            }
            continue;  // set again meanwhile
        }
        futex_wait(&sequence_, sequence, at);
    }
}

}  // namespace vsim::detail
