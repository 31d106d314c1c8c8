// SPDX-License-Identifier: MIT
// HwN payload validation: the header, then the one record it may declare.

#include <ntddk.h>
#include <hwnclx.h>

#include "hwn/request.h"
#include "trace/trace.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, QM38_205_DataValidate)
#endif

// Reads only the 12-byte header (and the stored size bound).
static BOOLEAN QM38_205_HeaderIsValid(PHWN_HEADER HwNHeader, PDEVICE_CONTEXT DeviceContext)
{
    if (HwNHeader == NULL || DeviceContext == NULL) {
        return FALSE;
    }
    if (HwNHeader->HwNPayloadSize > DeviceContext->ClientInformation.HwNPayloadSize) {
        return FALSE;
    }
    if (HwNHeader->HwNPayloadVersion != HWN_PAYLOAD_VERSION) {
        return FALSE;
    }
    return HwNHeader->HwNRequests <= HWN_MAX_REQUESTS ? TRUE : FALSE;
}

// Settings indices 0 to 5 carry any value; only the element, the type and the
// state are range-tested.
static BOOLEAN QM38_205_RecordIsValid(PHWN_SETTINGS Record)
{
    if (Record->HwNId >= 1) {
        return FALSE;
    }
    if (Record->HwNType > 2) {
        return FALSE;
    }
    return Record->HwNSettings[HWN_SETTING_STATE] <= HWN_STATE_BLINK ? TRUE : FALSE;
}

NTSTATUS QM38_205_DataValidate(PHWN_HEADER HwNHeader, PDEVICE_CONTEXT DeviceContext)
{
    PAGED_CODE();

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "+QM38_205_DataValidate\n");

    if (!QM38_205_HeaderIsValid(HwNHeader, DeviceContext)) {
        QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                            "QM38_205_DataValidateInvalid HWN_HEADER information received\n");
        QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_DataValidate:%s:%08X\n",
                            QM38_205_STATUS_TEXT(STATUS_INVALID_PARAMETER), STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }

    // The header has passed, so at most one record is read.
    for (ULONG Index = 0; Index < HwNHeader->HwNRequests; Index++) {
        if (!QM38_205_RecordIsValid(&HwNHeader->HwNSettingsInfo[Index])) {
            QM38_205_DebugPrint(TRACE_LEVEL_ERROR, TRACE_FLAG_MESSAGE,
                                "QM38_205_DataValidateInvalid HWN_SETTINGS information received\n");
            QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_DataValidate:%s:%08X\n",
                                QM38_205_STATUS_TEXT(STATUS_INVALID_PARAMETER), STATUS_INVALID_PARAMETER);
            return STATUS_INVALID_PARAMETER;
        }
    }

    QM38_205_DebugPrint(TRACE_LEVEL_VERBOSE, TRACE_FLAG_ENTRY_EXIT, "-QM38_205_DataValidate:%s:%08X\n",
                        QM38_205_STATUS_TEXT(STATUS_SUCCESS), STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
