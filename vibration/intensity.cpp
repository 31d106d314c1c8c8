// SPDX-License-Identifier: MIT
// Vibration drive: the motor's enable line is held high while the intensity
// timer toggles the drive line in 3.3 ms steps: three kick-start pulses, a
// steady square wave, then a short stop sequence that lets the enable line go.

#include <ntddk.h>
#include <wdf.h>

#include "vibration/vibration.h"
#include "trace/trace.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_StartVibration)
#pragma alloc_text(PAGE, QM38_205_StopVibration)
#pragma alloc_text(PAGE, QM38_205_HaltVibration)
#pragma alloc_text(PAGE, EvtTimerIntensityCallback)
#endif

#define INTENSITY_STEP_US 3300ULL          // every kick-start and stop step
#define INTENSITY_KICK_PULSES 3
#define INTENSITY_STOP_STEPS 2
#define INTENSITY_RESOLUTION 10000         // 1 ms, in 100 ns units
#define INTENSITY_LOCK_TIMEOUT (-10000000LL)  // 1 s, relative

// Start and stop change the timer context under IntensityLock, waiting as
// long as it takes, so that a step sees each change whole and no stop request
// is overwritten by a step. Callers may hold BlinkLock, never the reverse.
// A device whose initialisation failed may have no lock: then there is
// nothing to serialise with. Returns TRUE when the lock is held.
static BOOLEAN QM38_205_AcquireIntensityLock(PDEVICE_CONTEXT DeviceContext)
{
    NTSTATUS Status;

    if (DeviceContext->IntensityLock == NULL) {
        return FALSE;
    }
    Status = WdfWaitLockAcquire(DeviceContext->IntensityLock, NULL);
    return (BOOLEAN)(NT_SUCCESS(Status) && Status != STATUS_TIMEOUT);
}

static PINTENSITY_TIMER_CONTEXT QM38_205_GetIntensityContext(PDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext == NULL || DeviceContext->IntensityTimer == NULL) {
        return NULL;
    }
    return WdfObjectGetTypedContext(DeviceContext->IntensityTimer, INTENSITY_TIMER_CONTEXT);
}

// The resolution is requested once per running drive and released once when
// it ends. The flag is exchanged atomically because a step that did not get
// the lock still makes the release test.
static VOID QM38_205_RequestTimerResolution(PINTENSITY_TIMER_CONTEXT TimerContext)
{
    if (!InterlockedExchange(&TimerContext->ResolutionHeld, TRUE)) {
        ExSetTimerResolution(INTENSITY_RESOLUTION, TRUE);
    }
}

static VOID QM38_205_ReleaseTimerResolution(PINTENSITY_TIMER_CONTEXT TimerContext)
{
    if (InterlockedExchange(&TimerContext->ResolutionHeld, FALSE)) {
        ExSetTimerResolution(0, FALSE);
    }
}

// Counters never wrap: a run of the callback after the drive has ended must
// not turn an exhausted count into four billion more steps.
static VOID QM38_205_CountDown(PULONG Count)
{
    if (*Count != 0) {
        *Count -= 1;
    }
}

// A step reads DeviceContext before it takes IntensityLock, so the pointer is
// stored only when it changes (the first start): rewriting the same value
// while a step reads it would still be a data race.
static VOID QM38_205_BindDevice(PINTENSITY_TIMER_CONTEXT TimerContext, PDEVICE_CONTEXT DeviceContext)
{
    if (TimerContext->DeviceContext != DeviceContext) {
        TimerContext->DeviceContext = DeviceContext;
    }
}

// Mode is written under IntensityLock, and read without it by a run that did
// not get the lock: both go through these.
static VOID QM38_205_SetMode(PINTENSITY_TIMER_CONTEXT TimerContext, INTENSITY_MODE Mode)
{
    InterlockedExchange((LONG volatile *)&TimerContext->Mode, (LONG)Mode);
}

static BOOLEAN QM38_205_IsStopping(PINTENSITY_TIMER_CONTEXT TimerContext)
{
    INTENSITY_MODE Mode = (INTENSITY_MODE)ReadAcquire((LONG const volatile *)&TimerContext->Mode);
    return (BOOLEAN)(Mode == IntensityModeStopRequested || Mode == IntensityModeStopping);
}

