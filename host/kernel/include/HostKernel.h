// Control of the host kernel from tests, the demo, the benchmarks and the
// nbdkit plugin: boot and shutdown, driver load and unload, the clock, the
// simulated physical memory, pool accounting and fault injection, drive-letter
// mappings for files, and user-mode access to devices.
//
// Nothing here is part of the NT API; driver sources never include it. It
// brings every kernel header the host kernel implements.
#pragma once

#include <ntifs.h>
#include <ntddk.h>
#include <ntdddisk.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

// ---------------------------------------------------------------------------
// Boot and shutdown
// ---------------------------------------------------------------------------
struct PhysicalRange {
    uint64_t Base;    // byte address, page aligned
    uint64_t Length;  // bytes, page multiple
};

// Sizes of the platform's non-paged pool (KernelConfig::NonPagedPoolBytes):
// x86 NT 5.1's largest, and x86-64 Windows's ceiling, which memory bounds
// first on any real machine.
constexpr size_t X86NonPagedPoolBytes = size_t(256) << 20;
constexpr size_t X64NonPagedPoolBytes = size_t(128) << 30;

struct KernelConfig {
    // Simulated physical memory: installed ranges that MmAllocatePagesForMdl
    // may hand out. Pages are backed by real memory only once allocated.
    std::vector<PhysicalRange> PhysicalMemory = {{0x100000, 32ull << 30}};
    // The tick advances only by TickAdvance when true (tests), by real time
    // at 15.625 ms per tick when false (demo, benchmarks).
    bool ManualTick = true;
    // Factor applied to every KeDelayExecutionThread interval, so that tests
    // do not spend a real second in each volume stop.
    double DelayScale = 1.0;
    // Reserved mappings as the platform checks them: mapping an MDL into a
    // reserved range maps its pages there with host calls, and unmapping makes
    // the range inaccessible again, so that a stale access through it faults.
    // When false (the nbdkit plugin, benchmarks), each allocation of pages
    // gets one lasting host view on its first mapping, and mapping returns
    // that view without a host call: the bookkeeping and its misuse checks
    // stay, but a stale access after an unmap no longer faults.
    bool StrictMappings = true;
    // Size of the non-paged pool: an allocation that would take the live
    // bytes of all tags beyond it fails, however large the host is. Tests
    // model the 32-bit platform; the benchmarks and the nbdkit plugin, whose
    // indexes may hold millions of entries, the 64-bit one.
    size_t NonPagedPoolBytes = X86NonPagedPoolBytes;
};

// Resets the whole kernel: namespace, handles, pool accounting, clock and
// physical memory. Any earlier state must have been shut down.
void KernelBoot(const KernelConfig &Config = KernelConfig());
// Tears everything down. Drivers still loaded are unloaded first (newest
// first, with UnloadDriver's checks). Returns false (and prints what is left)
// when pool allocations, handles, objects (open files, references never
// dropped) or system threads are still alive, or physical pages are held.
bool KernelShutdown();

// ---------------------------------------------------------------------------
// Drivers
// ---------------------------------------------------------------------------
// Creates the driver object \Driver\<Name>, fills its 28 dispatch entries with
// the default "invalid request" routine and calls Entry. Returns the object on
// success, null (and the status) on failure.
PDRIVER_OBJECT LoadDriver(const wchar_t *Name, PDRIVER_INITIALIZE Entry, NTSTATUS *Status = nullptr);
// Calls DriverUnload, then checks the pool as the driver verifier would:
// returns false when any allocation with one of the driver's pool tags is
// still live, or when a device of the driver remains.
bool UnloadDriver(PDRIVER_OBJECT Driver, std::vector<ULONG> PoolTags = {});

// ---------------------------------------------------------------------------
// Clock and delays
// ---------------------------------------------------------------------------
void TickAdvance(uint64_t Ticks);
void TickSet(uint64_t Tick);
uint64_t TickNow();
void SetDelayScale(double Scale);

