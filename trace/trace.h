// SPDX-License-Identifier: MIT
// The driver's leveled, flag-filtered debug trace.
#pragma once

#include <ntddk.h>

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

#define TRACE_FLAG_ENTRY_EXIT 0x00000004
#define TRACE_FLAG_MESSAGE 0x00004000

#define TRACE_LEVEL_MASK_COUNT 5

// Debug-print component identifier and importance level of every line.
#define QM38_205_TRACE_COMPONENT 101
#define QM38_205_TRACE_IMPORTANCE 0

// One mask per level 1 to 5, indexed by level minus 1.
EXTERN_C ULONG TraceLevelMask[TRACE_LEVEL_MASK_COUNT];

// The format is checked against the arguments: by the host compiler through
// PLATFORM_PRINTF_FORMAT, by the kit's code analysis through
// _Printf_format_string_ (the kit's headers have no PLATFORM_PRINTF_FORMAT).
#ifndef PLATFORM_PRINTF_FORMAT
#define PLATFORM_PRINTF_FORMAT(FormatIndex, FirstArgument)
#endif

EXTERN_C VOID QM38_205_DebugPrint(ULONG Level, ULONG Flags, _Printf_format_string_ PCSTR Format, ...)
    PLATFORM_PRINTF_FORMAT(3, 4);

#define QM38_205_STATUS_TEXT(Status) (NT_SUCCESS(Status) ? "Success" : "Fail")
