// SPDX-License-Identifier: MIT
// The vibration engine: GPIO line writes, the intensity drive and the blink
// pattern.
#pragma once

#include <wdf.h>
#include <gpio.h>

#include "device/device.h"

// --- GPIO line write ---------------------------------------------------------

// Called in the completion of an owned write that the controller failed, at
// up to DISPATCH_LEVEL, with the owner the writer named.
typedef VOID QM38_205_WRITE_FAILED(PVOID Owner);
typedef QM38_205_WRITE_FAILED *PQM38_205_WRITE_FAILED;

// The value byte of a write lives in its request, so that it outlives the
// asynchronous send: the same byte is the request's input and output buffer.
// An owned write also carries whom to tell when the controller fails it.
typedef struct _WRITE_REQUEST_CONTEXT {
    UCHAR Value;
    PQM38_205_WRITE_FAILED OnFailed;
    PVOID Owner;
} WRITE_REQUEST_CONTEXT, *PWRITE_REQUEST_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WRITE_REQUEST_CONTEXT, GetWriteRequestContext)

EXTERN_C NTSTATUS QM38_205_PerformHardwareWrite(WDFIOTARGET IoTarget, BOOLEAN Value);
// The same write, whose request is a child of Parent (which must outlive the
// owner's interest in it); OnFailed(Owner) runs if the controller fails it.
EXTERN_C NTSTATUS QM38_205_PerformOwnedWrite(WDFIOTARGET IoTarget, BOOLEAN Value, WDFOBJECT Parent,
                                             PQM38_205_WRITE_FAILED OnFailed, PVOID Owner);
EXTERN_C EVT_WDF_REQUEST_COMPLETION_ROUTINE EvtRequestWriteCompletionRoutine;

// --- timer resolution --------------------------------------------------------

// Records whether the drive or pattern that owns Want wants the 1 ms timer
// resolution; the request follows at the next settling. Any level.
EXTERN_C VOID QM38_205_WantResolution(LONG volatile *Want, BOOLEAN Wanted);
EXTERN_C BOOLEAN QM38_205_IsResolutionSettled(VOID);
// Makes or gives back the request as the wants say. PASSIVE_LEVEL, with no
// lock or run-down held, never inside a device start, stop or teardown.
EXTERN_C VOID QM38_205_SettleResolution(VOID);
EXTERN_C VOID QM38_205_ResetResolution(VOID);    // driver load
EXTERN_C VOID QM38_205_ReleaseResolution(VOID);  // driver unload

// --- intensity drive -----------------------------------------------------------

typedef enum _INTENSITY_MODE {
    IntensityModeKickStart = 0,
    IntensityModeRun = 1,
    IntensityModeStopRequested = 2,
    IntensityModeStopping = 3,
} INTENSITY_MODE;
C_ASSERT(sizeof(INTENSITY_MODE) == sizeof(LONG));

// The course of the steps (up to DeviceContext) changes only under
// IntensityLock. The fields after it say what the platform has been asked and
// are read and written with interlocked operations, also without the lock.
typedef struct _INTENSITY_TIMER_CONTEXT {
    ULONG KickPulseCount;
    ULONG StopStepCount;
    ULONG LineState;
    ULONGLONG OnTimeUs;
    ULONGLONG OffTimeUs;
    INTENSITY_MODE Mode;
    PDEVICE_CONTEXT DeviceContext;
    // TRUE while the drive wants the 1 ms timer resolution: from a start
    // until it comes to rest.
    LONG ResolutionWanted;
    // TRUE while the enable line may be high: from a start whose enable write
    // was sent until a stop's enable-low write that the controller did not
    // fail.
    LONG EnableRaised;
    // TRUE from the arming of a step until the run of the callback that takes
    // it up.
    LONG StepArmed;
    // The drive's own re-armings of a stop since the stop was asked.
    LONG StopTries;
    // Held by each run of the callback and each report of a failed enable-low
    // write; run down at teardown, after which neither touches the device.
    EX_RUNDOWN_REF Rundown;
} INTENSITY_TIMER_CONTEXT, *PINTENSITY_TIMER_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(INTENSITY_TIMER_CONTEXT, GetIntensityTimerContext)

EXTERN_C NTSTATUS QM38_205_StartVibration(PDEVICE_CONTEXT DeviceContext);
EXTERN_C NTSTATUS QM38_205_StopVibration(PDEVICE_CONTEXT DeviceContext);
// TRUE while the drive runs (kick-start or steady drive) with its next step
// coming; FALSE when it was asked to stop or has stalled.
EXTERN_C BOOLEAN QM38_205_IsVibrationRunning(PDEVICE_CONTEXT DeviceContext);
// For a device stop, which may not settle the timer resolution itself: when
// the request no longer follows the wants and no step is coming, arms a step
// that settles it.
EXTERN_C NTSTATUS QM38_205_DeferResolution(PDEVICE_CONTEXT DeviceContext);
// Teardown: no step runs or is pending afterwards and no report of a write
// reaches the drive; the enable line is let go if it may be high.
EXTERN_C NTSTATUS QM38_205_HaltVibration(PDEVICE_CONTEXT DeviceContext);
EXTERN_C EVT_WDF_TIMER EvtTimerIntensityCallback;

// --- blink pattern -------------------------------------------------------------

// Everything up to PhaseTries changes only under BlinkLock.
typedef struct _BLINK_TIMER_CONTEXT {
    ULONG CyclesRemaining;
    ULONG IsOn;
    ULONGLONG OnTimeMs;
    ULONGLONG OffTimeMs;
    PDEVICE_CONTEXT DeviceContext;
    // Interrupt time at which the pending phase ends; 0 when no phase is
    // pending. A run of the callback before it (one that fired for an earlier
    // pattern) does nothing.
    ULONGLONG PhaseDue;
    // Runs that could not take BlinkLock since a phase last ended.
    LONG PhaseTries;
    // TRUE while a pattern runs: it keeps the 1 ms timer resolution for its
    // on-phases' steps across its off-phases.
    LONG ResolutionWanted;
    // Held by each run of the callback; run down at teardown.
    EX_RUNDOWN_REF Rundown;
} BLINK_TIMER_CONTEXT, *PBLINK_TIMER_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(BLINK_TIMER_CONTEXT, GetBlinkTimerContext)

EXTERN_C NTSTATUS QM38_205_StartBlink(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT Context);
// Ends a blink pattern: no phase is pending once it returns, and no run of the
// callback brings the pattern back.
EXTERN_C NTSTATUS QM38_205_StopBlink(PDEVICE_CONTEXT Context);
// Teardown: no run of the callback touches the device afterwards.
EXTERN_C NTSTATUS QM38_205_HaltBlink(PDEVICE_CONTEXT Context);
EXTERN_C EVT_WDF_TIMER EvtTimerBlinkCallback;
