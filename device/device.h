// SPDX-License-Identifier: MIT
// The per-device client context and the device callbacks.
#pragma once

#include <wdf.h>
#include <hwnclx.h>

#define VIBRA_ENABLE_LINE 0  // VibraIoTarget[0], held high while the motor runs
#define VIBRA_DRIVE_LINE 1   // VibraIoTarget[1], pulsed by the intensity timer
#define VIBRA_LINE_COUNT 2

typedef struct _DEVICE_CONTEXT {
    WDFDEVICE Device;
    USHORT HwNCount;
    WDFIOTARGET VibraIoTarget[VIBRA_LINE_COUNT];
    WDFTIMER BlinkTimer;
    WDFWAITLOCK BlinkLock;
    WDFTIMER IntensityTimer;
    WDFWAITLOCK IntensityLock;
    HWN_HEADER ClientInformation;  // the header and exactly one record
    // The class extension may deliver a device's calls at once: set-state
    // (reading, applying and storing a record), get-state (copying records)
    // and device start and stop each hold StateLock throughout, so that each
    // sees the stored record and the drive whole. Taken before BlinkLock and
    // IntensityLock; never taken by a timer callback, so a call may wait for
    // one under it.
    WDFWAITLOCK StateLock;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

#define QM38_205_CLIENT_CONTEXT_SIZE 132
C_ASSERT(sizeof(DEVICE_CONTEXT) <= QM38_205_CLIENT_CONTEXT_SIZE);
C_ASSERT(FIELD_OFFSET(DEVICE_CONTEXT, Device) == 0);
C_ASSERT(sizeof(((DEVICE_CONTEXT *)0)->ClientInformation) == HWN_HEADER_SIZE + sizeof(HWN_SETTINGS));

// Takes Lock, waiting as long as it takes. A device whose initialisation
// failed may lack a lock: there is then nothing to serialise with. Returns
// TRUE when the lock is held.
EXTERN_C BOOLEAN QM38_205_AcquireLock(WDFWAITLOCK Lock);

EXTERN_C HWN_CLIENT_INITIALIZE_DEVICE QM38_205_InitializeDevice;
EXTERN_C HWN_CLIENT_UNINITIALIZE_DEVICE QM38_205_UnInitializeDevice;
EXTERN_C HWN_CLIENT_QUERY_DEVICE_INFORMATION QM38_205_QueryDeviceInformation;
EXTERN_C HWN_CLIENT_START_DEVICE QM38_205_StartDevice;
EXTERN_C HWN_CLIENT_STOP_DEVICE QM38_205_StopDevice;
