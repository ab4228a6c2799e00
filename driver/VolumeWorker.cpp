// The worker thread of one cached volume: serves its queued requests one at
// a time, in arrival order, through the cache engine.
#include "Driver.h"
#include "engine/ReadPath.h"
#include "engine/VolumeCache.h"
#include "engine/WritePath.h"

static PIRP TakeQueuedRequest(PVolumeCacheContext Context)
{
    PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&Context->RequestQueue, &Context->QueueLock);
    return entry != NULL ? CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry) : NULL;
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
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (stack->MajorFunction == IRP_MJ_WRITE)
        DropCoveredBlocks(&Context->Cache, (ULONGLONG)stack->Parameters.Write.ByteOffset.QuadPart,
                          stack->Parameters.Write.Length);
    PublishStatistics(Context);
    PassOnRequest(Context, Irp);
}

static void ServeRequest(PVolumeCacheContext Context, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->Tail.Overlay.DriverContext[0];  // mapped when queued, or null
    ULONGLONG offset = (ULONGLONG)stack->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = stack->Parameters.Read.Length;
    ULONG transferred = 0;
    ULONG information;
    NTSTATUS status;

    if (buffer == NULL) {
        PassOnUncached(Context, Irp);
        return;
    }

    Context->RequestStackFlags = (UCHAR)(stack->Flags & CACHE_INHERITED_STACK_FLAGS);
    if (stack->MajorFunction == IRP_MJ_READ)
        status = CacheReadRequest(&Context->Cache, buffer, offset, length, &transferred);
    else
        status = CacheWriteRequest(&Context->Cache, buffer, offset, length, &transferred);
    Context->RequestStackFlags = 0;
    if (Context->Cache.PassOnUncached) {
        PassOnUncached(Context, Irp);
        return;
    }

    information = status == STATUS_SUCCESS ? transferred : 0;
    // Published before the completion: a statistics request sent after the
    // caller has seen its request complete counts it.
    PublishStatistics(Context);

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, status == STATUS_SUCCESS ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
}

_Use_decl_annotations_ void NTAPI VolumeWorkerThread(PVOID StartContext)
{
    PVolumeCacheContext context = (PVolumeCacheContext)StartContext;
    PIRP irp;

    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
    irp = TakeQueuedRequest(context);
    while (!ReadFlag(&context->Terminate)) {
        if (irp == NULL)
            KeWaitForSingleObject(&context->QueueSemaphore, Executive, KernelMode, FALSE, NULL);
        else
            ServeRequest(context, irp);
        irp = TakeQueuedRequest(context);
    }
    while (irp != NULL) {
        PassOnRequest(context, irp);
        irp = TakeQueuedRequest(context);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}
