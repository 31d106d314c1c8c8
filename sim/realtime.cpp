// SPDX-License-Identifier: MIT
// The real-threads mode's threads, clock, wait locks, completion delivery and
// per-device serialisation of the class extension's calls when it is asked for.
#include "realtime.h"

#include <algorithm>
#include <utility>
#include <optional>

namespace vsim::detail {

namespace {
thread_local PlatformCall *t_call = nullptr;  // the thread's outermost platform call
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local uint64_t t_serial = 0;  // the platform that gave t_identity
thread_local int t_identity = 0;
uint64_t g_serials = 0;  // one simulator exists at a time

// Far enough for any due time, near enough to add to a time point.
constexpr Ticks kNever = Ticks(1) << 53;

#ifdef VSIM_TSAN
constexpr size_t kCells = 4096;
alignas(8) uint64_t g_cells[kCells][size_t(Edge::Count)];
#endif
}  // namespace

#ifdef VSIM_TSAN
// A handle's low 32 bits name its object slot, so live objects never share a
// cell; a reused slot, or more than kCells objects, only adds orderings.
void *tsan::cell(uintptr_t key, Edge edge) { return &g_cells[(key & 0xFFFFFFFF) % kCells][size_t(edge)]; }
#endif

// --- the platform mutex ------------------------------------------------------

void PlatformCall::enter(State *sim)
{
    if (t_call != nullptr) {
        return;
    }
    sim_ = sim;
    owner_ = true;
    resume();
}

void PlatformCall::leave()
{
    suspend();
    if (acquire_edge_ != Edge::Count) {
        tsan::acquire(acquire_key_, acquire_edge_);
    }
}

void PlatformCall::suspend()
{
    RealPlatform &real = *sim_->real;
    real.announce_events();
    real.mutex.unlock();
    tsan::ignore_end();
    t_call = nullptr;
}

void PlatformCall::resume()
{
    t_call = this;
    tsan::ignore_begin();
    sim_->real->mutex.lock();
    sim_->now = sim_->real->clock();
}

bool PlatformCall::wait(Ticks deadline, std::condition_variable *on)
{
    RealPlatform &real = *sim_->real;
    real.announce_events();
    std::condition_variable &cv = on != nullptr ? *on : real.changed;
    std::unique_lock lock(real.mutex, std::adopt_lock);
    if (deadline < 0) {
        cv.wait(lock);  // NOLINT(bugprone-spuriously-wake-up-functions): every caller re-checks in a loop
    } else {
        cv.wait_until(lock, real.wall(deadline));
    }
    lock.release();
    sim_->now = real.clock();
    return deadline < 0 || sim_->now < deadline;
}

int State::real_identity() { return real->identity(); }
KIRQL State::real_irql() { return t_irql; }

// --- threads and clock -----------------------------------------------------------

RealPlatform::RealPlatform(State &sim, unsigned workers)
    : sim_(sim), start_(std::chrono::steady_clock::now()), serial_(++g_serials), workers_(std::max(workers, 2u))
{
}

RealPlatform::~RealPlatform() { stop(); }

void RealPlatform::announce_events()
{
    const unsigned kinds = std::exchange(sim_.scheduled_kinds, 0u);
    if (kinds & (1u << unsigned(EventKind::TimerFires))) {
        timer_work_.notify_all();
    }
    if (kinds & (1u << unsigned(EventKind::RequestCompletes))) {
        completion_work_.notify_one();
    }
}

void RealPlatform::start()
{
    for (unsigned i = 0; i < workers_; ++i) {
        threads_.emplace_back([this] { work(); });
    }
    threads_.emplace_back([this] { complete_requests(); });
}

void RealPlatform::stop()
{
    {
        PlatformCall call(&sim_);
        stopping_ = true;
        changed.notify_all();
        timer_work_.notify_all();
        completion_work_.notify_all();
    }
    for (std::thread &thread : threads_) {
        thread.join();
    }
    threads_.clear();
}

Ticks RealPlatform::clock() const
{
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

std::chrono::steady_clock::time_point RealPlatform::wall(Ticks ticks) const
{
    return start_ + std::chrono::nanoseconds(std::clamp<Ticks>(ticks, 0, kNever) * 100);
}

int RealPlatform::identity()
{
    if (t_serial != serial_) {
        t_serial = serial_;
        t_identity = ++last_identity_;
    }
    return t_identity;
}

std::optional<Event> RealPlatform::take(EventKind kind, Ticks *next)
{
    *next = -1;
    for (auto it = sim_.events.begin(); it != sim_.events.end(); ++it) {
        if (it->second.kind != kind) {
            continue;
        }
        if (it->first.first > sim_.now) {
            *next = it->first.first;
            return std::nullopt;
        }
        const Event event = it->second;
        sim_.events.erase(it);
        return event;
    }
    return std::nullopt;
}

void RealPlatform::work()
{
    PlatformCall call(&sim_);
    while (!stopping_) {
        if (!forced_.empty()) {
            const WDFTIMER timer = forced_.front();
            forced_.pop_front();
            fire(call, timer, false);
            continue;
        }
        Ticks next;
        if (auto event = take(EventKind::TimerFires, &next)) {
            fire(call, static_cast<WDFTIMER>(event->object), true);
            continue;
        }
        call.wait(next, &timer_work_);
    }
}

// Runs one callback of `timer` on this worker; `armed` when the timer fired
// (rather than being run on request).
void RealPlatform::fire(PlatformCall &call, WDFTIMER timer, bool armed)
{
    Object *object = sim_.find(timer);
    if (object == nullptr || object->type != ObjectType::Timer) {
        return;
    }
    auto &data = std::get<TimerData>(object->data);
    if (armed) {
        data.pending = false;
        ++data.fired;
        sim_.fired_after_teardown(timer);
        if (data.config.Period != 0) {
            data.due = sim_.now + Ticks(data.config.Period) * kTicksPerMs;
            data.seq = sim_.schedule(data.due, {EventKind::TimerFires, timer});
            data.pending = true;
        }
    }
    const PFN_WDF_TIMER callback = data.config.EvtTimerFunc;
    const KIRQL level = data.level == WdfExecutionLevelPassive ? PASSIVE_LEVEL : DISPATCH_LEVEL;
    const int me = identity();
    data.running.push_back(me);
    ++busy_;
    call.unlocked([&] {
        tsan::acquire(timer, Edge::TimerStart);
        t_irql = level;
        callback(timer);
        t_irql = PASSIVE_LEVEL;
        tsan::release(timer, Edge::TimerReturn);
    });
    if (Object *still = sim_.find(timer)) {
        auto &running = std::get<TimerData>(still->data).running;
        if (auto it = std::find(running.begin(), running.end(), me); it != running.end()) {
            running.erase(it);
        }
    }
    --busy_;
    changed.notify_all();
}

void RealPlatform::complete_requests()
{
    PlatformCall call(&sim_);
    while (!stopping_) {
        Ticks next;
        if (auto event = take(EventKind::RequestCompletes, &next)) {
            ++busy_;
            t_irql = DISPATCH_LEVEL;
            sim_.complete(static_cast<WDFREQUEST>(event->object));
            t_irql = PASSIVE_LEVEL;
            --busy_;
            changed.notify_all();
            continue;
        }
        call.wait(next, &completion_work_);
    }
}

void RealPlatform::complete(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFREQUEST request, WDFIOTARGET target,
                            PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context)
{
    t_call->unlocked([&] {
        tsan::acquire(request, Edge::RequestSend);
        routine(request, target, params, context);
    });
}

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
        timer_work_.notify_all();
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
    if (t_irql > PASSIVE_LEVEL && !(timeout != nullptr && *timeout == 0)) {
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
    changed.notify_all();
}

}  // namespace vsim::detail
