// SPDX-License-Identifier: MIT
// Framework objects: opaque handles that encode a slot and its generation, so
// that a null, stale or wrong-type handle is reported instead of followed;
// parents, children, typed contexts and deletion.
#include "internal.h"
#include "platform_lock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace vsim {

namespace {
const char *handle_type_name(ObjectType type)
{
    static const char *const names[] = {"WDFDRIVER", "WDFDEVICE",  "WDFIOTARGET", "WDFTIMER",
                                        "WDFWAITLOCK", "WDFREQUEST", "WDFMEMORY",  "WDFCMRESLIST"};
    return type < ObjectType::Count ? names[size_t(type)] : "object";
}

std::string hex(const void *pointer)
{
    // As "0x%llx" prints it, without printf: every interleaved thread's label
    // names an object.
    uintptr_t value = reinterpret_cast<uintptr_t>(pointer);
    char digits[2 * sizeof value];
    size_t count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    std::string text = "0x";
    while (count != 0) {
        text += digits[--count];
    }
    return text;
}

bool same_context_type(const WDF_OBJECT_CONTEXT_TYPE_INFO *a, const WDF_OBJECT_CONTEXT_TYPE_INFO *b)
{
    if (a == b) {
        return true;
    }
    return a->ContextName && b->ContextName && std::strcmp(a->ContextName, b->ContextName) == 0 &&
           a->ContextSize == b->ContextSize;
}

const WDF_OBJECT_CONTEXT_TYPE_INFO *unique(const WDF_OBJECT_CONTEXT_TYPE_INFO *type)
{
    return type && type->UniqueType ? type->UniqueType : type;
}
}  // namespace

std::string detail::State::describe(WDFOBJECT handle)
{
    detail::Object *object = find(handle);
    return std::string(object ? handle_type_name(object->type) : "handle") + " " + hex(handle);
}

detail::Object *detail::State::report_handle(WDFOBJECT handle, ObjectType type, const char *function)
{
    const std::string expected = type == ObjectType::Count ? "an object" : std::string("a ") + handle_type_name(type);
    if (handle == nullptr) {
        fail(std::string(function) + ": NULL handle passed where " + expected + " is required");
        return nullptr;
    }
    const std::optional<uint32_t> index = index_of(handle);
    if (!index || *index >= objects.size()) {
        fail(std::string(function) + ": invalid handle " + hex(handle) + " (not a framework object)");
        return nullptr;
    }
    const detail::Object *object = find(handle);
    if (object == nullptr) {
        fail(std::string(function) + ": stale handle " + hex(handle) + " (the object was deleted)");
        return nullptr;
    }
    fail(std::string(function) + ": handle " + hex(handle) + " is a " + handle_type_name(object->type) +
         ", expected " + expected);
    return nullptr;
}

bool detail::State::attributes_ok(const WDF_OBJECT_ATTRIBUTES *attributes, const char *function, NTSTATUS *status)
{
    if (attributes == nullptr) {
        return true;
    }
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        fail(std::string(function) + ": WDF_OBJECT_ATTRIBUTES.Size is " + std::to_string(attributes->Size) +
             ", expected " + std::to_string(sizeof(WDF_OBJECT_ATTRIBUTES)));
        *status = STATUS_INFO_LENGTH_MISMATCH;
        return false;
    }
    if (attributes->ParentObject != nullptr && lookup(attributes->ParentObject, ObjectType::Count, function) == nullptr) {
        *status = STATUS_INVALID_PARAMETER;
        return false;
    }
    return true;
}

WDFOBJECT detail::State::create(ObjectType type, WDFOBJECT parent, const WDF_OBJECT_ATTRIBUTES *attributes,
                                  detail::Payload payload)
{
    detail::PlatformCall call(this);
    uint32_t index;
    if (!free_slots.empty()) {
        index = free_slots.back();
        free_slots.pop_back();
    } else {
        if (objects.size() >= kIndexMask) {
            throw std::length_error("the simulated object table is full");
        }
        index = uint32_t(objects.size());
        objects.emplace_back();
    }
    detail::Object &object = objects[index];
    object.index = index;
    object.type = type;
    object.alive = true;
    object.parent = parent;
    object.children.clear();
    object.data = std::move(payload);
    object.context_type = nullptr;
    object.context.reset();
    object.context_size = 0;
    object.cleanup = nullptr;
    object.destroy = nullptr;
    if (attributes != nullptr) {
        object.cleanup = attributes->EvtCleanupCallback;
        object.destroy = attributes->EvtDestroyCallback;
        if (attributes->ContextTypeInfo != nullptr) {
            object.context_type = unique(attributes->ContextTypeInfo);
            object.context_size = std::max(object.context_type->ContextSize, attributes->ContextSizeOverride);
            object.context.reset(new uint8_t[std::max<size_t>(object.context_size, 1)]());
        }
    }
    const WDFOBJECT handle = handle_of(index, object.generation);
    if (detail::Object *owner = find(parent)) {
        owner->children.push_back(handle);
    }
    ++created[size_t(type)];
    ++live[size_t(type)];
    return handle;
}

