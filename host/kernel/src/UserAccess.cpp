// Requests as user mode and the system send them: opening a device, buffered
// device control, direct-I/O reads and writes, closing.
#include "KernelInternal.h"

#include <cstdlib>

namespace host::detail {
namespace {

NTSTATUS ReadWrite(PDEVICE_OBJECT Device, PFILE_OBJECT File, UCHAR Major, void *Buffer,
                   ULONG Length, uint64_t Offset, ULONG_PTR *Information, bool MapBuffer,
                   UCHAR StackFlags) {
    if (Information)
        *Information = 0;
    if (Major != IRP_MJ_READ && Major != IRP_MJ_WRITE)
        return STATUS_INVALID_PARAMETER;
    SyncRequest Request;
    PIRP Irp = AllocateThreadedIrp(Device, &Request);
    if (!Irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    // Without a file object the request is the system's own, as a driver
    // builds it with IoBuildSynchronousFsdRequest: not a synchronous API call.
    if (!File)
        Irp->Flags &= ~ULONG(IRP_SYNCHRONOUS_API);
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = Major;
    Stack->Flags = StackFlags;
    Stack->FileObject = File;
    Stack->Parameters.Read.Length = Length;
    Stack->Parameters.Read.ByteOffset.QuadPart = LONGLONG(Offset);
    Irp->Tail.Overlay.OriginalFileObject = File;
    if (Device->Flags & DO_DIRECT_IO) {
        PMDL Mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp);
        if (!Mdl) {
            IoFreeIrp(Irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        MmProbeAndLockPages(Mdl, KernelMode, Major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
        if (MapBuffer)
            MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority);
    } else if (Device->Flags & DO_BUFFERED_IO) {
        Irp->AssociatedIrp.SystemBuffer = Buffer;
    } else {
        Irp->UserBuffer = Buffer;
    }
    NTSTATUS Status = CallAndWait(Device, Irp, &Request);
    if (Information)
        *Information = Request.Iosb.Information;
    return Status;
}

}  // namespace
}  // namespace host::detail

using namespace host::detail;

namespace host {

NTSTATUS UserOpenDevice(const wchar_t *NtName, bool Admin, PFILE_OBJECT *File) {
    *File = nullptr;
    std::u16string Remainder;
    PDEVICE_OBJECT Device = ResolveDevice(FromWide(NtName), &Remainder);
    if (!Device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // A name that goes on past the device is the device's to interpret: the
    // create carries the rest in the file object's name.
    NTSTATUS Status = OpenDeviceFile(Device, Remainder, Admin, GENERIC_READ | GENERIC_WRITE, 0,
                                     FILE_SYNCHRONOUS_IO_NONALERT, File);
    ObjectDereference(Device);
    return Status;
}

NTSTATUS UserDeviceIoControl(PFILE_OBJECT File, ULONG Code, const void *Input, ULONG InputLength,
                             void *Output, ULONG OutputLength, ULONG_PTR *Information) {
    if (Information)
        *Information = 0;
    PDEVICE_OBJECT Device = File->DeviceObject;
    if (!Device || !IsDeviceFile(File))
        return STATUS_INVALID_DEVICE_REQUEST;
    SyncRequest Request;
    PIRP Irp = AllocateThreadedIrp(Device, &Request);
    if (!Irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    Stack->FileObject = File;
    Stack->Parameters.DeviceIoControl.IoControlCode = Code;
    Stack->Parameters.DeviceIoControl.InputBufferLength = InputLength;
    Stack->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
    Irp->Tail.Overlay.OriginalFileObject = File;
    ULONG Method = Code & 3;
    if (Method == METHOD_NEITHER) {
        Stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(Input);
        Irp->UserBuffer = Output;
    } else {
        // One system buffer carries the input in and, for buffered requests,
        // the output back.
        ULONG Size = Method == METHOD_BUFFERED && OutputLength > InputLength ? OutputLength
                                                                             : InputLength;
        if (Size) {
            void *System = malloc(Size);
            if (!System) {
                IoFreeIrp(Irp);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            if (InputLength)
                memcpy(System, Input, InputLength);
            Irp->AssociatedIrp.SystemBuffer = System;
            Irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (Method == METHOD_BUFFERED) {
            if (OutputLength && Size) {
                Irp->Flags |= IRP_INPUT_OPERATION;
                Irp->UserBuffer = Output;
                SetBufferedOutputLength(Irp, OutputLength);
            }
        } else if (OutputLength) {
            PMDL Mdl = IoAllocateMdl(Output, OutputLength, FALSE, FALSE, Irp);
            if (!Mdl) {
                free(Irp->AssociatedIrp.SystemBuffer);
                IoFreeIrp(Irp);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            MmProbeAndLockPages(Mdl, KernelMode, IoModifyAccess);
        }
    }
    NTSTATUS Status = CallAndWait(Device, Irp, &Request);
    if (Information)
        *Information = Request.Iosb.Information;
    return Status;
}

NTSTATUS UserReadWrite(PFILE_OBJECT File, UCHAR Major, void *Buffer, ULONG Length,
                       uint64_t Offset, ULONG_PTR *Information) {
    if (!File->DeviceObject || !IsDeviceFile(File)) {
        if (Information)
            *Information = 0;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return ReadWrite(File->DeviceObject, File, Major, Buffer, Length, Offset, Information, false,
                     0);
}

void UserCloseDevice(PFILE_OBJECT File) {
    if (File)
        ObjectDereference(File);
}

NTSTATUS SendReadWrite(PDEVICE_OBJECT Device, UCHAR Major, void *Buffer, ULONG Length,
                       uint64_t Offset, ULONG_PTR *Information, bool MapBuffer,
                       UCHAR StackFlags) {
    return ReadWrite(Device, nullptr, Major, Buffer, Length, Offset, Information, MapBuffer,
                     StackFlags);
}

}  // namespace host
