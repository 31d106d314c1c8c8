// SPDX-License-Identifier: MIT
// Device add: the class extension prepares the device, the framework creates
// it, and the class extension completes its own set-up with our class GUID.

#include <ntddk.h>
#include <wdf.h>
#include <hwnclx.h>

#include "driver/driver.h"
#include "trace/trace.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_EvtDeviceAdd)
#endif

NTSTATUS QM38_205_EvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    // Filled completely by the class extension's pre-create step and handed on
    // to the framework unchanged.
    WDF_OBJECT_ATTRIBUTES Attributes;
    WDFDEVICE Device = WDF_NO_HANDLE;
    NTSTATUS Status;

    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_EvtDeviceAdd\n");

    Status = HwNProcessAddDevicePreDeviceCreate(Driver, DeviceInit, &Attributes);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_EvtDeviceAdd Error: HwNProcessAddDevicePreDeviceCreate failed %x\n", Status);
        goto Exit;
    }

    Status = WdfDeviceCreate(&DeviceInit, &Attributes, &Device);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE, "QM38_205_EvtDeviceAdd Error: WdfDeviceCreate failed %x\n",
                            Status);
        goto Exit;
    }

    // After a failure here the framework discards the device of the failed add.
    Status = HwNProcessAddDevicePostDeviceCreate(Driver, Device, &QM38_205_DeviceClassGuid);
    if (!NT_SUCCESS(Status)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_EvtDeviceAdd Error: HwNProcessAddDevicePostDeviceCreate failed %x\n", Status);
        goto Exit;
    }

    Status = STATUS_SUCCESS;

Exit:
    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_EvtDeviceAdd:%s:%08X\n",
                        QM38_205_STATUS_TEXT(Status), Status);
    return Status;
}
