// SPDX-License-Identifier: MIT
// Blink pattern: the motor runs for a share of each period and rests for the
// rest, for a number of periods. The blink timer ends each phase; the 3.3 ms
// pulse train inside an on-phase is the intensity drive's business.

#include <ntddk.h>
#include <wdf.h>

#include "hwn/request.h"
#include "vibration/vibration.h"
#include "trace/trace.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_StartBlink)
#pragma alloc_text(PAGE, QM38_205_StopBlink)
#pragma alloc_text(PAGE, QM38_205_HaltBlink)
#pragma alloc_text(PAGE, EvtTimerBlinkCallback)
#endif

#define BLINK_SHORTEST_ON_MS 33
#define BLINK_DUTY_CEILING 100
#define BLINK_LOCK_TIMEOUT (-10000000LL)  // 1 s, relative
#define BLINK_ELEMENT_COUNT (sizeof(((PDEVICE_CONTEXT)0)->ClientInformation.HwNSettingsInfo) / sizeof(HWN_SETTINGS))
#define BLINK_MAX_RECORD_MS 0xFFFFFFFFULL
// A phase end that could not take BlinkLock is tried again this much later,
// at most BLINK_PHASE_TRIES times in a row: a finite pattern still ends with
// the motor off after a transient fault, and a fault that never clears costs
// a few runs, not a run every few milliseconds.
#define BLINK_RETRY_MS 10
#define BLINK_PHASE_TRIES 4

static LONGLONG QM38_205_BlinkDueTime(ULONGLONG Ms)
{
    return -(LONGLONG)(Ms * 10000);
}

// Products are formed in 64 bits, so a long period at a high duty cycle is
// judged by its true on-time, never by a wrapped one.
static BOOLEAN QM38_205_IsBlinkRunnable(ULONG PeriodMs, ULONG Duty, ULONG Cycles)
{
    if (PeriodMs == 0 || Duty == 0 || Cycles == 0) {
        return FALSE;
    }
    return (BOOLEAN)((ULONGLONG)PeriodMs * Duty / 100 >= BLINK_SHORTEST_ON_MS);
}

// A duty cycle of 100 or more means "on the whole period"; several such
// periods fold into one on-phase as long as all of them. The folded length is
// stored back into the 32-bit record field, so a length that does not fit is
// clamped to the longest the field holds (0xFFFFFFFF ms, about 49.7 days).
static VOID QM38_205_NormaliseBlink(PHWN_SETTINGS HwNSettingsInfo)
{
    ULONG *Settings = HwNSettingsInfo->HwNSettings;
    ULONGLONG FoldedMs;

    if (Settings[HWN_SETTING_BLINK_DUTY] < BLINK_DUTY_CEILING) {
        return;
    }
    Settings[HWN_SETTING_BLINK_DUTY] = BLINK_DUTY_CEILING;
    if (Settings[HWN_SETTING_BLINK_CYCLES] > 1) {
        FoldedMs = (ULONGLONG)Settings[HWN_SETTING_BLINK_CYCLES] * Settings[HWN_SETTING_BLINK_PERIOD];
        if (FoldedMs > BLINK_MAX_RECORD_MS) {
            FoldedMs = BLINK_MAX_RECORD_MS;
        }
        Settings[HWN_SETTING_BLINK_CYCLES] = 1;
        Settings[HWN_SETTING_BLINK_PERIOD] = (ULONG)FoldedMs;
    }
}

// A pattern that is not run turns a running motor off.
static NTSTATUS QM38_205_RefuseBlink(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT Context)
{
    NTSTATUS Status;

    if (Context->ClientInformation.HwNSettingsInfo[HwNSettingsInfo->HwNId].HwNSettings[HWN_SETTING_STATE] == 0) {
        return STATUS_SUCCESS;
    }
    Status = QM38_205_StopVibration(Context);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StartBlink Error: QM38_205_HardwareTurnOff failed %x\n", Status);
        return Status;
    }
    return STATUS_SUCCESS;
}

// Arms the end of the phase that begins now, remembering when it is due.
// Under BlinkLock.
static VOID QM38_205_ArmBlinkPhase(WDFTIMER Timer, PBLINK_TIMER_CONTEXT TimerContext, ULONGLONG Ms)
{
    TimerContext->PhaseDue = KeQueryInterruptTime() + Ms * 10000;
    WdfTimerStart(Timer, QM38_205_BlinkDueTime(Ms));
}

