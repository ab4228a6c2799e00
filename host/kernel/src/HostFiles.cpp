// Host files on mapped drive letters: opens with the platform's sharing,
// delete-on-close and unbuffered rules (sector offsets and lengths, aligned
// buffers), reads and writes with their injected faults, the end of file.
#include "FileObjects.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace host::detail {

struct OpenPath {
    std::vector<FileBody *> Opens;
    bool DeletePending = false;
};

namespace {

std::mutex FileLock;  // drives, open paths, faults
std::map<char16_t, host::FileDrive> Drives;
std::map<std::string, std::shared_ptr<OpenPath>> OpenPaths;
host::FileFaults Faults;
std::function<void()> TransferPageFault;
// Set while the calling thread runs TransferPageFault.
thread_local bool InTransferPageFault = false;

char16_t UpperLetter(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c;
}

constexpr ACCESS_MASK ReadAccess = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
constexpr ACCESS_MASK WriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK DeleteAccess = DELETE | GENERIC_ALL;

// Splits \??\X:<rest> (also \DosDevices\X:, \GLOBAL??\X:) into letter and rest.
bool SplitDrivePath(const std::u16string &Name, char16_t *Letter, std::u16string *Rest)
{
    std::u16string Upper = NormalizeName(Name);
    size_t Skip = Name.size() - Upper.size() + 4;  // the prefix may have been shortened
    if (Upper.compare(0, 4, u"\\??\\") != 0 || Upper.size() < 6 || Upper[5] != u':')
        return false;
    *Letter = Upper[4];
    *Rest = Name.substr(Skip + 2);
    return true;
}

// The rest of a drive path as a host path below the drive's directory.
std::string HostRelativePath(const std::u16string &Rest)
{
    std::string Relative = ToUtf8(Rest);
    for (auto &c : Relative)
        if (c == '\\')
            c = '/';
    return Relative;
}

// Whether an open with Access/Share can coexist with the existing opens.
bool SharingAllows(const OpenPath &Path, ACCESS_MASK Access, ULONG Share)
{
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

bool TakeFault(long *Counter)
{
    if (*Counter < 0)
        return false;
    if (*Counter == 0)
        return true;
    --*Counter;
    return false;
}

NTSTATUS TransferAtOffset(FileBody *File, bool Write, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                          ULONG_PTR *Information)
{
    *Information = 0;
    if (!(File->Access & (Write ? WriteAccess : ReadAccess)))
        return STATUS_ACCESS_DENIED;
    LONGLONG Offset = ByteOffset ? ByteOffset->QuadPart : File->Object.CurrentByteOffset.QuadPart;
    if (Offset < 0)
        return STATUS_INVALID_PARAMETER;
    if ((File->Options & FILE_NO_INTERMEDIATE_BUFFERING) &&
        (uint64_t(Offset) % File->SectorSize != 0 || Length % File->SectorSize != 0 ||
         (reinterpret_cast<uintptr_t>(Buffer) & File->AlignmentRequirement) != 0))
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

void ResetFiles()
{
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

bool FindFileDrive(const std::u16string &Name, host::FileDrive *Drive, std::u16string *Rest)
{
    char16_t Letter;
    if (!SplitDrivePath(Name, &Letter, Rest) || Rest->empty())
        return false;
    std::lock_guard<std::mutex> Guard(FileLock);
    auto It = Drives.find(Letter);
    if (It == Drives.end())
        return false;
    *Drive = It->second;
    return true;
}

NTSTATUS CreateHostFile(const host::FileDrive &Drive, const std::u16string &NtName,
                        const std::u16string &Rest, ACCESS_MASK Access, ULONG Share, ULONG Disposition,
                        ULONG Options, ULONG_PTR *Information, FileBody **Result)
{
    if (Options & FILE_DIRECTORY_FILE)
        return STATUS_NOT_SUPPORTED;
    std::string Relative = HostRelativePath(Rest);
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
        Outcome =
            Exists ? (Disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN) : FILE_CREATED;
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
    File->AlignmentRequirement = Drive.AlignmentRequirement;
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

NTSTATUS TransferHostFile(FileBody *File, bool Write, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                          ULONG_PTR *Information)
{
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
    return TransferAtOffset(File, Write, Buffer, Length, ByteOffset, Information);
}

NTSTATUS SetHostFileEnd(FileBody *File, LONGLONG End)
{
    if (End < 0)
        return STATUS_INVALID_PARAMETER;
    if (File->FreeBytes && uint64_t(End) > File->FreeBytes)
        return STATUS_DISK_FULL;
    if (ftruncate(File->Fd, off_t(End)) != 0)
        return errno == EFBIG || errno == ENOSPC ? STATUS_DISK_FULL : STATUS_IO_DEVICE_ERROR;
    return STATUS_SUCCESS;
}

void CloseHostFile(FileBody *File)
{
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
}

}  // namespace host::detail

using namespace host::detail;

namespace host {

void MapFileDrive(const FileDrive &Drive)
{
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

void UnmapFileDrive(WCHAR Letter)
{
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

void SetFileTransferPageFault(std::function<void()> Fault)
{
    std::lock_guard<std::mutex> Guard(FileLock);
    TransferPageFault = std::move(Fault);
}

void SetFileFaults(const FileFaults &NewFaults)
{
    std::lock_guard<std::mutex> Guard(FileLock);
    Faults = NewFaults;
}

std::string HostPathOf(const wchar_t *NtPath)
{
    char16_t Letter;
    std::u16string Rest;
    if (!SplitDrivePath(FromWide(NtPath), &Letter, &Rest))
        return std::string();
    std::lock_guard<std::mutex> Guard(FileLock);
    auto It = Drives.find(Letter);
    if (It == Drives.end())
        return std::string();
    std::string Relative = HostRelativePath(Rest);
    return It->second.HostDirectory + Relative;
}

}  // namespace host
