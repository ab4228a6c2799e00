// Read path, write path and the SSD tier's cache file.
#pragma once

#include "../Driver.h"
#include "BlockIndex.h"

// Entry points of the worker thread: serve one read or write of a cached
// volume. Transferred receives the bytes delivered to (or taken from) the
// caller. When they raise the volume's PassOnUncached, their result does not
// count: the worker sends the request on to the owning driver instead.
NTSTATUS CacheReadRequest(PVOID Buffer, ULONGLONG Offset, ULONG Length,
                          PVolumeCacheContext Context, PIRP Irp, PULONG Transferred);
NTSTATUS CacheWriteRequest(PVOID Buffer, ULONGLONG Offset, ULONG Length,
                           PVolumeCacheContext Context, PIRP Irp, PULONG Transferred);

// The cache file: synchronous, unbuffered transfers at explicit offsets.
NTSTATUS CacheFileRead(HANDLE FileHandle, ULONGLONG Offset, ULONG Length, PVOID Buffer);
NTSTATUS CacheFileWrite(HANDLE FileHandle, ULONGLONG Offset, ULONG Length, PVOID Buffer);

// ---------------------------------------------------------------------------
// Routines shared by the read path, the write path and the SSD tier.
// ---------------------------------------------------------------------------

// Run handlers. A run is Count consecutive blocks from FirstBlock whose bytes
// belong at RunBuffer in the caller's buffer (block FirstBlock's position,
// which may lie before the caller's first byte when the run opens the
// request). RequestFirst, RequestCount, Head and Tail describe the request so
// that the handler can trim the run's first and last block.
NTSTATUS ReadMissRun(ULONG FirstBlock, ULONG Count, PUCHAR RunBuffer,
                     ULONG RequestFirst, ULONG RequestCount, ULONG Head, ULONG Tail,
                     PVolumeCacheContext Context, PULONG Transferred);
NTSTATUS ReadMemoryRun(ULONG FirstBlock, ULONG FirstSlot, ULONG Count, PUCHAR RunBuffer,
                       ULONG RequestFirst, ULONG RequestCount, ULONG Head, ULONG Tail,
                       PVolumeCacheContext Context, PULONG Transferred);
NTSTATUS ReadSsdRun(ULONG FirstBlock, ULONG FirstSlot, ULONG Count, PUCHAR RunBuffer,
                    ULONG RequestFirst, ULONG RequestCount, ULONG Head, ULONG Tail,
                    PVolumeCacheContext Context, PULONG Transferred);

// Puts one block, which the memory tier does not hold, into the memory tier.
void PlaceInMemory(PVolumeCacheContext Context, ULONG Block, const UCHAR *Source);

// Copies Count whole blocks from Bounce into the SSD tier, skipping blocks the
// tier already holds and writing consecutive slots with one file write.
void PromoteRunToSsd(PVolumeCacheContext Context, ULONG FirstBlock, ULONG Count, PUCHAR Bounce);

// The bounce buffer of a transfer of Bytes bytes: the volume's TransferBuffer
// up to its size, an exact-size allocation above it. When the allocation is
// refused it returns null and raises the volume's PassOnUncached: the request
// then goes to the owning driver uncached instead of failing.
PUCHAR AcquireBounceBuffer(PVolumeCacheContext Context, ULONG Bytes);
void ReleaseBounceBuffer(PVolumeCacheContext Context, PUCHAR Bounce);

// Bytes of the run that the caller receives: the whole blocks minus the head
// when the run opens the request and minus the tail when it closes it.
// Skip receives the offset of the first delivered byte within the run.
ULONG RunCallerBytes(ULONG FirstBlock, ULONG Count, ULONG RequestFirst, ULONG RequestCount,
                     ULONG Head, ULONG Tail, ULONG BlockSize, PULONG Skip);

// Number of blocks the cache may hold: the whole blocks of the volume. A
// request that ends beyond them never reaches the block index.
ULONG CacheableBlockCount(PVolumeCacheContext Context);
BOOLEAN RequestWithinCache(PVolumeCacheContext Context, ULONGLONG Offset, ULONG Length);

// TRUE when blocks FirstBlock.. of the tier still lie in slots FirstSlot..
// (a pending run's blocks may have been evicted by an earlier run of the same
// request, and their slots handed to other blocks).
BOOLEAN RunStillInSlots(PTierIndex Tier, BOOLEAN TierFull, ULONG FirstBlock,
                        ULONG FirstSlot, ULONG Count);

// Removes Block from the tier when it lies in Slot (any slot when Slot is
// CACHE_ANY_SLOT): its bit and both entries go, and its slot is put at the
// front of the eviction order so that it is the next slot the tier reuses.
#define CACHE_ANY_SLOT 0xFFFFFFFFu
void DropBlockEntry(PVolumeCacheContext Context, PTierIndex Tier, ULONG Block, ULONG Slot);

// Puts a slot that no block holds at the front of the tier's eviction order.
void ReleaseSlot(PVolumeCacheContext Context, PTierIndex Tier, ULONG Slot);

// Drops blocks [FirstBlock, FirstBlock + Count) from both tiers.
void DropCachedRange(PVolumeCacheContext Context, ULONG FirstBlock, ULONG Count);
// Drops from both tiers every cacheable block that a write of Length bytes
// at Offset touches.
void DropCoveredBlocks(PVolumeCacheContext Context, ULONGLONG Offset, ULONG Length);

// Takes a slot for a new block of the tier: a fresh one while the tier has
// some (and, for memory, the page store can still grow), otherwise the
// least recently used one. Returns FALSE when the tier has no slot at all.
BOOLEAN TakeMemorySlot(PVolumeCacheContext Context, PTierIndex Tier, PULONG Slot);
BOOLEAN TakeSsdSlot(PVolumeCacheContext Context, PTierIndex Tier, PULONG Slot);
BOOLEAN EvictForSlot(PVolumeCacheContext Context, PTierIndex Tier, PULONG Slot);

// Reads the whole run from the volume into Bounce and gives the caller its
// part; counts a volume read. Nothing is copied when the volume read fails,
// and a read that succeeds with fewer bytes than the run fails with
// STATUS_IO_DEVICE_ERROR: the rest of Bounce holds bytes of some other
// transfer.
NTSTATUS ReadRunFromVolume(ULONG FirstBlock, ULONG Count, PUCHAR RunBuffer, PUCHAR Bounce,
                           ULONG RequestFirst, ULONG RequestCount, ULONG Head, ULONG Tail,
                           PVolumeCacheContext Context, PULONG Transferred);