// Fills the timer context from the normalised record, turns the motor on and
// arms the end of the first on-phase, all under BlinkLock, so that a run of
// the callback sees the pattern whole. A run left over from an earlier
// pattern finds its phase not yet due and does nothing. A running pattern
// wants the 1 ms resolution until it ends; the caller settles it.
static NTSTATUS QM38_205_RunBlink(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT Context)
{
    PBLINK_TIMER_CONTEXT TimerContext = NULL;
    const ULONG *Settings = HwNSettingsInfo->HwNSettings;
    BOOLEAN LockHeld;
    NTSTATUS Status;

    if (Context->BlinkTimer != NULL) {
        TimerContext = WdfObjectGetTypedContext(Context->BlinkTimer, BLINK_TIMER_CONTEXT);
    }
    if (TimerContext == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_StartBlink Error: TimerContext == NULL %x\n",
                            Status);
        return Status;
    }

    LockHeld = QM38_205_AcquireLock(Context->BlinkLock);
    TimerContext->IsOn = 1;
    TimerContext->CyclesRemaining = Settings[HWN_SETTING_BLINK_CYCLES];
    // A run reads the pointer before it takes BlinkLock: it is stored only
    // when it changes (the first pattern).
    if (TimerContext->DeviceContext != Context) {
        TimerContext->DeviceContext = Context;
    }
    TimerContext->OnTimeMs = (ULONGLONG)Settings[HWN_SETTING_BLINK_PERIOD] * Settings[HWN_SETTING_BLINK_DUTY] / 100;
    TimerContext->OffTimeMs = Settings[HWN_SETTING_BLINK_PERIOD] - TimerContext->OnTimeMs;
    TimerContext->PhaseDue = 0;

    Status = QM38_205_StartVibration(Context);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StartBlink Error:  QM38_205_HardwareTurnOn failed %x\n", Status);
    } else {
        InterlockedExchange(&TimerContext->PhaseTries, 0);
        QM38_205_WantResolution(&TimerContext->ResolutionWanted, TRUE);
        QM38_205_ArmBlinkPhase(Context->BlinkTimer, TimerContext, TimerContext->OnTimeMs);
    }
    if (LockHeld) {
        WdfWaitLockRelease(Context->BlinkLock);
    }
    return Status;
}

// Starts the pattern that the record asks for, normalising the record in
// place, or, for a pattern too short to run, stops the motor if it is on.
NTSTATUS QM38_205_StartBlink(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT Context)
{
    const ULONG *Settings;
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_StartBlink\n");

    if (HwNSettingsInfo == NULL || Context == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_StartBlink Error: Function input NULL\n");
        goto Exit;
    }

    // The device has one element: an identifier beyond it has no line and no
    // stored record, whoever calls.
    if (HwNSettingsInfo->HwNId >= BLINK_ELEMENT_COUNT || Context->VibraIoTarget[HwNSettingsInfo->HwNId] == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_StartBlink Error: Context->VibraIoTarget[HwNSettingsInfo->HwNId] == NULL \n");
        goto Exit;
    }

    // The duty cycle is judged as requested, before it is clamped.
    Settings = HwNSettingsInfo->HwNSettings;
    if (!QM38_205_IsBlinkRunnable(Settings[HWN_SETTING_BLINK_PERIOD], Settings[HWN_SETTING_BLINK_DUTY],
                                  Settings[HWN_SETTING_BLINK_CYCLES])) {
        Status = QM38_205_RefuseBlink(HwNSettingsInfo, Context);
        goto Exit;
    }

    QM38_205_NormaliseBlink(HwNSettingsInfo);
    Status = QM38_205_RunBlink(HwNSettingsInfo, Context);

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_StartBlink:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}

// Ends a pattern for good. No phase is pending once BlinkLock is let go, so
// a run that comes after it (one that fired before the stop) does nothing,
// and the stop with wait cancels a pending phase and waits for a running one.
// Never called from the blink callback: a stop with wait from a timer's own
// callback would wait on itself.
NTSTATUS QM38_205_StopBlink(PDEVICE_CONTEXT Context)
{
    PBLINK_TIMER_CONTEXT TimerContext;
    BOOLEAN LockHeld;

    PAGED_CODE();

    if (Context == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Context->BlinkTimer == NULL) {
        return STATUS_SUCCESS;
    }

    LockHeld = QM38_205_AcquireLock(Context->BlinkLock);
    TimerContext = WdfObjectGetTypedContext(Context->BlinkTimer, BLINK_TIMER_CONTEXT);
    if (TimerContext != NULL) {
        TimerContext->PhaseDue = 0;
        QM38_205_WantResolution(&TimerContext->ResolutionWanted, FALSE);
    }
    if (LockHeld) {
        WdfWaitLockRelease(Context->BlinkLock);
    }

    WdfTimerStop(Context->BlinkTimer, TRUE);
    return STATUS_SUCCESS;
}

// Teardown, after the pattern was stopped: once the run-down is complete no
// run of the callback touches the device or re-arms the timer, and the
// phase a run re-armed is cancelled.
NTSTATUS QM38_205_HaltBlink(PDEVICE_CONTEXT Context)
{
    PBLINK_TIMER_CONTEXT TimerContext;

    PAGED_CODE();

    if (Context == NULL || Context->BlinkTimer == NULL) {
        return STATUS_SUCCESS;
    }
    TimerContext = WdfObjectGetTypedContext(Context->BlinkTimer, BLINK_TIMER_CONTEXT);
    if (TimerContext != NULL) {
        ExWaitForRundownProtectionRelease(&TimerContext->Rundown);
        QM38_205_WantResolution(&TimerContext->ResolutionWanted, FALSE);
    }
    WdfTimerStop(Context->BlinkTimer, TRUE);
    return STATUS_SUCCESS;
}

