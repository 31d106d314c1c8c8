// SPDX-License-Identifier: MIT
// Framework timers: creation checks, arming in virtual time, stopping with and
// without waiting for a running callback, and the platform's rough edges (a
// stop with wait from the timer's own callback; a re-arm by the callback while
// a stop with wait is in progress is ignored).
#include "internal.h"
#include "platform_lock.h"

#include <algorithm>

using vsim::ObjectType;
using vsim::Op;
using vsim::detail::TimerData;

namespace {
bool running_on(const TimerData &timer, int identity)
{
    return std::find(timer.running.begin(), timer.running.end(), identity) != timer.running.end();
}

NTSTATUS check_timer_config(vsim::detail::State *sim, PWDF_TIMER_CONFIG config)
{
    if (config == nullptr) {
        sim->fail("WdfTimerCreate: NULL WDF_TIMER_CONFIG");
        return STATUS_INVALID_PARAMETER;
    }
    if (config->Size != sizeof(WDF_TIMER_CONFIG)) {
        sim->fail("WdfTimerCreate: WDF_TIMER_CONFIG.Size is " + std::to_string(config->Size) + ", expected " +
                  std::to_string(sizeof(WDF_TIMER_CONFIG)));
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (config->EvtTimerFunc == nullptr) {
        sim->fail("WdfTimerCreate: WDF_TIMER_CONFIG.EvtTimerFunc is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}
}  // namespace

EXTERN_C NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER *Timer)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    if (Timer != nullptr) {
        *Timer = nullptr;
    }
    sim->enter(Op::WdfTimerCreate);
    if (!sim->require_framework("WdfTimerCreate")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfTimerCreate)) {
        return *status;
    }
    if (Timer == nullptr) {
        sim->fail("WdfTimerCreate: NULL output handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = check_timer_config(sim, Config); !NT_SUCCESS(status)) {
        return status;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (!sim->attributes_ok(Attributes, "WdfTimerCreate", &status)) {
        return status;
    }
    // A timer must have a parent: the framework does not guess one.
    if (Attributes == nullptr || Attributes->ParentObject == nullptr) {
        return STATUS_WDF_PARENT_NOT_SPECIFIED;
    }
    if (!sim->has_device_ancestor(Attributes->ParentObject)) {
        sim->fail("WdfTimerCreate: parent " + sim->describe(Attributes->ParentObject) +
                  " is neither a device nor a descendant of one");
        return STATUS_INVALID_PARAMETER;
    }
    // Without an explicit passive level, a timer inherits the device's
    // default: its callback runs at dispatch level.
    const WDF_EXECUTION_LEVEL level =
        Attributes->ExecutionLevel == WdfExecutionLevelPassive ? WdfExecutionLevelPassive : WdfExecutionLevelDispatch;
    if (level == WdfExecutionLevelPassive && Config->Period != 0) {
        sim->fail("WdfTimerCreate: a passive-level timer must be one-shot, but its Period is " +
                  std::to_string(Config->Period));
        return STATUS_INVALID_PARAMETER;
    }
    TimerData data;
    data.config = *Config;
    data.level = level;
    *Timer = static_cast<WDFTIMER>(sim->create(ObjectType::Timer, Attributes->ParentObject, Attributes, data));
    return STATUS_SUCCESS;
}

EXTERN_C BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return FALSE;
    }
    vsim::detail::tsan::release(Timer, vsim::detail::Edge::TimerStart);
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::WdfTimerStart);
    if (!sim->require_framework("WdfTimerStart") || sim->fault(Op::WdfTimerStart)) {
        return FALSE;
    }
    auto *timer = sim->data<TimerData>(Timer, ObjectType::Timer, "WdfTimerStart");
    if (timer == nullptr) {
        return FALSE;
    }
    // A stop with wait is waiting for this very callback: the framework
    // ignores the callback's attempt to re-arm.
    if (timer->stop_waiters > 0 && running_on(*timer, sim->identity())) {
        return FALSE;
    }
    const bool was_pending = timer->pending;
    if (was_pending) {
        sim->cancel(timer->due, timer->seq);
    }
    timer->asked = sim->deadline_of(DueTime);
    timer->due = sim->fire_time(timer->asked);
    timer->seq = sim->schedule(timer->due, {vsim::detail::EventKind::TimerFires, Timer});
    timer->pending = true;
    return was_pending ? TRUE : FALSE;
}

