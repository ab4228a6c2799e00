// The host build's <ntddk.h>: <wdm.h> and what the DDK adds to it: device
// control and end-of-file calls on files, generic tables.
#pragma once

#include <wdm.h>

// ---------------------------------------------------------------------------
// Files and threads
// ---------------------------------------------------------------------------

typedef struct _FILE_END_OF_FILE_INFORMATION {
    LARGE_INTEGER EndOfFile;
} FILE_END_OF_FILE_INFORMATION, *PFILE_END_OF_FILE_INFORMATION;
NT_BEGIN_DECLS
NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);
NT_END_DECLS

// ---------------------------------------------------------------------------
// Generic tables (splay trees), as the run-time library keeps them
// ---------------------------------------------------------------------------

typedef struct _RTL_SPLAY_LINKS {
    struct _RTL_SPLAY_LINKS *Parent;
    struct _RTL_SPLAY_LINKS *LeftChild;
    struct _RTL_SPLAY_LINKS *RightChild;
} RTL_SPLAY_LINKS, *PRTL_SPLAY_LINKS;

typedef enum _RTL_GENERIC_COMPARE_RESULTS {
    GenericLessThan,
    GenericGreaterThan,
    GenericEqual
} RTL_GENERIC_COMPARE_RESULTS;

struct _RTL_GENERIC_TABLE;
typedef RTL_GENERIC_COMPARE_RESULTS RTL_GENERIC_COMPARE_ROUTINE(struct _RTL_GENERIC_TABLE *Table,
                                                                PVOID FirstStruct, PVOID SecondStruct);
typedef RTL_GENERIC_COMPARE_ROUTINE *PRTL_GENERIC_COMPARE_ROUTINE;
typedef PVOID RTL_GENERIC_ALLOCATE_ROUTINE(struct _RTL_GENERIC_TABLE *Table, CLONG ByteSize);
typedef RTL_GENERIC_ALLOCATE_ROUTINE *PRTL_GENERIC_ALLOCATE_ROUTINE;
typedef void RTL_GENERIC_FREE_ROUTINE(struct _RTL_GENERIC_TABLE *Table, PVOID Buffer);
typedef RTL_GENERIC_FREE_ROUTINE *PRTL_GENERIC_FREE_ROUTINE;

typedef struct _RTL_GENERIC_TABLE {
    PRTL_SPLAY_LINKS TableRoot;
    LIST_ENTRY InsertOrderList;
    PLIST_ENTRY OrderedPointer;
    ULONG WhichOrderedElement;
    ULONG NumberGenericTableElements;
    PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine;
    PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine;
    PRTL_GENERIC_FREE_ROUTINE FreeRoutine;
    PVOID TableContext;
} RTL_GENERIC_TABLE, *PRTL_GENERIC_TABLE;
NT_BEGIN_DECLS
void RtlInitializeGenericTable(PRTL_GENERIC_TABLE Table, PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine,
                               PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine,
                               PRTL_GENERIC_FREE_ROUTINE FreeRoutine, PVOID TableContext);
PVOID RtlInsertElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer, CLONG BufferSize,
                                   PBOOLEAN NewElement);
BOOLEAN RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer);
PVOID RtlLookupElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer);
PVOID RtlEnumerateGenericTable(PRTL_GENERIC_TABLE Table, BOOLEAN Restart);
ULONG RtlNumberGenericTableElements(PRTL_GENERIC_TABLE Table);
BOOLEAN RtlIsGenericTableEmpty(PRTL_GENERIC_TABLE Table);
NT_END_DECLS
