// SPDX-License-Identifier: MIT
// Device start, stop, teardown and device information.

#include <ntddk.h>
#include <wdf.h>
#include <hwnclx.h>

#include "device/device.h"
#include "trace/trace.h"
#include "vibration/vibration.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_StopDevice)
#pragma alloc_text(PAGE, QM38_205_UnInitializeDevice)
#pragma alloc_text(PAGE, QM38_205_QueryDeviceInformation)
#endif

// Both lines low, the drive line first, under StateLock so that an
// overlapping set-state does not start the drive between the two writes;
// success means both write requests were sent, not that the lines have
// changed.
static NTSTATUS QM38_205_LinesLow(PDEVICE_CONTEXT DeviceContext)
{
    BOOLEAN LockHeld = QM38_205_AcquireLock(DeviceContext->StateLock);
    NTSTATUS Status;

    Status = QM38_205_PerformHardwareWrite(DeviceContext->VibraIoTarget[VIBRA_DRIVE_LINE], FALSE);
    if (NT_SUCCESS(Status)) {
        Status = QM38_205_PerformHardwareWrite(DeviceContext->VibraIoTarget[VIBRA_ENABLE_LINE], FALSE);
    }
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StartDevice Error: QM38_205_PerformHardwareWrite failed %x\n", Status);
    }
    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->StateLock);
    }
    return Status;
}

// Resident.
NTSTATUS QM38_205_StartDevice(PVOID Context)
{
    PDEVICE_CONTEXT DeviceContext = (PDEVICE_CONTEXT)Context;
    NTSTATUS Status;

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_StartDevice\n");

    if (DeviceContext == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_StartDevice Error: Context NULL\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    Status = QM38_205_LinesLow(DeviceContext);

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_StartDevice:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}

// Ends a blink pattern, then sends the motor into its stop sequence without
// waiting for it, under StateLock. The stored state is kept, so get-state
// reports it as before. After a failed initialisation the blink timer may not
// exist: ending the pattern then does nothing, and the missing intensity
// timer fails the stop. A stop is a power transition: the timer resolution is
// left to the drive's next step to settle.
NTSTATUS QM38_205_StopDevice(PVOID Context)
{
    PDEVICE_CONTEXT DeviceContext = (PDEVICE_CONTEXT)Context;
    BOOLEAN LockHeld;
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_StopDevice\n");

    if (DeviceContext == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_StopDevice Error: Context NULL\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    LockHeld = QM38_205_AcquireLock(DeviceContext->StateLock);
    (VOID)QM38_205_StopBlink(DeviceContext);
    Status = QM38_205_StopVibration(DeviceContext);
    if (NT_SUCCESS(Status)) {
        (VOID)QM38_205_DeferResolution(DeviceContext);
    }
    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->StateLock);
    }
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StopDevice Error: QM38_205_StopVibration failed %x\n", Status);
        goto Exit;
    }

    Status = STATUS_SUCCESS;

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_StopDevice:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}

// Stops as a device stop does, then makes sure that nothing of the driver
// runs for this device once it returns (the class extension may release the
// context): no blink phase or drive step runs or is pending, and no report of
// a write reaches the drive. A stop sequence that could not finish is cut
// short with the enable line let go. Always succeeds; the framework deletes
// the objects with the device.
NTSTATUS QM38_205_UnInitializeDevice(WDFDEVICE Device, PVOID Context)
{
    PDEVICE_CONTEXT DeviceContext = (PDEVICE_CONTEXT)Context;
    NTSTATUS Status;

    PAGED_CODE();
    UNREFERENCED_PARAMETER(Device);

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_UnInitializeDevice\n");

    if (DeviceContext == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_UnInitializeDevice Error: Context NULL\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    (VOID)QM38_205_StopDevice(DeviceContext);
    // The blink pattern first: its runs start and stop the drive.
    (VOID)QM38_205_HaltBlink(DeviceContext);
    (VOID)QM38_205_HaltVibration(DeviceContext);
    Status = STATUS_SUCCESS;

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_UnInitializeDevice:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}

NTSTATUS QM38_205_QueryDeviceInformation(PVOID Context, PHWN_DEVICE_INFORMATION DeviceInformation)
{
    PDEVICE_CONTEXT DeviceContext = (PDEVICE_CONTEXT)Context;
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_QueryDeviceInformation\n");

    if (DeviceContext == NULL || DeviceInformation == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_QueryDeviceInformation Error: (Context == NULL) || (DeviceInformation == NULL)\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    DeviceInformation->Version = 1;
    DeviceInformation->Size = (USHORT)sizeof(HWN_DEVICE_INFORMATION);
    DeviceInformation->HwNCount = DeviceContext->HwNCount;
    Status = STATUS_SUCCESS;

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_QueryDeviceInformation:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}
