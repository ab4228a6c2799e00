// <wdm.h>, part one: basic types, IRQL and interlocked operations, pool and
// lookaside lists, dispatcher objects and spin locks, objects and handles, the
// security context of a create. Included by <wdm.h> only.
#pragma once
#ifndef TESSIRO_HOST_WDM_PARTS
#error "a part of <wdm.h>: include <wdm.h>, as with the DDK"
#endif

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
#define NTKERNELAPI
#define NTHALAPI
#define POINTER_ALIGNMENT
typedef ULONGLONG ULONG64, *PULONG64;
typedef PVOID *PPVOID;
typedef UCHAR KIRQL, *PKIRQL;
typedef LONG KPRIORITY;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG ACCESS_MASK;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

#define RtlCopyMemory(d, s, n)  memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n)  memmove((d), (s), (n))
#define RtlZeroMemory(d, n)     memset((d), 0, (n))
#define RtlFillMemory(d, n, f)  memset((d), (f), (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

// ---------------------------------------------------------------------------
// IRQL, interrupts, interlocked operations
// ---------------------------------------------------------------------------

#define PASSIVE_LEVEL  0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     31

#define KernelMode 0
#define UserMode   1
NT_BEGIN_DECLS
KIRQL KeGetCurrentIrql(void);
KIRQL KeRaiseIrqlToDpcLevel(void);
void KfLowerIrql(KIRQL NewIrql);
KIRQL KfRaiseIrql(KIRQL NewIrql);
void _disable(void);
void _enable(void);
NT_END_DECLS

#define KeLowerIrql(a)    KfLowerIrql(a)
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define YieldProcessor()  __builtin_ia32_pause()

#define InterlockedIncrement(p)      __atomic_add_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedDecrement(p)      __atomic_sub_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedExchange(p, v)    __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedExchangeAdd(p, v) __atomic_fetch_add((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedExchangePointer(p, v)                                                                     \
    ((PVOID)__atomic_exchange_n((PVOID *)(p), (PVOID)(v), __ATOMIC_SEQ_CST))
FORCEINLINE LONG InterlockedCompareExchange(volatile LONG *Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange,
                                                    PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;
NT_BEGIN_DECLS
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);
NT_END_DECLS

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef void (*PFREE_FUNCTION)(PVOID Buffer);

// A fixed-size free list in front of the pool. The host keeps the free blocks
// on a lock-protected singly linked list of at most Depth entries.
typedef struct _NPAGED_LOOKASIDE_LIST {
    SINGLE_LIST_ENTRY ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    KSPIN_LOCK Lock;
    LIST_ENTRY ListEntry;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;
NT_BEGIN_DECLS
void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
NT_END_DECLS

// ---------------------------------------------------------------------------
// Dispatcher objects, spin locks, interlocked lists, time
// ---------------------------------------------------------------------------

// Every waitable object begins with a DISPATCHER_HEADER, as in NT. The host
// kernel keeps its waiters behind the header; drivers never touch its fields.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Reserved[3];
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD *PETHREAD;
typedef struct _KPROCESS *PEPROCESS;

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

typedef LONG KPRIORITY;
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY         31

#define IO_NO_INCREMENT   0
#define IO_DISK_INCREMENT 1

typedef struct _KSYSTEM_TIME {
    ULONG LowPart;
    LONG High1Time;
    LONG High2Time;
} KSYSTEM_TIME, *PKSYSTEM_TIME;
NT_BEGIN_DECLS
extern volatile KSYSTEM_TIME KeTickCount;

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
PKTHREAD KeGetCurrentThread(void);
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
ULONG KeQueryTimeIncrement(void);

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

PLIST_ENTRY ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
NT_END_DECLS

#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KfAcquireSpinLock(SpinLock))
#define KeReleaseSpinLock(SpinLock, NewIrql) KfReleaseSpinLock((SpinLock), (NewIrql))
#define ExInterlockedInsertTailList          ExfInterlockedInsertTailList
#define ExInterlockedInsertHeadList          ExfInterlockedInsertHeadList
#define ExInterlockedRemoveHeadList          ExfInterlockedRemoveHeadList

// The tick count is read as on x86: high half, low half, and again while the
// high half differs from its second copy.
FORCEINLINE void KeQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    for (;;) {
        CurrentCount->HighPart = __atomic_load_n(&KeTickCount.High1Time, __ATOMIC_ACQUIRE);
        CurrentCount->LowPart = __atomic_load_n(&KeTickCount.LowPart, __ATOMIC_ACQUIRE);
        if (CurrentCount->HighPart == __atomic_load_n(&KeTickCount.High2Time, __ATOMIC_ACQUIRE))
            break;
        YieldProcessor();
    }
}

