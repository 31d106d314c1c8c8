// SPDX-License-Identifier: MIT
// The platform mutex of the real-threads mode and what ThreadSanitizer is told
// about it.
//
// Every platform call holds the one platform mutex while it reads or changes
// the simulator's state; the driver's code never runs under it. A plain mutex
// would order any two platform calls for ThreadSanitizer and so hide the
// driver's own races (an unlocked write in one thread and a locked read in a
// timer callback would both be "after" the same platform call). So in a
// ThreadSanitizer build the platform's critical sections are invisible: their
// synchronisation and their memory accesses are ignored, and the platform
// states only the ordering the real platform guarantees, as release/acquire
// pairs on the object concerned (see Edge). Outside such builds all of this
// compiles to nothing.
//
// In the virtual mode a PlatformCall does nothing: one simulated thread runs
// at a time there.
#pragma once

#include <cstdint>
#include <mutex>

#include "internal.h"

#if defined(__SANITIZE_THREAD__)
#define VSIM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VSIM_TSAN 1
#endif
#endif

#ifdef VSIM_TSAN
extern "C" {
void AnnotateIgnoreSyncBegin(const char *file, int line);
void AnnotateIgnoreSyncEnd(const char *file, int line);
void AnnotateIgnoreReadsBegin(const char *file, int line);
void AnnotateIgnoreReadsEnd(const char *file, int line);
void AnnotateIgnoreWritesBegin(const char *file, int line);
void AnnotateIgnoreWritesEnd(const char *file, int line);
void __tsan_acquire(void *addr);
void __tsan_release(void *addr);
}
#endif

namespace vsim::detail {

// The orderings the platform guarantees, each from a release in one thread to
// an acquire in another, on one object:
//  - Lock: a wait lock's release, to its next acquire;
//  - TimerStart: WdfTimerStart, to the run of the callback it arms;
//  - TimerReturn: a callback's return, to WdfTimerStop with wait returning;
//  - RequestSend: WdfRequestSend, to the request's completion routine;
//  - Device: the end of one class-extension call on a device, to the start of
//    the next, when the class extension is asked to make them one at a time
//    per device.
// Thread creation and join order themselves.
enum class Edge { Lock, TimerStart, TimerReturn, RequestSend, Device, Count };

namespace tsan {
#ifdef VSIM_TSAN
// The cell that stands for `key` (a handle or a device id) and `edge`.
void *cell(uintptr_t key, Edge edge);
inline void acquire(uintptr_t key, Edge edge) { __tsan_acquire(cell(key, edge)); }
inline void release(uintptr_t key, Edge edge) { __tsan_release(cell(key, edge)); }
inline void ignore_sync_begin() { AnnotateIgnoreSyncBegin(__FILE__, __LINE__); }
inline void ignore_sync_end() { AnnotateIgnoreSyncEnd(__FILE__, __LINE__); }
inline void ignore_begin()
{
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
}
inline void ignore_end()
{
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
}
#else
inline void acquire(uintptr_t, Edge) {}
inline void release(uintptr_t, Edge) {}
inline void ignore_sync_begin() {}
inline void ignore_sync_end() {}
inline void ignore_begin() {}
inline void ignore_end() {}
#endif
inline void acquire(const void *handle, Edge edge) { acquire(reinterpret_cast<uintptr_t>(handle), edge); }
inline void release(const void *handle, Edge edge) { release(reinterpret_cast<uintptr_t>(handle), edge); }
}  // namespace tsan

// Holds the platform mutex for one platform call (real mode only). Nested
// calls on the same thread share the outer one's hold.
class PlatformCall {
public:
    explicit PlatformCall(State *sim)
    {
        if (sim != nullptr && sim->real) {
            enter(sim);
        }
    }
    ~PlatformCall()
    {
        if (owner_) {
            leave();
        }
    }
    PlatformCall(const PlatformCall &) = delete;
    PlatformCall &operator=(const PlatformCall &) = delete;

    bool holds() const { return owner_; }
    // An acquire to make once the call has left the platform.
    void acquire_after(const void *handle, Edge edge)
    {
        acquire_key_ = reinterpret_cast<uintptr_t>(handle);
        acquire_edge_ = edge;
    }

    // Runs `body` (the driver's code) with the mutex released.
    template <class Body>
    void unlocked(Body &&body)
    {
        suspend();
        body();
        resume();
    }
    // Waits for a change of the platform's state, until `deadline` (on the
    // platform clock) when there is one; false when it passed.
    bool wait(Ticks deadline = -1);

private:
    void enter(State *sim);
    void leave();
    void suspend();
    void resume();

    State *sim_ = nullptr;
    bool owner_ = false;
    uintptr_t acquire_key_ = 0;
    Edge acquire_edge_ = Edge::Count;
};

}  // namespace vsim::detail
