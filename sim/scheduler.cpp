// SPDX-License-Identifier: MIT
// Simulated threads. Each simulated thread runs on a fiber of its own (a
// carrier), all on the OS thread that runs the simulator, and only one runs
// at a time: they pass a baton, a switch from one fiber to the next, so every
// run is deterministic.
//
// Sequential schedule: a thread that must wait parks and hands the baton back
// to the thread it interrupted; when what it waits for is released, it runs at
// the release point, before the releasing thread continues.
//
// Interleaved schedules: every platform call is a scheduling point where the
// policy picks the next thread among the ready ones; a thread that parks or
// ends hands the baton to the policy's pick. The main thread takes part too:
// while it runs a call it is one of the ready threads; while it waits to move
// virtual time on, it is picked only when no other thread is ready or when
// none has been kept waiting longer than the window allows.
#include "internal.h"

#include <algorithm>

namespace vsim::detail {

namespace {
constexpr size_t kMaxSwitches = 100'000;
}  // namespace

Scheduler::Scheduler(const Schedule &schedule, const Ticks *clock)
    : policy_(make_policy(schedule)), clock_(clock), window_(schedule.window)
{
    main_.identity = new_identity();  // identity 0 stays "nobody"
    main_.label = std::make_shared<const std::string>("main");
    main_.runnable = true;
    main_.fiber = std::make_unique<Fiber>();
    if (policy_) {
        policy_->created(main_);
    }
}

Scheduler::~Scheduler()
{
    Carrier *self = running_;
    for (Carrier *carrier : idle_) {
        carrier->retire = true;
        carrier->return_to = self;
        jump(self, carrier);
    }
    // A thread that never finished (parked for good, or never picked) can
    // never go on: its fiber is given up where it stands.
    for (auto &carrier : carriers_) {
        if (!carrier->retire) {
            carrier->fiber->abandon();
        }
    }
}

Carrier *Scheduler::current() { return running_; }

void Scheduler::record(const char *why, const Carrier *from, const Carrier *to)
{
    if (switches_.size() == kMaxSwitches) {
        switches_.erase(switches_.begin(), switches_.begin() + kMaxSwitches / 2);
        dropped_ += kMaxSwitches / 2;
    }
    switches_.push_back({*clock_, why, from->label, to->label});
}

const std::vector<SwitchRecord> &Scheduler::switches() const
{
    if (shown_dropped_ != dropped_) {
        shown_.clear();
        shown_dropped_ = dropped_;
    }
    for (size_t i = shown_.size(); i < switches_.size(); ++i) {
        shown_.push_back(switches_[i].record());
    }
    return shown_;
}

std::vector<SwitchRecord> Scheduler::recent_switches(size_t count) const
{
    std::vector<SwitchRecord> recent;
    for (size_t i = switches_.size() > count ? switches_.size() - count : 0; i < switches_.size(); ++i) {
        recent.push_back(switches_[i].record());
    }
    return recent;
}

void Scheduler::switch_to(Carrier *self, Carrier *next, const char *why)
{
    if (before_switch) {
        before_switch();
    }
    if (policy_) {
        record(why, self, next);
    }
    jump(self, next);
}

void Scheduler::jump(Carrier *self, Carrier *next)
{
    running_ = next;
    Fiber::switch_to(*self->fiber, *next->fiber);
}

Carrier *Scheduler::carrier_for(std::function<void()> body, std::string label, KIRQL irql)
{
    Carrier *carrier = nullptr;
    if (!idle_.empty()) {
        carrier = idle_.back();
        idle_.pop_back();
    } else {
        carriers_.push_back(std::make_unique<Carrier>());
        carrier = carriers_.back().get();
        carrier->id = ++last_carrier_;
        // Runs from the first switch to it: one simulated thread after
        // another, until the scheduler goes.
        carrier->fiber = std::make_unique<Fiber>([this, carrier] {
            while (!carrier->retire) {
                {
                    std::function<void()> run = std::move(carrier->body);
                    carrier->body = nullptr;
                    run();
                }
                finished(carrier);
            }
            Fiber::exit_to(*carrier->fiber, *carrier->return_to->fiber);
        });
    }
    carrier->identity = new_identity();
    carrier->irql = irql;
    carrier->label = std::make_shared<const std::string>(std::move(label));
    carrier->body = std::move(body);
    carrier->finished = false;
    carrier->parked = false;
    carrier->runnable = true;
    carrier->ready_since = *clock_;
    carrier->deadline.reset();
    if (policy_) {
        policy_->created(*carrier);
    }
    return carrier;
}

// Runs on the finishing carrier, which still holds the baton; returns when
// the carrier is given its next simulated thread, or retires.
void Scheduler::finished(Carrier *self)
{
    if (before_switch) {
        before_switch();
    }
    self->finished = true;
    self->runnable = false;
    Carrier *next = nullptr;
    if (!policy_) {
        next = self->return_to;
        self->return_to = nullptr;
    } else {
        next = pick(self);
        if (next == nullptr) {
            // Only the main thread is left, waiting in a call that nothing
            // can release any more.
            next = &main_;
            resume(next, next->deadline ? WaitResult::TimedOut : WaitResult::Deadlock);
        }
        record("ends", self, next);
    }
    idle_.push_back(self);
    jump(self, next);
}

void Scheduler::spawn(std::function<void()> body, std::string label, KIRQL irql, bool start_now)
{
    Carrier *self = current();
    Carrier *next = carrier_for(std::move(body), std::move(label), irql);
    if (!policy_) {
        next->return_to = self;
    } else if (!start_now) {
        return;
    }
    switch_to(self, next, "spawns");
}

WaitResult Scheduler::park(std::function<bool()> ready, std::string what, std::optional<Ticks> deadline)
{
    Carrier *self = current();
    Carrier *back = nullptr;
    if (!policy_) {
        back = self->return_to;
        self->return_to = nullptr;
    } else {
        self->runnable = false;
        back = pick(self);
        self->runnable = true;
    }
    if (back == nullptr) {
        // Nobody else can run, and time cannot move while this thread is in
        // a call: no release can end the wait.
        return deadline ? WaitResult::TimedOut : WaitResult::Deadlock;
    }
    self->parked = true;
    self->runnable = false;
    self->ready = std::move(ready);
    self->waiting_for = std::move(what);
    self->deadline = deadline;
    parked_.push_back(self);
    switch_to(self, back, "waits");
    return WaitResult(self->wake_result);
}

void Scheduler::resume(Carrier *carrier, WaitResult result)
{
    std::erase(parked_, carrier);
    carrier->parked = false;
    carrier->ready = nullptr;
    carrier->waiting_for.clear();
    carrier->deadline.reset();
    carrier->wake_result = int(result);
    carrier->runnable = true;
    carrier->ready_since = *clock_;
}

void Scheduler::wake()
{
    Carrier *self = current();
    for (;;) {
        auto it = std::find_if(parked_.begin(), parked_.end(), [](Carrier *c) { return c->ready(); });
        if (it == parked_.end()) {
            return;
        }
        Carrier *next = *it;
        resume(next, WaitResult::Woken);
        if (!policy_) {
            next->return_to = self;
            switch_to(self, next, "wakes");
        }
    }
}

std::vector<const Carrier *> Scheduler::parked() const { return {parked_.begin(), parked_.end()}; }

// --- interleaved schedules -------------------------------------------------------

bool Scheduler::may_advance() const
{
    for (const auto &carrier : carriers_) {
        if (carrier->runnable && carrier->ready_since + window_ < loop_next_) {
            return false;
        }
    }
    return true;
}

// Fills a buffer the scheduler keeps: a scheduling point allocates nothing.
// What it returns is good until the next call, that is until the next switch.
const std::vector<Carrier *> &Scheduler::candidates(Carrier *excluded) const
{
    std::vector<Carrier *> &result = choices_;
    result.clear();
    for (const auto &carrier : carriers_) {
        if (carrier->runnable && carrier.get() != excluded) {
            result.push_back(carrier.get());
        }
    }
    Carrier *main = const_cast<Carrier *>(&main_);
    if (main != excluded && main_.runnable) {
        if (!main_in_loop_ || result.empty() || may_advance()) {
            result.push_back(main);
        }
    }
    return result;
}

Carrier *Scheduler::pick(Carrier *excluded)
{
    const std::vector<Carrier *> &choices = candidates(excluded);
    if (choices.empty()) {
        return nullptr;
    }
    return choices.size() == 1 ? choices.front() : policy_->choose(choices, nullptr, delay());
}

const Carrier *Scheduler::delay() const { return main_in_loop_ ? &main_ : nullptr; }

void Scheduler::preempt(const char *at)
{
    if (!policy_) {
        return;
    }
    Carrier *self = current();
    policy_->step(*self, ++points_);
    const std::vector<Carrier *> &choices = candidates(nullptr);
    if (choices.size() < 2) {
        return;
    }
    Carrier *next = policy_->choose(choices, self, nullptr);
    if (next != self) {
        switch_to(self, next, at);
    }
}

Ticks Scheduler::settle(Ticks next)
{
    main_in_loop_ = true;
    loop_next_ = next;
    for (;;) {
        const std::vector<Carrier *> &choices = candidates(nullptr);
        Carrier *chosen = choices.size() == 1 ? choices.front() : policy_->choose(choices, nullptr, delay());
        if (chosen == &main_) {
            break;
        }
        switch_to(&main_, chosen, "time moves on");
    }
    main_in_loop_ = false;
    Ticks reached = next;
    for (const Carrier *carrier : parked_) {
        if (carrier->deadline && *carrier->deadline < reached) {
            reached = *carrier->deadline;
        }
    }
    return reached;
}

void Scheduler::expire(Ticks now)
{
    std::vector<Carrier *> due;
    for (Carrier *carrier : parked_) {
        if (carrier->deadline && *carrier->deadline <= now) {
            due.push_back(carrier);
        }
    }
    for (Carrier *carrier : due) {
        resume(carrier, WaitResult::TimedOut);
    }
}

void Scheduler::drain()
{
    if (!policy_) {
        return;
    }
    main_in_loop_ = true;
    loop_next_ = *clock_;
    for (;;) {
        const std::vector<Carrier *> &choices = candidates(&main_);
        if (choices.empty()) {
            break;
        }
        switch_to(&main_, choices.size() == 1 ? choices.front() : policy_->choose(choices, nullptr, nullptr), "drains");
    }
    main_in_loop_ = false;
}

size_t Scheduler::live() const
{
    return size_t(std::count_if(carriers_.begin(), carriers_.end(),
                                [](const auto &carrier) { return !carrier->finished && !carrier->retire; }));
}

bool Scheduler::any_ready() const
{
    return std::any_of(carriers_.begin(), carriers_.end(), [](const auto &carrier) { return carrier->runnable; });
}

}  // namespace vsim::detail
