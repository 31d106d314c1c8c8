// SPDX-License-Identifier: MIT
// Resource Hub paths: a connection resource is reachable as
// "\Device\RESOURCE_HUB\" followed by its 64-bit identifier in 16 lowercase,
// zero-padded hexadecimal digits.
#pragma once

#include "ntddk.h"
#include "ntstrsafe.h"

#define RESOURCE_HUB_DEVICE_NAME L"\\Device\\RESOURCE_HUB\\"
#define RESOURCE_HUB_ID_CHARS 17                                  // 16 digits and the terminator
#define RESOURCE_HUB_ID_SIZE (RESOURCE_HUB_ID_CHARS * sizeof(WCHAR))  // 34 bytes
#define RESOURCE_HUB_PATH_CHARS 76
#define RESOURCE_HUB_PATH_SIZE (RESOURCE_HUB_PATH_CHARS * sizeof(WCHAR))  // 152 bytes

C_ASSERT(RESOURCE_HUB_ID_SIZE == 34);
C_ASSERT(RESOURCE_HUB_PATH_SIZE == 152);

// Formats the identifier, then the path into RhPath (whose buffer and maximum
// length the caller sets). Returns the status of the first step that fails.
inline NTSTATUS ResourceHubCreatePathFromId(PUNICODE_STRING RhPath, ULONG IdLowPart, ULONG IdHighPart)
{
    WCHAR Id[RESOURCE_HUB_ID_CHARS];
    NTSTATUS Status = RtlStringCbPrintfW(Id, RESOURCE_HUB_ID_SIZE, L"%0*I64x", 16,
                                         ((ULONGLONG)IdHighPart << 32) | (ULONGLONG)IdLowPart);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    return RtlUnicodeStringPrintf(RhPath, L"%s%s", RESOURCE_HUB_DEVICE_NAME, Id);
}

#define RESOURCE_HUB_CREATE_PATH_FROM_ID(RhPath, IdLowPart, IdHighPart) \
    ResourceHubCreatePathFromId((RhPath), (IdLowPart), (IdHighPart))
