// SPDX-License-Identifier: MIT
// Fiber switches: boost.context's fcontext where the build found it, the C
// library's ucontext otherwise (the armhf cross build, which has no ARM
// boost.context to link).
#include "fiber.h"
#include "simulated_local.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#ifdef VSIM_FIBER_UCONTEXT
#include <ucontext.h>
#else
#include <boost/context/detail/fcontext.hpp>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define VSIM_FIBER_ASAN 1
#elif defined(__SANITIZE_THREAD__)
#define VSIM_FIBER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VSIM_FIBER_ASAN 1
#elif __has_feature(thread_sanitizer)
#define VSIM_FIBER_TSAN 1
#endif
#endif

#ifdef VSIM_FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif
#ifdef VSIM_FIBER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace vsim::detail {

namespace {

// Instrumented frames are larger: the sanitizers get four times the room.
#if defined(VSIM_FIBER_ASAN) || defined(VSIM_FIBER_TSAN)
constexpr size_t kStackSize = size_t(1024) * 1024;
#else
constexpr size_t kStackSize = size_t(256) * 1024;
#endif

// The fiber that is switching away, for the one it switches to to find.
thread_local Fiber *t_leaving = nullptr;
// The running fiber, when it has a stack of its own.
thread_local const Fiber *t_running = nullptr;
thread_local char t_os_thread;  // its address stands for the OS thread

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "vibra-sim: cannot make a simulated thread's stack: %s\n", what);
    std::abort();
}

}  // namespace

// Everything that runs between the switch's two halves.
struct FiberSwitch {
    static void leave(Fiber &from, Fiber &to, bool for_good)
    {
#ifdef VSIM_FIBER_ASAN
        __sanitizer_start_switch_fiber(for_good ? nullptr : &from.fake_stack_, to.bottom_, to.size_);
#endif
#ifdef VSIM_FIBER_TSAN
        __tsan_switch_to_fiber(to.tsan_, 0);
#endif
        (void)for_good;
        (void)to;
        t_leaving = &from;
        t_running = to.mapping_ != nullptr ? &to : nullptr;
    }

    // On `self`, just switched to; `context` is where the fiber that left
    // resumes (fcontext hands it over at each switch).
    static void arrived(Fiber &self, void *context)
    {
        Fiber *left = t_leaving;
#ifdef VSIM_FIBER_UCONTEXT
        (void)context;
#else
        left->context_ = context;
#endif
#ifdef VSIM_FIBER_ASAN
        __sanitizer_finish_switch_fiber(self.fake_stack_, &left->bottom_, &left->size_);
#else
        (void)self;
        (void)left;
#endif
    }

    [[noreturn]] static void run(Fiber &self)
    {
        self.body_();
        std::fprintf(stderr, "vibra-sim: a simulated thread's stack returned\n");
        std::abort();
    }

#ifdef VSIM_FIBER_UCONTEXT
    static void entry(unsigned high, unsigned low)
    {
        Fiber &self = *reinterpret_cast<Fiber *>((uintptr_t(high) << 16 << 16) | uintptr_t(low));
        arrived(self, nullptr);
        run(self);
    }
    static void jump(Fiber &from, Fiber &to)
    {
        swapcontext(static_cast<ucontext_t *>(from.context_), static_cast<ucontext_t *>(to.context_));
    }
#else
    static void entry(boost::context::detail::transfer_t transfer)
    {
        Fiber &self = *static_cast<Fiber *>(transfer.data);
        arrived(self, transfer.fctx);
        run(self);
    }
    static void jump(Fiber &from, Fiber &to)
    {
        auto transfer = boost::context::detail::jump_fcontext(to.context_, &to);
        arrived(from, transfer.fctx);
    }
#endif
};

Fiber::Fiber()
{
#ifdef VSIM_FIBER_UCONTEXT
    context_ = new ucontext_t;
#endif
#ifdef VSIM_FIBER_TSAN
    tsan_ = __tsan_get_current_fiber();
#endif
}

Fiber::Fiber(std::function<void()> body)
    : body_(std::move(body))
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    mapped_ = kStackSize + page;
    void *mapping = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) {
        fail("out of memory");
    }
    mapping_ = static_cast<char *>(mapping);
    // The lowest page stays unmapped: an overflow faults there instead of
    // writing over whatever lies below.
    if (mprotect(mapping_, page, PROT_NONE) != 0) {
        fail("no guard page");
    }
    bottom_ = mapping_ + page;
    size_ = kStackSize;
#ifdef VSIM_FIBER_UCONTEXT
    auto *context = new ucontext_t;
    context_ = context;
    getcontext(context);
    context->uc_stack.ss_sp = mapping_ + page;
    context->uc_stack.ss_size = kStackSize;
    context->uc_link = nullptr;
    const auto self = reinterpret_cast<uintptr_t>(this);
    makecontext(context, reinterpret_cast<void (*)()>(&FiberSwitch::entry), 2, unsigned(self >> 16 >> 16),
                unsigned(self & 0xFFFFFFFFu));
#else
    context_ = boost::context::detail::make_fcontext(mapping_ + mapped_, kStackSize, &FiberSwitch::entry);
#endif
#ifdef VSIM_FIBER_TSAN
    tsan_ = __tsan_create_fiber(0);
#endif
}

Fiber::~Fiber()
{
#ifdef VSIM_FIBER_UCONTEXT
    delete static_cast<ucontext_t *>(context_);
#endif
    if (mapping_ == nullptr) {
        return;
    }
#ifdef VSIM_FIBER_TSAN
    __tsan_destroy_fiber(tsan_);
#endif
#ifdef VSIM_FIBER_ASAN
    // Frames left on it keep their red zones poisoned; the next mapping at
    // this address must not inherit them.
    __asan_unpoison_memory_region(bottom_, size_);
#endif
    munmap(mapping_, mapped_);
}

void Fiber::switch_to(Fiber &from, Fiber &to)
{
    FiberSwitch::leave(from, to, false);
    FiberSwitch::jump(from, to);
}

void Fiber::exit_to(Fiber &from, Fiber &to)
{
    FiberSwitch::leave(from, to, true);
    FiberSwitch::jump(from, to);
    std::abort();  // nothing switches back to a fiber that left for good
}

const void *simulated_thread_key()
{
    return t_running != nullptr ? static_cast<const void *>(t_running) : &t_os_thread;
}

void Fiber::abandon()
{
#ifdef VSIM_FIBER_ASAN
    if (mapping_ != nullptr) {
        __lsan_register_root_region(bottom_, size_);
        mapping_ = nullptr;
    }
#endif
}

}  // namespace vsim::detail
