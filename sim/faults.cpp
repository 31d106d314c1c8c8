// SPDX-License-Identifier: MIT
// The verifier's findings, call counts, injected faults and the hooks that run
// another thread's action just before a given call.
#include "internal.h"
#include "platform_lock.h"

#include <algorithm>
#include <cstdio>

namespace vsim {

void detail::State::fail(std::string message) { failures.push_back(std::move(message)); }

namespace {
constexpr KIRQL kAnyLevel = 31;  // HIGH_LEVEL

// The highest level at which the framework's (and the kernel's) documentation
// lets each operation be called. The class extension's functions are called
// from DriverEntry, the device-add callback and unload, all at
// PASSIVE_LEVEL. A stop with wait and an acquire that may wait are checked
// for PASSIVE_LEVEL where their arguments are known.
KIRQL highest_level(Op op)
{
    switch (op) {
    case Op::WdfDriverCreate:
    case Op::WdfDeviceCreate:
    case Op::WdfIoTargetCreate:
    case Op::WdfIoTargetOpen:
    case Op::HwNRegisterClient:
    case Op::HwNUnregisterClient:
    case Op::HwNProcessAddDevicePreDeviceCreate:
    case Op::HwNProcessAddDevicePostDeviceCreate:
    case Op::RtlStringCbPrintfW:
    case Op::RtlUnicodeStringPrintf:
        return PASSIVE_LEVEL;
    case Op::ExSetTimerResolution:
        return APC_LEVEL;
    case Op::vDbgPrintEx:
    case Op::RequestCompletion:
    case Op::Count:
        return kAnyLevel;
    default:
        return DISPATCH_LEVEL;
    }
}

const char *level_name(KIRQL level)
{
    switch (level) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "a device level";
    }
}

// Out of line: the check at every call stays a compare.
[[gnu::noinline, gnu::cold]] void report_level(detail::State &state, Op op, KIRQL level, KIRQL highest)
{
    state.fail(std::string(op_name(op)) + ": called at " + level_name(level) + "; it may be called at " +
               level_name(highest) + (highest == PASSIVE_LEVEL ? " only" : " or below"));
}
}  // namespace

void detail::State::check_level(Op op)
{
    const KIRQL level = irql();
    const KIRQL highest = highest_level(op);
    if (level > highest) {
        report_level(*this, op, level, highest);
    }
}

void detail::State::enter(Op op)
{
    const uint64_t number = ++calls[size_t(op)];
    check_level(op);
    if (options.keep_records) {
        call_log.push_back(op);
    }
    if (real) {
        return;  // real threads: no hooks, no watches, no schedule
    }
    if (!watches.empty()) {
        check_watches();
    }
    if (!hooks.empty()) {
        run_hooks(op, number);
    }
    if (threads.interleaved()) {
        threads.preempt(op_name(op));
    }
}

void detail::State::run_hooks(Op op, uint64_t number)
{
    std::vector<detail::Hook> due;
    for (auto it = hooks.begin(); it != hooks.end();) {
        if (it->op == op && it->at == number) {
            due.push_back(std::move(*it));
            it = hooks.erase(it);
        } else {
            ++it;
        }
    }
    for (detail::Hook &hook : due) {
        threads.spawn(std::move(hook.action), std::string("hook before ") + op_name(op));
    }
}

void detail::State::check_watches()
{
    constexpr size_t kMaxRaces = 100;
    const int me = identity();  // watches whose lock is gone went with it (destroy)
    for (detail::Watch &watch : watches) {
        if (std::equal(watch.last.begin(), watch.last.end(), watch.memory)) {
            continue;
        }
        std::copy(watch.memory, watch.memory + watch.size, watch.last.begin());
        const int owner = std::get<detail::LockData>(find(watch.lock)->data).owner;
        if (owner != 0 && owner != me && races.size() < kMaxRaces) {
            races.push_back(*threads.current()->label + " changed " + watch.name + " without " + describe(watch.lock) +
                            " while thread " + std::to_string(owner) + " held it (at " +
                            std::to_string(now / kTicksPerUs) + " us)");
        }
    }
}

void Simulator::watch(const void *memory, size_t size, WDFWAITLOCK lock, std::string name)
{
    const auto *bytes = static_cast<const uint8_t *>(memory);
    if (impl_->find(lock) == nullptr) {
        return;  // nothing can hold it: no change can be a race
    }
    impl_->watches.push_back({bytes, size, lock, std::move(name), std::vector<uint8_t>(bytes, bytes + size)});
}

const std::vector<std::string> &Simulator::races() const { return impl_->races; }

std::optional<NTSTATUS> detail::State::armed_fault(Op op, uint64_t number)
{
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->op == op && (it->at == 0 || it->at == number)) {
            const NTSTATUS status = it->status;
            last_fault = now;
            ++faults_fired[size_t(op)];
            if (it->at != 0) {
                faults.erase(it);
            }
            if (fault_sink) {
                fault_sink(FaultTaken{now, op, status, number});
            }
            return status;
        }
    }
    return std::nullopt;
}

