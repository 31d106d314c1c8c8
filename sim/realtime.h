// SPDX-License-Identifier: MIT
// The real-threads mode: the same platform state as the virtual mode, driven
// by real threads. A pool of workers runs timer callbacks when they fall due
// on the monotonic clock; one completion thread completes requests at
// DISPATCH_LEVEL; the class extension's calls run on their callers' threads,
// overlapping (one at a time per device when asked). All of them take the platform mutex
// (platform_lock.h) for the platform's own work and drop it around the
// driver's code.
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

    std::mutex mutex;                 // the platform mutex
    std::condition_variable changed;  // a lock released, a callback or completion done, ...
    // Wakes the timer workers or the completion thread when events of their
    // kind were scheduled, and only them. With the mutex held.
    void announce_events();

private:
    void work();               // a timer worker
    void complete_requests();  // the completion thread
    // Takes the first event of `kind` out of the queue when it is due;
    // otherwise *next is its due time (-1 when there is none).
    std::optional<Event> take(EventKind kind, Ticks *next);
    void fire(PlatformCall &call, WDFTIMER timer, bool armed);

    State &sim_;
    const std::chrono::steady_clock::time_point start_;
    const uint64_t serial_;  // tells this platform's thread identities from an earlier one's
    const unsigned workers_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
    int busy_ = 0;  // callbacks and completions in progress
    int last_identity_ = 0;
    std::deque<WDFTIMER> forced_;  // callbacks to run now, outside any arming
    std::condition_variable timer_work_;       // the workers wait here
    std::condition_variable completion_work_;  // the completion thread waits here
    std::map<DeviceId, std::unique_ptr<std::mutex>> device_locks_;
};

}  // namespace vsim::detail
