// SPDX-License-Identifier: MIT
#include "trace/trace.h"

ULONG TraceLevelMask[TRACE_LEVEL_MASK_COUNT] = {
    0xFFFFFFFF,  // level 1: any flag
    0xFFFFFFFE,  // level 2: any flag but bit 0
    0xFFFFFFFE,  // level 3: as level 2
    0x00000000,  // level 4: nothing
    0x00000000,  // level 5: nothing
};

// Resident: called from every context the driver runs in, completion routines
// included. Filters only; the kernel service formats the line.
VOID QM38_205_DebugPrint(ULONG Level, ULONG Flags, PCSTR Format, ...)
{
    if (Level > TRACE_LEVEL_VERBOSE) {
        return;
    }
    if (Level != TRACE_LEVEL_NONE && (TraceLevelMask[Level - 1] & Flags) == 0) {
        return;
    }

    va_list Arguments;
    va_start(Arguments, Format);
    vDbgPrintEx(QM38_205_TRACE_COMPONENT, QM38_205_TRACE_IMPORTANCE, Format, Arguments);
    va_end(Arguments);
}
