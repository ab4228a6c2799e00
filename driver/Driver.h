// Driver-wide state, the record of one cached volume, and the driver's
// routines.
//
// Included by every driver source. Built unchanged against the platform's
// kernel headers (win32, win64) and the host kernel's (host).
//
// Statuses: a result is tested with NT_SUCCESS, except where the exact value
// matters (a request served in full is STATUS_SUCCESS, and a transfer that
// completes with any other success or warning status is not), where it is
// compared with STATUS_SUCCESS. The engine, whose transfers must deliver all
// their bytes, follows the second rule throughout.
#pragma once

#include <ntifs.h>
#include <ntddk.h>
#include <ntdddisk.h>

#include "../shared/CacheProtocol.h"
#include "Tessiro8.h"
#include "engine/VolumeCache.h"

#define CACHE_VOLUME_SLOTS 16
// Stack flags of an intercepted request that its lower transfers carry on.
#define CACHE_INHERITED_STACK_FLAGS (SL_WRITE_THROUGH | SL_OVERRIDE_VERIFY_VOLUME)
#define CACHE_MIN_BLOCK_SIZE        512u  // one disk sector: the smallest transfer a volume serves

// One cached volume: the engine's record of it beside the device, the queue,
// the worker and the flags. Allocated from non-paged pool, zero-filled; owned
// by the volume table from the end of a successful start until its stop frees
// it.
typedef struct _VolumeCacheContext {
    VolumeCache Cache;
    ULONG SlotIndex;
    PDEVICE_OBJECT VolumeDevice;  // requests to it are intercepted; referenced while cached
    WCHAR DriveLetter;            // folded to lower case
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

// Driver-wide state, all of it in one record, zero at load.
typedef struct _CacheDriverGlobals {
    PDEVICE_OBJECT ControlDevice;
    // Serialises control requests: the device admits one handle, but several
    // threads may send requests on that handle at once.
    KEVENT ControlGate;
    PVolumeCacheContext volatile VolumeTable[CACHE_VOLUME_SLOTS];
    // The interception (Interception.cpp): the owning driver whose read and
    // write entries were taken over, once per load, and its own routines.
    UCHAR HookInstalled;
    PDRIVER_OBJECT HookedDriver;
    PDRIVER_DISPATCH SavedReadDispatch;
    PDRIVER_DISPATCH SavedWriteDispatch;
    // Threads that may still run in, or use a context from, the
    // interception: InterceptCallers counts the threads inside
    // InterceptReadWrite (unload waits for it after giving the entries back),
    // VolumeTableReaders those inside QueueVolumeRequest between reading a
    // slot and leaving (a stop waits for it before it terminates the worker
    // and again before it frees the context).
    volatile LONG InterceptCallers;
    volatile LONG VolumeTableReaders;
} CacheDriverGlobals;

extern CacheDriverGlobals DriverGlobals;

// Lock-free access to the state that the interception shares with the
// control path and the worker. Each is one aligned access with full ordering,
// as the counting protocol above needs.
static inline PVolumeCacheContext ReadVolumeSlot(ULONG Slot)
{
    return __atomic_load_n(&DriverGlobals.VolumeTable[Slot], __ATOMIC_SEQ_CST);
}
static inline UCHAR ReadFlag(volatile UCHAR *Flag)
{
    return __atomic_load_n(Flag, __ATOMIC_SEQ_CST);
}
static inline void RaiseFlag(volatile UCHAR *Flag)
{
    __atomic_store_n(Flag, (UCHAR)1, __ATOMIC_SEQ_CST);
}
static inline LONG ReadCount(volatile LONG *Count)
{
    return __atomic_load_n(Count, __ATOMIC_SEQ_CST);
}

#ifdef __cplusplus
extern "C" {
#endif

// Routine description: completes a create or close of the control device.
// A create is admitted for administrators and the device itself only.
DRIVER_DISPATCH DispatchCreateClose;
// Routine description: serves the three control codes of the control device,
// one request at a time.
DRIVER_DISPATCH DispatchDeviceControl;
// Routine description: refuses any other request to the control device.
DRIVER_DISPATCH DispatchDefault;
// Routine description: stops every cached volume, deletes the control device
// and its link, and gives the owning driver its entries back.
DRIVER_UNLOAD CacheUnload;

#ifdef __cplusplus
}
#endif

_Ret_maybenull_ PVolumeCacheContext FindVolumeByLetter(_In_ WCHAR Letter);
// First context in slot order whose VolumeDevice is DeviceObject, or null.
_Ret_maybenull_ PVolumeCacheContext FindVolumeByDevice(_In_ PDEVICE_OBJECT DeviceObject);

// Routine description: starts caching the volume that a start request names.
// Checks the request and the volume, sets up the engine's record, attaches
// the worker and publishes the volume; its failure path and the stop release
// the context with ReleaseVolumeContext.
NTSTATUS StartVolumeCache(_In_ const CacheControlRequest *Request);
// Routine description: stops caching a volume: lets its queue drain, ends
// its worker, empties its table slot and releases its context.
NTSTATUS StopVolumeCache(_Inout_ PVolumeCacheContext Context);
void ReleaseVolumeContext(_Inout_ PVolumeCacheContext Context);

// Routine description: the owning driver's read and write entries while the
// interception is installed. Queues a cached volume's requests to its worker
// (STATUS_PENDING) and passes every other request to the owning driver.
DRIVER_DISPATCH InterceptReadWrite;
// STATUS_PENDING when the request was queued to its volume's worker, another
// status when it is not this cache's to serve.
NTSTATUS QueueVolumeRequest(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);
// Takes over the owning driver's read and write entries, once per load.
void InstallInterception(_In_ PDRIVER_OBJECT OwningDriver);
// Gives the entries back and waits until no thread is inside the interception.
void RemoveInterception(void);
// Sends a request straight to the owning driver's own read or write routine.
NTSTATUS CallOwningDriver(_In_ UCHAR MajorFunction, _In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);
// Waits until the count drops to zero, polling with short delays.
void WaitForZeroCount(_In_ volatile LONG *Count);

// Routine description: the worker thread of one cached volume, whose context
// is StartContext. Serves the queued requests one at a time, in arrival
// order, until the stop tells it to end.
KSTART_ROUTINE VolumeWorkerThread;

// Statistics: the worker (the only writer of the engine's record once the
// volume is started, and the start before it) publishes a copy; the
// statistics request copies a consistent snapshot of it.
void PublishStatistics(_Inout_ PVolumeCacheContext Context);
void CopyStatistics(_In_ PVolumeCacheContext Context, _Out_ CacheStatistics *Snapshot);

// Routine description: the engine's lower-transfer routine, whose context is
// the volume's PVolumeCacheContext. Sends one synchronous transfer to the
// owning driver below the interception. A request that cannot be built
// passes the request on uncached.
CACHE_LOWER_TRANSFER TargetDeviceIo;
