// SPDX-License-Identifier: MIT
// Driver entry, unload and device add.
#pragma once

#include <wdf.h>
#include <hwnclx.h>

EXTERN_C DRIVER_INITIALIZE DriverEntry;
EXTERN_C EVT_WDF_DRIVER_UNLOAD QM38_205_EvtDriverUnload;
EXTERN_C EVT_WDF_DRIVER_DEVICE_ADD QM38_205_EvtDeviceAdd;

// Filled by DriverEntry just before registration; read-only afterwards.
EXTERN_C HWN_CLIENT_REGISTRATION_PACKET QM38_205_RegistrationPacket;
EXTERN_C const GUID QM38_205_DeviceClassGuid;
