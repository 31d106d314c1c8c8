// SPDX-License-Identifier: MIT
// Driver entry and unload: creates the framework driver object and registers
// this driver as a client of the hardware-notification class extension.

#include <ntddk.h>
#include <wdf.h>
#include <hwnclx.h>

#include "driver/driver.h"
#include "device/device.h"
#include "hwn/request.h"
#include "trace/trace.h"
#include "vibration/vibration.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(PAGE, QM38_205_EvtDriverUnload)
#endif

// Zero at load; filled once, just before registration, and only read
// afterwards, so the class extension may read it at any time.
HWN_CLIENT_REGISTRATION_PACKET QM38_205_RegistrationPacket;

// {825E8FD3-6467-4A5B-ABFB-BB010734FF4D}
const GUID QM38_205_DeviceClassGuid = {0x825E8FD3, 0x6467, 0x4A5B, {0xAB, 0xFB, 0xBB, 0x01, 0x07, 0x34, 0xFF, 0x4D}};

// Reserved belongs to the class extension: it is left as it was at load.
static VOID QM38_205_FillRegistrationPacket(PHWN_CLIENT_REGISTRATION_PACKET Packet)
{
    Packet->Version = HWN_CLIENT_VERSION;
    Packet->Size = (USHORT)sizeof(HWN_CLIENT_REGISTRATION_PACKET);
    Packet->ClientContextSize = QM38_205_CLIENT_CONTEXT_SIZE;
    Packet->InitializeDevice = QM38_205_InitializeDevice;
    Packet->UnInitializeDevice = QM38_205_UnInitializeDevice;
    Packet->QueryDeviceInformation = QM38_205_QueryDeviceInformation;
    Packet->StartDevice = QM38_205_StartDevice;
    Packet->StopDevice = QM38_205_StopDevice;
    Packet->SetState = QM38_205_SetState;
    Packet->GetState = QM38_205_GetState;
}

// Discardable initialisation code. A failure undoes nothing: the load-time
// layer unbinds the class extension and the framework itself.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG Config;
    WDFDRIVER Driver = WDF_NO_HANDLE;
    NTSTATUS Status;

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+DriverEntry\n");
    QM38_205_ResetResolution();

    WDF_DRIVER_CONFIG_INIT(&Config, QM38_205_EvtDeviceAdd);
    Config.EvtDriverUnload = QM38_205_EvtDriverUnload;

    Status = WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &Config, &Driver);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "DriverEntry Error: WdfDriverCreate failed %x\n",
                            Status);
        return Status;
    }

    QM38_205_FillRegistrationPacket(&QM38_205_RegistrationPacket);

    Status = HwNRegisterClient(Driver, &QM38_205_RegistrationPacket, RegistryPath);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "DriverEntry Error: HwNRegisterClient failed %x\n",
                            Status);
        return Status;
    }

    // An informational status of the registration is not passed on.
    return STATUS_SUCCESS;
}

VOID QM38_205_EvtDriverUnload(WDFDRIVER Driver)
{
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_EvtDriverUnload\n");

    // The unload goes on whatever the class extension answers.
    Status = HwNUnregisterClient(Driver);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_EvtDriverUnload Error: HwNUnregisterClient failed %x\n", Status);
    }
    // A device torn down while its drive or pattern wanted the 1 ms timer
    // resolution could not give the request back inside its teardown.
    QM38_205_ReleaseResolution();
}
