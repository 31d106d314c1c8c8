// SPDX-License-Identifier: MIT
// The real-threads mode's platform mutex, threads and clock, and how its
// timer workers and completion thread find their work (realtime_calls.cpp has
// the calls that wait).
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
    sim_->real->unlock();
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

bool PlatformCall::wait(Ticks deadline)
{
    RealPlatform &real = *sim_->real;
    real.announce_before_wait();
    std::unique_lock lock(real.mutex, std::adopt_lock);
    ++real.waiting_for_change;
    if (deadline < 0) {
        real.changed.wait(lock);  // NOLINT(bugprone-spuriously-wake-up-functions): every caller re-checks in a loop
    } else {
        real.changed.wait_until(lock, real.wall(deadline));
    }
    --real.waiting_for_change;
    lock.release();
    sim_->now = real.clock();
    return deadline < 0 || sim_->now < deadline;
}

int State::real_identity() { return real->identity(); }
KIRQL State::real_irql() { return t_irql; }

void RealPlatform::notify_changed()
{
    if (waiting_for_change > 0) {
        changed.notify_all();
    }
}

// --- threads and clock -----------------------------------------------------------

RealPlatform::RealPlatform(State &sim, unsigned workers)
    : sim_(sim), start_(std::chrono::steady_clock::now()), serial_(++g_serials), workers_(std::max(workers, 2u))
{
    for (unsigned i = 0; i < workers_; ++i) {
        sleepers_.push_back(std::make_unique<Sleeper>());
    }
}

RealPlatform::~RealPlatform() { stop(); }

void RealPlatform::start()
{
    for (const std::unique_ptr<Sleeper> &sleeper : sleepers_) {
        threads_.emplace_back([this, me = sleeper.get()] { work(*me); });
    }
    threads_.emplace_back([this] { complete_requests(); });
}

void RealPlatform::stop()
{
    {
        PlatformCall call(&sim_);
        stopping_ = true;
        changed.notify_all();
        for (const std::unique_ptr<Sleeper> &sleeper : sleepers_) {
            set(*sleeper, 0);
        }
        set(completer_, 0);
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

// --- who wakes when -----------------------------------------------------------------

void RealPlatform::set(Sleeper &sleeper, Ticks due)
{
    sleeper.set_for = due;
    if (due <= sim_.now) {
        ring_now_.push_back(&sleeper.alarm);
        return;
    }
    sleeper.alarm.ring_at(std::chrono::duration_cast<std::chrono::nanoseconds>(wall(due).time_since_epoch()).count());
}

void RealPlatform::unlock()
{
    thread_local std::vector<Alarm *> t_ring;  // kept for its capacity
    announce_events();
    t_ring.swap(ring_now_);
    mutex.unlock();
    for (Alarm *alarm : t_ring) {
        alarm->ring_now();
    }
    t_ring.clear();
}

void RealPlatform::announce_before_wait()
{
    announce_events();
    for (Alarm *alarm : ring_now_) {
        alarm->ring_now();
    }
    ring_now_.clear();
}

void RealPlatform::sleep(Sleeper &me)
{
    unlock();
    me.alarm.sleep();
    mutex.lock();
    me.set_for = kUnset;
    sim_.now = clock();
}

Ticks RealPlatform::first_due(EventKind kind) const
{
    for (const auto &[key, event] : sim_.events) {
        if (event.kind == kind) {
            return key.first;
        }
    }
    return -1;
}

void RealPlatform::watch_timers()
{
    const Ticks due = forced_.empty() ? first_due(EventKind::TimerFires) : 0;
    if (due < 0 || (watcher_ == nullptr && idle_.empty())) {
        return;  // no work, or every worker busy: the first one back looks
    }
    if (watcher_ == nullptr) {
        watcher_ = idle_.back();
    }
    if (due < watcher_->set_for) {
        set(*watcher_, due);
    }
}

void RealPlatform::watch_completions()
{
    const Ticks due = first_due(EventKind::RequestCompletes);
    if (completer_idle_ && due >= 0 && due < completer_.set_for) {
        set(completer_, due);
    }
}

void RealPlatform::announce_events()
{
    const unsigned kinds = std::exchange(sim_.scheduled_kinds, 0u);
    if (kinds & (1u << unsigned(EventKind::TimerFires))) {
        watch_timers();
    }
    if (kinds & (1u << unsigned(EventKind::RequestCompletes))) {
        watch_completions();
    }
}

std::optional<Event> RealPlatform::take(EventKind kind)
{
    for (auto it = sim_.events.begin(); it != sim_.events.end(); ++it) {
        if (it->second.kind != kind) {
            continue;
        }
        if (it->first.first > sim_.now) {
            return std::nullopt;
        }
        const Event event = it->second;
        sim_.events.erase(it);
        return event;
    }
    return std::nullopt;
}

// --- timer workers and the completion thread ------------------------------------------

void RealPlatform::work(Sleeper &me)
{
    PlatformCall call(&sim_);
    while (!stopping_) {
        if (!forced_.empty()) {
            const WDFTIMER timer = forced_.front();
            forced_.pop_front();
            watch_timers();  // for what is left
            fire(call, timer, false);
            continue;
        }
        if (auto event = take(EventKind::TimerFires)) {
            watch_timers();
            fire(call, static_cast<WDFTIMER>(event->object), true);
            continue;
        }
        idle_.push_back(&me);
        watch_timers();
        sleep(me);
        std::erase(idle_, &me);
        if (watcher_ == &me) {
            watcher_ = nullptr;
        }
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
    notify_changed();
}

void RealPlatform::complete_requests()
{
    PlatformCall call(&sim_);
    while (!stopping_) {
        if (auto event = take(EventKind::RequestCompletes)) {
            ++busy_;
            t_irql = DISPATCH_LEVEL;
            sim_.complete(static_cast<WDFREQUEST>(event->object));
            t_irql = PASSIVE_LEVEL;
            --busy_;
            notify_changed();
            continue;
        }
        completer_idle_ = true;
        watch_completions();
        sleep(completer_);
        completer_idle_ = false;
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

}  // namespace vsim::detail
