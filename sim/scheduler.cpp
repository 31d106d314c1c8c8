// Simulated threads. Each thread that may have to wait runs on its own OS
// thread, but only one OS thread runs at a time: they pass a baton. A thread
// that must wait parks and hands the baton back to the thread it interrupted;
// when what it waits for is released, it runs at the release point, before
// the releasing thread continues. Everything is therefore deterministic.
#include "internal.h"

#include <algorithm>

namespace vsim::detail {

namespace {
thread_local Carrier *tls_carrier = nullptr;
}

Scheduler::Scheduler() : baton_(std::make_shared<Baton>())
{
    baton_->running = &main_;
    main_.identity = new_identity();  // identity 0 stays "nobody"
}

Scheduler::~Scheduler()
{
    // A thread still parked can never go on (nothing will release what it
    // waits for). It keeps the baton state alive and waits forever.
    for (auto &carrier : carriers_) {
        if (carrier->finished) {
            carrier->os.join();
        } else {
            carrier->os.detach();
            (void)carrier.release();
        }
    }
}

Carrier *Scheduler::current() { return tls_carrier ? tls_carrier : &main_; }

void Scheduler::switch_to(Carrier *self, Carrier *next)
{
    std::unique_lock lock(baton_->mutex);
    baton_->running = next;
    baton_->changed.notify_all();
    baton_->changed.wait(lock, [&] { return baton_->running == self; });
}

void Scheduler::reap()
{
    std::erase_if(carriers_, [](const std::unique_ptr<Carrier> &carrier) {
        if (!carrier->finished) {
            return false;
        }
        carrier->os.join();
        return true;
    });
}

void Scheduler::spawn(std::function<void()> body)
{
    reap();
    Carrier *self = current();
    auto carrier = std::make_unique<Carrier>();
    Carrier *next = carrier.get();
    next->id = ++last_carrier_;
    next->identity = new_identity();
    next->return_to = self;
    carriers_.push_back(std::move(carrier));

    std::shared_ptr<Baton> baton = baton_;
    next->os = std::thread([baton, next, body = std::move(body)] {
        tls_carrier = next;
        {
            std::unique_lock lock(baton->mutex);
            baton->changed.wait(lock, [&] { return baton->running == next; });
        }
        body();
        std::unique_lock lock(baton->mutex);
        next->finished = true;
        baton->running = next->return_to;
        baton->changed.notify_all();
    });
    std::unique_lock lock(baton_->mutex);
    baton_->running = next;
    baton_->changed.notify_all();
    baton_->changed.wait(lock, [&] { return baton_->running == self; });
}

bool Scheduler::park(std::function<bool()> ready, std::string what)
{
    Carrier *self = current();
    if (self->return_to == nullptr) {
        return false;
    }
    self->parked = true;
    self->ready = std::move(ready);
    self->waiting_for = std::move(what);
    parked_.push_back(self);
    Carrier *back = self->return_to;
    self->return_to = nullptr;
    switch_to(self, back);
    return true;
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
        parked_.erase(it);
        next->parked = false;
        next->ready = nullptr;
        next->waiting_for.clear();
        next->return_to = self;
        switch_to(self, next);
    }
}

std::vector<const Carrier *> Scheduler::parked() const { return {parked_.begin(), parked_.end()}; }

}  // namespace vsim::detail
