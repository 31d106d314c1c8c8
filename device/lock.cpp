// SPDX-License-Identifier: MIT
// Taking the device's wait locks.

#include <ntddk.h>
#include <wdf.h>

#include "device/device.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_AcquireLock)
#endif

BOOLEAN QM38_205_AcquireLock(WDFWAITLOCK Lock)
{
    NTSTATUS Status;

    PAGED_CODE();

    if (Lock == NULL) {
        return FALSE;
    }
    Status = WdfWaitLockAcquire(Lock, NULL);
    return (BOOLEAN)(NT_SUCCESS(Status) && Status != STATUS_TIMEOUT);
}
