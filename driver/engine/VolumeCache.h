// The engine's record of one cached volume: its settings, counters, tiers and
// storage, and the routine that transfers to the volume below the cache. The
// driver embeds one in each volume context, sets it up at start and releases
// it at stop; in between only the volume's worker thread uses it.
//
// Also what the read path, the write path and the worker share: the bounce
// buffer, which requests the block index may see, where a block lies, and
// dropping the blocks of a range from both tiers.
#pragma once

#include "BlockIndex.h"
#include "PageStore.h"

// A volume's cache settings as the start checked (and rounded) them.
typedef struct _CacheSettings {
    ULONGLONG MemorySize;
    ULONGLONG SsdSize;     // the cache file's length
    ULONGLONG SsdMaxSize;  // reported only: the file never grows
    ULONG AllocateBlockSize;
    ULONG CacheBlockSize;
    UCHAR SsdEnabled;
    UCHAR SsdAutoGrow;
} CacheSettings;

// What the engine counts of a volume's reads.
typedef struct _CacheCounters {
    ULONGLONG ReadRequests;
    ULONGLONG ReadBytes;
    ULONGLONG VolumeReads;
    ULONGLONG VolumeReadBytes;
    ULONGLONG SsdHits;
    ULONGLONG SsdHitBytes;
    ULONGLONG MemoryHits;
    ULONGLONG MemoryHitBytes;
} CacheCounters;

// The storage of a volume's cache, acquired before the volume's record (in
// this order) and released with it.
typedef struct _CacheStorage {
    PUCHAR TransferBuffer;  // CACHE_TRANSFER_BUFFER_SIZE bytes
    HANDLE CacheFile;       // SSD tier only
    PMemoryPageStore Store;
} CacheStorage, *PCacheStorage;

// Sends one transfer of Length bytes at ByteOffset of the volume, below the
// cache, waits for it and stores the byte count the volume reports. Context is
// the one the engine was given with the routine.
typedef NTSTATUS CACHE_LOWER_TRANSFER(_In_ UCHAR MajorFunction, _In_ ULONGLONG ByteOffset, _In_ ULONG Length,
                                      _Inout_updates_bytes_(Length) PVOID Buffer, _In_ PVOID Context,
                                      _Out_ PULONG Information);
typedef CACHE_LOWER_TRANSFER *PCACHE_LOWER_TRANSFER;

typedef struct _VolumeCache {
    CacheSettings Settings;
    // Length of the volume in bytes, as the partition query gave it. Requests
    // that end beyond its whole blocks bypass the block index.
    ULONGLONG VolumeLength;
    CacheCounters Counters;
    CacheTier Memory;
    CacheTier Ssd;  // set up only with the SSD tier
    CacheStorage Storage;
    PCACHE_LOWER_TRANSFER LowerTransfer;
    PVOID LowerContext;
    // Raised when a resource that the request needs (a bounce buffer, a lower
    // request) cannot be had: the worker then hands the request to the owning
    // driver uncached rather than fail it.
    UCHAR PassOnUncached;
} VolumeCache, *PVolumeCache;

// Acquires a volume's storage in order: the transfer buffer, the cache file
// (through OpenCacheFile, with the SSD tier only) and the memory page store.
// Statuses: STATUS_UNSUCCESSFUL for the transfer buffer and the page store,
// STATUS_INSUFFICIENT_RESOURCES for the store's record, the file's own status
// otherwise. On failure nothing is held.
typedef NTSTATUS CACHE_OPEN_FILE(_In_ PVOID Context, _Out_ PHANDLE FileHandle);
NTSTATUS CacheStorageAcquire(PCacheStorage Storage, const CacheSettings *Settings,
                             CACHE_OPEN_FILE *OpenCacheFile, PVOID OpenContext);
// Releases what the storage holds; closing the cache file deletes it.
void CacheStorageRelease(PCacheStorage Storage);

// Sets up a zeroed record: settings, storage (which it then owns) and the
// tiers. STATUS_INSUFFICIENT_RESOURCES when a tier cannot be set up; the
// record is then released with CacheRelease like any other.
NTSTATUS CacheInitialize(PVolumeCache Cache, const CacheSettings *Settings, ULONGLONG VolumeLength,
                         const CacheStorage *Storage, PCACHE_LOWER_TRANSFER LowerTransfer,
                         PVOID LowerContext);
// Releases the tiers and the storage.
void CacheRelease(PVolumeCache Cache);

// The statistics request's view of the volume: settings, counters, blocks used.
void CacheFillStatistics(PVolumeCache Cache, CacheStatistics *Statistics);

// Raises PassOnUncached.
void PassRequestOnUncached(PVolumeCache Cache);
// One transfer to the volume below the cache, through LowerTransfer.
NTSTATUS CacheLowerTransfer(PVolumeCache Cache, UCHAR MajorFunction, ULONGLONG ByteOffset, ULONG Length,
                            PVOID Buffer, PULONG Information);

// The bounce buffer of a transfer of Bytes bytes: the volume's TransferBuffer
// up to its size, an exact-size allocation above it. When the allocation is
// refused it returns null and raises PassOnUncached: the request then goes to
// the owning driver uncached instead of failing.
PUCHAR AcquireBounceBuffer(PVolumeCache Cache, ULONG Bytes);
void ReleaseBounceBuffer(PVolumeCache Cache, PUCHAR Bounce);

// Number of blocks the cache may hold: the whole blocks of the volume. A
// request that ends beyond them never reaches the block index.
ULONG CacheableBlockCount(PVolumeCache Cache);
BOOLEAN RequestWithinCache(PVolumeCache Cache, ULONGLONG Offset, ULONG Length);

// Memory first; the SSD bitmap is read only when the volume's SsdEnabled is set.
BlockLocation ClassifyBlock(PVolumeCache Cache, ULONG Block);

// Drops blocks [FirstBlock, FirstBlock + Count) from both tiers.
void DropCachedRange(PVolumeCache Cache, ULONG FirstBlock, ULONG Count);
// Drops from both tiers every cacheable block that a write of Length bytes
// at Offset touches.
void DropCoveredBlocks(PVolumeCache Cache, ULONGLONG Offset, ULONG Length);
