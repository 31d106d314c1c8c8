// SPDX-License-Identifier: MIT
// The simulator itself: one at a time, reachable by the platform's C
// functions; object statistics and the resource-descriptor builders.
#include "internal.h"
#include "realtime.h"

#include <cstdio>

namespace vsim {

namespace {
Simulator *g_current = nullptr;
detail::State *g_state = nullptr;

// Every platform function the simulator defines. The driver's library comes
// after the simulator's on a link line and may call any of them, so the
// simulator's core keeps a table of all of them: linking it links them all.
[[gnu::used]] const void *const kPlatformFunctions[] = {
    reinterpret_cast<const void *>(&WdfDriverCreate),
    reinterpret_cast<const void *>(&WdfDeviceCreate),
    reinterpret_cast<const void *>(&WdfCmResourceListGetCount),
    reinterpret_cast<const void *>(&WdfCmResourceListGetDescriptor),
    reinterpret_cast<const void *>(&WdfIoTargetCreate),
    reinterpret_cast<const void *>(&WdfIoTargetOpen),
    reinterpret_cast<const void *>(&WdfTimerCreate),
    reinterpret_cast<const void *>(&WdfTimerStart),
    reinterpret_cast<const void *>(&WdfTimerStop),
    reinterpret_cast<const void *>(&WdfWaitLockCreate),
    reinterpret_cast<const void *>(&WdfWaitLockAcquire),
    reinterpret_cast<const void *>(&WdfWaitLockRelease),
    reinterpret_cast<const void *>(&WdfObjectGetTypedContextWorker),
    reinterpret_cast<const void *>(&WdfObjectDelete),
    reinterpret_cast<const void *>(&WdfRequestCreate),
    reinterpret_cast<const void *>(&WdfMemoryCreatePreallocated),
    reinterpret_cast<const void *>(&WdfIoTargetFormatRequestForIoctl),
    reinterpret_cast<const void *>(&WdfRequestSetCompletionRoutine),
    reinterpret_cast<const void *>(&WdfRequestSend),
    reinterpret_cast<const void *>(&WdfRequestGetStatus),
    reinterpret_cast<const void *>(&HwNRegisterClient),
    reinterpret_cast<const void *>(&HwNUnregisterClient),
    reinterpret_cast<const void *>(&HwNProcessAddDevicePreDeviceCreate),
    reinterpret_cast<const void *>(&HwNProcessAddDevicePostDeviceCreate),
    reinterpret_cast<const void *>(&RtlStringCbPrintfW),
    reinterpret_cast<const void *>(&RtlUnicodeStringPrintf),
    reinterpret_cast<const void *>(&vDbgPrintEx),
    reinterpret_cast<const void *>(&ExSetTimerResolution),
    reinterpret_cast<const void *>(&KeGetCurrentIrql),
    reinterpret_cast<const void *>(&RtlAssert),
};
}  // namespace

detail::State *active()
{
    if (g_state == nullptr) {
        std::fprintf(stderr, "vsim: a platform function was called with no simulator in place\n");
    }
    return g_state;
}

detail::State::State(Options o)
    : options(o),
      threads(o.threads == Threads::Real ? Schedule{} : o.schedule, &now)  // real threads interleave by themselves
{
    threads.before_switch = [this] {
        if (!watches.empty()) {
            check_watches();
        }
    };
    if (o.threads == Threads::Real) {
        real = std::make_unique<detail::RealPlatform>(*this, o.worker_threads);
        real->start();
    }
}

detail::State::~State() = default;

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(options))
{
    if (g_current != nullptr) {
        std::fprintf(stderr, "vsim: a second simulator replaces the first\n");
    }
    g_current = this;
    g_state = impl_.get();
}

Simulator::~Simulator()
{
    if (impl_->real) {
        impl_->real->stop();  // while the platform functions still reach this simulator
    }
    if (g_current == this) {
        g_current = nullptr;
        g_state = nullptr;
    }
}

Simulator *Simulator::current() { return g_current; }

size_t Simulator::live_objects(ObjectType type) const { return impl_->live[size_t(type)]; }
uint64_t Simulator::created_objects(ObjectType type) const { return impl_->created[size_t(type)]; }
uint64_t Simulator::deleted_objects(ObjectType type) const { return impl_->deleted[size_t(type)]; }

std::optional<ObjectInfo> Simulator::object_info(WDFOBJECT handle) const
{
    detail::Object *object = impl_->find(handle);
    if (object == nullptr) {
        return std::nullopt;
    }
    return ObjectInfo{object->type, object->parent,
                      object->context_type && object->context_type->ContextName ? object->context_type->ContextName
                                                                                 : "",
                      object->context_size};
}

void *Simulator::typed_context(WDFOBJECT handle) const
{
    detail::Object *object = impl_->find(handle);
    return object != nullptr ? object->context.get() : nullptr;
}

const char *object_type_name(ObjectType type)
{
    static const char *const names[] = {"Driver", "Device",  "IoTarget", "Timer",
                                        "WaitLock", "Request", "Memory",  "ResourceList"};
    return type < ObjectType::Count ? names[size_t(type)] : "?";
}

CM_PARTIAL_RESOURCE_DESCRIPTOR connection(UCHAR connection_class, UCHAR connection_type, uint64_t connection_id)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor{};
    descriptor.Type = CmResourceTypeConnection;
    descriptor.u.Connection.Class = connection_class;
    descriptor.u.Connection.Type = connection_type;
    descriptor.u.Connection.IdLowPart = ULONG(connection_id & 0xFFFFFFFF);
    descriptor.u.Connection.IdHighPart = ULONG(connection_id >> 32);
    return descriptor;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR gpio_io(uint64_t connection_id)
{
    return connection(CM_RESOURCE_CONNECTION_CLASS_GPIO, CM_RESOURCE_CONNECTION_TYPE_GPIO_IO, connection_id);
}

CM_PARTIAL_RESOURCE_DESCRIPTOR memory_resource(uint64_t start, ULONG length)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor{};
    descriptor.Type = CmResourceTypeMemory;
    descriptor.u.Memory.Start.QuadPart = LONGLONG(start);
    descriptor.u.Memory.Length = length;
    return descriptor;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR interrupt_resource(ULONG vector)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor{};
    descriptor.Type = CmResourceTypeInterrupt;
    descriptor.u.Interrupt.Vector = vector;
    descriptor.u.Interrupt.Affinity = 1;
    return descriptor;
}

}  // namespace vsim