// Every field of the drive's course. ResolutionHeld, StepArmed and
// EnableRaised describe the platform, not the course, and stay as they are.
static VOID QM38_205_ResetIntensityContext(PINTENSITY_TIMER_CONTEXT TimerContext, PDEVICE_CONTEXT DeviceContext)
{
    TimerContext->KickPulseCount = INTENSITY_KICK_PULSES;
    TimerContext->StopStepCount = INTENSITY_STOP_STEPS;
    TimerContext->LineState = 1;
    TimerContext->OnTimeUs = INTENSITY_STEP_US;
    TimerContext->OffTimeUs = INTENSITY_STEP_US;
    QM38_205_SetMode(TimerContext, IntensityModeKickStart);
    QM38_205_BindDevice(TimerContext, DeviceContext);
}

static BOOLEAN QM38_205_IsStepArmed(PINTENSITY_TIMER_CONTEXT TimerContext)
{
    return (BOOLEAN)(ReadAcquire(&TimerContext->StepArmed) != 0);
}

static VOID QM38_205_MarkStepArmed(PINTENSITY_TIMER_CONTEXT TimerContext, BOOLEAN Armed)
{
    InterlockedExchange(&TimerContext->StepArmed, (LONG)Armed);
}

static BOOLEAN QM38_205_IsEnableRaised(PINTENSITY_TIMER_CONTEXT TimerContext)
{
    return (BOOLEAN)(ReadAcquire(&TimerContext->EnableRaised) != 0);
}

static VOID QM38_205_MarkEnableRaised(PINTENSITY_TIMER_CONTEXT TimerContext, BOOLEAN Raised)
{
    InterlockedExchange(&TimerContext->EnableRaised, (LONG)Raised);
}

// Arms the next step. The mark follows the arming, so that a run that gave
// up on the lock meanwhile cannot clear the mark of a step armed after it.
// Runs under IntensityLock.
static VOID QM38_205_ArmStep(WDFTIMER Timer, PINTENSITY_TIMER_CONTEXT TimerContext, ULONGLONG DelayUs)
{
    WdfTimerStart(Timer, -(LONGLONG)(DelayUs * 10));
    QM38_205_MarkStepArmed(TimerContext, TRUE);
}

// Asks for the stop sequence. A running drive's next step acts on it; when no
// step is coming and the enable line may be high (a step that failed or was
// skipped, a start that failed, an enable-low write that did not go through),
// one is armed, with a whole stop sequence if the last one had run out. A
// drive at rest with its enable line low is left alone: nothing is written.
// Runs under IntensityLock.
static VOID QM38_205_RequestStop(PDEVICE_CONTEXT DeviceContext, PINTENSITY_TIMER_CONTEXT TimerContext)
{
    QM38_205_SetMode(TimerContext, IntensityModeStopRequested);
    if (QM38_205_IsStepArmed(TimerContext) || !QM38_205_IsEnableRaised(TimerContext)) {
        return;
    }
    if (TimerContext->StopStepCount == 0) {
        TimerContext->StopStepCount = INTENSITY_STOP_STEPS;
    }
    QM38_205_BindDevice(TimerContext, DeviceContext);
    QM38_205_ArmStep(DeviceContext->IntensityTimer, TimerContext, INTENSITY_STEP_US);
}

// A stop must not end with the motor on: when a step of a stop sequence failed
// (a drive-line or enable-low write that did not go through) and the enable
// line may still be high, the sequence goes on 3.3 ms later, from the start
// if it had run out. A running drive's failed step is not retried: the next
// start or stop takes the drive up again. Runs under IntensityLock.
static VOID QM38_205_RetryStop(WDFTIMER Timer, PINTENSITY_TIMER_CONTEXT TimerContext)
{
    if (!QM38_205_IsStopping(TimerContext) || !QM38_205_IsEnableRaised(TimerContext) ||
        QM38_205_IsStepArmed(TimerContext)) {
        return;
    }
    if (TimerContext->StopStepCount == 0) {
        TimerContext->StopStepCount = INTENSITY_STOP_STEPS;
        QM38_205_SetMode(TimerContext, IntensityModeStopRequested);
    }
    QM38_205_ArmStep(Timer, TimerContext, INTENSITY_STEP_US);
}

