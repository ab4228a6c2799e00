// Stop of one volume's cache: let the queue drain, end the worker, release
// the tiers, empty the table slot and free the context.
#include "Driver.h"

#define STOP_DRAIN_INTERVAL (-10000000LL)  // one second, relative

_Use_decl_annotations_ NTSTATUS StopVolumeCache(PVolumeCacheContext Context)
{
    LARGE_INTEGER Interval;

    // New requests pass by from now on. A thread that read Stopping as clear
    // just before may still be queueing: wait for it, so that no request is
    // queued after the worker has gone.
    RaiseFlag(&Context->Stopping);
    WaitForZeroCount(&DriverGlobals.VolumeTableReaders);

    // The worker serves what was queued before.
    Interval.QuadPart = STOP_DRAIN_INTERVAL;
    KeDelayExecutionThread(KernelMode, FALSE, &Interval);

    RaiseFlag(&Context->Terminate);
    KeReleaseSemaphore(&Context->QueueSemaphore, IO_NO_INCREMENT, 1, FALSE);
    KeWaitForSingleObject(Context->WorkerThread, Executive, KernelMode, FALSE, NULL);
    ObfDereferenceObject(Context->WorkerThread);

    // A thread inside the interception may have read the slot just before it
    // was emptied; the context is freed only once no such thread is left.
    (void)InterlockedExchangePointer((PVOID volatile *)&DriverGlobals.VolumeTable[Context->SlotIndex], NULL);
    WaitForZeroCount(&DriverGlobals.VolumeTableReaders);

    ReleaseVolumeContext(Context);
    return STATUS_SUCCESS;
}

void ReleaseVolumeContext(PVolumeCacheContext Context)
{
    CacheRelease(&Context->Cache);  // closing the cache file deletes it
    ObDereferenceObject(Context->VolumeDevice);
    ExFreePoolWithTag(Context, CACHE_POOL_TAG);
}
