// SPDX-License-Identifier: MIT
// The virtual clock and the event executor: events run in order of due time,
// then of scheduling, each as its own simulated thread. Virtual time moves only
// between events, never while a callback runs.
#include "internal.h"
#include "realtime.h"

#include <algorithm>

namespace vsim {

uint64_t detail::State::schedule(Ticks due, detail::Event event)
{
    const uint64_t seq = ++next_seq;
    events.emplace(std::make_pair(due, seq), event);
    scheduled_kinds |= 1u << unsigned(event.kind);
    return seq;
}

void detail::State::cancel(Ticks due, uint64_t seq) { events.erase({due, seq}); }

bool detail::State::at_top_level(const char *function)
{
    if (threads.current()->id != 0 || dispatch_depth > 0) {
        fail(std::string(function) + ": virtual time cannot advance inside a callback or another thread");
        return false;
    }
    return true;
}

void detail::State::run_inline(KIRQL level, const std::function<void()> &body)
{
    detail::Carrier *carrier = threads.current();
    const int saved_identity = carrier->identity;
    const KIRQL saved_irql = carrier->irql;
    carrier->identity = threads.new_identity();
    carrier->irql = level;
    ++dispatch_depth;
    body();
    --dispatch_depth;
    carrier->identity = saved_identity;
    carrier->irql = saved_irql;
}

void detail::State::run_callback(WDFTIMER timer)
{
    auto *data = this->data<detail::TimerData>(timer, ObjectType::Timer, "run_timer_callback");
    if (data == nullptr) {
        return;
    }
    const int me = identity();
    const PFN_WDF_TIMER callback = data->config.EvtTimerFunc;
    data->running.push_back(me);
    callback(timer);
    if (detail::Object *object = find(timer)) {
        auto &running = std::get<detail::TimerData>(object->data).running;
        running.erase(std::find(running.begin(), running.end(), me));
    }
    threads.wake();
}

void detail::State::dispatch(const detail::Event &event)
{
    if (event.kind == detail::EventKind::RequestCompletes) {
        const WDFREQUEST request = static_cast<WDFREQUEST>(event.object);
        if (threads.interleaved()) {
            threads.spawn([this, request] { complete(request); }, "completion " + describe(request), DISPATCH_LEVEL,
                          false);
            return;
        }
        run_inline(DISPATCH_LEVEL, [&] { complete(request); });
        return;
    }
    const WDFTIMER timer = static_cast<WDFTIMER>(event.object);
    detail::Object *object = find(timer);
    if (object == nullptr) {
        return;
    }
    auto &data = std::get<detail::TimerData>(object->data);
    // The timer is no longer pending once it fires: its callback may re-arm it.
    data.pending = false;
    ++data.fired;
    fired_after_teardown(timer);
    if (data.config.Period != 0) {
        // The period counts from the firing (on clock ticks, from the tick).
        data.asked = now + Ticks(data.config.Period) * kTicksPerMs;
        data.due = fire_time(data.asked);
        data.seq = schedule(data.due, {detail::EventKind::TimerFires, timer});
        data.pending = true;
    }
    const KIRQL level = data.level == WdfExecutionLevelPassive ? PASSIVE_LEVEL : DISPATCH_LEVEL;
    if (threads.interleaved()) {
        // The callback is queued to a worker of its own; it counts as running
        // (a stop with wait waits for it) only once the worker has started it.
        threads.spawn(
            [this, timer] {
                if (find(timer) != nullptr) {  // deleted meanwhile: the framework dropped the run
                    run_callback(timer);
                }
            },
            "callback of " + describe(timer), level, false);
        return;
    }
    run_inline(level, [&] { run_callback(timer); });
}

// Interleaved schedules: before time moves to `next`, the ready threads run as
// the schedule decides; a parked thread whose time-out comes first ends its
// wait then.
void detail::State::advance(Ticks next)
{
    for (;;) {
        const Ticks reached = threads.settle(next);
        if (reached >= next) {
            return;
        }
        now = std::max(now, reached);
        threads.expire(now);
    }
}

void detail::State::run_events(Ticks until)
{
    for (;;) {
        auto next_stop = [&] {
            const bool due = !events.empty() && events.begin()->first.first <= until;
            return std::make_pair(due, due ? std::max(now, events.begin()->first.first) : until);
        };
        const auto [due, next] = next_stop();
        if (threads.interleaved()) {
            advance(next);
            if (next_stop() != std::make_pair(due, next)) {
                continue;  // the threads armed or stopped something
            }
        }
        if (!due) {
            return;
        }
        const auto [key, event] = events.take_front();
        now = std::max(now, key.first);
        dispatch(event);
    }
}

Ticks Simulator::now() const { return impl_->real ? impl_->real->clock() : impl_->now; }

void Simulator::run_for(Ticks duration) { run_until(now() + duration); }

void Simulator::run_until(Ticks time)
{
    if (impl_->real) {
        return impl_->real->run_until(time);
    }
    if (!impl_->at_top_level("run_until")) {
        return;
    }
    impl_->run_events(time);
    impl_->now = std::max(impl_->now, time);
}

bool Simulator::run_until_idle(Ticks limit)
{
    if (impl_->real) {
        return impl_->real->run_until_idle(limit);
    }
    if (!impl_->at_top_level("run_until_idle")) {
        return false;
    }
    const Ticks deadline = impl_->now + limit;
    impl_->run_events(deadline);
    if (impl_->events.empty()) {
        return true;
    }
    impl_->now = std::max(impl_->now, deadline);
    return false;
}

size_t Simulator::pending_events() const { return impl_->real ? impl_->real->pending() : impl_->events.size(); }

void Simulator::run_timer_callback(WDFTIMER timer)
{
    if (impl_->real) {
        return impl_->real->run_callback_now(timer);
    }
    if (impl_->lookup(timer, ObjectType::Timer, "run_timer_callback") == nullptr) {
        return;
    }
    const auto &data = std::get<detail::TimerData>(impl_->find(timer)->data);
    const KIRQL level = data.level == WdfExecutionLevelPassive ? PASSIVE_LEVEL : DISPATCH_LEVEL;
    impl_->threads.spawn([impl = impl_.get(), timer] { impl->run_callback(timer); },
                         "callback of " + impl_->describe(timer), level);
}

void Simulator::spawn_thread(std::string label, std::function<void()> body)
{
    impl_->threads.spawn(std::move(body), std::move(label), PASSIVE_LEVEL, false);
}

void Simulator::run_threads()
{
    if (impl_->at_top_level("run_threads") && impl_->threads.interleaved()) {
        impl_->advance(impl_->now);
        impl_->threads.drain();
    }
}

size_t Simulator::live_threads() const { return impl_->threads.live(); }

const Schedule &Simulator::schedule() const { return impl_->options.schedule; }

uint64_t Simulator::scheduling_points() const { return impl_->threads.points(); }

const std::vector<SwitchRecord> &Simulator::switches() const { return impl_->threads.switches(); }
size_t Simulator::switch_count() const { return impl_->threads.switch_count(); }
std::vector<SwitchRecord> Simulator::recent_switches(size_t count) const
{
    return impl_->threads.recent_switches(count);
}

}  // namespace vsim