// Ends one phase under BlinkLock: counts an ended on-phase, re-arms for the
// next phase (or lets the resolution go after the last) before switching the
// motor, then switches it. Returns the motor call's status; a failed call is
// reported and the pattern goes on. The run never settles the resolution
// itself: a device stop waits for it, and the drive's own steps settle what
// was wanted.
static NTSTATUS QM38_205_EndBlinkPhase(WDFTIMER Timer, PBLINK_TIMER_CONTEXT TimerContext)
{
    NTSTATUS Status;

    if (TimerContext->IsOn == 1 && TimerContext->CyclesRemaining != 0) {
        TimerContext->CyclesRemaining -= 1;
    }

    TimerContext->PhaseDue = 0;
    if (TimerContext->CyclesRemaining != 0) {
        QM38_205_ArmBlinkPhase(Timer, TimerContext,
                               TimerContext->IsOn == 1 ? TimerContext->OffTimeMs : TimerContext->OnTimeMs);
    } else {
        QM38_205_WantResolution(&TimerContext->ResolutionWanted, FALSE);
    }

    if (TimerContext->IsOn == 1) {
        TimerContext->IsOn = 0;
        Status = QM38_205_StopVibration(TimerContext->DeviceContext);
        if (!NT_SUCCESS(Status)) {
            QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                                "EvtTimerBlinkCallback Error:  QM38_205_StopVibration(TimerContext->DeviceContext) failed %x\n",
                                Status);
        }
        return Status;
    }

    TimerContext->IsOn = 1;
    Status = QM38_205_StartVibration(TimerContext->DeviceContext);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "EvtTimerBlinkCallback Error:  QM38_205_StartVibration(TimerContext->DeviceContext) failed %x\n",
                            Status);
    }
    return Status;
}

// A run that could not take BlinkLock leaves the pattern as it is and comes
// back BLINK_RETRY_MS later, a few times at most. Touches only the tries and
// the timer.
static VOID QM38_205_RetryBlinkPhase(WDFTIMER Timer, PBLINK_TIMER_CONTEXT TimerContext)
{
    LONG Tries = InterlockedIncrement(&TimerContext->PhaseTries);

    if (Tries <= BLINK_PHASE_TRIES) {
        WdfTimerStart(Timer, QM38_205_BlinkDueTime(BLINK_RETRY_MS));
    } else if (Tries == BLINK_PHASE_TRIES + 1) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "EvtTimerBlinkCallback Error: phase end given up after %d tries\n", BLINK_PHASE_TRIES);
    }
}

// End of a phase. Overlapping runs are serialised by BlinkLock; a run that
// does not get it within 1 s tries again shortly. A run before its phase is
// due (one that fired for a pattern since replaced) or after the pattern
// ended does nothing, so that it cannot act on another pattern.
VOID EvtTimerBlinkCallback(WDFTIMER Timer)
{
    PBLINK_TIMER_CONTEXT TimerContext;
    PDEVICE_CONTEXT DeviceContext;
    LONGLONG Timeout = BLINK_LOCK_TIMEOUT;
    BOOLEAN LockHeld = FALSE;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+EvtTimerBlinkCallback\n");

    // A context that no start has filled has no device to drive.
    TimerContext = WdfObjectGetTypedContext(Timer, BLINK_TIMER_CONTEXT);
    if (TimerContext == NULL || TimerContext->DeviceContext == NULL) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "EvtTimerBlinkCallback Error: TimerContext == NULL\n");
        goto Exit;
    }
    if (!ExAcquireRundownProtection(&TimerContext->Rundown)) {
        Status = STATUS_SUCCESS;  // the device is torn down: nothing of it is touched
        goto Exit;
    }
    DeviceContext = TimerContext->DeviceContext;

    if (DeviceContext->BlinkLock != NULL) {
        Status = WdfWaitLockAcquire(DeviceContext->BlinkLock, &Timeout);
        LockHeld = (BOOLEAN)(NT_SUCCESS(Status) && Status != STATUS_TIMEOUT);
    } else {
        Status = STATUS_SUCCESS;
    }

    if (!NT_SUCCESS(Status) || Status == STATUS_TIMEOUT) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "EvtTimerBlinkCallback Error:  WdfWaitLockAcquire failed %x\n", Status);
        QM38_205_RetryBlinkPhase(Timer, TimerContext);
    } else if (TimerContext->PhaseDue == 0 || KeQueryInterruptTime() < TimerContext->PhaseDue) {
        Status = STATUS_SUCCESS;
    } else {
        InterlockedExchange(&TimerContext->PhaseTries, 0);
        Status = QM38_205_EndBlinkPhase(Timer, TimerContext);
    }

    if (LockHeld) {
        WdfWaitLockRelease(DeviceContext->BlinkLock);
    }
    ExReleaseRundownProtection(&TimerContext->Rundown);

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-EvtTimerBlinkCallback:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
}
