// IRPs and MDLs: allocation, the stack locations, calling a driver,
// completion with its routines, and the I/O manager's own completion of the
// requests it built (synchronous FSD requests and the requests of the Zw and
// user-mode calls).
#include "KernelInternal.h"
#include "../../common/include/SpinFutexLock.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace host::detail {
namespace {

constexpr uint32_t IrpMagic = 0x50524948;  // "HIRP"
constexpr uint32_t FreedIrpMagic = 0x44524948;

// The I/O manager's private part of an IRP, in front of it.
//
// Holds keeps the memory alive while IofCallDriver still looks at the IRP
// after its routine returned: the allocation is one hold, each IofCallDriver
// in progress another, and the last one to go frees it. The three masks have
// one bit per stack location (the first 64): Walked, the locations that
// completion has passed; Marked, those of them that were marked pending;
// ReturnedPending, those whose dispatch routine returned STATUS_PENDING. A
// routine that returns STATUS_PENDING must have marked its location, and
// each side checks that rule against what the other has published.
struct alignas(16) IrpHost {
    uint32_t Magic;
    uint8_t StackCount;
    bool IoManagerCompletes;  // finished by the I/O manager after the last completion routine
    ULONG OutputLength;       // METHOD_BUFFERED control requests: bytes the caller can take
    std::atomic<int> Holds;
    std::atomic<uint64_t> Walked, Marked, ReturnedPending;
    SyncRequest *Owner;  // the host's own waiter, for requests it built itself
};
static_assert(sizeof(IrpHost) % 16 == 0, "the IRP stays 16-byte aligned");

uint64_t LocationBit(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    ptrdiff_t Index = Stack - reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
    return Index >= 0 && Index < 64 ? uint64_t(1) << Index : 0;
}

[[noreturn]] void PendingWithoutMark(PIRP Irp)
{
    BugCheck("DRIVER_VERIFIER_IOMANAGER_VIOLATION: a dispatch routine returned STATUS_PENDING for "
             "IRP %p without marking it pending (IoMarkIrpPending)",
             (void *)Irp);
}

IrpHost *HostOf(PIRP Irp)
{
    auto *Host = reinterpret_cast<IrpHost *>(Irp) - 1;
    if (Host->Magic != IrpMagic)
        BugCheck("%p is not a live IRP (magic %08x)", (void *)Irp, Host->Magic);
    return Host;
}

size_t IrpBytes(unsigned StackCount)
{
    return sizeof(IrpHost) + sizeof(IRP) + StackCount * sizeof(IO_STACK_LOCATION);
}

// Freed IRPs of small stack counts are kept for reuse, so that the request
// path does not go to the allocator. Sanitizer builds free them at once, so
// that a use after free is caught.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned CachedStackCounts = 0;
#else
constexpr unsigned CachedStackCounts = 8;
#endif
constexpr size_t CacheDepth = 512;
// Every submitting thread takes an IRP here and the worker that completes
// them gives them back, a few pointer moves each: a lock that spins briefly
// before it sleeps, as NT's lookaside lists never put a thread to sleep.
SpinFutexLock CacheLock;
std::vector<void *> IrpCache[9];

std::atomic<long> MapFailAfter{-1};
std::atomic<long> MapFailNext{0};
std::atomic<long> BuildFailAfter{-1};

// Takes one from a "succeed N more times" budget; false once it is spent
// (a negative budget never is).
bool TakeBudget(std::atomic<long> &Budget)
{
    long Left = Budget.load();
    while (Left > 0 && !Budget.compare_exchange_weak(Left, Left - 1)) {
    }
    return Left != 0;
}

// Bytes of a buffer's pages, as the platform counts them for the PFN array.
ULONG PagesSpanned(const void *Va, size_t Length)
{
    uintptr_t Start = reinterpret_cast<uintptr_t>(Va);
    if (Length == 0)
        return 0;
    return ULONG(((Start + Length - 1) >> PAGE_SHIFT) - (Start >> PAGE_SHIFT) + 1);
}

void FillPfns(PMDL Mdl)
{
    uintptr_t Page = reinterpret_cast<uintptr_t>(Mdl->StartVa) >> PAGE_SHIFT;
    ULONG Count = PagesSpanned(MmGetMdlVirtualAddress(Mdl), Mdl->ByteCount);
    PPFN_NUMBER Pfns = MmGetMdlPfnArray(Mdl);
    for (ULONG i = 0; i < Count; ++i)
        Pfns[i] = Page + i;
}

// What the I/O manager does once every driver has completed a request it
// built: copy out buffered data, release MDLs and buffers, report the status
// block, signal the event and free the IRP.
//
// As NT does, it reports the status block and signals the event only for a
// request that did not fail, or that failed after it was pended (for
// synchronous I/O only when a file object carries it). A request that fails
// without being pended, as when a dispatch routine fails it at once, leaves
// both untouched: its caller has the status from IoCallDriver.
void FinishThreadedIrp(PIRP Irp)
{
    IrpHost *Host = HostOf(Irp);
    PFILE_OBJECT File = Irp->Tail.Overlay.OriginalFileObject;
    bool SynchronousIo = (Irp->Flags & IRP_SYNCHRONOUS_API) || (File && (File->Flags & FO_SYNCHRONOUS_IO));
    bool Report = !NT_ERROR(Irp->IoStatus.Status) || (Irp->PendingReturned && !SynchronousIo) ||
                  (Irp->PendingReturned && File && (Irp->Flags & IRP_SYNCHRONOUS_API));
    if (Irp->Flags & IRP_BUFFERED_IO) {
        if ((Irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(Irp->IoStatus.Status) && Irp->UserBuffer &&
            Irp->AssociatedIrp.SystemBuffer) {
            size_t Count = Irp->IoStatus.Information;
            if (Count > Host->OutputLength)
                Count = Host->OutputLength;
            memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, Count);
        }
        if (Irp->Flags & IRP_DEALLOCATE_BUFFER)
            free(Irp->AssociatedIrp.SystemBuffer);
        Irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (PMDL Mdl = Irp->MdlAddress) {
        Irp->MdlAddress = Mdl->Next;
        if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(Mdl);
        IoFreeMdl(Mdl);
    }
    if (Report && Irp->UserIosb)
        *Irp->UserIosb = Irp->IoStatus;
    PKEVENT Event = Report ? Irp->UserEvent : nullptr;
    if (Host->Owner)
        Host->Owner->Finished.store(true, std::memory_order_release);
    IoFreeIrp(Irp);
    if (Event)
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
}

void ReleaseIrpMemory(IrpHost *Host)
{
    unsigned Count = Host->StackCount;
    if (Count <= CachedStackCounts) {
        std::lock_guard<SpinFutexLock> Guard(CacheLock);
        if (IrpCache[Count].size() < CacheDepth) {
            IrpCache[Count].push_back(Host);
            return;
        }
    }
    free(Host);
}

void DropHold(IrpHost *Host)
{
    if (Host->Holds.fetch_sub(1, std::memory_order_acq_rel) == 1)
        ReleaseIrpMemory(Host);
}

}  // namespace

void ResetMdlFaults()
{
    MapFailAfter.store(-1);
    MapFailNext.store(0);
    BuildFailAfter.store(-1);
}

void ResetIrpCache()
{
    std::lock_guard<SpinFutexLock> Guard(CacheLock);
    for (auto &List : IrpCache) {
        for (void *Block : List)
            free(Block);
        List.clear();
    }
}

PIRP AllocateThreadedIrp(PDEVICE_OBJECT Device, SyncRequest *Request)
{
    PIRP Irp = IoAllocateIrp(Device->StackSize, FALSE);
    if (!Irp)
        return nullptr;
    HostOf(Irp)->IoManagerCompletes = true;
    HostOf(Irp)->Owner = Request;
    Request->Finished.store(false);
    KeInitializeEvent(&Request->Event, NotificationEvent, FALSE);
    Request->Iosb.Status = STATUS_PENDING;
    Request->Iosb.Information = 0;
    Irp->UserEvent = &Request->Event;
    Irp->UserIosb = &Request->Iosb;
    Irp->Flags |= IRP_SYNCHRONOUS_API;
    Irp->Tail.Overlay.Thread = KeGetCurrentThread();
    Irp->RequestorMode = KernelMode;
    return Irp;
}

void SetBufferedOutputLength(PIRP Irp, ULONG Length)
{
    HostOf(Irp)->OutputLength = Length;
}

NTSTATUS CallAndWait(PDEVICE_OBJECT Device, PIRP Irp, SyncRequest *Request)
{
    NTSTATUS Status = IoCallDriver(Device, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Request->Event, Executive, KernelMode, FALSE, nullptr);
        return Request->Iosb.Status;
    }
    // A routine that does not return STATUS_PENDING must have completed the
    // request already; otherwise its later completion would write to this
    // caller's stack after the call returned.
    if (!Request->Finished.load(std::memory_order_acquire))
        BugCheck("dispatch routine returned 0x%08x without completing the request and without "
                 "STATUS_PENDING",
                 (unsigned)Status);
    if (KeReadStateEvent(&Request->Event) != 0 && Request->Iosb.Status != Status)
        fprintf(stderr,
                "host kernel: dispatch routine returned 0x%08x but completed the request with "
                "0x%08x\n",
                (unsigned)Status, (unsigned)Request->Iosb.Status);
    return Status;
}

}  // namespace host::detail

