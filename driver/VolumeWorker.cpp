// The worker thread of one cached volume: serves its queued requests one at
// a time, in arrival order, through the cache engine.
#include "Driver.h"
#include "engine/ReadPath.h"
#include "engine/VolumeCache.h"
#include "engine/WritePath.h"

static PIRP TakeQueuedRequest(PVolumeCacheContext Context)
{
    PLIST_ENTRY Entry = ExInterlockedRemoveHeadList(&Context->RequestQueue, &Context->QueueLock);
    return Entry != NULL ? CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry) : NULL;
}

// Requests still queued when the worker ends are handed to the owning
// driver's own routines, as if they had never been intercepted.
static void PassOnRequest(PVolumeCacheContext Context, PIRP Irp)
{
    CallOwningDriver(IoGetCurrentIrpStackLocation(Irp)->MajorFunction, Context->VolumeDevice, Irp);
}

// A request that the cache cannot serve (no buffer in system space, or a
// resource it needs cannot be had) still reaches the volume, uncached. A
// write first drops the copies of the blocks it covers: none of them may
// outlive it. Requests queued before it have been served already, so the
// drop is in order with them.
static void PassOnUncached(PVolumeCacheContext Context, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    if (Stack->MajorFunction == IRP_MJ_WRITE)
        DropCoveredBlocks(&Context->Cache, (ULONGLONG)Stack->Parameters.Write.ByteOffset.QuadPart,
                          Stack->Parameters.Write.Length);
    PublishStatistics(Context);
    PassOnRequest(Context, Irp);
}

static void ServeRequest(PVolumeCacheContext Context, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID Buffer = Irp->Tail.Overlay.DriverContext[0];  // mapped when queued, or null
    ULONGLONG Offset = (ULONGLONG)Stack->Parameters.Read.ByteOffset.QuadPart;
    ULONG Length = Stack->Parameters.Read.Length;
    ULONG Transferred = 0;
    ULONG Information;
    NTSTATUS Status;

    if (Buffer == NULL) {
        PassOnUncached(Context, Irp);
        return;
    }

    Context->RequestStackFlags = (UCHAR)(Stack->Flags & CACHE_INHERITED_STACK_FLAGS);
    if (Stack->MajorFunction == IRP_MJ_READ)
        Status = CacheReadRequest(&Context->Cache, Buffer, Offset, Length, &Transferred);
    else
        Status = CacheWriteRequest(&Context->Cache, Buffer, Offset, Length, &Transferred);
    Context->RequestStackFlags = 0;
    if (Context->Cache.PassOnUncached) {
        PassOnUncached(Context, Irp);
        return;
    }

    Information = Status == STATUS_SUCCESS ? Transferred : 0;
    // Published before the completion: a statistics request sent after the
    // caller has seen its request complete counts it.
    PublishStatistics(Context);

    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, Status == STATUS_SUCCESS ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
}

_Use_decl_annotations_ void NTAPI VolumeWorkerThread(PVOID StartContext)
{
    PVolumeCacheContext Context = (PVolumeCacheContext)StartContext;
    PIRP Irp;

    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
    Irp = TakeQueuedRequest(Context);
    while (!ReadFlag(&Context->Terminate)) {
        if (Irp == NULL)
            KeWaitForSingleObject(&Context->QueueSemaphore, Executive, KernelMode, FALSE, NULL);
        else
            ServeRequest(Context, Irp);
        Irp = TakeQueuedRequest(Context);
    }
    while (Irp != NULL) {
        PassOnRequest(Context, Irp);
        Irp = TakeQueuedRequest(Context);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}
