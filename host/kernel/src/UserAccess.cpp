// Requests as user mode and the system send them: opening a device, buffered
// device control, direct-I/O reads and writes, closing.
#include "KernelInternal.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace host::detail {
namespace {

NTSTATUS ReadWrite(PDEVICE_OBJECT Device, PFILE_OBJECT File, UCHAR Major, void *Buffer, ULONG Length,
                   uint64_t Offset, ULONG_PTR *Information, bool MapBuffer, UCHAR StackFlags)
{
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
            MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
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

// One in-page read: shared by its sender, who may stop waiting, and its
// completion, which may come later; the last of the two frees it.
struct InPageRequest {
    std::atomic<int> Holders{2};
    KEVENT Done;
    IO_STATUS_BLOCK Iosb;
    std::vector<uint8_t> Pages;
};

void ReleaseInPage(InPageRequest *Request)
{
    if (Request->Holders.fetch_sub(1) == 1)
        delete Request;
}

NTSTATUS InPageCompleted(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    (void)Device;
    auto *Request = static_cast<InPageRequest *>(Context);
    Request->Iosb = Irp->IoStatus;
    PMDL Mdl = Irp->MdlAddress;
    Irp->MdlAddress = nullptr;
    MmUnlockPages(Mdl);
    IoFreeMdl(Mdl);
    IoFreeIrp(Irp);
    KeSetEvent(&Request->Done, IO_NO_INCREMENT, FALSE);
    ReleaseInPage(Request);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace
}  // namespace host::detail

using namespace host::detail;

namespace host {

NTSTATUS UserOpenDevice(const wchar_t *NtName, bool Admin, PFILE_OBJECT *File)
{
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
                             void *Output, ULONG OutputLength, ULONG_PTR *Information)
{
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
        ULONG Size = Method == METHOD_BUFFERED && OutputLength > InputLength ? OutputLength : InputLength;
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

NTSTATUS UserReadWrite(PFILE_OBJECT File, UCHAR Major, void *Buffer, ULONG Length, uint64_t Offset,
                       ULONG_PTR *Information)
{
    if (!File->DeviceObject || !IsDeviceFile(File)) {
        if (Information)
            *Information = 0;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return ReadWrite(File->DeviceObject, File, Major, Buffer, Length, Offset, Information, false, 0);
}

void UserCloseDevice(PFILE_OBJECT File)
{
    if (File)
        ObjectDereference(File);
}

NTSTATUS SendReadWrite(PDEVICE_OBJECT Device, UCHAR Major, void *Buffer, ULONG Length, uint64_t Offset,
                       ULONG_PTR *Information, bool MapBuffer, UCHAR StackFlags)
{
    return ReadWrite(Device, nullptr, Major, Buffer, Length, Offset, Information, MapBuffer, StackFlags);
}

NTSTATUS InPageRead(PDEVICE_OBJECT Device, uint64_t Offset, void *Buffer, ULONG Length,
                    ULONG_PTR *Information, uint32_t TimeoutMs)
{
    if (Information)
        *Information = 0;
    PIRP Irp = IoAllocateIrp(Device->StackSize, FALSE);
    if (!Irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto *Request = new InPageRequest;
    Request->Pages.resize(Length ? Length : 1);
    KeInitializeEvent(&Request->Done, NotificationEvent, FALSE);
    Request->Iosb.Status = STATUS_PENDING;
    Request->Iosb.Information = 0;
    PMDL Mdl = IoAllocateMdl(Request->Pages.data(), Length, FALSE, FALSE, Irp);
    if (!Mdl) {
        IoFreeIrp(Irp);
        delete Request;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmProbeAndLockPages(Mdl, KernelMode, IoWriteAccess);
    Irp->Flags = IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO;
    Irp->RequestorMode = KernelMode;
    Irp->Tail.Overlay.Thread = KeGetCurrentThread();
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_READ;
    Stack->Parameters.Read.Length = Length;
    Stack->Parameters.Read.ByteOffset.QuadPart = LONGLONG(Offset);
    IoSetCompletionRoutine(Irp, InPageCompleted, Request, TRUE, TRUE, TRUE);

    KIRQL Irql = KfRaiseIrql(APC_LEVEL);
    IoCallDriver(Device, Irp);
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = -LONGLONG(TimeoutMs) * 10000;
    NTSTATUS Wait = KeWaitForSingleObject(&Request->Done, Executive, KernelMode, FALSE, &Timeout);
    KeLowerIrql(Irql);
    NTSTATUS Status = STATUS_TIMEOUT;
    if (Wait == STATUS_WAIT_0) {
        Status = Request->Iosb.Status;
        if (NT_SUCCESS(Status)) {
            size_t Count = Request->Iosb.Information < Length ? Request->Iosb.Information : Length;
            memcpy(Buffer, Request->Pages.data(), Count);
            if (Information)
                *Information = Count;
        }
    }
    ReleaseInPage(Request);
    return Status;
}

}  // namespace host
