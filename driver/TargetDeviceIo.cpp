// Synchronous transfer to a cached volume below the interception: the request
// goes straight to the owning driver's saved routine, so it is never queued to
// the worker that waits for it.
#include "Driver.h"

_Use_decl_annotations_ NTSTATUS TargetDeviceIo(UCHAR MajorFunction, ULONGLONG ByteOffset, ULONG Length,
                                               PVOID Buffer, PVOID LowerContext, PULONG Information)
{
    PVolumeCacheContext Context = (PVolumeCacheContext)LowerContext;
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    LARGE_INTEGER Offset;
    PIO_STACK_LOCATION Stack;
    PIRP Irp;
    NTSTATUS Status;

    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    Offset.QuadPart = (LONGLONG)ByteOffset;
    IoStatus.Status = STATUS_SUCCESS;
    IoStatus.Information = 0;
    Irp = IoBuildSynchronousFsdRequest(MajorFunction, Context->VolumeDevice, Buffer, Length, &Offset, &Event,
                                       &IoStatus);
    if (Irp == NULL) {
        // The volume could serve the request: the worker hands it on uncached.
        PassRequestOnUncached(&Context->Cache);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Make the filled-in stack location current, as the I/O manager's call
    // would.
    IoSetNextIrpStackLocation(Irp);
    Stack = IoGetCurrentIrpStackLocation(Irp);
    // The volume carries out the write although a file system is mounted.
    if (MajorFunction == IRP_MJ_WRITE)
        Stack->Flags |= SL_FORCE_DIRECT_WRITE;
    // A write-through write of a file system is durable only when its lower
    // write is, and a read that overrides a pending verify must do so below.
    Stack->Flags |= Context->RequestStackFlags;
    Stack->DeviceObject = Context->VolumeDevice;

    Status = CallOwningDriver(MajorFunction, Context->VolumeDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = IoStatus.Status;
    }
    *Information = (ULONG)IoStatus.Information;
    return Status;
}
