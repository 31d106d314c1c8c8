// SPDX-License-Identifier: MIT
// Request processing: turns one validated settings record into a motor
// operation and records the element's new state and settings.

#include <ntddk.h>
#include <wdf.h>
#include <hwnclx.h>

#include "hwn/request.h"
#include "trace/trace.h"
#include "vibration/vibration.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_ProcessRequest)
#endif

// Sends the motor into its stop sequence.
static NTSTATUS QM38_205_StopMotor(PDEVICE_CONTEXT DeviceContext)
{
    NTSTATUS Status = QM38_205_StopVibration(DeviceContext);

    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_ProcessRequest Error: QM38_205_StopVibration failed %x\n", Status);
    }
    return Status;
}

// Ends a blink pattern: no blink callback runs or is pending afterwards, then
// the motor is sent into its stop sequence.
static NTSTATUS QM38_205_EndBlink(PDEVICE_CONTEXT DeviceContext)
{
    (VOID)QM38_205_StopBlink(DeviceContext);
    return QM38_205_StopMotor(DeviceContext);
}

// An element stored off may still have its motor on: a start that failed, or
// a stop sequence that a fault cut short, can leave the enable line high. So
// an off always asks the drive to stop, unless this request has just done so
// by ending a blink; a drive at rest with its enable line low writes nothing.
// The element is off as far as the request goes: a drive that cannot be
// asked (no timer context) has no motor running, and the request succeeds.
static NTSTATUS QM38_205_TurnOff(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT DeviceContext, ULONG CurrentState,
                                 BOOLEAN MotorStopped)
{
    if (CurrentState == HWN_STATE_OFF) {
        QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_MESSAGE, "HwN ID %i Already Turned Off\n",
                            HwNSettingsInfo->HwNId);
        if (!MotorStopped) {
            (VOID)QM38_205_StopVibration(DeviceContext);
        }
        return STATUS_SUCCESS;
    }
    return QM38_205_StopMotor(DeviceContext);
}

// An element stored on whose drive is not running (a device stop came since,
// or a start or a step failed) is started again: on means on.
static NTSTATUS QM38_205_TurnOn(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT DeviceContext, ULONG CurrentState)
{
    NTSTATUS Status;

    if (CurrentState == HWN_STATE_ON && QM38_205_IsVibrationRunning(DeviceContext)) {
        QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_MESSAGE, "HwN ID %i Already Turned On\n",
                            HwNSettingsInfo->HwNId);
        return STATUS_SUCCESS;
    }
    Status = QM38_205_StartVibration(DeviceContext);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_ProcessRequest Error: QM38_205_StartVibration failed %x\n", Status);
    }
    return Status;
}

// Steady vibration is not stopped before a blink pattern starts.
static NTSTATUS QM38_205_Blink(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT DeviceContext)
{
    NTSTATUS Status = QM38_205_StartBlink(HwNSettingsInfo, DeviceContext);

    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_ProcessRequest Error: QM38_205_StartBlink failed %x\n", Status);
    }
    return Status;
}

static NTSTATUS QM38_205_ApplyState(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT DeviceContext, ULONG CurrentState,
                                    BOOLEAN MotorStopped)
{
    switch (HwNSettingsInfo->HwNSettings[HWN_SETTING_STATE]) {
    case HWN_STATE_OFF:
        return QM38_205_TurnOff(HwNSettingsInfo, DeviceContext, CurrentState, MotorStopped);
    case HWN_STATE_ON:
        return QM38_205_TurnOn(HwNSettingsInfo, DeviceContext, CurrentState);
    case HWN_STATE_BLINK:
        return QM38_205_Blink(HwNSettingsInfo, DeviceContext);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Indices 1 to 3 as the blink pattern may have rewritten them in the request.
static VOID QM38_205_StoreSettings(PHWN_SETTINGS Stored, PHWN_SETTINGS HwNSettingsInfo)
{
    Stored->HwNSettings[HWN_SETTING_STATE] = HwNSettingsInfo->HwNSettings[HWN_SETTING_STATE];
    for (ULONG Index = 0; Index <= HWN_SETTING_BLINK_CYCLES; Index++) {
        Stored->HwNSettings[Index] = HwNSettingsInfo->HwNSettings[Index];
    }
}

NTSTATUS QM38_205_ProcessRequest(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT DeviceContext)
{
    PHWN_SETTINGS Stored;
    ULONG CurrentState;
    BOOLEAN BlinkEnded = FALSE;
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_ProcessRequest\n");

    if (HwNSettingsInfo == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_ProcessRequest Error: HwNSettingsInfo NULL\n");
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    // The device has one element; a record about any other selects no stored
    // record and is refused without touching anything.
    if (DeviceContext == NULL || HwNSettingsInfo->HwNId >= QM38_205_STORED_RECORDS) {
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    Stored = &DeviceContext->ClientInformation.HwNSettingsInfo[HwNSettingsInfo->HwNId];
    CurrentState = Stored->HwNSettings[HWN_SETTING_STATE];

    if (CurrentState == HWN_STATE_BLINK) {
        Status = QM38_205_EndBlink(DeviceContext);
        if (!NT_SUCCESS(Status)) {
            goto Exit;
        }
        Stored->HwNSettings[HWN_SETTING_STATE] = HWN_STATE_OFF;
        CurrentState = HWN_STATE_OFF;
        BlinkEnded = TRUE;
    }

    // The blink pattern reads the stored state, so it is written only after
    // the motor operation has returned.
    Status = QM38_205_ApplyState(HwNSettingsInfo, DeviceContext, CurrentState, BlinkEnded);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    QM38_205_StoreSettings(Stored, HwNSettingsInfo);
    Status = STATUS_SUCCESS;

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_ProcessRequest:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}
