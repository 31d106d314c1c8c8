// SPDX-License-Identifier: MIT
// The failures the real platform can return from each operation, as its
// documentation describes them. Fault injection in scenarios and in the
// explorer, and the systematic runs, choose only among these, so that every
// fault they report is one the driver can meet.
#include "sim.h"


namespace vsim {
namespace {

constexpr NTSTATUS kCreate[] = {STATUS_INSUFFICIENT_RESOURCES};
constexpr NTSTATUS kOpen[] = {STATUS_INSUFFICIENT_RESOURCES, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_SHARING_VIOLATION,
                              STATUS_DEVICE_NOT_CONNECTED};
constexpr NTSTATUS kTimedWait[] = {STATUS_TIMEOUT};
constexpr NTSTATUS kSend[] = {STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_NOT_CONNECTED, STATUS_INSUFFICIENT_RESOURCES};
constexpr NTSTATUS kCompletion[] = {STATUS_UNSUCCESSFUL, STATUS_IO_TIMEOUT,           STATUS_DEVICE_NOT_CONNECTED,
                                    STATUS_CANCELLED,    STATUS_INVALID_DEVICE_STATE, STATUS_INSUFFICIENT_RESOURCES};
constexpr NTSTATUS kClassExtension[] = {STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL};
constexpr NTSTATUS kFormat[] = {STATUS_BUFFER_OVERFLOW, STATUS_INVALID_PARAMETER};

}  // namespace

std::span<const NTSTATUS> possible_failures(Op op)
{
    switch (op) {
    case Op::WdfDriverCreate:
    case Op::WdfDeviceCreate:
    case Op::WdfIoTargetCreate:
    case Op::WdfTimerCreate:
    case Op::WdfWaitLockCreate:
    case Op::WdfRequestCreate:
    case Op::WdfMemoryCreatePreallocated:
    case Op::WdfIoTargetFormatRequestForIoctl:  // allocates the request's I/O stack context
        return kCreate;
    case Op::WdfIoTargetOpen:
        return kOpen;
    case Op::WdfWaitLockAcquire:  // only an acquire with a time-out, and only by timing out
        return kTimedWait;
    case Op::WdfRequestSend:  // FALSE, with the reason as the request's status
        return kSend;
    case Op::RequestCompletion:  // the controller's I/O error
        return kCompletion;
    case Op::HwNRegisterClient:
    case Op::HwNUnregisterClient:
    case Op::HwNProcessAddDevicePreDeviceCreate:
    case Op::HwNProcessAddDevicePostDeviceCreate:
        return kClassExtension;
    case Op::RtlStringCbPrintfW:
    case Op::RtlUnicodeStringPrintf:
        return kFormat;
    // Values, not failures: a count and a descriptor within it, a timer's
    // "was already queued" and "was still queued", a typed context that the
    // timer was created with, the resolution that was set, the request's own
    // status, the debugger's print; the rest return nothing.
    case Op::WdfCmResourceListGetCount:
    case Op::WdfCmResourceListGetDescriptor:
    case Op::WdfTimerStart:
    case Op::WdfTimerStop:
    case Op::WdfObjectGetTypedContext:
    case Op::WdfRequestGetStatus:
    case Op::ExSetTimerResolution:
    case Op::vDbgPrintEx:
    case Op::WdfWaitLockRelease:
    case Op::WdfObjectDelete:
    case Op::WdfRequestSetCompletionRoutine:
    case Op::Count:
        break;
    }
    return {};
}

bool can_fail_with(Op op, NTSTATUS status)
{
    for (const NTSTATUS possible : possible_failures(op)) {
        if (possible == status) {
            return true;
        }
    }
    return false;
}

}  // namespace vsim
