// SPDX-License-Identifier: MIT
// The vibration engine: GPIO line writes, the intensity drive and the blink
// pattern.
#pragma once

#include <wdf.h>
#include <gpio.h>

#include "device/device.h"

// --- GPIO line write ---------------------------------------------------------

// The value byte of a write lives in its request, so that it outlives the
// asynchronous send: the same byte is the request's input and output buffer.
typedef struct _WRITE_REQUEST_CONTEXT {
    UCHAR Value;
    // A watched write's timer, whose next step tries again when the controller
    // fails the write; NULL for any other write.
    WDFTIMER RetryTimer;
} WRITE_REQUEST_CONTEXT, *PWRITE_REQUEST_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WRITE_REQUEST_CONTEXT, GetWriteRequestContext)

EXTERN_C NTSTATUS QM38_205_PerformHardwareWrite(WDFIOTARGET IoTarget, BOOLEAN Value);
// The same write; if the controller later completes it with a failure, the
// completion sets *FailureMark to TRUE and arms Watcher for a step 3.3 ms on.
// FailureMark lies in Watcher's context; the request is Watcher's child, so
// the mark outlives it.
EXTERN_C NTSTATUS QM38_205_PerformWatchedWrite(WDFIOTARGET IoTarget, BOOLEAN Value, WDFTIMER Watcher,
                                               PLONG FailureMark);
EXTERN_C EVT_WDF_REQUEST_COMPLETION_ROUTINE EvtRequestWriteCompletionRoutine;

// --- intensity drive -----------------------------------------------------------

typedef enum _INTENSITY_MODE {
    IntensityModeKickStart = 0,
    IntensityModeRun = 1,
    IntensityModeStopRequested = 2,
    IntensityModeStopping = 3,
} INTENSITY_MODE;
C_ASSERT(sizeof(INTENSITY_MODE) == 4);

typedef struct _INTENSITY_TIMER_CONTEXT {
    ULONG KickPulseCount;
    ULONG StopStepCount;
    ULONG LineState;
    ULONGLONG OnTimeUs;
    ULONGLONG OffTimeUs;
    INTENSITY_MODE Mode;
    PDEVICE_CONTEXT DeviceContext;
    // TRUE from the start that requested the 1 ms timer resolution until the
    // step that releases it, so that requests and releases stay balanced.
    LONG ResolutionHeld;
    // TRUE from the arming of a step until the run of the callback that takes
    // it up, so that a stop or a failed start arms a step only when none is
    // coming. Read and written atomically: a run that does not get the lock
    // clears it too.
    LONG StepArmed;
    // TRUE while the enable line may be high: from a start whose enable write
    // was sent until a stop sequence whose enable-low write went through (a
    // failed completion sets it again). A stop finds nothing to do only when
    // it is FALSE.
    LONG EnableRaised;
} INTENSITY_TIMER_CONTEXT, *PINTENSITY_TIMER_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(INTENSITY_TIMER_CONTEXT, GetIntensityTimerContext)

EXTERN_C NTSTATUS QM38_205_StartVibration(PDEVICE_CONTEXT DeviceContext);
EXTERN_C NTSTATUS QM38_205_StopVibration(PDEVICE_CONTEXT DeviceContext);
// Teardown: lets the enable line go at once when it may still be high.
EXTERN_C NTSTATUS QM38_205_HaltVibration(PDEVICE_CONTEXT DeviceContext);
EXTERN_C EVT_WDF_TIMER EvtTimerIntensityCallback;

// --- blink pattern -------------------------------------------------------------

typedef struct _BLINK_TIMER_CONTEXT {
    ULONG CyclesRemaining;
    ULONG IsOn;
    ULONGLONG OnTimeMs;
    ULONGLONG OffTimeMs;
    PDEVICE_CONTEXT DeviceContext;
    // Set under BlinkLock by QM38_205_StopBlink before the timer is stopped:
    // a callback that runs afterwards neither switches the motor nor re-arms.
    BOOLEAN Stopped;
} BLINK_TIMER_CONTEXT, *PBLINK_TIMER_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(BLINK_TIMER_CONTEXT, GetBlinkTimerContext)

EXTERN_C NTSTATUS QM38_205_StartBlink(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT Context);
// Ends a blink pattern: no callback runs or is pending once it returns, and
// none brings the pattern back.
EXTERN_C NTSTATUS QM38_205_StopBlink(PDEVICE_CONTEXT Context);
EXTERN_C EVT_WDF_TIMER EvtTimerBlinkCallback;
