// The worker thread of one cached volume: serves its queued requests one at
// a time, in arrival order, through the cache engine.
#include "Driver.h"
#include "engine/CachePaths.h"

static PIRP TakeQueuedRequest(PVolumeCacheContext Context)
{
    PLIST_ENTRY entry = ExfInterlockedRemoveHeadList(&Context->RequestQueue, &Context->QueueLock);
    return entry != NULL ? CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry) : NULL;
}

static void ServeRequest(PVolumeCacheContext Context, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->Tail.Overlay.DriverContext[0];  // mapped when queued
    ULONGLONG offset = (ULONGLONG)stack->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = stack->Parameters.Read.Length;
    ULONG transferred = 0;
    ULONG information;
    NTSTATUS status;

    Context->RequestStackFlags = (UCHAR)(stack->Flags & CACHE_INHERITED_STACK_FLAGS);
    if (stack->MajorFunction == IRP_MJ_READ) {
        status = CacheReadRequest(buffer, offset, length, Context, Irp, &transferred);
        information = status == STATUS_SUCCESS ? transferred : 0;
        Context->Statistics.ReadBytes += information;
        Context->Statistics.ReadRequests += 1;
    } else {
        status = CacheWriteRequest(buffer, offset, length, Context, Irp, &transferred);
        information = status == STATUS_SUCCESS ? transferred : 0;
    }
    Context->RequestStackFlags = 0;

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, status == STATUS_SUCCESS ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
}

// Requests still queued when the worker ends are handed to the owning
// driver's own routines, as if they had never been intercepted.
static void PassOnRequest(PVolumeCacheContext Context, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ)
        SavedReadDispatch(Context->VolumeDevice, Irp);
    else
        SavedWriteDispatch(Context->VolumeDevice, Irp);
}

void NTAPI VolumeWorkerThread(PVOID StartContext)
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
