// SPDX-License-Identifier: MIT
// HwN payload validation, the set-state and get-state callbacks, and request
// processing.
#pragma once

#include "device/device.h"

#define HWN_PAYLOAD_VERSION 1
#define HWN_MAX_REQUESTS 1

// HwNSettings indices.
#define HWN_SETTING_BLINK_PERIOD 1  // milliseconds
#define HWN_SETTING_BLINK_DUTY 2    // percent
#define HWN_SETTING_BLINK_CYCLES 3  // on-phases
#define HWN_SETTING_STATE 6         // element state

#define HWN_STATE_OFF 0
#define HWN_STATE_ON 1
#define HWN_STATE_BLINK 2

// Records held in the stored client information: one per element, and the
// device has one element, HwNId 0.
#define QM38_205_STORED_RECORDS \
    (sizeof(((DEVICE_CONTEXT *)0)->ClientInformation.HwNSettingsInfo) / sizeof(HWN_SETTINGS))

EXTERN_C NTSTATUS QM38_205_DataValidate(PHWN_HEADER HwNHeader, PDEVICE_CONTEXT DeviceContext);
EXTERN_C NTSTATUS QM38_205_ProcessRequest(PHWN_SETTINGS HwNSettingsInfo, PDEVICE_CONTEXT DeviceContext);
EXTERN_C HWN_CLIENT_SET_STATE QM38_205_SetState;
EXTERN_C HWN_CLIENT_GET_STATE QM38_205_GetState;
