// SPDX-License-Identifier: MIT
// The set-state and get-state callbacks of the class extension.

#include <ntddk.h>
#include <hwnclx.h>

#include "hwn/request.h"
#include "trace/trace.h"
#include "vibration/vibration.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_SetState)
#pragma alloc_text(PAGE, QM38_205_GetState)
#endif

// Bytes of a payload with RequestCount records; 64-bit, so it never wraps.
static ULONGLONG QM38_205_PayloadBytes(ULONG RequestCount)
{
    return (ULONGLONG)HWN_HEADER_SIZE + (ULONGLONG)sizeof(HWN_SETTINGS) * RequestCount;
}

// Validation reads the header and the record it declares, and no record may be
// applied from a buffer too short to hold it: such a buffer is refused before
// anything is read from it. A header declaring more than one record is left
// to validation, which refuses it after reading the header alone.
static BOOLEAN QM38_205_SetStateBufferIsShort(PHWN_HEADER Buffer, ULONG BufferLength)
{
    if (BufferLength < HWN_HEADER_SIZE) {
        return TRUE;
    }
    if (Buffer->HwNRequests > HWN_MAX_REQUESTS) {
        return FALSE;
    }
    return BufferLength < QM38_205_PayloadBytes(Buffer->HwNRequests) ? TRUE : FALSE;
}

// Applies the records of a validated payload one by one; ByteCount receives the
// bytes of the records applied, with the header.
static NTSTATUS QM38_205_ApplyRecords(PDEVICE_CONTEXT DeviceContext, PHWN_HEADER Buffer, PULONGLONG ByteCount)
{
    NTSTATUS Status;

    *ByteCount = HWN_HEADER_SIZE;
    // NOLINTNEXTLINE(clang-analyzer-core.NullDereference): QM38_205_DataValidate refuses a null Buffer first
    for (ULONG Index = 0; Index < Buffer->HwNRequests; Index++) {
        PHWN_SETTINGS Record = &Buffer->HwNSettingsInfo[Index];
        PHWN_SETTINGS Stored = &DeviceContext->ClientInformation.HwNSettingsInfo[Record->HwNId];

        if (Record->HwNType != Stored->HwNType) {
            QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_SetState Error: HwNType Mismatch\n");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        Status = QM38_205_ProcessRequest(Record, DeviceContext);
        if (!NT_SUCCESS(Status)) {
            QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                                "QM38_205_SetState Error: QM38_205_ProcessRequest failed %x\n", Status);
            return Status;
        }
        *ByteCount += sizeof(HWN_SETTINGS);
    }
    return STATUS_SUCCESS;
}

// Under StateLock, so that overlapping calls each see the stored record and
// the drive whole; the timer resolution is settled once the lock is let go.
static NTSTATUS QM38_205_ValidateAndApply(PDEVICE_CONTEXT DeviceContext, PHWN_HEADER Buffer, PULONGLONG ByteCount)
{
    BOOLEAN LockHeld = QM38_205_AcquireLock(DeviceContext->StateLock);
    NTSTATUS Status;

    Status = QM38_205_DataValidate(Buffer, DeviceContext);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_SetState Error: QM38_205_DataValidate failed %x\n", Status);
    } else {
        Status = QM38_205_ApplyRecords(DeviceContext, Buffer, ByteCount);
    }
    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->StateLock);
    }
    return Status;
}

NTSTATUS QM38_205_SetState(PVOID Context, PHWN_HEADER Buffer, ULONG BufferLength, PULONG BytesWritten)
{
    PDEVICE_CONTEXT DeviceContext = (PDEVICE_CONTEXT)Context;
    ULONGLONG ByteCount = 0;
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_SetState\n");

    if (DeviceContext == NULL || BytesWritten == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_SetState Error: Context == NULL || BytesWritten == NULL\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    // A null Buffer is refused by validation.
    if (Buffer != NULL && QM38_205_SetStateBufferIsShort(Buffer, BufferLength)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_SetState Error: BufferLength != Bytes Written\n");
        Status = STATUS_DATA_ERROR;
        goto Exit;
    }

    Status = QM38_205_ValidateAndApply(DeviceContext, Buffer, &ByteCount);
    QM38_205_SettleResolution();
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    // The records stay applied when the length does not match them.
    if (BufferLength != ByteCount) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_SetState Error: BufferLength != Bytes Written\n");
        Status = STATUS_DATA_ERROR;
        goto Exit;
    }

    *BytesWritten = BufferLength;
    Status = STATUS_SUCCESS;

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_SetState:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}

// Without an input payload: the whole stored client information.
static NTSTATUS QM38_205_ReportAll(PDEVICE_CONTEXT DeviceContext, PHWN_HEADER OutputBuffer, ULONG OutputBufferLength,
                                   PULONG ByteCount)
{
    ULONG StoredSize = DeviceContext->ClientInformation.HwNPayloadSize;

    if (OutputBufferLength < StoredSize) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_GetStateError: Not enough memory to return the client information. "
                            "Expected=%d bytes, provided=%d bytes\n",
                            StoredSize, OutputBufferLength);
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(OutputBuffer, &DeviceContext->ClientInformation, StoredSize);
    *ByteCount = StoredSize;
    return STATUS_SUCCESS;
}