bool detail::State::framework_missing(const char *function)
{
    fail(std::string(function) + ": called while the framework library (KmdfLibrary) is not bound");
    return false;
}

bool detail::State::require_class_extension(const char *function)
{
    if (!clx_bound) {
        fail(std::string(function) + ": called while the class extension (HwNClx) is not bound");
        return false;
    }
    return true;
}

void Simulator::inject(Op op, NTSTATUS status, uint32_t nth)
{
    detail::PlatformCall call(impl_.get());
    const uint64_t at = nth == 0 ? 0 : impl_->consultations[size_t(op)] + nth;
    impl_->faults.push_back({op, status, at});
}

void Simulator::clear_faults()
{
    detail::PlatformCall call(impl_.get());
    impl_->faults.clear();
}

size_t Simulator::armed_faults() const { return impl_->faults.size(); }

Ticks Simulator::last_fault_time() const { return impl_->last_fault; }

uint64_t Simulator::calls(Op op) const { return impl_->calls[size_t(op)]; }

uint64_t Simulator::faults_fired(Op op) const { return impl_->faults_fired[size_t(op)]; }

void Simulator::set_fault_sink(std::function<void(const FaultTaken &)> sink)
{
    detail::PlatformCall call(impl_.get());
    impl_->fault_sink = std::move(sink);
}

const std::vector<Op> &Simulator::call_log() const { return impl_->call_log; }

void Simulator::clear_call_log() { impl_->call_log.clear(); }

const std::vector<Op> &Simulator::consultation_log() const { return impl_->consultation_log; }

void Simulator::before_call(Op op, uint32_t nth, std::function<void()> action)
{
    if (impl_->real) {
        detail::PlatformCall call(impl_.get());
        impl_->fail("before_call: hooks interleave simulated threads; they need the virtual thread mode");
        return;
    }
    impl_->hooks.push_back({op, impl_->calls[size_t(op)] + std::max<uint32_t>(nth, 1), std::move(action)});
}

const std::vector<std::string> &Simulator::verifier_failures() const { return impl_->failures; }

void Simulator::clear_verifier_failures() { impl_->failures.clear(); }

const std::vector<std::string> &Simulator::check_quiescent()
{
    for (detail::Object &object : impl_->objects) {
        if (!object.alive) {
            continue;
        }
        const WDFOBJECT handle = detail::State::handle_of(object.index, object.generation);
        if (auto *request = std::get_if<detail::RequestData>(&object.data)) {
            impl_->fail("quiescence: " + impl_->describe(handle) +
                        (request->in_flight ? " still in flight" : " never deleted"));
        }
        if (auto *lock = std::get_if<detail::LockData>(&object.data); lock && lock->owner != 0) {
            impl_->fail("quiescence: " + impl_->describe(handle) + " still held by thread " +
                        std::to_string(lock->owner));
        }
    }
    for (const detail::Carrier *carrier : impl_->threads.parked()) {
        impl_->fail("quiescence: thread " + std::to_string(carrier->identity) + " still waiting for " +
                    carrier->waiting_for);
    }
    return impl_->failures;
}

namespace {
constexpr const char *kOpNames[] = {
    "WdfDriverCreate",
    "WdfDeviceCreate",
    "WdfCmResourceListGetCount",
    "WdfCmResourceListGetDescriptor",
    "WdfIoTargetCreate",
    "WdfIoTargetOpen",
    "WdfTimerCreate",
    "WdfTimerStart",
    "WdfTimerStop",
    "WdfWaitLockCreate",
    "WdfWaitLockAcquire",
    "WdfWaitLockRelease",
    "WdfObjectGetTypedContext",
    "WdfObjectDelete",
    "WdfRequestCreate",
    "WdfMemoryCreatePreallocated",
    "WdfIoTargetFormatRequestForIoctl",
    "WdfRequestSetCompletionRoutine",
    "WdfRequestSend",
    "WdfRequestGetStatus",
    "RequestCompletion",
    "HwNRegisterClient",
    "HwNUnregisterClient",
    "HwNProcessAddDevicePreDeviceCreate",
    "HwNProcessAddDevicePostDeviceCreate",
    "RtlStringCbPrintfW",
    "RtlUnicodeStringPrintf",
    "ExSetTimerResolution",
    "vDbgPrintEx",
};
static_assert(std::size(kOpNames) == size_t(Op::Count));
}  // namespace

const char *op_name(Op op) { return op < Op::Count ? kOpNames[size_t(op)] : "?"; }

std::optional<Op> op_from_name(std::string_view name)
{
    for (size_t i = 0; i < size_t(Op::Count); ++i) {
        if (name == kOpNames[i]) {
            return Op(i);
        }
    }
    return std::nullopt;
}

}  // namespace vsim
