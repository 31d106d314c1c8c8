// SPDX-License-Identifier: MIT
// Bounded wide-string formatters. Both fail with STATUS_BUFFER_OVERFLOW when the
// text does not fit; the destination then holds the truncated, terminated text
// (RtlStringCbPrintfW) or keeps its Length within MaximumLength
// (RtlUnicodeStringPrintf).
#pragma once

#include "ntddk.h"

typedef WCHAR *NTSTRSAFE_PWSTR;
typedef const WCHAR *NTSTRSAFE_PCWSTR;

// Formats into a buffer of cbDest bytes, always terminated.
EXTERN_C NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...);
// Formats into DestinationString->Buffer, at most MaximumLength bytes, not
// terminated; Length receives the byte length of the text.
EXTERN_C NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...);