// Both lines high, resolution requested, first step armed 3.3 ms from now.
// Runs under IntensityLock.
static NTSTATUS QM38_205_DriveLinesHigh(PDEVICE_CONTEXT DeviceContext, PINTENSITY_TIMER_CONTEXT TimerContext)
{
    NTSTATUS Status;

    Status = QM38_205_PerformHardwareWrite(DeviceContext->VibraIoTarget[VIBRA_ENABLE_LINE], TRUE);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StartVibration Error: QM38_205_PerformHardwareWrite failed %x\n", Status);
        return Status;
    }
    QM38_205_MarkEnableRaised(TimerContext, TRUE);
    Status = QM38_205_PerformHardwareWrite(DeviceContext->VibraIoTarget[VIBRA_DRIVE_LINE], TRUE);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StartVibration Error: QM38_205_PerformHardwareWrite failed %x\n", Status);
        return Status;
    }

    QM38_205_RequestTimerResolution(TimerContext);
    // A pending timer is re-armed: the kick-start begins again from now.
    QM38_205_ArmStep(DeviceContext->IntensityTimer, TimerContext, INTENSITY_STEP_US);
    return STATUS_SUCCESS;
}

// Starts the drive from any state, restarting a running or stopping one. A
// start that fails leaves no drive running on and no enable line high: it
// sends the drive into the stop sequence, from the re-initialised fields.
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

    LockHeld = QM38_205_AcquireIntensityLock(DeviceContext);
    QM38_205_ResetIntensityContext(TimerContext, DeviceContext);
    Status = QM38_205_DriveLinesHigh(DeviceContext, TimerContext);
    if (!NT_SUCCESS(Status)) {
        QM38_205_RequestStop(DeviceContext, TimerContext);
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
        LockHeld = QM38_205_AcquireIntensityLock(DeviceContext);
        QM38_205_RequestStop(DeviceContext, TimerContext);
        if (LockHeld) {
            WdfWaitLockRelease(DeviceContext->IntensityLock);
        }
    }

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_StopVibration:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}

// The device is going away, and its timers with it, so a stop sequence that
// has not finished would leave the motor on: the drive's steps are stopped
// and the enable line is let go at once, the resolution released. A drive at
// rest with its enable line low is left alone.
NTSTATUS QM38_205_HaltVibration(PDEVICE_CONTEXT DeviceContext)
{
    PINTENSITY_TIMER_CONTEXT TimerContext;
    BOOLEAN LockHeld;
    NTSTATUS Status = STATUS_SUCCESS;

    PAGED_CODE();

    TimerContext = QM38_205_GetIntensityContext(DeviceContext);
    if (TimerContext == NULL || !QM38_205_IsEnableRaised(TimerContext)) {
        return STATUS_SUCCESS;
    }
    // Waits for a running step; none runs after this.
    WdfTimerStop(DeviceContext->IntensityTimer, TRUE);
    LockHeld = QM38_205_AcquireIntensityLock(DeviceContext);
    QM38_205_MarkStepArmed(TimerContext, FALSE);
    TimerContext->StopStepCount = 0;
    QM38_205_SetMode(TimerContext, IntensityModeStopping);
    QM38_205_MarkEnableRaised(TimerContext, FALSE);
    // Watched, as a stop sequence's: its request goes with the timer, so the
    // framework lets it finish before the device goes.
    Status = QM38_205_PerformWatchedWrite(DeviceContext->VibraIoTarget[VIBRA_ENABLE_LINE], FALSE,
                                          DeviceContext->IntensityTimer, &TimerContext->EnableRaised);
    if (!NT_SUCCESS(Status)) {
        QM38_205_MarkEnableRaised(TimerContext, TRUE);
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "EvtTimerIntensityCallback Error: QM38_205_PerformHardwareWrite failed %x\n", Status);
    }
    QM38_205_ReleaseTimerResolution(TimerContext);
    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->IntensityLock);
    }
    return Status;
}

