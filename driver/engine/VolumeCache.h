// What the read path, the write path and the worker share of a cached
// volume: its bounce buffer, which requests the block index may see, where a
// block lies, and dropping the blocks of a range from both tiers.
#pragma once

#include "../Driver.h"

// The bounce buffer of a transfer of Bytes bytes: the volume's TransferBuffer
// up to its size, an exact-size allocation above it. When the allocation is
// refused it returns null and raises the volume's PassOnUncached: the request
// then goes to the owning driver uncached instead of failing.
PUCHAR AcquireBounceBuffer(PVolumeCacheContext Context, ULONG Bytes);
void ReleaseBounceBuffer(PVolumeCacheContext Context, PUCHAR Bounce);

// Number of blocks the cache may hold: the whole blocks of the volume. A
// request that ends beyond them never reaches the block index.
ULONG CacheableBlockCount(PVolumeCacheContext Context);
BOOLEAN RequestWithinCache(PVolumeCacheContext Context, ULONGLONG Offset, ULONG Length);

// Memory first; the SSD bitmap is read only when the volume's SsdEnabled is set.
BlockLocation ClassifyBlock(PVolumeCacheContext Context, ULONG Block);

// Drops blocks [FirstBlock, FirstBlock + Count) from both tiers.
void DropCachedRange(PVolumeCacheContext Context, ULONG FirstBlock, ULONG Count);
// Drops from both tiers every cacheable block that a write of Length bytes
// at Offset touches.
void DropCoveredBlocks(PVolumeCacheContext Context, ULONGLONG Offset, ULONG Length);
