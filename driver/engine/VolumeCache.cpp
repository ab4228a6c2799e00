// The parts of a cached volume that the read path, the write path and the
// worker share.
#include "VolumeCache.h"
#include "Tier.h"

PUCHAR AcquireBounceBuffer(PVolumeCacheContext Context, ULONG Bytes)
{
    PUCHAR Bounce;

    if (Bytes <= CACHE_TRANSFER_BUFFER_SIZE)
        return Context->TransferBuffer;
    Bounce = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Bytes, CACHE_POOL_TAG);
    if (Bounce == NULL)
        Context->PassOnUncached = TRUE;
    return Bounce;
}

void ReleaseBounceBuffer(PVolumeCacheContext Context, PUCHAR Bounce)
{
    if (Bounce != NULL && Bounce != Context->TransferBuffer)
        ExFreePoolWithTag(Bounce, CACHE_POOL_TAG);
}

ULONG CacheableBlockCount(PVolumeCacheContext Context)
{
    return (ULONG)(Context->VolumeLength / Context->Statistics.CacheBlockSize);
}

BOOLEAN RequestWithinCache(PVolumeCacheContext Context, ULONGLONG Offset, ULONG Length)
{
    ULONGLONG BlockSize = Context->Statistics.CacheBlockSize;
    ULONGLONG Limit = (ULONGLONG)CacheableBlockCount(Context) * BlockSize;
    ULONGLONG Head = Offset & (BlockSize - 1);

    if (Offset > Limit || Length > Limit - Offset)
        return FALSE;
    // Run and buffer sizes are 32-bit byte counts.
    return Head + Length + BlockSize - 1 <= 0xFFFFFFFFull;
}

BlockLocation ClassifyBlock(PVolumeCacheContext Context, ULONG Block)
{
    if (BitmapTest(Context->Memory.Bitmap, Block))
        return BlockInMemory;
    if (Context->Statistics.SsdEnabled && BitmapTest(Context->Ssd.Bitmap, Block))
        return BlockInSsd;
    return BlockNotCached;
}

void DropCachedRange(PVolumeCacheContext Context, ULONG FirstBlock, ULONG Count)
{
    ULONG i;

    for (i = 0; i < Count; i++)
        DropBlockEntry(&Context->Memory, FirstBlock + i, CACHE_ANY_SLOT);
    if (!Context->Statistics.SsdEnabled)
        return;
    for (i = 0; i < Count; i++)
        DropBlockEntry(&Context->Ssd, FirstBlock + i, CACHE_ANY_SLOT);
}

void DropCoveredBlocks(PVolumeCacheContext Context, ULONGLONG Offset, ULONG Length)
{
    ULONGLONG BlockSize = Context->Statistics.CacheBlockSize;
    ULONGLONG Cacheable = CacheableBlockCount(Context);
    ULONGLONG First, Last;

    if (Length == 0)
        return;
    First = Offset / BlockSize;
    if (First >= Cacheable)
        return;
    Last = (Offset + Length - 1) / BlockSize;
    if (Last >= Cacheable)
        Last = Cacheable - 1;
    DropCachedRange(Context, (ULONG)First, (ULONG)(Last - First + 1));
}
