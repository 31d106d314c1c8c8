// SPDX-License-Identifier: MIT
// Vibration drive: the motor's enable line is held high while the intensity
// timer toggles the drive line in 3.3 ms steps: three kick-start pulses, a
// steady square wave, then a short stop sequence that lets the enable line go.
//
// The drive's states, as its mode and marks say them:
//   running   KickStart or Run with a step armed; stalled without one (a step
//             failed or was skipped): the next start or stop takes it up;
//   stopping  StopRequested or Stopping with a step armed;
//   at rest   StopRequested or Stopping, no step armed, resolution no longer
//             wanted: the enable line low, or a stop given up until the next
//             one.
// A stop is owed while a stop was asked and the enable line may be high;
// QM38_205_ReconcileDrive is the one place that decides what a stopping drive
// does next once a step has run or failed, or a stop was asked.

#include <ntddk.h>
#include <wdf.h>

#include "vibration/vibration.h"
#include "trace/trace.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_StartVibration)
#pragma alloc_text(PAGE, QM38_205_StopVibration)
#pragma alloc_text(PAGE, QM38_205_IsVibrationRunning)
#pragma alloc_text(PAGE, QM38_205_HaltVibration)
#pragma alloc_text(PAGE, QM38_205_DeferResolution)
#pragma alloc_text(PAGE, EvtTimerIntensityCallback)
#endif

#define INTENSITY_STEP_US 3300ULL          // every kick-start, stop and retry step
#define INTENSITY_KICK_PULSES 3
#define INTENSITY_STOP_STEPS 2
#define INTENSITY_LOCK_TIMEOUT (-10000000LL)  // 1 s, relative
// How often the drive re-arms a stop that faults cut short, per stop asked:
// a transient fault clears within a retry or two, four leave room for faults
// back to back, and a fault that never clears costs at most four more short
// sequences before the drive gives up until the next off or stop.
#define INTENSITY_STOP_TRIES 4

// Mode is written under IntensityLock and read without it by a run that did
// not get the lock and by the report of a failed write.
static VOID QM38_205_SetMode(PINTENSITY_TIMER_CONTEXT TimerContext, INTENSITY_MODE Mode)
{
    InterlockedExchange((LONG volatile *)&TimerContext->Mode, (LONG)Mode);
}

static BOOLEAN QM38_205_IsStopping(PINTENSITY_TIMER_CONTEXT TimerContext)
{
    LONG Mode = ReadAcquire((LONG const volatile *)&TimerContext->Mode);
    return (BOOLEAN)(Mode == IntensityModeStopRequested || Mode == IntensityModeStopping);
}

static BOOLEAN QM38_205_IsStopOwed(PINTENSITY_TIMER_CONTEXT TimerContext)
{
    return (BOOLEAN)(QM38_205_IsStopping(TimerContext) && ReadAcquire(&TimerContext->EnableRaised) != 0);
}

static PINTENSITY_TIMER_CONTEXT QM38_205_GetIntensityContext(PDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext == NULL || DeviceContext->IntensityTimer == NULL) {
        return NULL;
    }
    return WdfObjectGetTypedContext(DeviceContext->IntensityTimer, INTENSITY_TIMER_CONTEXT);
}

// Start and stop change the course under IntensityLock (QM38_205_AcquireLock),
// waiting as long as it takes, so that a step sees each change whole. Callers
// may hold StateLock and BlinkLock, never the reverse.

// The mark comes first: a run that takes the step up clears it after the
// timer fires, never before the step was armed.
static VOID QM38_205_ArmStep(WDFTIMER Timer, PINTENSITY_TIMER_CONTEXT TimerContext, ULONGLONG DelayUs)
{
    InterlockedExchange(&TimerContext->StepArmed, TRUE);
    WdfTimerStart(Timer, -(LONGLONG)(DelayUs * 10));
}

