// The interception of the owning driver's read and write entries, over its
// whole life: installed by the first start, removed at unload, and drained
// (waited for until no thread is inside it) by stops and unload. Requests for
// a cached volume are queued to its worker, all others go on to the owning
// driver's own routines unchanged.
//
// Two counters keep code and contexts alive while a thread may use them.
// InterceptCallers counts the threads inside InterceptReadWrite; unload gives
// the entries back and then waits for it to reach zero. VolumeTableReaders
// counts the threads inside QueueVolumeRequest, from before they read a slot
// until they are done with the context they found; a stop waits for it to
// reach zero after setting Stopping (so that nothing is queued behind the
// worker's back) and again after emptying the slot (so that nothing still
// holds the context when it is freed). Both counters are taken with
// interlocked operations, which order them against the slot and flag accesses.
#include "Driver.h"

NTSTATUS QueueVolumeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PVolumeCacheContext Context;
    PVOID Buffer;
    NTSTATUS Status = 0;

    InterlockedIncrement(&DriverGlobals.VolumeTableReaders);
    Context = FindVolumeByDevice(DeviceObject);
    // A request that the worker's own thread issues (an in-page read taken
    // inside the file system while the worker transfers the cache file) would
    // wait behind the worker for ever: it goes straight to the owning driver.
    if (Context != NULL && !ReadFlag(&Context->Stopping) && KeGetCurrentThread() != Context->WorkerThread) {
        // The worker needs the caller's buffer in system space. A request
        // without an MDL, or whose buffer cannot be mapped, is queued all the
        // same, without a buffer: the worker hands it on uncached, in order
        // with the requests before it, and drops the copies a write covers.
        Buffer = NULL;
        if (Irp->MdlAddress != NULL)
            Buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
        Irp->Tail.Overlay.DriverContext[0] = Buffer;
        IoMarkIrpPending(Irp);
        ExInterlockedInsertTailList(&Context->RequestQueue, &Irp->Tail.Overlay.ListEntry,
                                    &Context->QueueLock);
        KeReleaseSemaphore(&Context->QueueSemaphore, IO_NO_INCREMENT, 1, FALSE);
        Status = STATUS_PENDING;
    }
    InterlockedDecrement(&DriverGlobals.VolumeTableReaders);
    return Status;
}

_Use_decl_annotations_ NTSTATUS NTAPI InterceptReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Read before queueing: a queued request may be completed at any moment.
    UCHAR Major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    NTSTATUS Status;

    InterlockedIncrement(&DriverGlobals.InterceptCallers);
    Status = QueueVolumeRequest(DeviceObject, Irp);
    if (Status != STATUS_PENDING)
        Status = CallOwningDriver(Major, DeviceObject, Irp);
    InterlockedDecrement(&DriverGlobals.InterceptCallers);
    return Status;
}

NTSTATUS CallOwningDriver(UCHAR MajorFunction, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (MajorFunction == IRP_MJ_WRITE)
        return DriverGlobals.SavedWriteDispatch(DeviceObject, Irp);
    return DriverGlobals.SavedReadDispatch(DeviceObject, Irp);
}

// Exchanges the read and write entries of a driver's dispatch table at
// DISPATCH_LEVEL with interrupts disabled.
static void ExchangeReadWriteEntries(PDRIVER_OBJECT Driver, PDRIVER_DISPATCH Read, PDRIVER_DISPATCH Write)
{
    // A processor dispatching a request meanwhile sees either the old or the
    // new routine in each entry, never a torn pointer.
    KIRQL OldIrql = KeRaiseIrqlToDpcLevel();
    _disable();
    (void)InterlockedExchangePointer((PVOID volatile *)&Driver->MajorFunction[IRP_MJ_WRITE], (PVOID)Write);
    (void)InterlockedExchangePointer((PVOID volatile *)&Driver->MajorFunction[IRP_MJ_READ], (PVOID)Read);
    _enable();
    KeLowerIrql(OldIrql);
}

void InstallInterception(PDRIVER_OBJECT OwningDriver)
{
    if (DriverGlobals.HookInstalled)
        return;
    DriverGlobals.SavedWriteDispatch = OwningDriver->MajorFunction[IRP_MJ_WRITE];
    DriverGlobals.SavedReadDispatch = OwningDriver->MajorFunction[IRP_MJ_READ];
    ExchangeReadWriteEntries(OwningDriver, InterceptReadWrite, InterceptReadWrite);
    DriverGlobals.HookInstalled = TRUE;
    DriverGlobals.HookedDriver = OwningDriver;
}

void RemoveInterception(void)
{
    if (!DriverGlobals.HookInstalled)
        return;
    ExchangeReadWriteEntries(DriverGlobals.HookedDriver, DriverGlobals.SavedReadDispatch,
                             DriverGlobals.SavedWriteDispatch);
    // A thread that fetched InterceptReadWrite from the table before the
    // exchange may still be inside it, on its way to a saved routine. The
    // image must stay until the last of them has left.
    WaitForZeroCount(&DriverGlobals.InterceptCallers);
}

void WaitForZeroCount(volatile LONG *Count)
{
    LARGE_INTEGER Interval;

    Interval.QuadPart = -10000;  // 1 ms
    while (ReadCount(Count) != 0)
        KeDelayExecutionThread(KernelMode, FALSE, &Interval);
}
