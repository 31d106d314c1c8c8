// SPDX-License-Identifier: MIT
// GPIO controller requests as seen through the Resource Hub.
#pragma once

#include "ntddk.h"

#define FILE_DEVICE_GPIO 0x00000048

// Input and output: one byte per pin, 1 drives the line high, 0 drives it low.
#define IOCTL_GPIO_WRITE_PINS CTL_CODE(FILE_DEVICE_GPIO, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)

C_ASSERT(IOCTL_GPIO_WRITE_PINS == 0x480004);
