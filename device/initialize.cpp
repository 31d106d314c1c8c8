// SPDX-License-Identifier: MIT
// Device initialisation: fills the client context, opens the motor's GPIO
// lines through the Resource Hub and creates the blink and intensity timers
// with their wait locks, and the device's state lock.

#include <ntddk.h>
#include <wdf.h>
#include <hwnclx.h>
#include <reshub.h>

#include "device/device.h"
#include "hwn/request.h"
#include "trace/trace.h"
#include "vibration/vibration.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_InitializeDevice)
#endif

// The stored client information right after initialisation: one record for the
// device's one element, state off.
static const HWN_HEADER QM38_205_ClientInformationTemplate = {
    sizeof(HWN_HEADER),
    HWN_PAYLOAD_VERSION,
    HWN_MAX_REQUESTS,
    {{0, 2, {0x5555, 0, 0, 0, 0x5555, 0xFFFFFFFF, HWN_STATE_OFF}}},
};

static VOID QM38_205_SetUpContext(PDEVICE_CONTEXT DeviceContext, WDFDEVICE Device)
{
    // The class extension hands the context over uninitialised; whatever an
    // earlier initialisation left in it is forgotten, not released.
    RtlZeroMemory(DeviceContext, sizeof(DEVICE_CONTEXT));
    DeviceContext->Device = Device;
    DeviceContext->HwNCount = 1;
    RtlCopyMemory(&DeviceContext->ClientInformation, &QM38_205_ClientInformationTemplate, sizeof(HWN_HEADER));
}

// Tests every descriptor before anything is created: the list may hold only the
// enable line and the drive line, as GPIO I/O connections.
static NTSTATUS QM38_205_FindConnections(WDFCMRESLIST Resources, ULONGLONG ConnectionIds[VIBRA_LINE_COUNT],
                                         PULONG ConnectionCount)
{
    ULONG Count = WdfCmResourceListGetCount(Resources);

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_MESSAGE, "Resources Found %i\n", Count);

    for (ULONG Index = 0; Index < Count; Index++) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor = WdfCmResourceListGetDescriptor(Resources, Index);

        // A descriptor the framework cannot produce is as unusable as a
        // descriptor of the wrong kind.
        if (Descriptor == NULL || Descriptor->Type != CmResourceTypeConnection) {
            QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_MESSAGE, "Found Non-expected resource %i\n", Index);
            return STATUS_UNSUCCESSFUL;
        }
        if (Descriptor->u.Connection.Class != CM_RESOURCE_CONNECTION_CLASS_GPIO ||
            Descriptor->u.Connection.Type != CM_RESOURCE_CONNECTION_TYPE_GPIO_IO || Index >= VIBRA_LINE_COUNT) {
            QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                                "QM38_205_InitializeDevice Error: Invalid Connection Type\n");
            return STATUS_UNSUCCESSFUL;
        }
        ConnectionIds[Index] =
            ((ULONGLONG)Descriptor->u.Connection.IdHighPart << 32) | (ULONGLONG)Descriptor->u.Connection.IdLowPart;
        QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_MESSAGE, "Found Resource number %i\n", Index);
    }

    *ConnectionCount = Count;
    return STATUS_SUCCESS;
}

// Creates VibraIoTarget[Index] as a child of the device and opens it, for
// exclusive writing, by the connection's Resource Hub path.
static NTSTATUS QM38_205_OpenConnection(PDEVICE_CONTEXT DeviceContext, ULONG Index, ULONGLONG ConnectionId)
{
    WDF_OBJECT_ATTRIBUTES Attributes;
    WDF_IO_TARGET_OPEN_PARAMS OpenParams;
    WCHAR PathBuffer[RESOURCE_HUB_PATH_CHARS];
    UNICODE_STRING Path;
    NTSTATUS Status;

    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = DeviceContext->Device;
    Status = WdfIoTargetCreate(DeviceContext->Device, &Attributes, &DeviceContext->VibraIoTarget[Index]);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_InitializeDevice Error: WdfIoTargetCreate number %i failed %x\n", Index, Status);
        return Status;
    }

    RtlInitEmptyUnicodeString(&Path, PathBuffer, sizeof(PathBuffer));
    Status = RESOURCE_HUB_CREATE_PATH_FROM_ID(&Path, (ULONG)ConnectionId, (ULONG)(ConnectionId >> 32));
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_InitializeDevice Error: RESOURCE_HUB_CREATE_PATH_FROM_ID number %i failed %x\n",
                            Index, Status);
        return Status;
    }

    RtlZeroMemory(&OpenParams, sizeof(OpenParams));
    OpenParams.Size = sizeof(OpenParams);
    OpenParams.Type = WdfIoTargetOpenByName;
    OpenParams.TargetDeviceName = Path;
    OpenParams.DesiredAccess = FILE_GENERIC_WRITE;
    OpenParams.ShareAccess = 0;
    OpenParams.FileAttributes = 0;
    OpenParams.CreateDisposition = FILE_OPEN;
    OpenParams.CreateOptions = FILE_NON_DIRECTORY_FILE;
    Status = WdfIoTargetOpen(DeviceContext->VibraIoTarget[Index], &OpenParams);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_InitializeDevice Error: WdfIoTargetOpen number %i failed %x\n", Index, Status);
        return Status;
    }

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_MESSAGE, "Successfully opened resource %i\n", Index);
    return STATUS_SUCCESS;
}