void detail::State::destroy(WDFOBJECT handle)
{
    detail::PlatformCall call(this);
    detail::Object *object = find(handle);
    if (object == nullptr) {
        return;
    }
    // Children go first, youngest first, as the framework tears a tree down.
    // The list is taken (not copied) and handed back empty, so that the slot
    // keeps its capacity for the next object.
    std::vector<WDFOBJECT> children;
    children.swap(object->children);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        destroy(*it);
    }
    if (object->children.empty()) {
        children.clear();
        object->children.swap(children);
    }
    if (object->cleanup) {
        object->cleanup(handle);
    }
    if (auto *timer = std::get_if<detail::TimerData>(&object->data); timer && timer->pending) {
        cancel(timer->due, timer->seq);
        timer->pending = false;
    }
    if (auto *target = std::get_if<detail::TargetData>(&object->data)) {
        close_target(*target);
    }
    if (auto *request = std::get_if<detail::RequestData>(&object->data); request && request->in_flight) {
        abandon(static_cast<WDFREQUEST>(handle));
    }
    if (object->type == ObjectType::Device) {
        forget_device(static_cast<WDFDEVICE>(handle));
    }
    if (object->type == ObjectType::Driver && driver == handle) {
        driver = nullptr;
    }
    if (object->destroy) {
        object->destroy(handle);
    }
    if (detail::Object *owner = find(object->parent)) {
        std::erase(owner->children, handle);
    }
    const ObjectType type = object->type;
    if (type == ObjectType::WaitLock && !watches.empty()) {
        // A watch ends with its lock.
        std::erase_if(watches, [handle](const detail::Watch &watch) { return watch.lock == handle; });
    }
    object->alive = false;
    object->generation = (object->generation + 1) & kGenerationMask;
    object->context.reset();
    object->children.clear();
    object->data = std::monostate{};
    free_slots.push_back(object->index);
    ++deleted[size_t(type)];
    --live[size_t(type)];
}

bool detail::State::has_device_ancestor(WDFOBJECT handle)
{
    for (detail::Object *object = find(handle); object != nullptr; object = find(object->parent)) {
        if (object->type == ObjectType::Device) {
            return true;
        }
    }
    return false;
}

}  // namespace vsim

using vsim::ObjectType;

EXTERN_C VOID WdfObjectDelete(WDFOBJECT Object)
{
    auto *sim = vsim::active();
    if (!sim) {
        return;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(vsim::Op::WdfObjectDelete);
    if (!sim->require_framework("WdfObjectDelete")) {
        return;
    }
    vsim::detail::Object *object = sim->lookup(Object, ObjectType::Count, "WdfObjectDelete");
    if (object == nullptr) {
        return;
    }
    if (object->type == ObjectType::Driver || object->type == ObjectType::Device ||
        object->type == ObjectType::ResourceList) {
        sim->fail("WdfObjectDelete: " + sim->describe(Object) + " belongs to the framework, which deletes it");
        return;
    }
    if (auto *request = std::get_if<vsim::detail::RequestData>(&object->data); request && request->in_flight) {
        sim->fail("WdfObjectDelete: " + sim->describe(Object) + " deleted while in flight (sent, not completed)");
    }
    sim->destroy(Object);
    sim->threads.wake();
}

EXTERN_C PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    auto *sim = vsim::active();
    if (!sim) {
        return nullptr;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(vsim::Op::WdfObjectGetTypedContext);
    if (!sim->require_framework("WdfObjectGetTypedContext") || sim->fault(vsim::Op::WdfObjectGetTypedContext)) {
        return nullptr;
    }
    vsim::detail::Object *object = sim->lookup(Handle, ObjectType::Count, "WdfObjectGetTypedContext");
    if (object == nullptr) {
        return nullptr;
    }
    if (TypeInfo == nullptr) {
        sim->fail("WdfObjectGetTypedContext: NULL context type information");
        return nullptr;
    }
    const WDF_OBJECT_CONTEXT_TYPE_INFO *wanted = TypeInfo->UniqueType ? TypeInfo->UniqueType : TypeInfo;
    if (object->context_type == nullptr || !vsim::same_context_type(object->context_type, wanted)) {
        return nullptr;
    }
    return object->context.get();
}
