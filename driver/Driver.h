// Driver-wide state and the record of one cached volume.
//
// Included by every driver and engine source. Built unchanged against the
// platform's kernel headers (win32) and the host kernel's (host).
#pragma once

#include <ntifs.h>
#include <ntddk.h>
#include <ntdddisk.h>

#include "../shared/CacheProtocol.h"
#include "engine/VolumeCache.h"

#define CACHE_VOLUME_SLOTS    16
// Stack flags of an intercepted request that its lower transfers carry on.
#define CACHE_INHERITED_STACK_FLAGS (SL_WRITE_THROUGH | SL_OVERRIDE_VERIFY_VOLUME)
#define CACHE_MIN_BLOCK_SIZE  512u  // one disk sector: the smallest transfer a volume serves

// One cached volume: the engine's record of it beside the device, the queue,
// the worker and the flags. Allocated from non-paged pool, zero-filled; owned
// by the volume table from the end of a successful start until its stop frees
// it.
typedef struct _VolumeCacheContext {
    VolumeCache Cache;
    ULONG SlotIndex;
    PDEVICE_OBJECT VolumeDevice;       // requests to it are intercepted; referenced while cached
    WCHAR DriveLetter;                 // folded to lower case
    // Device that the cache file's file object reports (SSD tier only): a
    // volume holding another volume's cache file must not be cached itself.
    PDEVICE_OBJECT CacheFileDevice;
    // What the statistics request copies: the worker publishes the engine's
    // statistics here after each request, with StatisticsSequence odd while
    // it writes.
    volatile LONG StatisticsSequence;
    ULONG PublishedStatistics[sizeof(CacheStatistics) / sizeof(ULONG)];
    volatile UCHAR Stopping;
    volatile UCHAR Terminate;
    PKTHREAD WorkerThread;
    LIST_ENTRY RequestQueue;
    KSPIN_LOCK QueueLock;
    KSEMAPHORE QueueSemaphore;
    // The stack flags of the request the worker is serving that the volume
    // must see on every lower transfer made for it (forced unit access,
    // verify override).
    UCHAR RequestStackFlags;
} VolumeCacheContext, *PVolumeCacheContext;

// Driver-wide state, zero at load.
extern PDEVICE_OBJECT ControlDevice;
extern PVolumeCacheContext volatile VolumeTable[CACHE_VOLUME_SLOTS];
extern UCHAR HookInstalled;
extern PDRIVER_OBJECT HookedDriver;
extern PDRIVER_DISPATCH SavedReadDispatch;
extern PDRIVER_DISPATCH SavedWriteDispatch;

// Threads that may still run in, or use a context from, the interception:
// InterceptCallers counts the threads inside InterceptReadWrite (unload waits
// for it after giving the entries back), VolumeTableReaders those inside
// QueueVolumeRequest between reading a slot and leaving (a stop waits for it
// before it terminates the worker and again before it frees the context).
extern volatile LONG InterceptCallers;
extern volatile LONG VolumeTableReaders;
// Serialises control requests: the device admits one handle, but several
// threads may send requests on that handle at once.
extern KEVENT ControlGate;

// Lock-free access to the state that the interception shares with the
// control path and the worker. Each is one aligned access with full ordering,
// as the counting protocol above needs.
static inline PVolumeCacheContext ReadVolumeSlot(ULONG Slot) {
    return __atomic_load_n(&VolumeTable[Slot], __ATOMIC_SEQ_CST);
}
static inline UCHAR ReadFlag(volatile UCHAR *Flag) {
    return __atomic_load_n(Flag, __ATOMIC_SEQ_CST);
}
static inline void RaiseFlag(volatile UCHAR *Flag) {
    __atomic_store_n(Flag, (UCHAR)1, __ATOMIC_SEQ_CST);
}
static inline LONG ReadCount(volatile LONG *Count) {
    return __atomic_load_n(Count, __ATOMIC_SEQ_CST);
}

#ifdef __cplusplus
extern "C" {
#endif

// Frame and control dispatch.
DRIVER_INITIALIZE DriverEntry;
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void NTAPI CacheUnload(PDRIVER_OBJECT DriverObject);

#ifdef __cplusplus
}
#endif

PVolumeCacheContext FindVolumeByLetter(WCHAR Letter);
// First context in slot order whose VolumeDevice is DeviceObject, or null.
PVolumeCacheContext FindVolumeByDevice(PDEVICE_OBJECT DeviceObject);

// Attach and detach. The start checks the request and the volume, sets up
// the engine's record, attaches the worker and publishes the volume; its
// failure path and the stop release the context with ReleaseVolumeContext.
NTSTATUS StartVolumeCache(const CacheControlRequest *Request);
NTSTATUS StopVolumeCache(PVolumeCacheContext Context);
void ReleaseVolumeContext(PVolumeCacheContext Context);

// Interception: installed by the first start, removed at unload.
NTSTATUS NTAPI InterceptReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QueueVolumeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void InstallInterception(PDRIVER_OBJECT OwningDriver);
void RemoveInterception(void);
// Sends a request straight to the owning driver's own read or write routine.
NTSTATUS CallOwningDriver(UCHAR MajorFunction, PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Waits until the count drops to zero, polling with short delays.
void WaitForZeroCount(volatile LONG *Count);

// Worker.
void NTAPI VolumeWorkerThread(PVOID StartContext);

// Statistics: the worker (the only writer of the engine's record once the
// volume is started, and the start before it) publishes a copy; the
// statistics request copies a consistent snapshot of it.
void PublishStatistics(PVolumeCacheContext Context);
void CopyStatistics(PVolumeCacheContext Context, CacheStatistics *Snapshot);

// Lower-device transfer: the engine's lower-transfer routine, whose context is
// the volume's PVolumeCacheContext. A request that cannot be built passes the
// request on uncached.
CACHE_LOWER_TRANSFER TargetDeviceIo;