// One-shot, passive-level timers without framework serialisation: each
// callback serialises its own runs with its wait lock. Timers and locks are
// children of the drive line's I/O target; without one the framework refuses
// them for want of a parent.
static VOID QM38_205_InitTimerConfig(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc)
{
    WDF_TIMER_CONFIG_INIT(Config, EvtTimerFunc);
    Config->Period = 0;
    Config->AutomaticSerialization = FALSE;
    Config->TolerableDelay = 0;
}

static VOID QM38_205_SetTimerAttributes(PWDF_OBJECT_ATTRIBUTES Attributes, PDEVICE_CONTEXT DeviceContext)
{
    Attributes->ExecutionLevel = WdfExecutionLevelPassive;
    Attributes->ParentObject = DeviceContext->VibraIoTarget[VIBRA_DRIVE_LINE];
}

static NTSTATUS QM38_205_CreateLock(PDEVICE_CONTEXT DeviceContext, WDFWAITLOCK *Lock)
{
    WDF_OBJECT_ATTRIBUTES Attributes;

    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = DeviceContext->VibraIoTarget[VIBRA_DRIVE_LINE];
    return WdfWaitLockCreate(&Attributes, Lock);
}

static NTSTATUS QM38_205_CreateBlinkTimerAndLock(PDEVICE_CONTEXT DeviceContext)
{
    WDF_TIMER_CONFIG Config;
    WDF_OBJECT_ATTRIBUTES Attributes;
    NTSTATUS Status;

    QM38_205_InitTimerConfig(&Config, EvtTimerBlinkCallback);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&Attributes, BLINK_TIMER_CONTEXT);
    QM38_205_SetTimerAttributes(&Attributes, DeviceContext);
    Status = WdfTimerCreate(&Config, &Attributes, &DeviceContext->BlinkTimer);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_InitializeDevice Error: WdfTimerCreate failed %x\n",
                            Status);
        return Status;
    }

    Status = QM38_205_CreateLock(DeviceContext, &DeviceContext->BlinkLock);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_InitializeDevice Error:  WdfWaitLockCreate failed for Blink lock %x\n", Status);
    }
    return Status;
}

static NTSTATUS QM38_205_CreateIntensityTimerAndLock(PDEVICE_CONTEXT DeviceContext)
{
    WDF_TIMER_CONFIG Config;
    WDF_OBJECT_ATTRIBUTES Attributes;
    NTSTATUS Status;

    QM38_205_InitTimerConfig(&Config, EvtTimerIntensityCallback);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&Attributes, INTENSITY_TIMER_CONTEXT);
    QM38_205_SetTimerAttributes(&Attributes, DeviceContext);
    Status = WdfTimerCreate(&Config, &Attributes, &DeviceContext->IntensityTimer);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_InitializeDevice Error: WdfTimerCreate failed %x\n",
                            Status);
        return Status;
    }

    Status = QM38_205_CreateLock(DeviceContext, &DeviceContext->IntensityLock);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_InitializeDevice Error:  WdfWaitLockCreate failed for Intensity lock %x\n", Status);
    }
    return Status;
}

static NTSTATUS QM38_205_CreateStateLock(PDEVICE_CONTEXT DeviceContext)
{
    WDF_OBJECT_ATTRIBUTES Attributes;
    NTSTATUS Status;

    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = DeviceContext->Device;
    Status = WdfWaitLockCreate(&Attributes, &DeviceContext->StateLock);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_InitializeDevice Error:  WdfWaitLockCreate failed for State lock %x\n", Status);
    }
    return Status;
}

// Nothing created here is deleted or closed on failure: the framework deletes
// every object with its parent, and the context keeps what was set up so far.
NTSTATUS QM38_205_InitializeDevice(WDFDEVICE Device, PVOID Context, WDFCMRESLIST ResourcesRaw,
                                   WDFCMRESLIST ResourcesTranslated)
{
    PDEVICE_CONTEXT DeviceContext = (PDEVICE_CONTEXT)Context;
    ULONGLONG ConnectionIds[VIBRA_LINE_COUNT] = {0, 0};
    ULONG ConnectionCount = 0;
    NTSTATUS Status;

    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourcesRaw);

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_InitializeDevice\n");

    if (DeviceContext == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_InitializeDevice Error: Context NULL\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    QM38_205_SetUpContext(DeviceContext, Device);

    Status = QM38_205_FindConnections(ResourcesTranslated, ConnectionIds, &ConnectionCount);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    for (ULONG Index = 0; Index < ConnectionCount; Index++) {
        Status = QM38_205_OpenConnection(DeviceContext, Index, ConnectionIds[Index]);
        if (!NT_SUCCESS(Status)) {
            goto Exit;
        }
    }

    Status = QM38_205_CreateBlinkTimerAndLock(DeviceContext);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    Status = QM38_205_CreateIntensityTimerAndLock(DeviceContext);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    Status = QM38_205_CreateStateLock(DeviceContext);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    Status = STATUS_SUCCESS;

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_InitializeDevice:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}
