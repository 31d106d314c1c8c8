// SPDX-License-Identifier: MIT
// What a thread_local is to OS threads, for simulated threads. In virtual
// time every simulated thread is a fiber on the one OS thread that runs the
// simulator, so a thread_local is one variable for all of them; a
// SimulatedLocal has a value for each (and for each OS thread, which is what
// a simulated thread is on real threads). A value starts default-constructed;
// a fiber that carries one simulated thread after another hands them the
// value it last held, so set one for the length of a call and restore it.
#pragma once

#include <map>
#include <mutex>

namespace vsim {

namespace detail {
// The running fiber that has a stack of its own, else the running OS thread.
const void *simulated_thread_key();
}  // namespace detail

template <class T> class SimulatedLocal {
public:
    T &operator*()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return values_[detail::simulated_thread_key()];  // a map's elements stay where they are
    }
    T *operator->() { return &**this; }

private:
    std::mutex mutex_;
    std::map<const void *, T> values_;
};

}  // namespace vsim
