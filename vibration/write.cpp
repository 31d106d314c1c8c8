// SPDX-License-Identifier: MIT
// GPIO line write: drives one line high or low with one asynchronous I/O
// control request. It is the driver's only access to the hardware.

#include <ntddk.h>
#include <wdf.h>
#include <gpio.h>

#include "vibration/vibration.h"
#include "trace/trace.h"

// Declared with C linkage, as the kit places only such functions.
EXTERN_C NTSTATUS QM38_205_SendLineWrite(WDFIOTARGET IoTarget, BOOLEAN Value, WDFOBJECT Parent,
                                         PQM38_205_WRITE_FAILED OnFailed, PVOID Owner, WDFREQUEST *Request,
                                         PBOOLEAN Sent);

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_SendLineWrite)
#pragma alloc_text(PAGE, QM38_205_PerformOwnedWrite)
#pragma alloc_text(PAGE, QM38_205_PerformHardwareWrite)
#endif

// Builds the request around its own value byte and sends it. *Request is set
// as soon as the request exists, so the caller can delete it on failure.
// *Sent is TRUE once the target has taken the request: from then on the
// completion routine owns it.
NTSTATUS QM38_205_SendLineWrite(WDFIOTARGET IoTarget, BOOLEAN Value, WDFOBJECT Parent, PQM38_205_WRITE_FAILED OnFailed,
                                PVOID Owner, WDFREQUEST *Request, PBOOLEAN Sent)
{
    WDF_OBJECT_ATTRIBUTES RequestAttributes;
    WDF_OBJECT_ATTRIBUTES MemoryAttributes;
    PWRITE_REQUEST_CONTEXT RequestContext;
    WDFMEMORY Memory = WDF_NO_HANDLE;
    NTSTATUS Status;

    PAGED_CODE();

    // The value byte lives in the request's context: the send is asynchronous
    // and the byte is read when the controller completes the request.
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&RequestAttributes, WRITE_REQUEST_CONTEXT);
    RequestAttributes.ParentObject = Parent;
    Status = WdfRequestCreate(&RequestAttributes, IoTarget, Request);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_PerformHardwareWrite Error: WdfRequestCreate failed %x\n", Status);
        return Status;
    }

    RequestContext = GetWriteRequestContext(*Request);
    if (RequestContext == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_PerformHardwareWrite Error: RequestContext == NULL %x\n", Status);
        return Status;
    }
    // Exactly TRUE drives the line high; any other value drives it low.
    RequestContext->OnFailed = OnFailed;
    RequestContext->Owner = Owner;
    RequestContext->Value = 1;
    if (Value != TRUE) {
        RequestContext->Value = 0;
    }

    WDF_OBJECT_ATTRIBUTES_INIT(&MemoryAttributes);
    MemoryAttributes.ParentObject = *Request;
    Status = WdfMemoryCreatePreallocated(&MemoryAttributes, &RequestContext->Value, sizeof(RequestContext->Value),
                                         &Memory);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_PerformHardwareWrite Error: WdfMemoryCreatePreallocated failed %x\n", Status);
        return Status;
    }

    Status = WdfIoTargetFormatRequestForIoctl(IoTarget, *Request, IOCTL_GPIO_WRITE_PINS, Memory, NULL, Memory, NULL);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_PerformHardwareWrite Error: WdfIoTargetFormatRequestForIoctl failed %x\n",
                            Status);
        return Status;
    }

    WdfRequestSetCompletionRoutine(*Request, EvtRequestWriteCompletionRoutine, NULL);

    *Sent = WdfRequestSend(*Request, IoTarget, WDF_NO_SEND_OPTIONS);
    if (!*Sent) {
        Status = WdfRequestGetStatus(*Request);
        // A request the target did not take wrote nothing, whatever its status.
        if (NT_SUCCESS(Status)) {
            Status = STATUS_UNSUCCESSFUL;
        }
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_PerformHardwareWrite Error: WdfRequestSend failed %x\n", Status);
        return Status;
    }
    return STATUS_SUCCESS;
}

// Returns as soon as the request has been handed to the target; success says
// nothing about whether the line has changed yet. If the controller then
// fails the write, its completion calls OnFailed(Owner) (when OnFailed is not
// NULL). The request is a child of Parent, or of the driver when it is NULL.
NTSTATUS QM38_205_PerformOwnedWrite(WDFIOTARGET IoTarget, BOOLEAN Value, WDFOBJECT Parent,
                                    PQM38_205_WRITE_FAILED OnFailed, PVOID Owner)
{
    WDFREQUEST Request = WDF_NO_HANDLE;
    BOOLEAN Sent = FALSE;
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_PerformHardwareWrite\n");

    if (IoTarget == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_PerformHardwareWrite Error: IoTarget == NULL \n");
    } else {
        Status = QM38_205_SendLineWrite(IoTarget, Value, Parent, OnFailed, Owner, &Request, &Sent);
    }

    // Exactly one party deletes each request: this function for a request that
    // never reached the target (its memory object goes with it), the
    // completion routine for one that did.
    if (Request != WDF_NO_HANDLE && !Sent) {
        WdfObjectDelete(Request);
    }

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_PerformHardwareWrite:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}

NTSTATUS QM38_205_PerformHardwareWrite(WDFIOTARGET IoTarget, BOOLEAN Value)
{
    PAGED_CODE();

    return QM38_205_PerformOwnedWrite(IoTarget, Value, NULL, NULL, NULL);
}

// Resident: request completion may run at DISPATCH_LEVEL. A failed write is
// reported, and its owner, if it has one, is told. The routine reads nothing
// but its own request.
VOID EvtRequestWriteCompletionRoutine(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                                      WDFCONTEXT Context)
{
    PWRITE_REQUEST_CONTEXT RequestContext;

    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Params);
    UNREFERENCED_PARAMETER(Context);

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+EvtRequestWriteCompletionRoutine\n");

    if (!NT_SUCCESS(WdfRequestGetStatus(Request))) {
        QM38_205_DebugPrint(TRACE_LEVEL_WARNING, TRACE_FLAG_ENTRY_EXIT | TRACE_FLAG_MESSAGE,
                            "EvtRequestWriteCompletionRoutine Failed\r\n");
        RequestContext = GetWriteRequestContext(Request);
        if (RequestContext != NULL && RequestContext->OnFailed != NULL) {
            RequestContext->OnFailed(RequestContext->Owner);
        }
    }

    WdfObjectDelete(Request);

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-EvtRequestWriteCompletionRoutine:%s:%08X\n",
                        QM38_205_STATUS_TEXT(STATUS_SUCCESS), STATUS_SUCCESS);
}
