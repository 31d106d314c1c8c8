// SPDX-License-Identifier: MIT
// Kernel base types, status codes, strings, resource descriptors and the kernel
// services that the driver's logic uses. Widths follow the target: ULONG is 32
// bits, WCHAR is 16 bits (the host build uses -fshort-wchar).
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif

#define VOID void
typedef void *PVOID;
typedef char CHAR;
typedef CHAR *PCHAR, *PSTR;
typedef const CHAR *PCCH, *PCSTR;
typedef uint8_t UCHAR, *PUCHAR;
typedef uint8_t BOOLEAN, *PBOOLEAN;
typedef int16_t SHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef uint64_t ULONG64, *PULONG64;
typedef uintptr_t ULONG_PTR, KAFFINITY;
typedef ULONG ACCESS_MASK;
typedef wchar_t WCHAR, *PWCH, *PWSTR;
typedef const WCHAR *PCWSTR;
typedef UCHAR KIRQL;

static_assert(sizeof(WCHAR) == 2, "WCHAR must be 16 bits wide (build with -fshort-wchar)");
// The target is LLP64 (long is 32 bits there): the 32-bit types are fixed-width
// here so that LP64 and ILP32 hosts agree with it.
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32 bits on every target");
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONGLONG) == 8 && sizeof(ULONG64) == 8);
static_assert(sizeof(ULONG_PTR) == sizeof(PVOID) && sizeof(KAFFINITY) == sizeof(PVOID));

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

#define FIELD_OFFSET(type, field) offsetof(type, field)
#define C_ASSERT(e) static_assert(e, #e)
#define UNREFERENCED_PARAMETER(P) ((void)(P))

// ---------------------------------------------------------------------------
// Source annotations. _Printf_format_string_ marks a printf-style format
// parameter, which the kit's code analysis checks against the arguments; here
// it is empty. The host compilers check a format through a function attribute
// instead, given by PLATFORM_PRINTF_FORMAT(format parameter, first argument),
// counting parameters from 1 (the kit has no such annotation).
// ---------------------------------------------------------------------------
#define _Printf_format_string_
#if defined(__GNUC__) || defined(__clang__)
#define PLATFORM_PRINTF_FORMAT(FormatIndex, FirstArgument) __attribute__((format(printf, FormatIndex, FirstArgument)))
#else
#define PLATFORM_PRINTF_FORMAT(FormatIndex, FirstArgument)
#endif

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
typedef LONG NTSTATUS;
static_assert(sizeof(NTSTATUS) == 4);
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_DATA_ERROR ((NTSTATUS)0xC000003EL)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_WDF_PARENT_NOT_SPECIFIED ((NTSTATUS)0xC0200212L)

// ---------------------------------------------------------------------------
// Memory, strings, identifiers
// ---------------------------------------------------------------------------
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

inline VOID RtlInitEmptyUnicodeString(PUNICODE_STRING UnicodeString, PWCH Buffer, USHORT BufferSize)
{
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = BufferSize;
    UnicodeString->Buffer = Buffer;
}

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef const GUID *LPCGUID;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, PHYSICAL_ADDRESS;

typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    PVOID DriverExtension;
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// ---------------------------------------------------------------------------
// I/O control codes and file access values
// ---------------------------------------------------------------------------
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((ULONG)(DeviceType) << 16) | ((ULONG)(Access) << 14) | ((ULONG)(Function) << 2) | (ULONG)(Method))
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0

#define FILE_GENERIC_WRITE ((ACCESS_MASK)0x00120116L)
#define FILE_OPEN 0x00000001
#define FILE_NON_DIRECTORY_FILE 0x00000040

// ---------------------------------------------------------------------------
// Hardware resource descriptors
// ---------------------------------------------------------------------------
#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeConnection 0x84

#define CM_RESOURCE_CONNECTION_CLASS_GPIO 0x01
#define CM_RESOURCE_CONNECTION_CLASS_SERIAL 0x02
#define CM_RESOURCE_CONNECTION_TYPE_GPIO_IO 0x02
#define CM_RESOURCE_CONNECTION_TYPE_SERIAL_I2C 0x01

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
        struct {
            ULONG Level;
            ULONG Vector;
            KAFFINITY Affinity;
        } Interrupt;
        struct {
            UCHAR Class;
            UCHAR Type;
            UCHAR Reserved1;
            UCHAR Reserved2;
            ULONG IdLowPart;
            ULONG IdHighPart;
        } Connection;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

// ---------------------------------------------------------------------------
// Interrupt request level and pageable code
// ---------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

EXTERN_C KIRQL KeGetCurrentIrql(VOID);
EXTERN_C VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage);

#define NT_ASSERTMSG(Msg, Exp) \
    ((!(Exp)) ? (RtlAssert((PVOID) #Exp, (PVOID)__FILE__, __LINE__, (PSTR)(Msg)), FALSE) : TRUE)

// Pageable code must not run above APC_LEVEL.
#define PAGED_CODE() \
    ((void)NT_ASSERTMSG((PSTR) __func__, KeGetCurrentIrql() <= APC_LEVEL))

// ---------------------------------------------------------------------------
// Kernel services
// ---------------------------------------------------------------------------
EXTERN_C ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist);
EXTERN_C ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);

// System time since boot, in 100 ns units, as timers count it: a timer armed
// for a relative due time D at interrupt time T fires no earlier than T + D.
EXTERN_C ULONGLONG KeQueryInterruptTime(VOID);

// ---------------------------------------------------------------------------
// Interlocked operations and ordered accesses of 32-bit values: full barriers
// for the Interlocked* forms, acquire and release for ReadAcquire and
// WriteRelease, no ordering for the NoFence forms.
// ---------------------------------------------------------------------------
EXTERN_C LONG InterlockedExchange(LONG volatile *Target, LONG Value);
EXTERN_C LONG InterlockedCompareExchange(LONG volatile *Destination, LONG ExChange, LONG Comperand);
EXTERN_C LONG InterlockedIncrement(LONG volatile *Addend);
EXTERN_C LONG InterlockedDecrement(LONG volatile *Addend);
EXTERN_C LONG ReadAcquire(LONG const volatile *Source);
EXTERN_C VOID WriteRelease(LONG volatile *Destination, LONG Value);
EXTERN_C LONG ReadNoFence(LONG const volatile *Source);
EXTERN_C VOID WriteNoFence(LONG volatile *Destination, LONG Value);

// ---------------------------------------------------------------------------
// Run-down protection: an object's users acquire it (at IRQL <= DISPATCH_LEVEL)
// around each use; once its owner has waited for run-down (at PASSIVE_LEVEL),
// every acquire fails and no use is in progress. A zeroed reference is an
// initialised one.
// ---------------------------------------------------------------------------
typedef struct _EX_RUNDOWN_REF {
    union {
        volatile ULONG_PTR Count;
        PVOID volatile Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;

EXTERN_C VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
EXTERN_C BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef);
EXTERN_C VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef);
EXTERN_C VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef);