using namespace host::detail;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    if (StackSize < 1)
        BugCheck("IoAllocateIrp with stack size %d", StackSize);
    unsigned Count = unsigned(StackSize);
    void *Block = nullptr;
    if (Count <= CachedStackCounts) {
        std::lock_guard<host::SpinFutexLock> Guard(CacheLock);
        if (!IrpCache[Count].empty()) {
            Block = IrpCache[Count].back();
            IrpCache[Count].pop_back();
        }
    }
    if (!Block)
        Block = malloc(IrpBytes(Count));
    if (!Block)
        return nullptr;
    memset(Block, 0, IrpBytes(Count));
    auto *Host = new (Block) IrpHost();
    Host->Holds.store(1);
    Host->Magic = IrpMagic;
    Host->StackCount = uint8_t(Count);
    auto *Irp = reinterpret_cast<PIRP>(Host + 1);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = USHORT(sizeof(IRP) + Count * sizeof(IO_STACK_LOCATION));
    Irp->StackCount = CHAR(Count);
    Irp->CurrentLocation = CHAR(Count + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + Count;
    return Irp;
}

void IoFreeIrp(PIRP Irp)
{
    IrpHost *Host = HostOf(Irp);
    Host->Magic = FreedIrpMagic;
    DropHold(Host);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IrpHost *Host = HostOf(Irp);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck("IofCallDriver at IRQL %u", KeGetCurrentIrql());
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        BugCheck("NO_MORE_IRP_STACK_LOCATIONS: IRP %p sent to a device with no stack location left",
                 (void *)Irp);
    PIO_STACK_LOCATION Stack = --Irp->Tail.Overlay.CurrentStackLocation;
    Stack->DeviceObject = DeviceObject;
    uint64_t Bit = LocationBit(Irp, Stack);
    PDRIVER_DISPATCH Routine = DeviceObject->DriverObject->MajorFunction[Stack->MajorFunction];
    // The IRP may be completed and freed before the routine returns; the
    // hold keeps its memory for the check below.
    Host->Holds.fetch_add(1, std::memory_order_relaxed);
    NTSTATUS Status = Routine(DeviceObject, Irp);
    if (Status == STATUS_PENDING && Bit) {
        Host->ReturnedPending.fetch_or(Bit);
        if ((Host->Walked.load() & Bit) && !(Host->Marked.load() & Bit))
            PendingWithoutMark(Irp);
    }
    DropHold(Host);
    return Status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    IrpHost *Host = HostOf(Irp);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck("IofCompleteRequest at IRQL %u", KeGetCurrentIrql());
    if (Irp->CurrentLocation > Irp->StackCount)
        BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS: IRP %p completed twice or never sent", (void *)Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        BugCheck("IRP %p completed with STATUS_PENDING", (void *)Irp);

    // Walk up the stack: each location's SL_PENDING_RETURNED becomes the IRP's
    // PendingReturned for the routine above, and a location without a routine
    // passes the pending mark on to the next one, as the platform does.
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    do {
        Irp->PendingReturned = (Stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        if (uint64_t Bit = LocationBit(Irp, Stack)) {
            if (Irp->PendingReturned)
                Host->Marked.fetch_or(Bit);
            Host->Walked.fetch_or(Bit);
            if ((Host->ReturnedPending.load() & Bit) && !Irp->PendingReturned)
                PendingWithoutMark(Irp);
        }
        NTSTATUS Status = Irp->IoStatus.Status;
        UCHAR Control = Stack->Control;
        PIO_COMPLETION_ROUTINE Routine = Stack->CompletionRoutine;
        PVOID Context = Stack->Context;
        bool Invoke = Routine && ((NT_SUCCESS(Status) && (Control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(Status) && (Control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (Control & SL_INVOKE_ON_CANCEL)));
        if (!Invoke && Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned)
            IoMarkIrpPending(Irp);
        Stack->MinorFunction = 0;
        Stack->Flags = 0;
        Stack->Control = 0;
        Stack->Parameters.Others.Argument1 = Stack->Parameters.Others.Argument2 = nullptr;
        Stack->Parameters.Others.Argument3 = Stack->Parameters.Others.Argument4 = nullptr;
        Stack->FileObject = nullptr;
        if (Invoke) {
            PDEVICE_OBJECT Device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (Routine(Device, Irp, Context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;  // the routine owns the IRP now
        }
        IoSkipCurrentIrpStackLocation(Irp);
        Stack++;
    } while (Irp->CurrentLocation <= Irp->StackCount + 1);

    // Every location has been completed; CurrentLocation is StackCount + 2,
    // as the platform leaves it.
    if (Host->IoManagerCompletes) {
        FinishThreadedIrp(Irp);
        return;
    }
    BugCheck("IRP %p from IoAllocateIrp completed without a completion routine that returns "
             "STATUS_MORE_PROCESSING_REQUIRED; the I/O manager cannot finish it",
             (void *)Irp);
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        BugCheck("IoBuildSynchronousFsdRequest at IRQL %u", KeGetCurrentIrql());
    // The IRP and its MDL come from non-paged pool, which may be exhausted.
    if (!TakeBudget(BuildFailAfter))
        return nullptr;
    PIRP Irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!Irp)
        return nullptr;
    HostOf(Irp)->IoManagerCompletes = true;
    Irp->UserIosb = IoStatusBlock;
    Irp->UserEvent = Event;
    // A threaded request without a file object; NT does not mark it as a
    // synchronous API call, so a failure after pending still reports.
    Irp->Tail.Overlay.Thread = KeGetCurrentThread();
    Irp->RequestorMode = KernelMode;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = UCHAR(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        Stack->Parameters.Read.Length = Length;
        if (StartingOffset)
            Stack->Parameters.Read.ByteOffset = *StartingOffset;
        if (DeviceObject->Flags & DO_DIRECT_IO) {
            PMDL Mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp);
            if (!Mdl) {
                IoFreeIrp(Irp);
                return nullptr;
            }
            MmBuildMdlForNonPagedPool(Mdl);
        } else if (DeviceObject->Flags & DO_BUFFERED_IO) {
            // The platform copies through a system buffer; the caller's
            // buffer is a system address, so it serves as one here.
            Irp->AssociatedIrp.SystemBuffer = Buffer;
        } else {
            Irp->UserBuffer = Buffer;
        }
    }
    return Irp;
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    (void)ChargeQuota;
    ULONG Pages = PagesSpanned(VirtualAddress, Length);
    size_t Bytes = sizeof(MDL) + Pages * sizeof(PFN_NUMBER);
    auto *Mdl = static_cast<PMDL>(calloc(1, Bytes));
    if (!Mdl)
        return nullptr;
    Mdl->Size = CSHORT(Bytes > 0x7FFF ? 0x7FFF : Bytes);
    Mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    uintptr_t Va = reinterpret_cast<uintptr_t>(VirtualAddress);
    Mdl->StartVa = reinterpret_cast<PVOID>(Va & ~uintptr_t(PAGE_SIZE - 1));
    Mdl->ByteOffset = ULONG(Va & (PAGE_SIZE - 1));
    Mdl->ByteCount = Length;
    if (Irp) {
        if (SecondaryBuffer && Irp->MdlAddress) {
            PMDL Last = Irp->MdlAddress;
            while (Last->Next)
                Last = Last->Next;
            Last->Next = Mdl;
        } else {
            Irp->MdlAddress = Mdl;
        }
    }
    return Mdl;
}

void IoFreeMdl(PMDL Mdl)
{
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        BugCheck("IoFreeMdl of MDL %p whose pages are still locked", (void *)Mdl);
    free(Mdl);
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    FillPfns(MemoryDescriptorList);
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    (void)AccessMode;
    (void)Operation;
    if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)
        BugCheck("MmProbeAndLockPages of MDL %p that is already locked", (void *)MemoryDescriptorList);
    FillPfns(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

void MmUnlockPages(PMDL MemoryDescriptorList)
{
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED))
        BugCheck("MmUnlockPages of MDL %p that is not locked", (void *)MemoryDescriptorList);
    if (MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
        MmUnmapLockedPages(MemoryDescriptorList->MappedSystemVa, MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags &= ~CSHORT(MDL_PAGES_LOCKED);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority)
{
    (void)AccessMode;
    (void)CacheType;
    (void)RequestedAddress;
    (void)Priority;
    PMDL Mdl = MemoryDescriptorList;
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return Mdl->MappedSystemVa;
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
        BugCheck("MmMapLockedPagesSpecifyCache of MDL %p whose pages are not locked", (void *)Mdl);
    long Failing = MapFailNext.load();
    while (Failing > 0 && !MapFailNext.compare_exchange_weak(Failing, Failing - 1)) {
    }
    if (Failing > 0 || !TakeBudget(MapFailAfter)) {
        if (BugCheckOnFailure)
            BugCheck("NO_MORE_SYSTEM_PTES: mapping of MDL %p failed", (void *)Mdl);
        return nullptr;
    }
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}

void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    if (!(MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) ||
        BaseAddress != MemoryDescriptorList->MappedSystemVa)
        BugCheck("MmUnmapLockedPages of %p, which MDL %p does not map", BaseAddress,
                 (void *)MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags &= ~CSHORT(MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

namespace host {
void MdlMapFailAfter(long N)
{
    MapFailAfter.store(N < 0 ? -1 : N);
}
void MdlMapFailNext(long N)
{
    MapFailNext.store(N < 0 ? 0 : N);
}
void BuildRequestFailAfter(long N)
{
    BuildFailAfter.store(N < 0 ? -1 : N);
}
}  // namespace host
