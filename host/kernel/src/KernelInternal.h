// Internal interfaces between the parts of the host kernel: the bug check,
// objects and handles, the namespace, threads and the I/O manager's helpers.
#pragma once

#include "HostKernel.h"

#include <setjmp.h>

#include <atomic>
#include <mutex>
#include <string>

// The thread object. It begins with its dispatcher header, so that
// KeWaitForSingleObject waits on it as on any other dispatcher object; it is
// signalled when the thread ends.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    std::atomic<KPRIORITY> Priority;
    bool SystemThread;  // created by PsCreateSystemThread
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    jmp_buf ExitJump;  // PsTerminateSystemThread jumps back to the trampoline
    NTSTATUS ExitStatus;
    uint64_t Id;
};

namespace host::detail {

// Stops the process as the platform's bug check stops the system.
[[noreturn]] void BugCheck(const char *Format, ...) __attribute__((format(printf, 1, 2)));

// Dispatcher object types kept in DISPATCHER_HEADER::Type.
enum : UCHAR {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    SemaphoreObject = 5,
    ThreadObject = 6,
};

// ---------------------------------------------------------------------------
// Objects: a reference-counted header in front of every object body
// ---------------------------------------------------------------------------
enum class ObjectKind : uint32_t { Device = 1, Driver, File, Thread };

struct ObjectHeader {
    uint64_t Magic;
    ObjectKind Kind;
    bool Permanent;  // outside kernel accounting (threads not created by the kernel)
    std::atomic<long> RefCount;
    void (*Destroy)(void *Body);  // runs the body's destructor; the header frees the memory
};
static_assert(sizeof(ObjectHeader) % 16 == 0, "object bodies stay 16-byte aligned");

// Creates an object with a zeroed body of BodySize bytes and one reference.
void *ObjectCreate(ObjectKind Kind, size_t BodySize, void (*Destroy)(void *Body), bool Permanent = false);
ObjectHeader *ObjectHeaderOf(const void *Body);  // bug check on a non-object
ObjectKind ObjectKindOf(const void *Body);
void ObjectReference(void *Body);
void ObjectDereference(void *Body);
size_t ObjectLiveCount();

// Handles: each holds one reference on its object. OBJ_KERNEL_HANDLE in
// Attributes makes a kernel handle; otherwise the handle belongs to the
// current thread's process.
HANDLE HandleInsert(void *Body, ULONG Attributes);
// Returns the object with one more reference, or null when the handle is not
// valid for a caller of the mode in the current process.
void *HandleReference(HANDLE Handle, KPROCESSOR_MODE Mode);
// A kernel-mode close of an invalid handle is a bug check.
NTSTATUS HandleClose(HANDLE Handle, KPROCESSOR_MODE Mode);
size_t HandleCloseAll();  // every table; returns how many were open

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------
std::u16string FromUnicode(PCUNICODE_STRING Name);
std::u16string FromWide(const wchar_t *Name);
// Upper-cases ASCII and writes \DosDevices\ and \GLOBAL??\ as \??\.
std::u16string NormalizeName(const std::u16string &Name);
std::string ToUtf8(const std::u16string &Text);

// Follows symbolic links; returns the device that Name (or its longest prefix
// naming a device) reaches, with one more reference, and the rest of the path.
PDEVICE_OBJECT ResolveDevice(const std::u16string &Name, std::u16string *Remainder);
void RegisterDriverName(const std::u16string &Name, PDRIVER_OBJECT Driver);
void UnregisterName(const std::u16string &Name);
void ResetNamespace();
size_t NamespaceDeviceCount();

// Per-device bookkeeping kept behind DEVICE_OBJECT::HostObject.
struct DeviceHost {
    std::u16string Name;  // normalized; empty for unnamed devices
    std::atomic<long> OpenCount{0};
    bool Deleted = false;
};
DeviceHost *HostOf(PDEVICE_OBJECT Device);

// ---------------------------------------------------------------------------
// Threads, waits, IRQL
// ---------------------------------------------------------------------------
void ResetThreads();
size_t LiveSystemThreads();
// Joins the system threads that have ended; with Wait, waits for all of them.
void ReapThreads();
void ResetIrqlState();
void ResetDispatcher(const KernelConfig &Config);
void InitializeDispatcherHeader(DISPATCHER_HEADER *Header, UCHAR Type, LONG State);
void SignalThreadObject(PKTHREAD Thread);

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------
void ResetPool(const KernelConfig &Config);
// Reports and frees every live allocation; returns how many there were.
size_t PoolReleaseAll();
// Memory of pool blocks (header included): small ones from huge-page regions.
void *PoolPagesAllocate(size_t Bytes);
void PoolPagesFree(void *Block, size_t Bytes);

// ---------------------------------------------------------------------------
// I/O manager
// ---------------------------------------------------------------------------
void ResetDrivers();
bool UnloadAllDrivers();
void ResetFiles();
void ResetMdlFaults();
void ResetIrpCache();

// A request built and completed by the I/O manager on behalf of a caller that
// waits for it: the event and the status block live in this record.
struct SyncRequest {
    KEVENT Event;
    IO_STATUS_BLOCK Iosb;
    // Set when the I/O manager has finished the request, whether or not it
    // reported the status block and the event (a request that fails without
    // being pended gets neither, as on NT).
    std::atomic<bool> Finished{false};
};
// Builds an IRP completed by the I/O manager (UserEvent/UserIosb of Request).
PIRP AllocateThreadedIrp(PDEVICE_OBJECT Device, SyncRequest *Request);
// Calls the driver with the IRP's next stack location and waits for the
// request when it pends. Returns the final status: the status block's after
// a wait, IoCallDriver's otherwise.
NTSTATUS CallAndWait(PDEVICE_OBJECT Device, PIRP Irp, SyncRequest *Request);
// Remembers the output buffer of a METHOD_BUFFERED control request.
void SetBufferedOutputLength(PIRP Irp, ULONG Length);

// Opens a device for a file object (IRP_MJ_CREATE, exclusive rule).
NTSTATUS OpenDeviceFile(PDEVICE_OBJECT Device, const std::u16string &Remainder, bool Admin,
                        ACCESS_MASK Access, ULONG ShareAccess, ULONG Options, PFILE_OBJECT *File);
// Sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE for a device file.
void CloseDeviceFile(PFILE_OBJECT File);
// Whether the file object is an open of a device (not a host file).
bool IsDeviceFile(PFILE_OBJECT File);

}  // namespace host::detail
