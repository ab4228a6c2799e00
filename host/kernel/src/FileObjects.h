// The body of a file object and what the parts of the file system share:
// the Zw file calls (Files.cpp), opens of devices (DeviceFiles.cpp) and host
// files on mapped drive letters (HostFiles.cpp).
#pragma once

#include "KernelInternal.h"

#include <memory>
#include <string>

namespace host::detail {

// Every open of one host file, for the sharing check and delete-on-close
// (HostFiles.cpp).
struct OpenPath;

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
    ULONG AlignmentRequirement = 0;
    uint64_t FreeBytes = 0;
};

inline FileBody *BodyOf(PFILE_OBJECT File)
{
    return reinterpret_cast<FileBody *>(File);
}

// A new file object of that name, referenced once; null without memory.
FileBody *NewFile(const std::u16string &Name);

// --- Host files on mapped drive letters (HostFiles.cpp) ---------------------

// The mapped drive of \??\X:<rest> and the rest; false when the name is not
// a path on a mapped drive.
bool FindFileDrive(const std::u16string &Name, host::FileDrive *Drive, std::u16string *Rest);
NTSTATUS CreateHostFile(const host::FileDrive &Drive, const std::u16string &NtName,
                        const std::u16string &Rest, ACCESS_MASK Access, ULONG Share, ULONG Disposition,
                        ULONG Options, ULONG_PTR *Information, FileBody **Result);
// A read or write at ByteOffset (the current offset when null), after the
// page fault set for transfers, if any.
NTSTATUS TransferHostFile(FileBody *File, bool Write, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                          ULONG_PTR *Information);
// Sets the end of the file.
NTSTATUS SetHostFileEnd(FileBody *File, LONGLONG End);
// The file's part of destroying its object: the descriptor, its place among
// the opens of its path, delete-on-close.
void CloseHostFile(FileBody *File);

}  // namespace host::detail
