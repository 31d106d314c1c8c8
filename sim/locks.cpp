// SPDX-License-Identifier: MIT
// Framework wait locks, owned by simulated threads. A timed wait for a lock
// whose holder cannot run (it is interrupted or parked, and virtual time does
// not move meanwhile) times out at once; an untimed one parks the thread until
// the holder releases the lock.
#include "internal.h"
#include "realtime.h"

using vsim::ObjectType;
using vsim::Op;
using vsim::detail::LockData;

EXTERN_C NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK *Lock)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    if (Lock != nullptr) {
        *Lock = nullptr;
    }
    sim->enter(Op::WdfWaitLockCreate);
    if (!sim->require_framework("WdfWaitLockCreate")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfWaitLockCreate)) {
        return *status;
    }
    if (Lock == nullptr) {
        sim->fail("WdfWaitLockCreate: NULL output handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (!sim->attributes_ok(LockAttributes, "WdfWaitLockCreate", &status)) {
        return status;
    }
    // Without a parent a wait lock belongs to the driver object.
    const WDFOBJECT parent =
        LockAttributes && LockAttributes->ParentObject ? LockAttributes->ParentObject : WDFOBJECT(sim->driver);
    *Lock = static_cast<WDFWAITLOCK>(sim->create(ObjectType::WaitLock, parent, LockAttributes, LockData{}));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    if (sim->real) {
        return sim->real->acquire(Lock, Timeout);
    }
    sim->enter(Op::WdfWaitLockAcquire);
    if (!sim->require_framework("WdfWaitLockAcquire")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Only a wait with a time-out can time out: an injected failure applies
    // to those alone.
    if (Timeout != nullptr) {
        if (auto status = sim->fault(Op::WdfWaitLockAcquire)) {
            return *status;
        }
    }
    if (sim->lookup(Lock, ObjectType::WaitLock, "WdfWaitLockAcquire") == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (sim->irql() > PASSIVE_LEVEL && !(Timeout != nullptr && *Timeout == 0)) {
        sim->fail("WdfWaitLockAcquire: waits for " + sim->describe(Lock) + " at raised IRQL");
    }
    const int me = sim->identity();
    sim->check_lock_order(Lock, me);
    // A timed wait ends when virtual time reaches its deadline; under the
    // sequential schedule the holder cannot run meanwhile, so it ends at once.
    std::optional<vsim::Ticks> deadline;
    if (Timeout != nullptr) {
        deadline = sim->deadline_of(*Timeout);  // a positive time-out is a system time
    }
    for (;;) {
        vsim::detail::Object *object = sim->find(Lock);
        if (object == nullptr) {
            sim->fail("WdfWaitLockAcquire: the lock was deleted while thread " + std::to_string(me) + " waited for it");
            return STATUS_INVALID_PARAMETER;
        }
        auto &lock = std::get<LockData>(object->data);
        if (lock.owner == 0) {
            lock.owner = me;
            sim->held_locks.push_back({me, Lock});
            return STATUS_SUCCESS;
        }
        if (lock.owner == me) {
            sim->fail("WdfWaitLockAcquire: deadlock: thread " + std::to_string(me) + " acquires " +
                      sim->describe(Lock) + ", which it already holds");
            return Timeout != nullptr ? STATUS_TIMEOUT : STATUS_SUCCESS;
        }
        if (Timeout != nullptr && (!sim->threads.interleaved() || *deadline <= sim->now)) {
            return STATUS_TIMEOUT;
        }
        const int holder = lock.owner;
        const vsim::detail::WaitResult result = sim->threads.park(
            [sim, Lock] {
                vsim::detail::Object *o = sim->find(Lock);
                return o == nullptr || std::get<LockData>(o->data).owner == 0;
            },
            "WdfWaitLockAcquire of " + sim->describe(Lock) + " held by thread " + std::to_string(holder),
            Timeout != nullptr ? deadline : std::nullopt);
        if (result == vsim::detail::WaitResult::TimedOut) {
            return STATUS_TIMEOUT;
        }
        if (result == vsim::detail::WaitResult::Deadlock) {
            sim->fail("WdfWaitLockAcquire: deadlock: thread " + std::to_string(me) + " waits forever for " +
                      sim->describe(Lock) + ", held by thread " + std::to_string(holder) + ", which cannot run");
            return STATUS_SUCCESS;
        }
    }
}

EXTERN_C VOID WdfWaitLockRelease(WDFWAITLOCK Lock)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return;
    }
    if (sim->real) {
        return sim->real->release(Lock);
    }
    sim->enter(Op::WdfWaitLockRelease);
    if (!sim->require_framework("WdfWaitLockRelease")) {
        return;
    }
    auto *lock = sim->data<LockData>(Lock, ObjectType::WaitLock, "WdfWaitLockRelease");
    if (lock == nullptr) {
        return;
    }
    if (lock->owner != sim->identity()) {
        sim->fail("WdfWaitLockRelease: " + sim->describe(Lock) + " is not held by the calling thread (" +
                  (lock->owner == 0 ? std::string("it is free") : "held by thread " + std::to_string(lock->owner)) +
                  ")");
        return;
    }
    lock->owner = 0;
    std::erase(sim->held_locks, std::make_pair(sim->identity(), Lock));
    sim->threads.wake();
}

// The framework's lock hierarchy check: two locks taken one inside the other
// must always be taken in the same order.
void vsim::detail::State::check_lock_order(WDFWAITLOCK lock, int me)
{
    std::erase_if(held_locks, [this](const auto &entry) { return find(entry.second) == nullptr; });
    for (const auto &[owner, held] : held_locks) {
        if (owner != me || held == lock) {
            continue;
        }
        if (lock_order.count({lock, held}) != 0) {
            fail("WdfWaitLockAcquire: lock order reversed: thread " + std::to_string(me) + " acquires " +
                 describe(lock) + " while holding " + describe(held) + ", which was held while acquiring it before");
        }
        lock_order.insert({held, lock});
    }
}

bool vsim::Simulator::lock_held(WDFWAITLOCK lock) const
{
    detail::PlatformCall call(impl_.get());
    detail::Object *object = impl_->find(lock);
    return object && object->type == ObjectType::WaitLock && std::get<LockData>(object->data).owner != 0;
}
