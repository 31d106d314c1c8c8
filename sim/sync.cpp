// SPDX-License-Identifier: MIT
// The kernel's interlocked operations, its interrupt-time clock and run-down
// protection. The interlocked operations and the run-down counts are real
// atomics, outside the platform mutex, so that ThreadSanitizer sees the
// ordering they give and nothing more.
#include "internal.h"
#include "platform_lock.h"
#include "realtime.h"

#include <atomic>
#include <thread>

namespace {
std::atomic_ref<LONG> atomic(LONG volatile *value) { return std::atomic_ref<LONG>(*const_cast<LONG *>(value)); }
std::atomic_ref<LONG> atomic(LONG const volatile *value)
{
    return std::atomic_ref<LONG>(*const_cast<LONG *>(value));
}
std::atomic_ref<ULONG_PTR> count_of(PEX_RUNDOWN_REF ref)
{
    return std::atomic_ref<ULONG_PTR>(*const_cast<ULONG_PTR *>(&ref->Count));
}

// As the kernel keeps it: bit 0 says run-down is under way or done, the rest
// counts the protections held.
constexpr ULONG_PTR kRundownActive = 1;
constexpr ULONG_PTR kOneUse = 2;

void require_level(const char *function, KIRQL highest)
{
    if (auto *sim = vsim::active(); sim != nullptr) {
        vsim::detail::PlatformCall call(sim);
        if (sim->irql() > highest) {
            sim->fail(std::string(function) + ": called at IRQL " + std::to_string(sim->irql()) + ", above " +
                      std::to_string(highest));
        }
    }
}
}  // namespace

EXTERN_C LONG InterlockedExchange(LONG volatile *Target, LONG Value) { return atomic(Target).exchange(Value); }

EXTERN_C LONG InterlockedCompareExchange(LONG volatile *Destination, LONG ExChange, LONG Comperand)
{
    atomic(Destination).compare_exchange_strong(Comperand, ExChange);
    return Comperand;
}

EXTERN_C LONG InterlockedIncrement(LONG volatile *Addend) { return atomic(Addend).fetch_add(1) + 1; }
EXTERN_C LONG InterlockedDecrement(LONG volatile *Addend) { return atomic(Addend).fetch_sub(1) - 1; }
// The kernel's interlocked operations are full barriers: a read that follows
// one in its thread is ordered after it. C++ gives a read that ordering after
// a sequentially consistent exchange only when the read is sequentially
// consistent too (or behind a fence, which ThreadSanitizer does not model), so
// ReadAcquire, the read that pairs with them in the logic, loads as one.
EXTERN_C LONG ReadAcquire(LONG const volatile *Source) { return atomic(Source).load(std::memory_order_seq_cst); }
EXTERN_C VOID WriteRelease(LONG volatile *Destination, LONG Value)
{
    atomic(Destination).store(Value, std::memory_order_release);
}
EXTERN_C LONG ReadNoFence(LONG const volatile *Source) { return atomic(Source).load(std::memory_order_relaxed); }
EXTERN_C VOID WriteNoFence(LONG volatile *Destination, LONG Value)
{
    atomic(Destination).store(Value, std::memory_order_relaxed);
}

EXTERN_C ULONGLONG KeQueryInterruptTime(VOID)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return 0;
    }
    vsim::detail::PlatformCall call(sim);
    return ULONGLONG(sim->real ? sim->real->clock() : sim->now);
}

EXTERN_C VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) { count_of(RunRef).store(0); }

EXTERN_C BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    require_level("ExAcquireRundownProtection", DISPATCH_LEVEL);
    auto count = count_of(RunRef);
    ULONG_PTR seen = count.load(std::memory_order_relaxed);
    do {
        if (seen & kRundownActive) {
            return FALSE;
        }
    } while (!count.compare_exchange_weak(seen, seen + kOneUse, std::memory_order_acquire));
    return TRUE;
}

EXTERN_C VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    require_level("ExReleaseRundownProtection", DISPATCH_LEVEL);
    const ULONG_PTR before = count_of(RunRef).fetch_sub(kOneUse, std::memory_order_release);
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return;
    }
    vsim::detail::PlatformCall call(sim);
    if (before < kOneUse) {
        sim->fail("ExReleaseRundownProtection: released more often than acquired");
    }
    if (!sim->real) {
        sim->threads.wake();  // a waiter for run-down may go on
    }
}

// Marks the run-down, then waits until every protection acquired before it
// has been released. Waiting twice is allowed and returns at once.
EXTERN_C VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef)
{
    require_level("ExWaitForRundownProtectionRelease", PASSIVE_LEVEL);
    auto count = count_of(RunRef);
    count.fetch_or(kRundownActive, std::memory_order_acq_rel);
    auto *sim = vsim::active();
    if (sim == nullptr || sim->real) {
        while (count.load(std::memory_order_acquire) != kRundownActive) {
            std::this_thread::yield();
        }
        return;
    }
    while (count.load(std::memory_order_acquire) != kRundownActive) {
        const auto result = sim->threads.park(
            [count] { return count.load(std::memory_order_acquire) == kRundownActive; },
            "ExWaitForRundownProtectionRelease");
        if (result == vsim::detail::WaitResult::Deadlock) {
            sim->fail("ExWaitForRundownProtectionRelease: deadlock: the protection's holders cannot run");
            return;
        }
    }
}
