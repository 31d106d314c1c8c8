// SPDX-License-Identifier: MIT
// The real-threads mode: the same platform state as the virtual mode, driven
// by real threads. A pool of workers runs timer callbacks when they fall due
// on the monotonic clock; one completion thread completes requests at
// DISPATCH_LEVEL; the class extension's calls run on their callers' threads,
// overlapping (one at a time per device when asked). All of them take the platform mutex
// (platform_lock.h) for the platform's own work and drop it around the
// driver's code.
//
// A platform thread with nothing to do sleeps on its alarm (wake.h), and the
// thread that gives it work sets that alarm to the work's due time: one idle
// worker's alarm is set for the first timer callback due (a worker that runs a
// callback sets another's for the next, and the workers so take turns), the
// completion thread's for the first completion due. Nothing else wakes them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform_lock.h"
#include "wake.h"

namespace vsim::detail {

class RealPlatform {
public:
    RealPlatform(State &sim, unsigned workers);
    ~RealPlatform();
    // Starts the threads (once State::real points here) and stops them: running
    // callbacks finish, nothing new starts, every thread is joined.
    void start();
    void stop();
    RealPlatform(const RealPlatform &) = delete;
    RealPlatform &operator=(const RealPlatform &) = delete;

    // Ticks of the monotonic clock since the simulator was made.
    Ticks clock() const;
    std::chrono::steady_clock::time_point wall(Ticks ticks) const;

    // The Simulator's side.
    void run_until(Ticks time);
    bool run_until_idle(Ticks limit);
    size_t pending();
    void run_callback_now(WDFTIMER timer);
    NTSTATUS call_client(DeviceId id, const char *function, const std::function<NTSTATUS(void *)> &call);

    // Platform calls that wait for real.
    NTSTATUS acquire(WDFWAITLOCK lock, PLONGLONG timeout);
    void release(WDFWAITLOCK lock);
    // Runs a completion routine from inside State::complete, without the mutex.
    void complete(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFREQUEST request, WDFIOTARGET target,
                  PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context);

    int identity();  // with the mutex held

    PlatformMutex mutex;                  // the platform mutex
    std::condition_variable_any changed;  // a lock released, a callback or completion done, ...
    int waiting_for_change = 0;           // threads waiting on `changed`
    // With the mutex held, after a change that a waiter on `changed` may wait for.
    void notify_changed();
    // Sets the alarms of the idle platform threads for the events scheduled
    // since the last look, as their kinds need. With the mutex held.
    void announce_events();
    // Announces the events, releases the mutex, then rings the alarms of
    // threads whose work is due already: woken while this thread still held
    // the mutex, they would only spin or sleep again for it.
    void unlock();
    // The same for a wait on `changed`, which releases the mutex itself: the
    // alarms ring first.
    void announce_before_wait();

private:
    // An idle platform thread's place: its alarm, and when it is set to ring.
    struct Sleeper {
        Alarm alarm;
        Ticks set_for = kUnset;
    };
    static constexpr Ticks kUnset = INT64_MAX;

    void work(Sleeper &me);    // a timer worker
    void complete_requests();  // the completion thread
    void sleep(Sleeper &me);   // with the mutex held, released while asleep
    void set(Sleeper &sleeper, Ticks due);
    // Sees that an idle worker's alarm is set for the first timer work (a
    // forced callback is due now), and the idle completion thread's for the
    // first completion.
    void watch_timers();
    void watch_completions();
    Ticks first_due(EventKind kind) const;  // -1 when none
    // Takes the first event of `kind` out of the queue when it is due.
    std::optional<Event> take(EventKind kind);
    void fire(PlatformCall &call, WDFTIMER timer, bool armed);

    State &sim_;
    const std::chrono::steady_clock::time_point start_;
    const uint64_t serial_;  // tells this platform's thread identities from an earlier one's
    const unsigned workers_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
    int busy_ = 0;  // callbacks and completions in progress
    int last_identity_ = 0;
    std::deque<WDFTIMER> forced_;                     // callbacks to run now, outside any arming
    std::vector<std::unique_ptr<Sleeper>> sleepers_;  // one per worker
    std::vector<Sleeper *> idle_;                     // the idle workers, the latest last
    Sleeper *watcher_ = nullptr;                      // the idle worker set for the first timer work
    Sleeper completer_;
    bool completer_idle_ = false;
    std::vector<Alarm *> ring_now_;  // to ring once the mutex is released
    std::map<DeviceId, std::unique_ptr<std::mutex>> device_locks_;
};

}  // namespace vsim::detail
