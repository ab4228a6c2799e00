// The host build's <ntdef.h>: the basic NT types (integers, LARGE_INTEGER,
// UNICODE_STRING, lists), NT_SUCCESS, object attributes and the create
// dispositions and options.
//
// The host kernel's headers declare, with the names, types and semantics of
// the Windows DDK and in the header the DDK puts them in, exactly the part of
// the kernel that the cache driver and the simulated volume driver use. The
// host kernel (host/kernel/src) implements it in user mode. Layouts follow the
// real structures field by field where the driver touches the fields; sizes
// differ (64-bit pointers), which no driver code relies on.
//
// The host build compiles with -fshort-wchar, so WCHAR and L"" literals are
// UTF-16 code units exactly as on Windows.
#pragma once

#include <string.h>

#include "../../common/include/HostBaseTypes.h"
#include "sal.h"

#ifdef __cplusplus
#define NT_EXTERN_C    extern "C"
#define NT_BEGIN_DECLS extern "C" {
#define NT_END_DECLS   }
#else
#define NT_EXTERN_C
#define NT_BEGIN_DECLS
#define NT_END_DECLS
#endif

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------

#define NTAPI
#define NTSYSAPI
#define FASTCALL
#define FORCEINLINE static inline
#define IN
#define OUT
#define OPTIONAL
#define ANYSIZE_ARRAY 1

// CHAR, UCHAR, SHORT, USHORT, LONG, ULONG, LONGLONG, ULONGLONG, LONG_PTR,
// ULONG_PTR, SIZE_T, BOOLEAN, WCHAR, PVOID, HANDLE and their pointer types
// come from HostBaseTypes.h.
typedef CHAR CCHAR, *PCHAR;
typedef SHORT CSHORT;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG LOGICAL;
typedef ULONG CLONG;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without the terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

#define CONTAINING_RECORD(address, type, field) ((type *)((PCHAR)(address)-offsetof(type, field)))
#define FIELD_OFFSET(Type, Field)               ((LONG)offsetof(Type, Field))

// ---------------------------------------------------------------------------
// Status values
// ---------------------------------------------------------------------------

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status)   ((((ULONG)(Status)) >> 30) == 3)

// ---------------------------------------------------------------------------
// Dispatcher objects, spin locks, interlocked lists, time
// ---------------------------------------------------------------------------

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

// ---------------------------------------------------------------------------
// Objects, handles, names
// ---------------------------------------------------------------------------

#define OBJ_INHERIT          0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE    0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s)                                                            \
    do {                                                                                                     \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                             \
        (p)->RootDirectory = (r);                                                                            \
        (p)->Attributes = (a);                                                                               \
        (p)->ObjectName = (n);                                                                               \
        (p)->SecurityDescriptor = (s);                                                                       \
        (p)->SecurityQualityOfService = NULL;                                                                \
    } while (0)

// ---------------------------------------------------------------------------
// Files and threads
// ---------------------------------------------------------------------------

#define FILE_SUPERSEDE    0x00000000
#define FILE_OPEN         0x00000001
#define FILE_CREATE       0x00000002
#define FILE_OPEN_IF      0x00000003
#define FILE_OVERWRITE    0x00000004
#define FILE_OVERWRITE_IF 0x00000005

#define FILE_DIRECTORY_FILE            0x00000001
#define FILE_WRITE_THROUGH             0x00000002
#define FILE_SEQUENTIAL_ONLY           0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_SYNCHRONOUS_IO_ALERT      0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT   0x00000020
#define FILE_NON_DIRECTORY_FILE        0x00000040
#define FILE_RANDOM_ACCESS             0x00000800
#define FILE_DELETE_ON_CLOSE           0x00001000