// The step table: from LineState and Mode as they are before the step, stores
// the step's field changes and returns the drive-line value and the delay to
// the next step.
static BOOLEAN QM38_205_NextIntensityStep(PINTENSITY_TIMER_CONTEXT TimerContext, PULONGLONG DelayUs)
{
    if (TimerContext->LineState == 1) {
        // The line was high: every mode lets it go low.
        TimerContext->LineState = 0;
        switch (TimerContext->Mode) {
        case IntensityModeKickStart:
            *DelayUs = INTENSITY_STEP_US;
            QM38_205_CountDown(&TimerContext->KickPulseCount);
            if (TimerContext->KickPulseCount == 0) {
                QM38_205_SetMode(TimerContext, IntensityModeRun);
            }
            break;
        case IntensityModeRun:
        case IntensityModeStopRequested:
            *DelayUs = TimerContext->OffTimeUs;
            break;
        default:
            *DelayUs = INTENSITY_STEP_US;
            break;
        }
        return FALSE;
    }

    *DelayUs = INTENSITY_STEP_US;
    switch (TimerContext->Mode) {
    case IntensityModeStopRequested:
        // First stop step: the line stays low for one more fixed step.
        QM38_205_SetMode(TimerContext, IntensityModeStopping);
        QM38_205_CountDown(&TimerContext->StopStepCount);
        return FALSE;
    case IntensityModeStopping:
        TimerContext->LineState = 1;
        QM38_205_CountDown(&TimerContext->StopStepCount);
        return TRUE;
    case IntensityModeRun:
        TimerContext->LineState = 1;
        *DelayUs = TimerContext->OnTimeUs;
        return TRUE;
    default:
        TimerContext->LineState = 1;
        return TRUE;
    }
}

// One step under IntensityLock: writes the drive line, then re-arms, or, when
// the stop sequence is over, lets the enable line go. Returns the last
// write's status; a failed drive-line write leaves the timer idle.
static NTSTATUS QM38_205_RunIntensityStep(WDFTIMER Timer, PINTENSITY_TIMER_CONTEXT TimerContext)
{
    PDEVICE_CONTEXT DeviceContext = TimerContext->DeviceContext;
    ULONGLONG DelayUs = 0;
    BOOLEAN Value;
    NTSTATUS Status;

    // A step after a finished stop sequence comes from an enable-low write
    // that the controller failed: the whole sequence runs again.
    if (TimerContext->StopStepCount == 0 && QM38_205_IsStopping(TimerContext) &&
        QM38_205_IsEnableRaised(TimerContext)) {
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
    // returns; a write that is not sent, or fails later, sets it again.
    QM38_205_MarkEnableRaised(TimerContext, FALSE);
    Status = QM38_205_PerformWatchedWrite(DeviceContext->VibraIoTarget[VIBRA_ENABLE_LINE], FALSE, Timer,
                                          &TimerContext->EnableRaised);
    if (!NT_SUCCESS(Status)) {
        QM38_205_MarkEnableRaised(TimerContext, TRUE);
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "EvtTimerIntensityCallback Error: QM38_205_PerformHardwareWrite failed %x\n", Status);
    }
    return Status;
}

// One step of the drive. Overlapping runs are serialised by IntensityLock; a
// run that does not get it within 1 s skips its step, re-arming it only in a
// stop sequence. Every
// run that reaches the context takes up the armed step, so that the next stop
// knows whether a step is still coming.
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
    DeviceContext = TimerContext->DeviceContext;

    if (DeviceContext->IntensityLock != NULL) {
        Status = WdfWaitLockAcquire(DeviceContext->IntensityLock, &Timeout);
        LockHeld = (BOOLEAN)(NT_SUCCESS(Status) && Status != STATUS_TIMEOUT);
    } else {
        Status = STATUS_SUCCESS;
    }

    QM38_205_MarkStepArmed(TimerContext, FALSE);
    if (!NT_SUCCESS(Status) || Status == STATUS_TIMEOUT) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "EvtTimerIntensityCallback Error:  WdfWaitLockAcquire failed %x\n", Status);
        // The skipped step of a stop sequence is tried again; its fields are
        // as they were, so only the timer is armed.
        if (QM38_205_IsStopping(TimerContext) && QM38_205_IsEnableRaised(TimerContext) &&
            !QM38_205_IsStepArmed(TimerContext)) {
            QM38_205_ArmStep(Timer, TimerContext, INTENSITY_STEP_US);
        }
    } else {
        Status = QM38_205_RunIntensityStep(Timer, TimerContext);
        if (!NT_SUCCESS(Status)) {
            QM38_205_RetryStop(Timer, TimerContext);
        }
    }

    // Made on every path, also after a skipped step: the release happens once,
    // whichever run finds the stop sequence over first.
    if (TimerContext->StopStepCount == 0) {
        QM38_205_ReleaseTimerResolution(TimerContext);
    }

    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->IntensityLock);
    }

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-EvtTimerIntensityCallback:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
}