EXTERN_C BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return FALSE;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::WdfTimerStop);
    if (!sim->require_framework("WdfTimerStop") || sim->fault(Op::WdfTimerStop)) {
        return FALSE;
    }
    auto *timer = sim->data<TimerData>(Timer, ObjectType::Timer, "WdfTimerStop");
    if (timer == nullptr) {
        return FALSE;
    }
    const bool was_pending = timer->pending;
    if (was_pending) {
        sim->cancel(timer->due, timer->seq);
        timer->pending = false;
    }
    if (Wait && sim->irql() > PASSIVE_LEVEL) {
        sim->fail("WdfTimerStop: stop with wait called at raised IRQL");
    }
    if (Wait && call.holds()) {
        call.acquire_after(Timer, vsim::detail::Edge::TimerReturn);  // every run that has returned
    }
    if (!Wait || timer->running.empty()) {
        return was_pending ? TRUE : FALSE;
    }
    if (running_on(*timer, sim->identity())) {
        sim->fail("WdfTimerStop with wait called from the timer's own callback");
        return was_pending ? TRUE : FALSE;
    }
    ++timer->stop_waiters;
    const auto returned = [sim, Timer] {
        vsim::detail::Object *object = sim->find(Timer);
        return object == nullptr || std::get<TimerData>(object->data).running.empty();
    };
    bool parked = true;
    if (call.holds()) {
        while (!returned()) {
            call.wait();
        }
    } else {
        parked = sim->threads.park(returned, "WdfTimerStop with wait on " + sim->describe(Timer)) !=
                 vsim::detail::WaitResult::Deadlock;
    }
    if (!parked) {
        sim->fail("WdfTimerStop: deadlock: waits for a callback of " + sim->describe(Timer) +
                  " on a thread that cannot run until the stop returns");
    }
    if (vsim::detail::Object *object = sim->find(Timer)) {
        --std::get<TimerData>(object->data).stop_waiters;
    }
    return was_pending ? TRUE : FALSE;
}

namespace vsim {

namespace {
constexpr Ticks kRestingTick = 156'250;  // 15.625 ms
constexpr Ticks kFinestTick = kTicksPerMs;
}  // namespace

Ticks detail::State::deadline_of(LONGLONG due) const
{
    if (due < 0) {
        Ticks result;
        return __builtin_sub_overflow(now, due, &result) ? INT64_MAX : result;
    }
    return std::max<Ticks>(now, due - kSystemTimeAtStart);
}

Ticks detail::State::clock_tick() const
{
    if (outstanding_resolution <= 0) {
        return kRestingTick;
    }
    return std::clamp<Ticks>(held_resolution, kFinestTick, kRestingTick);
}

Ticks detail::State::fire_time(Ticks asked) const
{
    if (options.timer_clock == TimerClock::Exact) {
        return asked;
    }
    // Ticks are counted from the simulator's start; the first at or after
    // both the due time and now.
    const Ticks tick = clock_tick();
    const Ticks from = std::max(asked, now);
    if (from > INT64_MAX - tick) {
        return from;
    }
    return (from + tick - 1) / tick * tick;
}

void detail::State::retime_timers()
{
    if (options.timer_clock == TimerClock::Exact) {
        return;
    }
    for (detail::Object &object : objects) {
        auto *timer = std::get_if<TimerData>(&object.data);
        if (!object.alive || timer == nullptr || !timer->pending) {
            continue;
        }
        const Ticks due = fire_time(timer->asked);
        if (due != timer->due) {
            cancel(timer->due, timer->seq);
            timer->due = due;
            timer->seq = schedule(due, {detail::EventKind::TimerFires, handle_of(object.index, object.generation)});
        }
    }
}

Ticks Simulator::clock_tick() const { return impl_->clock_tick(); }

}  // namespace vsim

std::optional<vsim::TimerInfo> vsim::Simulator::timer_info(WDFTIMER timer) const
{
    detail::PlatformCall call(impl_.get());
    detail::Object *object = impl_->find(timer);
    if (object == nullptr || object->type != ObjectType::Timer) {
        return std::nullopt;
    }
    const auto &data = std::get<TimerData>(object->data);
    return TimerInfo{data.pending,
                     data.due,
                     data.config.Period,
                     data.config.AutomaticSerialization != FALSE,
                     data.config.TolerableDelay,
                     data.level,
                     int(data.running.size()),
                     data.fired};
}