FORCEINLINE void InitializeListHead(PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead->Blink = ListHead;
}
FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead)
{
    return (BOOLEAN)(ListHead->Flink == ListHead);
}
FORCEINLINE void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY OldBlink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = OldBlink;
    OldBlink->Flink = Entry;
    ListHead->Blink = Entry;
}
FORCEINLINE void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY OldFlink = ListHead->Flink;
    Entry->Flink = OldFlink;
    Entry->Blink = ListHead;
    OldFlink->Blink = Entry;
    ListHead->Flink = Entry;
}
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY Flink = Entry->Flink, Blink = Entry->Blink;
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Flink;
    RemoveEntryList(Entry);
    return Entry;
}

// ---------------------------------------------------------------------------
// Objects, handles, names
// ---------------------------------------------------------------------------

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

typedef struct _OBJECT_TYPE *POBJECT_TYPE;
typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

#define SYNCHRONIZE       0x00100000L
#define DELETE            0x00010000L
#define GENERIC_READ      0x80000000L
#define GENERIC_WRITE     0x40000000L
#define GENERIC_ALL       0x10000000L
#define FILE_READ_DATA    0x0001
#define FILE_WRITE_DATA   0x0002
#define FILE_APPEND_DATA  0x0004
#define GENERIC_EXECUTE   0x20000000L
#define FILE_ALL_ACCESS   0x001F01FFL
#define THREAD_ALL_ACCESS 0x001F03FFL
NT_BEGIN_DECLS
extern POBJECT_TYPE *IoFileObjectType;
extern POBJECT_TYPE *PsThreadType;
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR ObfReferenceObject(PVOID Object);
LONG_PTR ObfDereferenceObject(PVOID Object);
NTSTATUS ZwClose(HANDLE Handle);
NT_END_DECLS

#define ObReferenceObject(o)   ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)

// ---------------------------------------------------------------------------
// Security: who sent IRP_MJ_CREATE
// ---------------------------------------------------------------------------

typedef PVOID PACCESS_TOKEN;

typedef struct _SECURITY_SUBJECT_CONTEXT {
    PACCESS_TOKEN ClientToken;
    LONG ImpersonationLevel;
    PACCESS_TOKEN PrimaryToken;
    PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;

typedef struct _ACCESS_STATE {
    ULONG OperationID;
    BOOLEAN SecurityEvaluated;
    BOOLEAN GenerateAudit;
    BOOLEAN GenerateOnClose;
    BOOLEAN PrivilegesAllocated;
    ULONG Flags;
    ACCESS_MASK RemainingDesiredAccess;
    ACCESS_MASK PreviouslyGrantedAccess;
    ACCESS_MASK OriginalDesiredAccess;
    SECURITY_SUBJECT_CONTEXT SubjectSecurityContext;
} ACCESS_STATE, *PACCESS_STATE;

typedef struct _IO_SECURITY_CONTEXT {
    PVOID SecurityQos;
    PACCESS_STATE AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
} IO_SECURITY_CONTEXT, *PIO_SECURITY_CONTEXT;