// Re-arms a stop that is owed and has no step coming, 3.3 ms on, as long as
// tries are left; the step then goes on with the sequence, or runs it again
// from the start if it had run out. Touches only the marks and the timer, so
// it may run without IntensityLock and at DISPATCH_LEVEL.
static VOID QM38_205_RetryStop(WDFTIMER Timer, PINTENSITY_TIMER_CONTEXT TimerContext)
{
    LONG Tries;

    if (!QM38_205_IsStopOwed(TimerContext) ||
        InterlockedCompareExchange(&TimerContext->StepArmed, TRUE, FALSE) != FALSE) {
        return;
    }
    Tries = InterlockedIncrement(&TimerContext->StopTries);
    if (Tries <= INTENSITY_STOP_TRIES) {
        WdfTimerStart(Timer, -(LONGLONG)(INTENSITY_STEP_US * 10));
        return;
    }
    InterlockedExchange(&TimerContext->StepArmed, FALSE);
    if (Tries == INTENSITY_STOP_TRIES + 1) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_RetryStop Error: stop given up after %d tries; the enable line may be high\n",
                            INTENSITY_STOP_TRIES);
    }
}

// What a stopping drive does next. A running or stalled drive keeps its
// course (and its resolution). A stopping one has its stop re-armed while one
// is owed and tries are left, and holds the 1 ms resolution while steps are
// coming, so that they keep their 3.3 ms (also those of a start that failed
// before asking for it); otherwise it is at rest, or has given up until the
// next stop, and lets the resolution go. The request itself follows when the
// caller settles it.
// PASSIVE_LEVEL; with IntensityLock, or in a run that could not take it.
static VOID QM38_205_ReconcileDrive(WDFTIMER Timer, PINTENSITY_TIMER_CONTEXT TimerContext)
{
    if (!QM38_205_IsStopping(TimerContext)) {
        return;
    }
    QM38_205_RetryStop(Timer, TimerContext);
    QM38_205_WantResolution(&TimerContext->ResolutionWanted,
                            (BOOLEAN)(ReadAcquire(&TimerContext->StepArmed) != FALSE));
}

// Asks for the stop sequence, with a fresh set of tries. Under IntensityLock.
static VOID QM38_205_RequestStop(WDFTIMER Timer, PINTENSITY_TIMER_CONTEXT TimerContext)
{
    QM38_205_SetMode(TimerContext, IntensityModeStopRequested);
    InterlockedExchange(&TimerContext->StopTries, 0);
    QM38_205_ReconcileDrive(Timer, TimerContext);
}

// Resident: runs in the completion of the drive's enable-low write when the
// controller failed it, at up to DISPATCH_LEVEL. The line may still be high,
// so the stop is owed again.
static VOID QM38_205_EnableLowFailed(PVOID Owner)
{
    PINTENSITY_TIMER_CONTEXT TimerContext = (PINTENSITY_TIMER_CONTEXT)Owner;

    if (!ExAcquireRundownProtection(&TimerContext->Rundown)) {
        return;  // torn down: the device is not touched again
    }
    InterlockedExchange(&TimerContext->EnableRaised, TRUE);
    QM38_205_RetryStop(TimerContext->DeviceContext->IntensityTimer, TimerContext);
    ExReleaseRundownProtection(&TimerContext->Rundown);
}

// Every field of the course, whatever state the drive is in; DeviceContext,
// which a step reads before IntensityLock, only when it changes (first start).
static VOID QM38_205_ResetIntensityContext(PINTENSITY_TIMER_CONTEXT TimerContext, PDEVICE_CONTEXT DeviceContext)
{
    TimerContext->KickPulseCount = INTENSITY_KICK_PULSES;
    TimerContext->StopStepCount = INTENSITY_STOP_STEPS;
    TimerContext->LineState = 1;
    TimerContext->OnTimeUs = INTENSITY_STEP_US;
    TimerContext->OffTimeUs = INTENSITY_STEP_US;
    QM38_205_SetMode(TimerContext, IntensityModeKickStart);
    if (TimerContext->DeviceContext != DeviceContext) {
        TimerContext->DeviceContext = DeviceContext;
    }
}

