// SPDX-License-Identifier: MIT
// Everything the driver's logic may use of the platform.
#pragma once

#include "ntddk.h"
#include "ntstrsafe.h"
#include "wdf.h"
#include "gpio.h"
#include "reshub.h"
#include "hwnclx.h"
