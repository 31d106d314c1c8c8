// SPDX-License-Identifier: MIT
// Hardware-notification class extension (HwNClx 1.0): the client registration
// packet, the client callbacks, the payload records and the four functions that
// the load-time layer binds before DriverEntry runs.
#pragma once

#include "wdf.h"

// ---------------------------------------------------------------------------
// Payload: a header, then HwNRequests settings records back to back.
// ---------------------------------------------------------------------------
#define HWN_TOTAL_SETTINGS 7

typedef struct _HWN_SETTINGS {
    ULONG HwNId;
    ULONG HwNType;
    ULONG HwNSettings[HWN_TOTAL_SETTINGS];
} HWN_SETTINGS, *PHWN_SETTINGS;

// The header proper is the first 12 bytes; as a type it is laid out with room
// for one record, the size of a one-record payload.
typedef struct _HWN_HEADER {
    ULONG HwNPayloadSize;
    ULONG HwNPayloadVersion;
    ULONG HwNRequests;
    HWN_SETTINGS HwNSettingsInfo[1];
} HWN_HEADER, *PHWN_HEADER;

#define HWN_HEADER_SIZE FIELD_OFFSET(HWN_HEADER, HwNSettingsInfo)

C_ASSERT(HWN_HEADER_SIZE == 12);
C_ASSERT(sizeof(HWN_SETTINGS) == 36);
C_ASSERT(FIELD_OFFSET(HWN_SETTINGS, HwNType) == 4);
C_ASSERT(FIELD_OFFSET(HWN_SETTINGS, HwNSettings) == 8);
C_ASSERT(FIELD_OFFSET(HWN_HEADER, HwNPayloadVersion) == 4);
C_ASSERT(FIELD_OFFSET(HWN_HEADER, HwNRequests) == 8);
C_ASSERT(sizeof(HWN_HEADER) == 48);

typedef struct _HWN_DEVICE_INFORMATION {
    USHORT Version;
    USHORT Size;
    USHORT HwNCount;
} HWN_DEVICE_INFORMATION, *PHWN_DEVICE_INFORMATION;

C_ASSERT(sizeof(HWN_DEVICE_INFORMATION) == 6);
C_ASSERT(FIELD_OFFSET(HWN_DEVICE_INFORMATION, HwNCount) == 4);

// ---------------------------------------------------------------------------
// Client callbacks
// ---------------------------------------------------------------------------
typedef NTSTATUS HWN_CLIENT_INITIALIZE_DEVICE(WDFDEVICE Device, PVOID Context, WDFCMRESLIST ResourcesRaw,
                                              WDFCMRESLIST ResourcesTranslated);
typedef HWN_CLIENT_INITIALIZE_DEVICE *PHWN_CLIENT_INITIALIZE_DEVICE;
typedef NTSTATUS HWN_CLIENT_UNINITIALIZE_DEVICE(WDFDEVICE Device, PVOID Context);
typedef HWN_CLIENT_UNINITIALIZE_DEVICE *PHWN_CLIENT_UNINITIALIZE_DEVICE;
typedef NTSTATUS HWN_CLIENT_QUERY_DEVICE_INFORMATION(PVOID Context, PHWN_DEVICE_INFORMATION DeviceInformation);
typedef HWN_CLIENT_QUERY_DEVICE_INFORMATION *PHWN_CLIENT_QUERY_DEVICE_INFORMATION;
typedef NTSTATUS HWN_CLIENT_START_DEVICE(PVOID Context);
typedef HWN_CLIENT_START_DEVICE *PHWN_CLIENT_START_DEVICE;
typedef NTSTATUS HWN_CLIENT_STOP_DEVICE(PVOID Context);
typedef HWN_CLIENT_STOP_DEVICE *PHWN_CLIENT_STOP_DEVICE;
typedef NTSTATUS HWN_CLIENT_SET_STATE(PVOID Context, PHWN_HEADER Buffer, ULONG BufferLength, PULONG BytesWritten);
typedef HWN_CLIENT_SET_STATE *PHWN_CLIENT_SET_STATE;
typedef NTSTATUS HWN_CLIENT_GET_STATE(PVOID Context, PHWN_HEADER OutputBuffer, ULONG OutputBufferLength,
                                      PHWN_HEADER InputBuffer, ULONG InputBufferLength, PULONG BytesRead);
typedef HWN_CLIENT_GET_STATE *PHWN_CLIENT_GET_STATE;

// ---------------------------------------------------------------------------
// Client registration packet. It crosses to the class extension: 40 bytes on
// the 32-bit target; Size is always the packet's own size.
// ---------------------------------------------------------------------------
typedef struct _HWN_CLIENT_REGISTRATION_PACKET {
    USHORT Version;
    USHORT Size;
    ULONG ClientContextSize;
    ULONG Reserved;
    PHWN_CLIENT_INITIALIZE_DEVICE InitializeDevice;
    PHWN_CLIENT_UNINITIALIZE_DEVICE UnInitializeDevice;
    PHWN_CLIENT_QUERY_DEVICE_INFORMATION QueryDeviceInformation;
    PHWN_CLIENT_START_DEVICE StartDevice;
    PHWN_CLIENT_STOP_DEVICE StopDevice;
    PHWN_CLIENT_SET_STATE SetState;
    PHWN_CLIENT_GET_STATE GetState;
} HWN_CLIENT_REGISTRATION_PACKET, *PHWN_CLIENT_REGISTRATION_PACKET;

#define HWN_CLIENT_VERSION 1

C_ASSERT(FIELD_OFFSET(HWN_CLIENT_REGISTRATION_PACKET, Size) == 2);
C_ASSERT(FIELD_OFFSET(HWN_CLIENT_REGISTRATION_PACKET, ClientContextSize) == 4);
C_ASSERT(FIELD_OFFSET(HWN_CLIENT_REGISTRATION_PACKET, Reserved) == 8);
C_ASSERT(FIELD_OFFSET(HWN_CLIENT_REGISTRATION_PACKET, InitializeDevice) == (sizeof(PVOID) == 4 ? 12 : 16));
C_ASSERT(FIELD_OFFSET(HWN_CLIENT_REGISTRATION_PACKET, GetState) ==
         FIELD_OFFSET(HWN_CLIENT_REGISTRATION_PACKET, InitializeDevice) + 6 * sizeof(PVOID));
C_ASSERT(sizeof(PVOID) != 4 || sizeof(HWN_CLIENT_REGISTRATION_PACKET) == 40);
C_ASSERT(sizeof(HWN_CLIENT_REGISTRATION_PACKET) <= 0xFFFF);

// ---------------------------------------------------------------------------
// Class extension functions
// ---------------------------------------------------------------------------
EXTERN_C NTSTATUS HwNRegisterClient(WDFDRIVER Driver, PHWN_CLIENT_REGISTRATION_PACKET RegistrationPacket,
                                    PCUNICODE_STRING RegistryPath);
EXTERN_C NTSTATUS HwNUnregisterClient(WDFDRIVER Driver);
EXTERN_C NTSTATUS HwNProcessAddDevicePreDeviceCreate(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit,
                                                     PWDF_OBJECT_ATTRIBUTES FdoAttributes);
EXTERN_C NTSTATUS HwNProcessAddDevicePostDeviceCreate(WDFDRIVER Driver, WDFDEVICE Fdo, LPCGUID ClassGuid);