// Both lines high, resolution wanted, first step armed 3.3 ms from now
// (a pending step is re-armed). Under IntensityLock.
static NTSTATUS QM38_205_DriveLinesHigh(PDEVICE_CONTEXT DeviceContext, PINTENSITY_TIMER_CONTEXT TimerContext)
{
    NTSTATUS Status;

    Status = QM38_205_PerformHardwareWrite(DeviceContext->VibraIoTarget[VIBRA_ENABLE_LINE], TRUE);
    if (NT_SUCCESS(Status)) {
        InterlockedExchange(&TimerContext->EnableRaised, TRUE);
        Status = QM38_205_PerformHardwareWrite(DeviceContext->VibraIoTarget[VIBRA_DRIVE_LINE], TRUE);
    }
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StartVibration Error: QM38_205_PerformHardwareWrite failed %x\n", Status);
        return Status;
    }
    QM38_205_WantResolution(&TimerContext->ResolutionWanted, TRUE);
    QM38_205_ArmStep(DeviceContext->IntensityTimer, TimerContext, INTENSITY_STEP_US);
    return STATUS_SUCCESS;
}

// Starts the drive from any state. A start that fails sends the drive into
// its stop sequence, so that an enable line it raised does not stay high.
NTSTATUS QM38_205_StartVibration(PDEVICE_CONTEXT DeviceContext)
{
    PINTENSITY_TIMER_CONTEXT TimerContext;
    BOOLEAN LockHeld;
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_StartVibration\n");

    if (DeviceContext == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_StartVibration Error: Function input NULL\n");
        goto Exit;
    }

    TimerContext = QM38_205_GetIntensityContext(DeviceContext);
    if (TimerContext == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StartVibration Error: TimerContext == NULL %x\n", Status);
        goto Exit;
    }

    LockHeld = QM38_205_AcquireLock(DeviceContext->IntensityLock);
    QM38_205_ResetIntensityContext(TimerContext, DeviceContext);
    Status = QM38_205_DriveLinesHigh(DeviceContext, TimerContext);
    if (!NT_SUCCESS(Status)) {
        QM38_205_RequestStop(DeviceContext->IntensityTimer, TimerContext);
    }
    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->IntensityLock);
    }

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_StartVibration:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}

// Asks for the stop sequence: the next step acts on it. Writes no line; arms
// a step only when none is coming while the enable line may be high.
NTSTATUS QM38_205_StopVibration(PDEVICE_CONTEXT DeviceContext)
{
    PINTENSITY_TIMER_CONTEXT TimerContext;
    BOOLEAN LockHeld;
    NTSTATUS Status = STATUS_SUCCESS;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_StopVibration\n");

    TimerContext = QM38_205_GetIntensityContext(DeviceContext);
    if (TimerContext == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StopVibration Error: TimerContext == NULL %x\n", Status);
    } else {
        LockHeld = QM38_205_AcquireLock(DeviceContext->IntensityLock);
        QM38_205_RequestStop(DeviceContext->IntensityTimer, TimerContext);
        if (LockHeld) {
            WdfWaitLockRelease(DeviceContext->IntensityLock);
        }
    }

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_StopVibration:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}

BOOLEAN QM38_205_IsVibrationRunning(PDEVICE_CONTEXT DeviceContext)
{
    PINTENSITY_TIMER_CONTEXT TimerContext;
    BOOLEAN LockHeld;
    BOOLEAN Running;

    PAGED_CODE();

    TimerContext = QM38_205_GetIntensityContext(DeviceContext);
    if (TimerContext == NULL) {
        return FALSE;
    }
    LockHeld = QM38_205_AcquireLock(DeviceContext->IntensityLock);
    Running = (BOOLEAN)(!QM38_205_IsStopping(TimerContext) && ReadAcquire(&TimerContext->StepArmed) != FALSE);
    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->IntensityLock);
    }
    return Running;
}

