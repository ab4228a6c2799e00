// File objects and the Zw file calls on them: opens of devices and of host
// files on mapped drive letters, reads, writes, device controls and the end
// of file, with the status blocks the platform writes.
#include "FileObjects.h"

#include <new>

namespace host::detail {
namespace {

void DestroyFile(void *Body)
{
    auto *File = static_cast<FileBody *>(Body);
    if (File->DeviceOpen) {
        PDEVICE_OBJECT Device = File->Object.DeviceObject;
        if (File->Opened && !HostOf(Device)->Deleted)
            CloseDeviceFile(&File->Object);
        if (File->CountedOpen)
            HostOf(Device)->OpenCount.fetch_sub(1);
        ObjectDereference(Device);
    } else {
        CloseHostFile(File);
        if (File->Object.DeviceObject)
            ObjectDereference(File->Object.DeviceObject);
    }
    File->~FileBody();
}

FileBody *ReferenceFile(HANDLE Handle)
{
    void *Body = HandleReference(Handle, KernelMode);
    if (!Body)
        return nullptr;
    if (ObjectKindOf(Body) != ObjectKind::File) {
        ObjectDereference(Body);
        return nullptr;
    }
    return static_cast<FileBody *>(Body);
}

void SetIosb(PIO_STATUS_BLOCK Iosb, NTSTATUS Status, ULONG_PTR Information)
{
    if (Iosb) {
        Iosb->Status = Status;
        Iosb->Information = Information;
    }
}

// The status block of a synchronous read, write, set-information or device
// control: NT writes it only when the request did not fail; a failing call
// leaves it as it was and only returns its status.
void ReportSynchronous(PIO_STATUS_BLOCK Iosb, NTSTATUS Status, ULONG_PTR Information)
{
    if (!NT_ERROR(Status))
        SetIosb(Iosb, Status, Information);
}

}  // namespace

FileBody *NewFile(const std::u16string &Name)
{
    void *Memory = ObjectCreate(ObjectKind::File, sizeof(FileBody), DestroyFile);
    if (!Memory)
        return nullptr;
    auto *File = new (Memory) FileBody();
    File->Object.Type = IO_TYPE_FILE;
    File->Object.Size = sizeof(FILE_OBJECT);
    File->Name = Name;
    File->Object.FileName.Buffer = reinterpret_cast<PWSTR>(&File->Name[0]);
    File->Object.FileName.Length = USHORT(Name.size() * 2);
    File->Object.FileName.MaximumLength = File->Object.FileName.Length;
    return File;
}

bool IsDeviceFile(PFILE_OBJECT File)
{
    return BodyOf(File)->DeviceOpen;
}

}  // namespace host::detail

using namespace host::detail;

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength)
{
    (void)AllocationSize;
    (void)FileAttributes;
    (void)EaBuffer;
    (void)EaLength;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("ZwCreateFile at IRQL %u", KeGetCurrentIrql());
    *FileHandle = nullptr;
    if (!ObjectAttributes || !ObjectAttributes->ObjectName || ObjectAttributes->RootDirectory)
        return STATUS_INVALID_PARAMETER;
    // The platform documents that a file opened delete-on-close must be
    // opened with DELETE access, and refuses the open otherwise.
    if ((CreateOptions & FILE_DELETE_ON_CLOSE) && !(DesiredAccess & DELETE))
        return STATUS_INVALID_PARAMETER;
    std::u16string Name = FromUnicode(ObjectAttributes->ObjectName);
    ULONG_PTR Information = 0;
    NTSTATUS Status;
    PFILE_OBJECT File = nullptr;

    std::u16string Rest;
    host::FileDrive Drive;
    if (FindFileDrive(Name, &Drive, &Rest)) {
        FileBody *Body = nullptr;
        Status = CreateHostFile(Drive, Name, Rest, DesiredAccess, ShareAccess, CreateDisposition,
                                CreateOptions, &Information, &Body);
        if (NT_SUCCESS(Status))
            File = &Body->Object;
    } else {
        std::u16string Remainder;
        PDEVICE_OBJECT Device = ResolveDevice(Name, &Remainder);
        if (!Device) {
            std::u16string Norm = NormalizeName(Name);
            bool HasPath = Norm.compare(0, 4, u"\\??\\") == 0 && Norm.find(u'\\', 4) != std::u16string::npos;
            Status = HasPath ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (!Remainder.empty()) {
            // The host's volumes carry no file system: files live on mapped drives.
            Status = STATUS_OBJECT_PATH_NOT_FOUND;
        } else {
            Status =
                OpenDeviceFile(Device, Remainder, true, DesiredAccess, ShareAccess, CreateOptions, &File);
            Information = FILE_OPENED;
        }
        if (Device)
            ObjectDereference(Device);
    }
    if (!NT_SUCCESS(Status)) {
        SetIosb(IoStatusBlock, Status, 0);
        return Status;
    }
    *FileHandle = HandleInsert(File, ObjectAttributes->Attributes);
    SetIosb(IoStatusBlock, STATUS_SUCCESS, Information);
    return STATUS_SUCCESS;
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions)
{
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess,
                        FILE_OPEN, OpenOptions, nullptr, 0);
}

NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                              ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("ZwSetInformationFile at IRQL %u", KeGetCurrentIrql());
    FileBody *File = ReferenceFile(FileHandle);
    if (!File)
        return STATUS_INVALID_HANDLE;
    NTSTATUS Status;
    if (FileInformationClass != FileEndOfFileInformation || File->DeviceOpen) {
        Status = STATUS_INVALID_INFO_CLASS;
    } else if (Length < sizeof(FILE_END_OF_FILE_INFORMATION)) {
        Status = STATUS_INFO_LENGTH_MISMATCH;
    } else {
        Status = SetHostFileEnd(
            File, static_cast<PFILE_END_OF_FILE_INFORMATION>(FileInformation)->EndOfFile.QuadPart);
    }
    ReportSynchronous(IoStatusBlock, Status, 0);
    ObjectDereference(File);
    return Status;
}

static NTSTATUS ZwTransfer(bool Write, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                           ULONG Length, PLARGE_INTEGER ByteOffset)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("%s at IRQL %u", Write ? "ZwWriteFile" : "ZwReadFile", KeGetCurrentIrql());
    FileBody *File = ReferenceFile(FileHandle);
    if (!File)
        return STATUS_INVALID_HANDLE;
    ULONG_PTR Information = 0;
    NTSTATUS Status;
    if (File->DeviceOpen) {
        LONGLONG Offset = ByteOffset ? ByteOffset->QuadPart : File->Object.CurrentByteOffset.QuadPart;
        Status = host::UserReadWrite(&File->Object, Write ? IRP_MJ_WRITE : IRP_MJ_READ, Buffer, Length,
                                     uint64_t(Offset), &Information);
    } else {
        Status = TransferHostFile(File, Write, Buffer, Length, ByteOffset, &Information);
    }
    ReportSynchronous(IoStatusBlock, Status, Information);
    ObjectDereference(File);
    return Status;
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                    PULONG Key)
{
    (void)Event;
    (void)ApcRoutine;
    (void)ApcContext;
    (void)Key;
    return ZwTransfer(false, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                     PULONG Key)
{
    (void)Event;
    (void)ApcRoutine;
    (void)ApcContext;
    (void)Key;
    return ZwTransfer(true, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength)
{
    (void)Event;
    (void)ApcRoutine;
    (void)ApcContext;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("ZwDeviceIoControlFile at IRQL %u", KeGetCurrentIrql());
    FileBody *File = ReferenceFile(FileHandle);
    if (!File)
        return STATUS_INVALID_HANDLE;
    ULONG_PTR Information = 0;
    NTSTATUS Status = File->DeviceOpen ? host::UserDeviceIoControl(&File->Object, IoControlCode, InputBuffer,
                                                                   InputBufferLength, OutputBuffer,
                                                                   OutputBufferLength, &Information)
                                       : STATUS_INVALID_DEVICE_REQUEST;
    ReportSynchronous(IoStatusBlock, Status, Information);
    ObjectDereference(File);
    return Status;
}
