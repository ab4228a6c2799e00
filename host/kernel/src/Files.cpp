// File objects: opens of devices (volumes, the control device) and of host
// files on mapped drive letters, with the platform's sharing, delete-on-close
// and unbuffered-alignment rules; the Zw file calls on them.
#include "KernelInternal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace host::detail {
namespace {

struct FileBody;

// Every open of one host file, for the sharing check and delete-on-close.
struct OpenPath {
    std::vector<FileBody *> Opens;
    bool DeletePending = false;
};

struct FileBody {
    FILE_OBJECT Object;
    std::u16string Name;
    bool DeviceOpen = false;
    bool Opened = false;  // IRP_MJ_CREATE succeeded: close requests are due
    bool CountedOpen = false;
    // Host files
    int Fd = -1;
    std::string HostPath;
    std::shared_ptr<OpenPath> Path;
    ACCESS_MASK Access = 0;
    ULONG Share = 0;
    ULONG Options = 0;
    ULONG SectorSize = 512;
    uint64_t FreeBytes = 0;
};

struct HostToken {
    bool Admin;
};
HostToken AdminToken{true}, UserToken{false};

std::mutex FileLock;  // drives, open paths, faults
std::map<char16_t, host::FileDrive> Drives;
std::map<std::string, std::shared_ptr<OpenPath>> OpenPaths;
host::FileFaults Faults;
std::function<void()> TransferPageFault;
// Set while the calling thread runs TransferPageFault.
thread_local bool InTransferPageFault = false;

FileBody *BodyOf(PFILE_OBJECT File) { return reinterpret_cast<FileBody *>(File); }

char16_t UpperLetter(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c; }

constexpr ACCESS_MASK ReadAccess = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
constexpr ACCESS_MASK WriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK DeleteAccess = DELETE | GENERIC_ALL;

void DestroyFile(void *Body) {
    auto *File = static_cast<FileBody *>(Body);
    if (File->DeviceOpen) {
        PDEVICE_OBJECT Device = File->Object.DeviceObject;
        if (File->Opened && !HostOf(Device)->Deleted)
            CloseDeviceFile(&File->Object);
        if (File->CountedOpen)
            HostOf(Device)->OpenCount.fetch_sub(1);
        ObjectDereference(Device);
    } else {
        if (File->Fd >= 0)
            close(File->Fd);
        std::lock_guard<std::mutex> Guard(FileLock);
        if (File->Path) {
            // Closing a delete-on-close open marks the file; it goes away
            // with the last open.
            if (File->Object.Flags & FO_DELETE_ON_CLOSE)
                File->Path->DeletePending = true;
            auto &Opens = File->Path->Opens;
            for (size_t i = 0; i < Opens.size(); ++i)
                if (Opens[i] == File) {
                    Opens.erase(Opens.begin() + long(i));
                    break;
                }
            if (Opens.empty()) {
                if (File->Path->DeletePending)
                    unlink(File->HostPath.c_str());
                OpenPaths.erase(File->HostPath);
            }
        }
        if (File->Object.DeviceObject)
            ObjectDereference(File->Object.DeviceObject);
    }
    File->~FileBody();
}

FileBody *NewFile(const std::u16string &Name) {
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

// Splits \??\X:<rest> (also \DosDevices\X:, \GLOBAL??\X:) into letter and rest.
bool SplitDrivePath(const std::u16string &Name, char16_t *Letter, std::u16string *Rest) {
    std::u16string Upper = NormalizeName(Name);
    size_t Skip = Name.size() - Upper.size() + 4;  // the prefix may have been shortened
    if (Upper.compare(0, 4, u"\\??\\") != 0 || Upper.size() < 6 || Upper[5] != u':')
        return false;
    *Letter = Upper[4];
    *Rest = Name.substr(Skip + 2);
    return true;
}

// Whether an open with Access/Share can coexist with the existing opens.
bool SharingAllows(const OpenPath &Path, ACCESS_MASK Access, ULONG Share) {
    for (const FileBody *Other : Path.Opens) {
        if (((Access & ReadAccess) && !(Other->Share & FILE_SHARE_READ)) ||
            ((Access & WriteAccess) && !(Other->Share & FILE_SHARE_WRITE)) ||
            ((Access & DeleteAccess) && !(Other->Share & FILE_SHARE_DELETE)))
            return false;
        if (((Other->Access & ReadAccess) && !(Share & FILE_SHARE_READ)) ||
            ((Other->Access & WriteAccess) && !(Share & FILE_SHARE_WRITE)) ||
            ((Other->Access & DeleteAccess) && !(Share & FILE_SHARE_DELETE)))
            return false;
    }
    return true;
}

NTSTATUS CreateHostFile(const host::FileDrive &Drive, const std::u16string &NtName,
                        const std::u16string &Rest, ACCESS_MASK Access, ULONG Share,
                        ULONG Disposition, ULONG Options, ULONG_PTR *Information,
                        FileBody **Result) {
    if (Options & FILE_DIRECTORY_FILE)
        return STATUS_NOT_SUPPORTED;
    std::string Relative = ToUtf8(Rest);
    for (auto &c : Relative)
        if (c == '\\')
            c = '/';
    if (Relative.empty() || Relative == "/" || Relative.find("/../") != std::string::npos ||
        (Relative.size() >= 3 && Relative.compare(Relative.size() - 3, 3, "/..") == 0))
        return STATUS_OBJECT_NAME_INVALID;
    std::string HostPath = Drive.HostDirectory + Relative;
    std::string Parent = HostPath.substr(0, HostPath.rfind('/'));
    struct stat Info;
    if (Parent.empty() || stat(Parent.c_str(), &Info) != 0 || !S_ISDIR(Info.st_mode))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    if (Options & FILE_DELETE_ON_CLOSE)
        Access |= DELETE;

    std::lock_guard<std::mutex> Guard(FileLock);
    bool Exists = stat(HostPath.c_str(), &Info) == 0;
    if (Exists && S_ISDIR(Info.st_mode))
        return STATUS_FILE_IS_A_DIRECTORY;
    std::shared_ptr<OpenPath> &Path = OpenPaths[HostPath];
    if (!Path)
        Path = std::make_shared<OpenPath>();
    auto Abandon = [&](NTSTATUS Status) {
        if (Path->Opens.empty())
            OpenPaths.erase(HostPath);
        return Status;
    };
    if (Path->DeletePending)
        return Abandon(STATUS_DELETE_PENDING);
    if (!SharingAllows(*Path, Access, Share))
        return Abandon(STATUS_SHARING_VIOLATION);

    int Flags = O_RDWR | O_CLOEXEC;
    ULONG_PTR Outcome = FILE_OPENED;
    switch (Disposition) {
    case FILE_OPEN:
        if (!Exists)
            return Abandon(STATUS_OBJECT_NAME_NOT_FOUND);
        break;
    case FILE_CREATE:
        if (Exists)
            return Abandon(STATUS_OBJECT_NAME_COLLISION);
        Flags |= O_CREAT | O_EXCL;
        Outcome = FILE_CREATED;
        break;
    case FILE_OPEN_IF:
        Flags |= O_CREAT;
        Outcome = Exists ? FILE_OPENED : FILE_CREATED;
        break;
    case FILE_OVERWRITE:
        if (!Exists)
            return Abandon(STATUS_OBJECT_NAME_NOT_FOUND);
        Flags |= O_TRUNC;
        Outcome = FILE_OVERWRITTEN;
        break;
    case FILE_OVERWRITE_IF:
    case FILE_SUPERSEDE:
        Flags |= O_CREAT | O_TRUNC;
        Outcome = Exists ? (Disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN)
                         : FILE_CREATED;
        break;
    default:
        return Abandon(STATUS_INVALID_PARAMETER);
    }
    int Fd = open(HostPath.c_str(), Flags, 0644);
    if (Fd < 0)
        return Abandon(errno == ENOENT ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_ACCESS_DENIED);
    FileBody *File = NewFile(NtName);
    if (!File) {
        close(Fd);
        return Abandon(STATUS_INSUFFICIENT_RESOURCES);
    }
    File->Fd = Fd;
    File->HostPath = HostPath;
    File->Path = Path;
    File->Access = Access;
    File->Share = Share;
    File->Options = Options;
    File->SectorSize = Drive.SectorSize ? Drive.SectorSize : 1;
    File->FreeBytes = Drive.FreeBytes;
    if (Options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        File->Object.Flags |= FO_SYNCHRONOUS_IO;
    if (Options & FILE_NO_INTERMEDIATE_BUFFERING)
        File->Object.Flags |= FO_NO_INTERMEDIATE_BUFFERING;
    if (Options & FILE_DELETE_ON_CLOSE)
        File->Object.Flags |= FO_DELETE_ON_CLOSE;
    if (Drive.Device && !HostOf(Drive.Device)->Deleted) {
        File->Object.DeviceObject = Drive.Device;
        ObjectReference(Drive.Device);
    }
    Path->Opens.push_back(File);
    *Information = Outcome;
    *Result = File;
    return STATUS_SUCCESS;
}

FileBody *ReferenceFile(HANDLE Handle) {
    void *Body = HandleReference(Handle);
    if (!Body)
        return nullptr;
    if (ObjectKindOf(Body) != ObjectKind::File) {
        ObjectDereference(Body);
        return nullptr;
    }
    return static_cast<FileBody *>(Body);
}

void SetIosb(PIO_STATUS_BLOCK Iosb, NTSTATUS Status, ULONG_PTR Information) {
    if (Iosb) {
        Iosb->Status = Status;
        Iosb->Information = Information;
    }
}

bool TakeFault(long *Counter) {
    if (*Counter < 0)
        return false;
    if (*Counter == 0)
        return true;
    --*Counter;
    return false;
}

NTSTATUS HostFileTransfer(FileBody *File, bool Write, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER ByteOffset, ULONG_PTR *Information) {
    *Information = 0;
    if (!(File->Access & (Write ? WriteAccess : ReadAccess)))
        return STATUS_ACCESS_DENIED;
    LONGLONG Offset = ByteOffset ? ByteOffset->QuadPart : File->Object.CurrentByteOffset.QuadPart;
    if (Offset < 0)
        return STATUS_INVALID_PARAMETER;
    if ((File->Options & FILE_NO_INTERMEDIATE_BUFFERING) &&
        (uint64_t(Offset) % File->SectorSize != 0 || Length % File->SectorSize != 0))
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> Guard(FileLock);
        if (TakeFault(Write ? &Faults.FailWriteAfter : &Faults.FailReadAfter))
            return STATUS_IO_DEVICE_ERROR;
    }
    if (Write && File->FreeBytes && uint64_t(Offset) + Length > File->FreeBytes)
        return STATUS_DISK_FULL;
    size_t Done = 0;
    while (Done < Length) {
        ssize_t Count = Write ? pwrite(File->Fd, static_cast<char *>(Buffer) + Done, Length - Done,
                                       off_t(Offset + LONGLONG(Done)))
                              : pread(File->Fd, static_cast<char *>(Buffer) + Done, Length - Done,
                                      off_t(Offset + LONGLONG(Done)));
        if (Count < 0) {
            if (errno == EINTR)
                continue;
            return errno == ENOSPC ? STATUS_DISK_FULL : STATUS_IO_DEVICE_ERROR;
        }
        if (Count == 0)
            break;  // end of file
        Done += size_t(Count);
    }
    if (!Write && Done == 0 && Length != 0)
        return STATUS_END_OF_FILE;
    *Information = Done;
    File->Object.CurrentByteOffset.QuadPart = Offset + LONGLONG(Done);
    return STATUS_SUCCESS;
}

}  // namespace

bool IsDeviceFile(PFILE_OBJECT File) { return BodyOf(File)->DeviceOpen; }

void ResetFiles() {
    std::map<char16_t, host::FileDrive> Old;
    {
        std::lock_guard<std::mutex> Guard(FileLock);
        Old.swap(Drives);
        Faults = host::FileFaults();
        TransferPageFault = nullptr;
    }
    for (auto &Entry : Old)
        if (Entry.second.Device)
            ObjectDereference(Entry.second.Device);
}

NTSTATUS OpenDeviceFile(PDEVICE_OBJECT Device, const std::u16string &Remainder, bool Admin,
                        ACCESS_MASK Access, ULONG ShareAccess, ULONG Options, PFILE_OBJECT *Result) {
    *Result = nullptr;
    DeviceHost *Host = HostOf(Device);
    if (Host->Deleted)
        return STATUS_NO_SUCH_DEVICE;
    FileBody *File = NewFile(Remainder);
    if (!File)
        return STATUS_INSUFFICIENT_RESOURCES;
    File->DeviceOpen = true;
    File->Access = Access;
    File->Share = ShareAccess;
    File->Options = Options;
    File->Object.DeviceObject = Device;
    ObjectReference(Device);
    if (Options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        File->Object.Flags |= FO_SYNCHRONOUS_IO;
    // An exclusive device admits one open file object at a time.
    long Before = Host->OpenCount.fetch_add(1);
    File->CountedOpen = true;
    if ((Device->Flags & DO_EXCLUSIVE) && Before > 0) {
        ObjectDereference(File);
        return STATUS_ACCESS_DENIED;
    }

    ACCESS_STATE AccessState;
    memset(&AccessState, 0, sizeof(AccessState));
    AccessState.OriginalDesiredAccess = AccessState.RemainingDesiredAccess = Access;
    AccessState.SubjectSecurityContext.PrimaryToken = Admin ? &AdminToken : &UserToken;
    IO_SECURITY_CONTEXT Security;
    memset(&Security, 0, sizeof(Security));
    Security.AccessState = &AccessState;
    Security.DesiredAccess = Access;
    Security.FullCreateOptions = Options;

    SyncRequest Request;
    PIRP Irp = AllocateThreadedIrp(Device, &Request);
    if (!Irp) {
        ObjectDereference(File);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->Tail.Overlay.OriginalFileObject = &File->Object;
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_CREATE;
    Stack->Parameters.Create.SecurityContext = &Security;
    Stack->Parameters.Create.Options = (FILE_OPEN << 24) | (Options & 0x00FFFFFF);
    Stack->Parameters.Create.ShareAccess = USHORT(ShareAccess);
    Stack->FileObject = &File->Object;
    NTSTATUS Status = CallAndWait(Device, Irp, &Request);
    if (!NT_SUCCESS(Status)) {
        ObjectDereference(File);
        return Status;
    }
    File->Opened = true;
    *Result = &File->Object;
    return STATUS_SUCCESS;
}

void CloseDeviceFile(PFILE_OBJECT File) {
    PDEVICE_OBJECT Device = File->DeviceObject;
    for (UCHAR Major : {UCHAR(IRP_MJ_CLEANUP), UCHAR(IRP_MJ_CLOSE)}) {
        SyncRequest Request;
        PIRP Irp = AllocateThreadedIrp(Device, &Request);
        if (!Irp)
            continue;
        Irp->Tail.Overlay.OriginalFileObject = File;
        PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
        Stack->MajorFunction = Major;
        Stack->FileObject = File;
        CallAndWait(Device, Irp, &Request);
    }
}

}  // namespace host::detail

using namespace host::detail;

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
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

    char16_t Letter;
    std::u16string Rest;
    bool HostFile = false;
    host::FileDrive Drive;
    if (SplitDrivePath(Name, &Letter, &Rest) && !Rest.empty()) {
        std::lock_guard<std::mutex> Guard(FileLock);
        auto It = Drives.find(Letter);
        if (It != Drives.end()) {
            HostFile = true;
            Drive = It->second;
        }
    }
    if (HostFile) {
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
            Status = OpenDeviceFile(Device, Remainder, true, DesiredAccess, ShareAccess,
                                    CreateOptions, &File);
            Information = FILE_OPENED;
        }
        if (Device)
            ObjectDereference(Device);
    }
    if (!NT_SUCCESS(Status)) {
        SetIosb(IoStatusBlock, Status, 0);
        return Status;
    }
    *FileHandle = HandleInsert(File);
    SetIosb(IoStatusBlock, STATUS_SUCCESS, Information);
    return STATUS_SUCCESS;
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions) {
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                        ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0);
}

NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass) {
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
        LONGLONG End = static_cast<PFILE_END_OF_FILE_INFORMATION>(FileInformation)->EndOfFile.QuadPart;
        if (End < 0)
            Status = STATUS_INVALID_PARAMETER;
        else if (File->FreeBytes && uint64_t(End) > File->FreeBytes)
            Status = STATUS_DISK_FULL;
        else if (ftruncate(File->Fd, off_t(End)) != 0)
            Status = errno == EFBIG || errno == ENOSPC ? STATUS_DISK_FULL : STATUS_IO_DEVICE_ERROR;
        else
            Status = STATUS_SUCCESS;
    }
    SetIosb(IoStatusBlock, Status, 0);
    ObjectDereference(File);
    return Status;
}

static NTSTATUS ZwTransfer(bool Write, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                           PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("%s at IRQL %u", Write ? "ZwWriteFile" : "ZwReadFile", KeGetCurrentIrql());
    FileBody *File = ReferenceFile(FileHandle);
    if (!File)
        return STATUS_INVALID_HANDLE;
    ULONG_PTR Information = 0;
    NTSTATUS Status;
    if (File->DeviceOpen) {
        LONGLONG Offset = ByteOffset ? ByteOffset->QuadPart : File->Object.CurrentByteOffset.QuadPart;
        Status = host::UserReadWrite(&File->Object, Write ? IRP_MJ_WRITE : IRP_MJ_READ, Buffer,
                                     Length, uint64_t(Offset), &Information);
    } else {
        std::function<void()> Fault;
        if (!InTransferPageFault) {
            std::lock_guard<std::mutex> Guard(FileLock);
            Fault = TransferPageFault;
        }
        if (Fault) {
            InTransferPageFault = true;
            Fault();
            InTransferPageFault = false;
        }
        Status = HostFileTransfer(File, Write, Buffer, Length, ByteOffset, &Information);
    }
    SetIosb(IoStatusBlock, Status, Information);
    ObjectDereference(File);
    return Status;
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key) {
    (void)Event;
    (void)ApcRoutine;
    (void)ApcContext;
    (void)Key;
    return ZwTransfer(false, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key) {
    (void)Event;
    (void)ApcRoutine;
    (void)ApcContext;
    (void)Key;
    return ZwTransfer(true, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength) {
    (void)Event;
    (void)ApcRoutine;
    (void)ApcContext;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("ZwDeviceIoControlFile at IRQL %u", KeGetCurrentIrql());
    FileBody *File = ReferenceFile(FileHandle);
    if (!File)
        return STATUS_INVALID_HANDLE;
    ULONG_PTR Information = 0;
    NTSTATUS Status = File->DeviceOpen
                          ? host::UserDeviceIoControl(&File->Object, IoControlCode, InputBuffer,
                                                      InputBufferLength, OutputBuffer,
                                                      OutputBufferLength, &Information)
                          : STATUS_INVALID_DEVICE_REQUEST;
    SetIosb(IoStatusBlock, Status, Information);
    ObjectDereference(File);
    return Status;
}

BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token) {
    return Token && static_cast<HostToken *>(Token)->Admin ? TRUE : FALSE;
}

namespace host {

void MapFileDrive(const FileDrive &Drive) {
    FileDrive Copy = Drive;
    if (!Copy.HostDirectory.empty() && Copy.HostDirectory.back() == '/')
        Copy.HostDirectory.pop_back();
    if (Copy.Device)
        ObjectReference(Copy.Device);
    PDEVICE_OBJECT Old = nullptr;
    {
        std::lock_guard<std::mutex> Guard(FileLock);
        char16_t Letter = UpperLetter(char16_t(Drive.Letter));
        auto It = Drives.find(Letter);
        if (It != Drives.end())
            Old = It->second.Device;
        Drives[Letter] = Copy;
    }
    if (Old)
        ObjectDereference(Old);
}

void UnmapFileDrive(WCHAR Letter) {
    PDEVICE_OBJECT Old = nullptr;
    {
        std::lock_guard<std::mutex> Guard(FileLock);
        auto It = Drives.find(UpperLetter(char16_t(Letter)));
        if (It == Drives.end())
            return;
        Old = It->second.Device;
        Drives.erase(It);
    }
    if (Old)
        ObjectDereference(Old);
}

void SetFileTransferPageFault(std::function<void()> Fault) {
    std::lock_guard<std::mutex> Guard(FileLock);
    TransferPageFault = std::move(Fault);
}

void SetFileFaults(const FileFaults &NewFaults) {
    std::lock_guard<std::mutex> Guard(FileLock);
    Faults = NewFaults;
}

std::string HostPathOf(const wchar_t *NtPath) {
    char16_t Letter;
    std::u16string Rest;
    if (!SplitDrivePath(FromWide(NtPath), &Letter, &Rest))
        return std::string();
    std::lock_guard<std::mutex> Guard(FileLock);
    auto It = Drives.find(Letter);
    if (It == Drives.end())
        return std::string();
    std::string Relative = ToUtf8(Rest);
    for (auto &c : Relative)
        if (c == '\\')
            c = '/';
    return It->second.HostDirectory + Relative;
}

}  // namespace host