// Once the run-down is complete no run of the callback and no report of a
// failed write touches the drive or re-arms its timer; the pending step is
// then cancelled and the enable line let go with a plain write (no step can
// follow it up). Teardown is a power transition, in which the timer
// resolution cannot be settled: the drive stops wanting it, and the request
// follows at the next settling, at the latest when the driver unloads. Nor
// does teardown wait for a run's last steps, which may be settling it and
// touch nothing of the device.
NTSTATUS QM38_205_HaltVibration(PDEVICE_CONTEXT DeviceContext)
{
    PINTENSITY_TIMER_CONTEXT TimerContext;
    NTSTATUS Status = STATUS_SUCCESS;

    PAGED_CODE();

    TimerContext = QM38_205_GetIntensityContext(DeviceContext);
    if (TimerContext == NULL) {
        return STATUS_SUCCESS;
    }
    ExWaitForRundownProtectionRelease(&TimerContext->Rundown);
    WdfTimerStop(DeviceContext->IntensityTimer, FALSE);
    InterlockedExchange(&TimerContext->StepArmed, FALSE);
    if (InterlockedExchange(&TimerContext->EnableRaised, FALSE) != FALSE) {
        Status = QM38_205_PerformHardwareWrite(DeviceContext->VibraIoTarget[VIBRA_ENABLE_LINE], FALSE);
        if (!NT_SUCCESS(Status)) {
            QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                                "QM38_205_HaltVibration Error: QM38_205_PerformHardwareWrite failed %x\n", Status);
        }
    }
    QM38_205_WantResolution(&TimerContext->ResolutionWanted, FALSE);
    return Status;
}

// A device stop may have changed what is wanted (a pattern ended, or a drive
// at rest) with no step coming to settle it: one step is armed, which writes
// nothing unless a stop is owed, and settles the request when it has run.
NTSTATUS QM38_205_DeferResolution(PDEVICE_CONTEXT DeviceContext)
{
    PINTENSITY_TIMER_CONTEXT TimerContext;

    PAGED_CODE();

    TimerContext = QM38_205_GetIntensityContext(DeviceContext);
    if (TimerContext == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!QM38_205_IsResolutionSettled() &&
        InterlockedCompareExchange(&TimerContext->StepArmed, TRUE, FALSE) == FALSE) {
        WdfTimerStart(DeviceContext->IntensityTimer, -(LONGLONG)(INTENSITY_STEP_US * 10));
    }
    return STATUS_SUCCESS;
}

// The step table: from LineState and Mode as they are before the step, stores
// the step's field changes and returns the drive-line value and the delay to
// the next step.
static BOOLEAN QM38_205_NextIntensityStep(PINTENSITY_TIMER_CONTEXT TimerContext, PULONGLONG DelayUs)
{
    INTENSITY_MODE Mode = TimerContext->Mode;

    *DelayUs = INTENSITY_STEP_US;
    if (TimerContext->LineState == 1) {
        // The line was high: every mode lets it go low.
        TimerContext->LineState = 0;
        if (Mode == IntensityModeRun || Mode == IntensityModeStopRequested) {
            *DelayUs = TimerContext->OffTimeUs;
        } else if (Mode == IntensityModeKickStart && --TimerContext->KickPulseCount == 0) {
            QM38_205_SetMode(TimerContext, IntensityModeRun);
        }
        return FALSE;
    }
    if (Mode == IntensityModeStopRequested) {
        // First stop step: the line stays low for one more fixed step.
        QM38_205_SetMode(TimerContext, IntensityModeStopping);
        TimerContext->StopStepCount -= 1;
        return FALSE;
    }
    TimerContext->LineState = 1;
    if (Mode == IntensityModeStopping) {
        TimerContext->StopStepCount -= 1;
    } else if (Mode == IntensityModeRun) {
        *DelayUs = TimerContext->OnTimeUs;
    }
    return TRUE;
}

