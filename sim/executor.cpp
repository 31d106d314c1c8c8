// The virtual clock and the event executor: events run in order of due time,
// then of scheduling, each as its own simulated thread. Virtual time moves only
// between events, never while a callback runs.
#include "internal.h"
#include "realtime.h"

#include <algorithm>

namespace vsim {

namespace detail {
namespace {
class VirtualPacer final : public Pacer {
public:
    void begin(Ticks) override {}
    void wait_until(Ticks) override {}
};

// Keeps virtual time from running ahead of the wall clock since the run began.
class WallClockPacer final : public Pacer {
public:
    void begin(Ticks now) override
    {
        wall_start_ = std::chrono::steady_clock::now();
        virtual_start_ = now;
    }
    void wait_until(Ticks due) override
    {
        std::this_thread::sleep_until(wall_start_ + std::chrono::nanoseconds((due - virtual_start_) * 100));
    }

private:
    std::chrono::steady_clock::time_point wall_start_;
    Ticks virtual_start_ = 0;
};
}  // namespace

std::unique_ptr<Pacer> make_pacer(bool realtime)
{
    if (realtime) {
        return std::make_unique<WallClockPacer>();
    }
    return std::make_unique<VirtualPacer>();
}
}  // namespace detail

uint64_t detail::State::schedule(Ticks due, detail::Event event)
{
    const uint64_t seq = ++next_seq;
    events.emplace(std::make_pair(due, seq), event);
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
        run_inline(DISPATCH_LEVEL, [&] { complete(static_cast<WDFREQUEST>(event.object)); });
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
    if (data.config.Period != 0) {
        data.due = now + Ticks(data.config.Period) * kTicksPerMs;
        data.seq = schedule(data.due, {detail::EventKind::TimerFires, timer});
        data.pending = true;
    }
    const KIRQL level = data.level == WdfExecutionLevelPassive ? PASSIVE_LEVEL : DISPATCH_LEVEL;
    run_inline(level, [&] { run_callback(timer); });
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
    impl_->pacer->begin(impl_->now);
    while (!impl_->events.empty() && impl_->events.begin()->first.first <= time) {
        auto node = impl_->events.extract(impl_->events.begin());
        impl_->now = std::max(impl_->now, node.key().first);
        impl_->pacer->wait_until(impl_->now);
        impl_->dispatch(node.mapped());
    }
    if (time > impl_->now) {
        impl_->pacer->wait_until(time);
        impl_->now = time;
    }
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
    impl_->pacer->begin(impl_->now);
    while (!impl_->events.empty() && impl_->events.begin()->first.first <= deadline) {
        auto node = impl_->events.extract(impl_->events.begin());
        impl_->now = std::max(impl_->now, node.key().first);
        impl_->pacer->wait_until(impl_->now);
        impl_->dispatch(node.mapped());
    }
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
    impl_->threads.spawn([impl = impl_.get(), timer, level] {
        impl->threads.current()->irql = level;
        impl->run_callback(timer);
    });
}

}  // namespace vsim
