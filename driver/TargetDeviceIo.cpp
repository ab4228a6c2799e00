// Synchronous transfer to a cached volume below the interception: the request
// goes straight to the owning driver's saved routine, so it is never queued to
// the worker that waits for it.
#include "Driver.h"

_Use_decl_annotations_ NTSTATUS TargetDeviceIo(UCHAR MajorFunction, ULONGLONG ByteOffset, ULONG Length,
                                               PVOID Buffer, PVOID LowerContext, PULONG Information)
{
    PVolumeCacheContext Context = (PVolumeCacheContext)LowerContext;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    LARGE_INTEGER offset;
    PIO_STACK_LOCATION stack;
    PIRP irp;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    offset.QuadPart = (LONGLONG)ByteOffset;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    irp = IoBuildSynchronousFsdRequest(MajorFunction, Context->VolumeDevice, Buffer, Length, &offset, &event,
                                       &ioStatus);
    if (irp == NULL) {
        // The volume could serve the request: the worker hands it on uncached.
        PassRequestOnUncached(&Context->Cache);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Make the filled-in stack location current, as the I/O manager's call
    // would.
    IoSetNextIrpStackLocation(irp);
    stack = IoGetCurrentIrpStackLocation(irp);
    // The volume carries out the write although a file system is mounted.
    if (MajorFunction == IRP_MJ_WRITE)
        stack->Flags |= SL_FORCE_DIRECT_WRITE;
    // A write-through write of a file system is durable only when its lower
    // write is, and a read that overrides a pending verify must do so below.
    stack->Flags |= Context->RequestStackFlags;
    stack->DeviceObject = Context->VolumeDevice;

    status = CallOwningDriver(MajorFunction, Context->VolumeDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    *Information = (ULONG)ioStatus.Information;
    return status;
}
