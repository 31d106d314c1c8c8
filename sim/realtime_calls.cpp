// SPDX-License-Identifier: MIT
// The real-threads mode's calls that wait: the Simulator's running for a
// while or until idle, the class extension's calls (one at a time per device
// when asked) and wait locks.
#include "realtime.h"

#include <algorithm>

namespace vsim::detail {

namespace {
// Far enough for any due time, near enough to add to a time point.
constexpr Ticks kNever = Ticks(1) << 53;
}  // namespace

// --- the Simulator's side ----------------------------------------------------------

void RealPlatform::run_until(Ticks time)
{
    while (clock() < time) {
        std::this_thread::sleep_until(wall(time));
    }
}

bool RealPlatform::run_until_idle(Ticks limit)
{
    PlatformCall call(&sim_);
    const Ticks deadline = sim_.now + std::clamp<Ticks>(limit, 0, kNever);
    for (;;) {
        if (sim_.events.empty() && forced_.empty() && busy_ == 0) {
            return true;
        }
        if (!call.wait(deadline)) {
            return sim_.events.empty() && forced_.empty() && busy_ == 0;
        }
    }
}

size_t RealPlatform::pending()
{
    PlatformCall call(&sim_);
    return sim_.events.size() + forced_.size() + size_t(busy_);
}

void RealPlatform::run_callback_now(WDFTIMER timer)
{
    tsan::release(timer, Edge::TimerStart);
    PlatformCall call(&sim_);
    if (sim_.lookup(timer, ObjectType::Timer, "run_timer_callback") != nullptr) {
        forced_.push_back(timer);
        watch_timers();
    }
}

NTSTATUS RealPlatform::call_client(DeviceId id, const char *function, const std::function<NTSTATUS(void *)> &call)
{
    void *context = nullptr;
    std::mutex *serial = nullptr;
    {
        PlatformCall platform(&sim_);
        DeviceRecord *record = sim_.device_record(id, function);
        if (record == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (sim_.packet == nullptr || !record->known) {
            sim_.fail(std::string(function) + ": device " + std::to_string(id) + " has no registered client");
            return STATUS_INVALID_DEVICE_STATE;
        }
        context = record->context.get();
        if (sim_.options.serialise_client_calls) {
            std::unique_ptr<std::mutex> &lock = device_locks_[id];
            if (!lock) {
                lock = std::make_unique<std::mutex>();
            }
            serial = lock.get();
        }
    }
    if (serial == nullptr) {
        return call(context);  // the driver orders overlapping calls itself
    }
    tsan::ignore_sync_begin();
    serial->lock();
    tsan::ignore_sync_end();
    tsan::acquire(uintptr_t(id), Edge::Device);
    const NTSTATUS status = call(context);
    tsan::release(uintptr_t(id), Edge::Device);
    tsan::ignore_sync_begin();
    serial->unlock();
    tsan::ignore_sync_end();
    return status;
}

// --- wait locks ------------------------------------------------------------------

NTSTATUS RealPlatform::acquire(WDFWAITLOCK handle, PLONGLONG timeout)
{
    PlatformCall call(&sim_);
    sim_.enter(Op::WdfWaitLockAcquire);
    if (!sim_.require_framework("WdfWaitLockAcquire")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // As in the virtual mode, only a wait with a time-out can be made to fail.
    if (timeout != nullptr) {
        if (auto status = sim_.fault(Op::WdfWaitLockAcquire)) {
            return *status;
        }
    }
    if (sim_.lookup(handle, ObjectType::WaitLock, "WdfWaitLockAcquire") == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (sim_.real_irql() > PASSIVE_LEVEL && !(timeout != nullptr && *timeout == 0)) {
        sim_.fail("WdfWaitLockAcquire: waits for " + sim_.describe(handle) + " at raised IRQL");
    }
    // Negative: relative, in 100 ns units; positive: a system time.
    const Ticks deadline = timeout == nullptr ? -1
                           : *timeout < 0     ? sim_.now + std::min<Ticks>(-*timeout, kNever)
                                              : std::max<Ticks>(sim_.now, *timeout - kSystemTimeAtStart);
    const int me = identity();
    sim_.check_lock_order(handle, me);
    for (;;) {
        Object *object = sim_.find(handle);
        if (object == nullptr) {
            sim_.fail("WdfWaitLockAcquire: the lock was deleted while thread " + std::to_string(me) + " waited for it");
            return STATUS_INVALID_PARAMETER;
        }
        auto &lock = std::get<LockData>(object->data);
        if (lock.owner == 0) {
            lock.owner = me;
            sim_.held_locks.push_back({me, handle});
            call.acquire_after(handle, Edge::Lock);
            return STATUS_SUCCESS;
        }
        if (lock.owner == me) {
            sim_.fail("WdfWaitLockAcquire: deadlock: thread " + std::to_string(me) + " acquires " +
                      sim_.describe(handle) + ", which it already holds");
            return timeout != nullptr ? STATUS_TIMEOUT : STATUS_SUCCESS;
        }
        if (stopping_) {
            sim_.fail("WdfWaitLockAcquire: the simulator ended while thread " + std::to_string(me) + " waited for " +
                      sim_.describe(handle));
            return STATUS_TIMEOUT;
        }
        if (deadline >= 0 && sim_.now >= deadline) {
            return STATUS_TIMEOUT;
        }
        call.wait(deadline);
    }
}

void RealPlatform::release(WDFWAITLOCK handle)
{
    tsan::release(handle, Edge::Lock);
    PlatformCall call(&sim_);
    sim_.enter(Op::WdfWaitLockRelease);
    if (!sim_.require_framework("WdfWaitLockRelease")) {
        return;
    }
    auto *lock = sim_.data<LockData>(handle, ObjectType::WaitLock, "WdfWaitLockRelease");
    if (lock == nullptr) {
        return;
    }
    if (lock->owner != identity()) {
        sim_.fail("WdfWaitLockRelease: " + sim_.describe(handle) + " is not held by the calling thread (" +
                  (lock->owner == 0 ? std::string("it is free") : "held by thread " + std::to_string(lock->owner)) +
                  ")");
        return;
    }
    lock->owner = 0;
    std::erase(sim_.held_locks, std::make_pair(identity(), handle));
    notify_changed();
}

}  // namespace vsim::detail
