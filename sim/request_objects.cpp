// SPDX-License-Identifier: MIT
// Request objects and their memory: creation, preallocated memory (which keeps
// the caller's pointer) and reuse of a completed request.
#include "internal.h"
#include "platform_lock.h"

using vsim::ObjectType;
using vsim::Op;
using vsim::detail::MemoryData;
using vsim::detail::RequestData;

EXTERN_C NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST *Request)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    if (Request != nullptr) {
        *Request = nullptr;
    }
    sim->enter(Op::WdfRequestCreate);
    if (!sim->require_framework("WdfRequestCreate")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfRequestCreate)) {
        return *status;
    }
    if (Request == nullptr) {
        sim->fail("WdfRequestCreate: NULL output handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (IoTarget != nullptr && sim->lookup(IoTarget, ObjectType::IoTarget, "WdfRequestCreate") == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (!sim->attributes_ok(RequestAttributes, "WdfRequestCreate", &status)) {
        return status;
    }
    // A request created without a parent belongs to the driver object.
    const WDFOBJECT parent = RequestAttributes && RequestAttributes->ParentObject ? RequestAttributes->ParentObject
                                                                                  : WDFOBJECT(sim->driver);
    RequestData data;
    data.created_for = IoTarget;
    *Request = static_cast<WDFREQUEST>(sim->create(ObjectType::Request, parent, RequestAttributes, data));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                              WDFMEMORY *Memory)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    if (Memory != nullptr) {
        *Memory = nullptr;
    }
    sim->enter(Op::WdfMemoryCreatePreallocated);
    if (!sim->require_framework("WdfMemoryCreatePreallocated")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfMemoryCreatePreallocated)) {
        return *status;
    }
    if (Memory == nullptr || Buffer == nullptr || BufferSize == 0) {
        sim->fail("WdfMemoryCreatePreallocated: NULL output handle pointer, NULL buffer or zero size");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (!sim->attributes_ok(Attributes, "WdfMemoryCreatePreallocated", &status)) {
        return status;
    }
    const WDFOBJECT parent = Attributes && Attributes->ParentObject ? Attributes->ParentObject : WDFOBJECT(sim->driver);
    *Memory = static_cast<WDFMEMORY>(
        sim->create(ObjectType::Memory, parent, Attributes, MemoryData{Buffer, BufferSize}));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    if (sim->irql() > DISPATCH_LEVEL) {
        sim->fail("WdfRequestReuse: called above DISPATCH_LEVEL");
    }
    if (!sim->require_framework("WdfRequestReuse")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto *request = sim->data<RequestData>(Request, ObjectType::Request, "WdfRequestReuse");
    if (request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ReuseParams == nullptr || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS)) {
        sim->fail("WdfRequestReuse: NULL WDF_REQUEST_REUSE_PARAMS or a wrong Size");
        return STATUS_INVALID_PARAMETER;
    }
    if (request->in_flight) {
        sim->fail("WdfRequestReuse: " + sim->describe(Request) + " is in flight");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (ReuseParams->Flags != WDF_REQUEST_REUSE_NO_FLAGS) {
        return STATUS_INVALID_PARAMETER;  // no new IRP for a request the driver created
    }
    request->completed = false;
    request->formatted = false;
    request->formatted_for = nullptr;
    request->status = ReuseParams->Status;
    return STATUS_SUCCESS;
}
