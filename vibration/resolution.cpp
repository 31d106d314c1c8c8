// SPDX-License-Identifier: MIT
// The driver's one 1 ms timer-resolution request. Each drive and each blink
// pattern says whether it wants the resolution; the request follows what they
// want, made or given back by whichever thread settles it next.
//
// ExSetTimerResolution waits while the power manager processes a power
// request, and the class extension's start, stop and teardown run inside the
// device's power transitions. So the request is settled last, with no lock
// and no run-down held, and never inside a start, stop or teardown: no
// transition ever waits for a thread inside the call. Settling touches only
// the driver's own variables, never a device.

#include <ntddk.h>

#include "vibration/vibration.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_SettleResolution)
#pragma alloc_text(PAGE, QM38_205_ResetResolution)
#pragma alloc_text(PAGE, QM38_205_ReleaseResolution)
#endif

#define RESOLUTION_DESIRED 10000  // 1 ms, in 100 ns units

static LONG QM38_205_ResolutionWants;     // drives and patterns that want it
static LONG QM38_205_ResolutionGranted;   // TRUE while the request is made
static LONG QM38_205_ResolutionSettling;  // TRUE while a thread settles it

VOID QM38_205_WantResolution(LONG volatile *Want, BOOLEAN Wanted)
{
    if (InterlockedExchange(Want, (LONG)Wanted) == (LONG)Wanted) {
        return;
    }
    if (Wanted) {
        InterlockedIncrement(&QM38_205_ResolutionWants);
    } else {
        InterlockedDecrement(&QM38_205_ResolutionWants);
    }
}

BOOLEAN QM38_205_IsResolutionSettled(VOID)
{
    BOOLEAN Wanted = (BOOLEAN)(ReadAcquire(&QM38_205_ResolutionWants) > 0);
    return (BOOLEAN)(Wanted == (ReadAcquire(&QM38_205_ResolutionGranted) != 0));
}

// One thread settles at a time, so that a release never overtakes the
// request it gives back; a thread that finds another settling leaves its
// change to it, since that thread looks again once it is done.
VOID QM38_205_SettleResolution(VOID)
{
    LONG Wanted;

    PAGED_CODE();

    while (!QM38_205_IsResolutionSettled()) {
        if (InterlockedCompareExchange(&QM38_205_ResolutionSettling, TRUE, FALSE) != FALSE) {
            return;
        }
        Wanted = ReadAcquire(&QM38_205_ResolutionWants) > 0 ? TRUE : FALSE;
        if (Wanted != ReadAcquire(&QM38_205_ResolutionGranted)) {
            ExSetTimerResolution(Wanted ? RESOLUTION_DESIRED : 0, (BOOLEAN)Wanted);
            InterlockedExchange(&QM38_205_ResolutionGranted, Wanted);
        }
        InterlockedExchange(&QM38_205_ResolutionSettling, FALSE);
    }
}

// A freshly loaded driver has made no request and has nothing that wants one.
VOID QM38_205_ResetResolution(VOID)
{
    PAGED_CODE();

    InterlockedExchange(&QM38_205_ResolutionWants, 0);
    InterlockedExchange(&QM38_205_ResolutionGranted, FALSE);
    InterlockedExchange(&QM38_205_ResolutionSettling, FALSE);
}

// Driver unload: no drive or pattern is left to want the resolution, so a
// request that a torn-down device left made is given back.
VOID QM38_205_ReleaseResolution(VOID)
{
    PAGED_CODE();

    InterlockedExchange(&QM38_205_ResolutionWants, 0);
    QM38_205_SettleResolution();
}