// Both buffers must hold the header and the records the input declares; the
// header itself is checked before its record count is read.
static NTSTATUS QM38_205_CheckSelectLengths(PHWN_HEADER InputBuffer, ULONG InputBufferLength, ULONG OutputBufferLength)
{
    ULONGLONG Needed;

    if (InputBufferLength < HWN_HEADER_SIZE) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_GetState Error: Invalid InputBufferLength param.\n");
        return STATUS_INVALID_PARAMETER;
    }
    Needed = QM38_205_PayloadBytes(InputBuffer->HwNRequests);
    if (InputBufferLength < Needed) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_GetState Error: Invalid InputBufferLength param.\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (OutputBufferLength < Needed) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_GetState Error: Invalid OutputBufferLength param.\n");
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// Writes the output header and the stored record each input record selects.
// Input and output may be one buffer: each HwNId is read before its slot is
// written, and the input's HwNPayloadSize is read only afterwards.
static VOID QM38_205_CopySelected(PDEVICE_CONTEXT DeviceContext, PHWN_HEADER OutputBuffer, PHWN_HEADER InputBuffer,
                                  ULONG RequestCount, PULONG ByteCount)
{
    OutputBuffer->HwNPayloadSize = DeviceContext->ClientInformation.HwNPayloadSize;
    OutputBuffer->HwNPayloadVersion = DeviceContext->ClientInformation.HwNPayloadVersion;
    *ByteCount = HWN_HEADER_SIZE;
    for (ULONG Index = 0; Index < RequestCount; Index++) {
        ULONG HwNId = InputBuffer->HwNSettingsInfo[Index].HwNId;

        RtlCopyMemory(&OutputBuffer->HwNSettingsInfo[Index], &DeviceContext->ClientInformation.HwNSettingsInfo[HwNId],
                      sizeof(HWN_SETTINGS));
        *ByteCount += sizeof(HWN_SETTINGS);
    }
}

// With an input payload: the stored records its records select, by HwNId.
static NTSTATUS QM38_205_ReportSelected(PDEVICE_CONTEXT DeviceContext, PHWN_HEADER OutputBuffer,
                                        ULONG OutputBufferLength, PHWN_HEADER InputBuffer, ULONG InputBufferLength,
                                        PULONG ByteCount)
{
    ULONG RequestCount;
    ULONG InputPayloadSize;
    NTSTATUS Status;

    Status = QM38_205_CheckSelectLengths(InputBuffer, InputBufferLength, OutputBufferLength);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    Status = QM38_205_DataValidate(InputBuffer, DeviceContext);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_GetStateQM38_205_DataValidate returned error %08X\n", Status);
        return Status;
    }

    if (InputBufferLength > OutputBufferLength) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_GetStateInputBufferLength cannot be greater than OutputBufferLength");
        return STATUS_DATA_ERROR;
    }

    RequestCount = InputBuffer->HwNRequests;
    QM38_205_CopySelected(DeviceContext, OutputBuffer, InputBuffer, RequestCount, ByteCount);

    InputPayloadSize = InputBuffer->HwNPayloadSize;
    if (InputPayloadSize != *ByteCount) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_GetStateIncomplete read. Expected=%d bytes, read=%d bytes\n", InputPayloadSize,
                            *ByteCount);
        return STATUS_DATA_ERROR;
    }

    OutputBuffer->HwNRequests = InputBuffer->HwNRequests;
    return STATUS_SUCCESS;
}

NTSTATUS QM38_205_GetState(PVOID Context, PHWN_HEADER OutputBuffer, ULONG OutputBufferLength, PHWN_HEADER InputBuffer,
                           ULONG InputBufferLength, PULONG BytesRead)
{
    PDEVICE_CONTEXT DeviceContext = (PDEVICE_CONTEXT)Context;
    ULONG ByteCount = 0;
    BOOLEAN LockHeld;
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_GetState\n");

    if (DeviceContext == NULL || BytesRead == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_GetState Error: Invalid Inputs\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    if (OutputBuffer == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_GetStateNo Buffers Supplied\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    // A set-state in progress stores its record under StateLock: the copy
    // reads each record whole.
    LockHeld = QM38_205_AcquireLock(DeviceContext->StateLock);
    if (InputBuffer == NULL) {
        Status = QM38_205_ReportAll(DeviceContext, OutputBuffer, OutputBufferLength, &ByteCount);
    } else {
        Status = QM38_205_ReportSelected(DeviceContext, OutputBuffer, OutputBufferLength, InputBuffer,
                                         InputBufferLength, &ByteCount);
    }
    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->StateLock);
    }

Exit:
    if (BytesRead != NULL) {
        *BytesRead = ByteCount;
    }
    // Get-state traces its entry line again where other operations trace
    // their exit line.
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_GetState\n");
    return Status;
}
