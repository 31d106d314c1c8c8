// SPDX-License-Identifier: MIT
// Layouts that cross to the class extension, checked at compile time for the
// target's 32-bit ARM build and for 64-bit ARM, each both with the target's own
// ABI (Windows on ARM, LLP64: long stays 32 bits) and a bare-metal one. With
// 64-bit pointers the pointer-sized members widen; the context must still fit
// its registered size. Compiled only as a syntax check; there is nothing to run.

#include "device/device.h"
#include "driver/driver.h"
#include "hwn/request.h"
#include "trace/trace.h"
#include "vibration/vibration.h"

constexpr bool kPointers32 = sizeof(PVOID) == 4;
constexpr bool kPointers64 = sizeof(PVOID) == 8;
static_assert(kPointers32 || kPointers64);

// HwN payload: a 12-byte header, 36-byte records of 32-bit fields.
static_assert(HWN_HEADER_SIZE == 12);
static_assert(sizeof(HWN_SETTINGS) == 36);
static_assert(sizeof(HWN_HEADER) == 48, "the header type holds exactly one record");
static_assert(offsetof(HWN_SETTINGS, HwNSettings) + 4 * HWN_SETTING_STATE == 32);
static_assert(offsetof(HWN_HEADER, HwNSettingsInfo) + offsetof(HWN_SETTINGS, HwNSettings) +
                  4 * HWN_SETTING_BLINK_PERIOD ==
              24);

// Device information: three 16-bit values.
static_assert(sizeof(HWN_DEVICE_INFORMATION) == 6);
static_assert(offsetof(HWN_DEVICE_INFORMATION, Size) == 2);

// Registration packet: 40 bytes with 32-bit pointers, callbacks from offset 12.
static_assert(!kPointers32 || sizeof(HWN_CLIENT_REGISTRATION_PACKET) == 40);
static_assert(!kPointers32 || offsetof(HWN_CLIENT_REGISTRATION_PACKET, InitializeDevice) == 12);
static_assert(!kPointers32 || offsetof(HWN_CLIENT_REGISTRATION_PACKET, UnInitializeDevice) == 16);
static_assert(!kPointers32 || offsetof(HWN_CLIENT_REGISTRATION_PACKET, QueryDeviceInformation) == 20);
static_assert(!kPointers32 || offsetof(HWN_CLIENT_REGISTRATION_PACKET, StartDevice) == 24);
static_assert(!kPointers32 || offsetof(HWN_CLIENT_REGISTRATION_PACKET, StopDevice) == 28);
static_assert(!kPointers32 || offsetof(HWN_CLIENT_REGISTRATION_PACKET, SetState) == 32);
static_assert(!kPointers32 || offsetof(HWN_CLIENT_REGISTRATION_PACKET, GetState) == 36);
// With 64-bit pointers: 72 bytes, callbacks from offset 16.
static_assert(!kPointers64 || sizeof(HWN_CLIENT_REGISTRATION_PACKET) == 72);
static_assert(!kPointers64 || offsetof(HWN_CLIENT_REGISTRATION_PACKET, InitializeDevice) == 16);
static_assert(!kPointers64 || offsetof(HWN_CLIENT_REGISTRATION_PACKET, GetState) == 64);
static_assert(offsetof(HWN_CLIENT_REGISTRATION_PACKET, Version) == 0);
static_assert(offsetof(HWN_CLIENT_REGISTRATION_PACKET, ClientContextSize) == 4);
static_assert(offsetof(HWN_CLIENT_REGISTRATION_PACKET, Reserved) == 8);
static_assert(sizeof(HWN_CLIENT_REGISTRATION_PACKET) <= 0xFFFF, "Size is a 16-bit member");

// The framework's driver configuration record: 20 bytes on the target.
static_assert(!kPointers32 || sizeof(WDF_DRIVER_CONFIG) == 20);
static_assert(!kPointers64 || sizeof(WDF_DRIVER_CONFIG) == 32);

// The client context fits the size registered for it, fields in order.
static_assert(sizeof(DEVICE_CONTEXT) <= QM38_205_CLIENT_CONTEXT_SIZE);
static_assert(QM38_205_CLIENT_CONTEXT_SIZE == 132);
static_assert(!kPointers32 || sizeof(DEVICE_CONTEXT) == 84);
static_assert(!kPointers32 || offsetof(DEVICE_CONTEXT, HwNCount) == 4);
static_assert(!kPointers32 || offsetof(DEVICE_CONTEXT, VibraIoTarget) == 8);
static_assert(!kPointers32 || offsetof(DEVICE_CONTEXT, BlinkTimer) == 16);
static_assert(!kPointers32 || offsetof(DEVICE_CONTEXT, IntensityLock) == 28);
static_assert(!kPointers32 || offsetof(DEVICE_CONTEXT, ClientInformation) == 32);
static_assert(!kPointers64 || sizeof(DEVICE_CONTEXT) == 120);
static_assert(!kPointers64 || offsetof(DEVICE_CONTEXT, VibraIoTarget) == 16);
static_assert(!kPointers64 || offsetof(DEVICE_CONTEXT, ClientInformation) == 64);
static_assert(offsetof(DEVICE_CONTEXT, ClientInformation) + sizeof(HWN_HEADER) <= QM38_205_CLIENT_CONTEXT_SIZE);
static_assert(QM38_205_STORED_RECORDS == 1, "one element, one stored record");

// Class GUID layout: 16 bytes.
static_assert(sizeof(GUID) == 16);

// Timer contexts: their fields in order.
static_assert(offsetof(INTENSITY_TIMER_CONTEXT, KickPulseCount) == 0);
static_assert(offsetof(INTENSITY_TIMER_CONTEXT, StopStepCount) == 4);
static_assert(offsetof(INTENSITY_TIMER_CONTEXT, LineState) == 8);
static_assert(offsetof(INTENSITY_TIMER_CONTEXT, OffTimeUs) == offsetof(INTENSITY_TIMER_CONTEXT, OnTimeUs) + 8);
static_assert(offsetof(BLINK_TIMER_CONTEXT, CyclesRemaining) == 0);
static_assert(offsetof(BLINK_TIMER_CONTEXT, IsOn) == 4);
static_assert(offsetof(BLINK_TIMER_CONTEXT, OffTimeMs) == offsetof(BLINK_TIMER_CONTEXT, OnTimeMs) + 8);

// The GPIO write request.
static_assert(IOCTL_GPIO_WRITE_PINS == 0x480004);
