// Basic types and status values of the kernel, with the target's integer widths.
//
// The driver is built against these declarations only. Pointers have the host's
// width; every integer type has the width it has on the 32-bit target.
#pragma once

#define IN
#define OUT
#define OPTIONAL

// Calling conventions of the 32-bit target: the kernel's services are
// __stdcall (NTAPI), a few hot ones __fastcall, DbgPrint, the C runtime
// subset and the configuration manager's services __cdecl. The driver's own
// routines that the system calls (dispatch, completion, thread, work item and
// power routines, and the exports) are NTAPI too. The 32-bit host that runs
// the image (TORVEX_IMAGE_HOST) gives its services the same conventions, so
// that the image's calls reach them as the platform's; on the 64-bit host,
// which links the driver's sources, they expand to nothing.
#if defined(TORVEX_TARGET)
#define NTAPI __stdcall
#define FASTCALL __fastcall
#define CDECL __cdecl
#elif defined(TORVEX_IMAGE_HOST)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#define CDECL __attribute__((cdecl))
#else
#define NTAPI
#define FASTCALL
#define CDECL
#endif

// The image's structure layouts, which the target's compiler and the 32-bit
// host must agree on: a 64-bit integer is aligned to 8 inside a structure
// (i386 System V aligns it to 4), and a few structures are packed to 4.
#if defined(TORVEX_TARGET) || defined(TORVEX_IMAGE_HOST)
#define TORVEX_IMAGE_LAYOUT 1
#endif

// The platform's services have C names on the target, where they are
// imported by name.
#if defined(TORVEX_TARGET)
#define TORVEX_C_BEGIN extern "C" {
#define TORVEX_C_END }
#else
#define TORVEX_C_BEGIN
#define TORVEX_C_END
#endif

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int LONG;
typedef unsigned int ULONG;
typedef long long LONGLONG __attribute__((aligned(8)));
typedef unsigned long long ULONGLONG __attribute__((aligned(8)));
typedef char16_t WCHAR;
typedef UCHAR BOOLEAN;
typedef CHAR CCHAR;
typedef SHORT CSHORT;
typedef __SIZE_TYPE__ SIZE_T;
typedef __UINTPTR_TYPE__ ULONG_PTR;
typedef __INTPTR_TYPE__ LONG_PTR;
typedef PVOID HANDLE;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;

typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCHAR;
typedef const WCHAR* PCWSTR;
typedef BOOLEAN* PBOOLEAN;
typedef HANDLE* PHANDLE;
typedef ULONG_PTR* PULONG_PTR;

static_assert(sizeof(UCHAR) == 1, "UCHAR is 8 bits");
static_assert(sizeof(USHORT) == 2, "USHORT is 16 bits");
static_assert(sizeof(ULONG) == 4, "ULONG is 32 bits on the target");
static_assert(sizeof(LONG) == 4, "LONG is 32 bits on the target");
static_assert(sizeof(LONGLONG) == 8, "LONGLONG is 64 bits");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
static_assert(sizeof(BOOLEAN) == 1, "BOOLEAN is 8 bits");
static_assert(sizeof(ULONG_PTR) == sizeof(PVOID), "ULONG_PTR holds a pointer");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define FIELD_OFFSET(type, field) ((LONG)__builtin_offsetof(type, field))

// Status values.
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS                    ((NTSTATUS)0x00000000)
#define STATUS_WAIT_0                     ((NTSTATUS)0x00000000)
#define STATUS_WAIT_2                     ((NTSTATUS)0x00000002)
#define STATUS_TIMEOUT                    ((NTSTATUS)0x00000102)
#define STATUS_KERNEL_APC                 ((NTSTATUS)0x00000100)
#define STATUS_PENDING                    ((NTSTATUS)0x00000103)
#define STATUS_BUFFER_OVERFLOW            ((NTSTATUS)0x80000005)
#define STATUS_DEVICE_BUSY                ((NTSTATUS)0x80000011)
#define STATUS_UNSUCCESSFUL               ((NTSTATUS)0xC0000001)
#define STATUS_NOT_IMPLEMENTED            ((NTSTATUS)0xC0000002)
#define STATUS_INVALID_HANDLE             ((NTSTATUS)0xC0000008)
#define STATUS_INVALID_PARAMETER          ((NTSTATUS)0xC000000D)
#define STATUS_NO_SUCH_DEVICE             ((NTSTATUS)0xC000000E)
#define STATUS_INVALID_DEVICE_REQUEST     ((NTSTATUS)0xC0000010)
#define STATUS_MORE_PROCESSING_REQUIRED   ((NTSTATUS)0xC0000016)
#define STATUS_NO_MEMORY                  ((NTSTATUS)0xC0000017)
#define STATUS_ACCESS_DENIED              ((NTSTATUS)0xC0000022)
#define STATUS_BUFFER_TOO_SMALL           ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_TYPE_MISMATCH       ((NTSTATUS)0xC0000024)
#define STATUS_OBJECT_NAME_INVALID        ((NTSTATUS)0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND      ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION      ((NTSTATUS)0xC0000035)
#define STATUS_DELETE_PENDING             ((NTSTATUS)0xC0000056)
#define STATUS_INSUFFICIENT_RESOURCES     ((NTSTATUS)0xC000009A)
#define STATUS_DEVICE_NOT_CONNECTED       ((NTSTATUS)0xC000009D)
#define STATUS_DEVICE_NOT_READY           ((NTSTATUS)0xC00000A3)
#define STATUS_IO_TIMEOUT                 ((NTSTATUS)0xC00000B5)
#define STATUS_NOT_SUPPORTED              ((NTSTATUS)0xC00000BB)
#define STATUS_CANT_WAIT                  ((NTSTATUS)0xC00000D8)
#define STATUS_CANCELLED                  ((NTSTATUS)0xC0000120)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182)
#define STATUS_INVALID_DEVICE_STATE       ((NTSTATUS)0xC0000184)