// One step under IntensityLock: writes the drive line, then re-arms, or, when
// the stop sequence is over, lets the enable line go. A stopping drive with
// no stop owed writes nothing; one that finds the sequence run out (the step
// was armed to retry a stop) runs it again from the start. Returns the last
// write's status.
static NTSTATUS QM38_205_RunIntensityStep(WDFTIMER Timer, PINTENSITY_TIMER_CONTEXT TimerContext)
{
    PDEVICE_CONTEXT DeviceContext = TimerContext->DeviceContext;
    ULONGLONG DelayUs;
    BOOLEAN Value;
    NTSTATUS Status;

    if (QM38_205_IsStopping(TimerContext) && !QM38_205_IsStopOwed(TimerContext)) {
        return STATUS_SUCCESS;
    }
    if (TimerContext->StopStepCount == 0) {
        TimerContext->StopStepCount = INTENSITY_STOP_STEPS;
        QM38_205_SetMode(TimerContext, IntensityModeStopRequested);
    }

    Value = QM38_205_NextIntensityStep(TimerContext, &DelayUs);
    Status = QM38_205_PerformHardwareWrite(DeviceContext->VibraIoTarget[VIBRA_DRIVE_LINE], Value);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "EvtTimerIntensityCallback Error:  QM38_205_PerformHardwareWrite(IoTarget, TRUE) failed %x\n",
                            Status);
        return Status;
    }
    if (TimerContext->StopStepCount != 0) {
        QM38_205_ArmStep(Timer, TimerContext, DelayUs);
        return Status;
    }

    // Cleared before the write, whose completion may come before the send
    // returns; a write that is not sent, or that the controller fails, sets
    // it again.
    InterlockedExchange(&TimerContext->EnableRaised, FALSE);
    Status = QM38_205_PerformOwnedWrite(DeviceContext->VibraIoTarget[VIBRA_ENABLE_LINE], FALSE, Timer,
                                        QM38_205_EnableLowFailed, TimerContext);
    if (!NT_SUCCESS(Status)) {
        InterlockedExchange(&TimerContext->EnableRaised, TRUE);
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "EvtTimerIntensityCallback Error: QM38_205_PerformHardwareWrite failed %x\n", Status);
    }
    return Status;
}

// One step of the drive. Overlapping runs are serialised by IntensityLock; a
// run that does not get it within 1 s skips its step. Every run that reaches
// the drive takes up the armed step and then lets the drive decide what
// follows: a failed or skipped step of a stop is retried, a failed or skipped
// step of a running drive leaves it stalled. The run settles the timer
// resolution last, holding nothing.
VOID EvtTimerIntensityCallback(WDFTIMER Timer)
{
    PINTENSITY_TIMER_CONTEXT TimerContext;
    PDEVICE_CONTEXT DeviceContext;
    LONGLONG Timeout = INTENSITY_LOCK_TIMEOUT;
    BOOLEAN LockHeld = FALSE;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+EvtTimerIntensityCallback\n");

    // A context that no start has filled has no device to drive.
    TimerContext = WdfObjectGetTypedContext(Timer, INTENSITY_TIMER_CONTEXT);
    if (TimerContext == NULL || TimerContext->DeviceContext == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "EvtTimerIntensityCallback Error: TimerContext == NULL\n");
        goto Exit;
    }
    if (!ExAcquireRundownProtection(&TimerContext->Rundown)) {
        Status = STATUS_SUCCESS;  // the device is torn down: nothing of it is touched
        goto Exit;
    }
    DeviceContext = TimerContext->DeviceContext;

    if (DeviceContext->IntensityLock != NULL) {
        Status = WdfWaitLockAcquire(DeviceContext->IntensityLock, &Timeout);
        LockHeld = (BOOLEAN)(NT_SUCCESS(Status) && Status != STATUS_TIMEOUT);
    } else {
        Status = STATUS_SUCCESS;
    }
    InterlockedExchange(&TimerContext->StepArmed, FALSE);

    if (!NT_SUCCESS(Status) || Status == STATUS_TIMEOUT) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "EvtTimerIntensityCallback Error:  WdfWaitLockAcquire failed %x\n", Status);
    } else {
        Status = QM38_205_RunIntensityStep(Timer, TimerContext);
    }
    QM38_205_ReconcileDrive(Timer, TimerContext);

    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->IntensityLock);
    }
    ExReleaseRundownProtection(&TimerContext->Rundown);
    QM38_205_SettleResolution();

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-EvtTimerIntensityCallback:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
}