// ---------------------------------------------------------------------------
// Pool accounting and faults
// ---------------------------------------------------------------------------
size_t PoolLiveAllocations(ULONG Tag);
size_t PoolLiveBytes(ULONG Tag);
// The next N allocations with Tag succeed, every later one fails, until
// PoolClearFaults. N < 0 disables the limit.
void PoolFailAfter(ULONG Tag, long N);
// Allocations with Tag of at least MinBytes fail.
void PoolFailSizeAtLeast(ULONG Tag, size_t MinBytes);
void PoolClearFaults();
// (PoolFailSizeAtLeast with MinBytes 0 removes the size limit of the tag.)
// Bytes of the host's own ordering structure behind every generic table (the
// elements' nodes come from the tables' allocate routines and are not in it).
size_t GenericTableIndexBytes();

// ---------------------------------------------------------------------------
// Simulated physical memory (MmAllocatePagesForMdl)
// ---------------------------------------------------------------------------
struct PhysicalFaults {
    // Requests whose [Low, High] window intersects a range here get at most
    // PartialBytes bytes (fewer than asked, as the platform may return).
    std::vector<std::pair<PhysicalRange, uint64_t>> Partial;
    // After this many successful allocations, every allocation fails (-1: no limit).
    long FailAfter = -1;
    // Reserved-mapping requests fail when set.
    bool RefuseMappingAddress = false;
};
void PhysicalSetFaults(const PhysicalFaults &Faults);
// Every MmAllocatePagesForMdl call so far: (Low, High, bytes asked, bytes given).
struct PhysicalRequest {
    uint64_t Low, High, Asked, Given;
};
std::vector<PhysicalRequest> PhysicalRequests();
uint64_t PhysicalBytesInUse();

// ---------------------------------------------------------------------------
// Drive letters for files (ZwCreateFile of \??\X:\...)
// ---------------------------------------------------------------------------
// Files under X:\ live in HostDirectory. Transfers on files opened with
// FILE_NO_INTERMEDIATE_BUFFERING must be multiples of SectorSize at offsets
// that are multiples of it, from a buffer whose address has no bit of
// AlignmentRequirement set (the device's FILE_xxx_ALIGNMENT mask), or they
// fail with STATUS_INVALID_PARAMETER.
// Device is the device object that file objects on the letter report (the
// volume a file system would sit on); null for a plain host directory.
// FreeBytes limits the end of file that may be set (0: unlimited).
struct FileDrive {
    WCHAR Letter;
    std::string HostDirectory;
    ULONG SectorSize = 512;
    PDEVICE_OBJECT Device = nullptr;
    uint64_t FreeBytes = 0;
    ULONG AlignmentRequirement = 3;  // FILE_LONG_ALIGNMENT, as common disks report
};
void MapFileDrive(const FileDrive &Drive);
void UnmapFileDrive(WCHAR Letter);
struct FileFaults {
    long FailReadAfter = -1;  // reads of cache files that succeed before every later one fails
    long FailWriteAfter = -1;
};
void SetFileFaults(const FileFaults &Faults);
// Host path of \??\X:\... when the letter is mapped; empty otherwise.
std::string HostPathOf(const wchar_t *NtPath);

// ---------------------------------------------------------------------------
// User mode's view of devices (what CreateFileW / DeviceIoControl reach)
// ---------------------------------------------------------------------------
// Opens the device named by an NT path (\Device\X or \??\X) by sending
// IRP_MJ_CREATE with a security context whose token is an administrator's
// when Admin is set. Exclusive devices admit one open at a time, whatever
// name follows the device's; that rest of the path (from its backslash) is
// the file object's name, for the driver to accept or refuse.
NTSTATUS UserOpenDevice(const wchar_t *NtName, bool Admin, PFILE_OBJECT *File);
// The calling thread impersonates a client whose token is an administrator's
// (Admin) or not: the opens it sends carry that client token beside the
// process's primary token, as for a server thread acting for a client. Ends
// with UserRevertToSelf.
void UserImpersonate(bool Admin);
void UserRevertToSelf();
// METHOD_BUFFERED device control: one system buffer of max(in, out) bytes,
// Information bytes copied back to Output. Waits for pending completion.
NTSTATUS UserDeviceIoControl(PFILE_OBJECT File, ULONG Code, const void *Input, ULONG InputLength,
                             void *Output, ULONG OutputLength, ULONG_PTR *Information);
// Sends IRP_MJ_READ / IRP_MJ_WRITE with an MDL over Buffer to the file's
// device and waits for it.
NTSTATUS UserReadWrite(PFILE_OBJECT File, UCHAR Major, void *Buffer, ULONG Length, uint64_t Offset,
                       ULONG_PTR *Information);
// Sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE and releases the file object.
void UserCloseDevice(PFILE_OBJECT File);

// Sends a direct-I/O read or write to Device as the system would: an IRP with
// one stack location, an MDL describing Buffer (MappedSystemVa set only when
// MapBuffer is true), completion signalled to the caller. Returns the status
// and the byte count once the request completes.
NTSTATUS SendReadWrite(PDEVICE_OBJECT Device, UCHAR Major, void *Buffer, ULONG Length, uint64_t Offset,
                       ULONG_PTR *Information, bool MapBuffer = true, UCHAR StackFlags = 0);

// The next N calls of MmMapLockedPagesSpecifyCache that must create a mapping
// succeed, every later one fails (returns null), until N < 0 is set again or
// the kernel boots. MDLs that are already mapped are not affected.
void MdlMapFailAfter(long N);
// The next N such mappings fail, later ones succeed again (as a short run of
// exhausted system address space would).
void MdlMapFailNext(long N);

// The next N requests that IoBuildSynchronousFsdRequest builds succeed, every
// later one fails (null, as when non-paged pool runs out for the IRP or its
// MDL), until N < 0 is set again or the kernel boots.
void BuildRequestFailAfter(long N);

// ---------------------------------------------------------------------------
// Page faults inside file I/O
// ---------------------------------------------------------------------------
// A file system that touches pageable code or data while it serves a
// transfer takes a page fault there; the memory manager then sends an in-page
// read to the volume holding the page, on the faulting thread, and that
// thread waits for it before the transfer goes on. With Fault set, every
// ZwReadFile and ZwWriteFile of a file on a mapped drive calls it on the
// calling thread before it transfers (not again for I/O that Fault itself
// causes); null removes it.
void SetFileTransferPageFault(std::function<void()> Fault);
// An in-page read as the memory manager sends it: an IRP flagged
// IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO, whose MDL
// describes locked pages of its own, sent at APC_LEVEL on the calling thread.
// Waits for it up to TimeoutMs real milliseconds (a bound on a hang, not a
// speed check): returns STATUS_TIMEOUT when it has not completed by then (it
// still completes later, into its own pages). Otherwise returns its status,
// and on success copies the bytes read to Buffer.
NTSTATUS InPageRead(PDEVICE_OBJECT Device, uint64_t Offset, void *Buffer, ULONG Length,
                    ULONG_PTR *Information, uint32_t TimeoutMs);

// ---------------------------------------------------------------------------
// Threads and IRQL as tests observe them
// ---------------------------------------------------------------------------
// The priority last given to the thread by KeSetPriorityThread (8 before).
KPRIORITY ThreadPriority(PKTHREAD Thread);
// Whether the thread has ended (its object is signalled).
bool ThreadEnded(PKTHREAD Thread);
// System threads created by PsCreateSystemThread that have not ended.
size_t RunningSystemThreadCount();
// Whether the calling thread has disabled interrupts with _disable.
bool InterruptsDisabled();

// ---------------------------------------------------------------------------
// Objects and handles
// ---------------------------------------------------------------------------
// Handles that kernel-mode calls have put into the user process's table (made
// without OBJ_KERNEL_HANDLE by a thread that is not a system thread) since
// boot. Such a handle is the user process's to use and to close.
uint64_t UserProcessHandlesCreated();
// The object's reference count (handles included).
long ObjectReferences(PVOID Object);

// Looks up a device by its NT name (after following symbolic links).
PDEVICE_OBJECT FindDevice(const wchar_t *NtName);
// UTF-16 helpers for tests.
std::u16string U16(const char *Utf8);
std::string Utf8(const wchar_t *Utf16);

}  // namespace host
